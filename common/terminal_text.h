// Text for a terminal from bytes that came from a file or the clock (song
// names, paths, a header's fields). A name may hold any bytes, and ESC, CR or
// BEL written raw would move the cursor, rewrite the line or ring the bell.
#pragma once

#include <string>
#include <string_view>

namespace velmo {

// The bytes with every C0 control byte (0x00 to 0x1F) and DEL (0x7F) shown as
// "\xNN" (upper-case hex); all other bytes, UTF-8 included, unchanged.
std::string terminalText(std::string_view bytes);

}  // namespace velmo
