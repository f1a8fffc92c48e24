#include "json_text.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

using velmo::cli::jsonPathText;
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
        {"Latin-1 byte", "caf\xe9.mp3", "\"caf\\\\xE9.mp3\""},
        {"truncated sequence", "a\xe2\x82", "\"a\\\\xE2\\\\x82\""},
    };
    for (const Row& row : rows) EXPECT_EQ(row.out, jsonString(row.in)) << row.name;
}

// A path's escape is reversible with any JSON reader: "\\" back to a
// backslash and "\xNN" back to the byte, and valid UTF-8 comes back as it is.
TEST(JsonText, PathsRoundTripThroughAnyReader) {
    const auto decode = [](const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size();) {
            if (text.compare(i, 2, "\\\\") == 0) {
                out += '\\';
                i += 2;
            } else if (text.compare(i, 2, "\\x") == 0) {
                out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
                i += 4;
            } else {
                out += text[i++];
            }
        }
        return out;
    };
    for (const std::string& bytes :
         {std::string("dir/\xe9t\xe9\xff\x80/caf\xc3\xa9\xe2\x80\xae\x7f.wav"), std::string("plain/Song.mp3"),
          std::string("back\\slash\\xE9 and \\\\ two\xc3"), std::string("line\nbreak\xc2\x9b")}) {
        const std::string field = jsonPathText(bytes);
        const std::string read = nlohmann::json::parse(jsonString(field)).get<std::string>();
        EXPECT_EQ(bytes, decode(read)) << field;
    }
    EXPECT_EQ("caf\xc3\xa9/Song.mp3", jsonPathText("caf\xc3\xa9/Song.mp3")) << "valid UTF-8 stays";
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
