#include "json_text.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

using velmo::cli::jsonString;
using velmo::cli::jsonText;

// Valid UTF-8 stays readable; what a terminal would obey or reorder, and every
// byte that is not UTF-8, is escaped so that the exact bytes can be recovered.
TEST(JsonText, StringsEscapeControlsBidiAndInvalidBytes) {
    struct Row {
        const char* name;
        std::string in, out;
    } rows[] = {
        {"plain", "Morning Walk.mp3", "\"Morning Walk.mp3\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"C0 controls", "a\nb\tc\x1b", "\"a\\nb\\tc\\u001b\""},
        {"DEL", "x\x7fy", "\"x\\u007fy\""},
        {"C1 CSI", "x\xc2\x9by", "\"x\\u009by\""},
        {"after C1 stays", "\xc2\xa0", "\"\xc2\xa0\""},
        {"right-to-left override", "evil\xe2\x80\xae" "exe.mp3", "\"evil\\u202eexe.mp3\""},
        {"isolates and marks", "\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c",
         "\"\\u2066\\u2069\\u200e\\u200f\\u061c\""},
        {"UTF-8 of every length", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5\""},
        {"Latin-1 byte", "caf\xe9.mp3", "\"caf\\udce9.mp3\""},
        {"truncated sequence", "a\xe2\x82", "\"a\\udce2\\udc82\""},
        {"byte FF", "\xff", "\"\\udcff\""},
    };
    for (const Row& row : rows) EXPECT_EQ(row.out, jsonString(row.in)) << row.name;
}

// The escape is reversible: reading \uDCNN back as the byte NN (PEP 383)
// gives the original bytes, and a string without invalid bytes parses back
// to itself with any JSON reader.
TEST(JsonText, InvalidBytesRoundTripAndValidTextParsesBack) {
    const std::string bytes = "dir/\xe9t\xe9\xff\x80/caf\xc3\xa9\xe2\x80\xae\x7f.wav";
    const std::string text = jsonString(bytes);
    std::string back;
    for (size_t i = 1; i + 1 < text.size();) {
        if (text.compare(i, 4, "\\udc") == 0) {
            back += static_cast<char>(std::stoi(text.substr(i + 4, 2), nullptr, 16));
            i += 6;
        } else if (text.compare(i, 2, "\\u") == 0) {
            // the other escapes in this sample are valid characters: let the reader decode them
            back += nlohmann::json::parse("\"" + text.substr(i, 6) + "\"").get<std::string>();
            i += 6;
        } else {
            back += text[i++];
        }
    }
    EXPECT_EQ(bytes, back);

    const std::string valid = "caf\xc3\xa9 \"x\"\n\xe2\x80\xae\x7f\xc2\x9b";
    EXPECT_EQ(valid, nlohmann::json::parse(jsonString(valid)).get<std::string>());
}

// Apart from its strings, the layout is nlohmann's own: a reader sees no change.
TEST(JsonText, LayoutMatchesTheLibrarysDump) {
    const nlohmann::json value{{"format", 1},
                               {"empty", nlohmann::json::array()},
                               {"none", nullptr},
                               {"object", nlohmann::json::object()},
                               {"songs", {{{"name", "a"}, {"size", 1.5}, {"cut", false}}, {{"name", "b"}}}}};
    EXPECT_EQ(value.dump(2), jsonText(value, 2));
    EXPECT_EQ(value.dump(), jsonText(value, -1));
}
