// JSON output for scripts (docs/json.md): nlohmann::json values written as
// its dump() writes them (same layout, same numbers), except for strings.
// Names and paths are the file system's bytes, which need not be UTF-8, and
// a raw control or bidi character would act on a terminal that shows the
// output. So every string is written as:
//   - well-formed UTF-8 as it is, except
//   - '"' and '\' escaped, the C0 controls as \b \f \n \r \t or \u00XX,
//     DEL, the C1 controls (U+0080 to U+009F) and the bidirectional controls
//     (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) as \uXXXX;
//   - each byte 0xNN that is not part of well-formed UTF-8 as the text
//     "\xNN" (upper-case hex; in JSON "\\xNN"), so that every JSON reader
//     takes the document: a lone surrogate escape (Python's surrogateescape)
//     is refused by many.
// Paths and names go through jsonPathText first, which makes that escape
// reversible.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace velmo::cli {

// A path or a name from the disk or the clock, for a JSON field: valid UTF-8
// as it is, each backslash doubled and each byte 0xNN that is not part of
// well-formed UTF-8 written "\xNN". Read back by turning "\\" into a
// backslash and "\xNN" into the byte NN, it gives the exact bytes.
std::string jsonPathText(std::string_view bytes);

// A string's JSON form, quotes included.
std::string jsonString(std::string_view bytes);

// The value as dump(indent) would write it (indent < 0: one line), with the
// strings written by jsonString.
std::string jsonText(const nlohmann::json& value, int indent);

}  // namespace velmo::cli
