// Text for a terminal from bytes that came from a file or the clock (song
// names, paths, a header's fields). A name may hold any bytes, and ESC, CR or
// BEL written raw would move the cursor, rewrite the line or ring the bell.
#pragma once

#include <string>
#include <string_view>

namespace velmo {

// The bytes with every C0 control byte (0x00 to 0x1F), DEL (0x7F), both bytes
// of a C1 control (U+0080 to U+009F, C2 80 to C2 9F) and every byte that is
// not part of well-formed UTF-8 shown as "\xNN" (upper-case hex); all other
// text, UTF-8 included, unchanged. A raw 0x9B is read as "ESC [" by some
// terminals, and a stray byte could join with what follows it on the screen.
std::string terminalText(std::string_view bytes);

}  // namespace velmo
