// Text for a terminal from bytes that came from a file or the clock (song
// names, paths, a header's fields). A name may hold any bytes, and ESC, CR or
// BEL written raw would move the cursor, rewrite the line or ring the bell.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmo {

// The bytes with a newline shown as "\n", every other C0 control byte (0x00
// to 0x1F), DEL (0x7F), both bytes of a C1 control (U+0080 to U+009F, C2 80
// to C2 9F) and every byte that is not part of well-formed UTF-8 shown as
// "\xNN" (upper-case hex), and the bidirectional controls (isBidiControl)
// shown as "\uXXXX"; all other text, UTF-8 included, unchanged. A raw 0x9B is
// read as "ESC [" by some terminals, a stray byte could join with what follows
// it on the screen, and a bidi control reorders the text after it ("evil\u202Eexe.mp3"
// shows as "evilmp3.exe").
std::string terminalText(std::string_view bytes);

// A path or a name put into a message: its newlines (and carriage returns)
// shown as "\n" ("\r"), so that the only line breaks in a message are the
// message's own and a front end that prints a message on one line can still
// show where the name had one. Everything else is left for the front end to
// escape.
std::string messageName(std::string_view name);

// Length of the well-formed UTF-8 sequence at `at` (1 to 4), or 0 when the
// bytes there are no such sequence: a stray continuation byte, an overlong
// form, a surrogate, a code point above U+10FFFF or a truncated sequence.
size_t utf8SequenceLength(std::string_view s, size_t at);

// The code point of the well-formed sequence of `length` bytes at `at`.
char32_t utf8CodePoint(std::string_view s, size_t at, size_t length);

// U+061C, U+200E, U+200F, U+202A to U+202E and U+2066 to U+2069: the marks,
// embeddings, overrides and isolates that change the order text is shown in.
bool isBidiControl(char32_t c);

}  // namespace velmo
