#include "terminal_text.h"

#include <gtest/gtest.h>

#include <string>

using velmo::terminalText;

TEST(TerminalText, ControlBytesAreShownAsHexAndEverythingElseStays) {
    struct Row {
        std::string in, out;
    } rows[] = {
        {"", ""},
        {"Morning Walk.mp3", "Morning Walk.mp3"},
        {"a\x1b[2Jb", "a\\x1B[2Jb"},
        {"cr\rlf\nbel\a", "cr\\x0Dlf\\nbel\\x07"},  // a newline in a name is shown as one
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"del\x7f", "del\\x7F"},
        {"caf\xc3\xa9 \xe2\x99\xaa", "caf\xc3\xa9 \xe2\x99\xaa"},  // UTF-8 is left alone
        {"back\\slash", "back\\slash"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.out, terminalText(row.in)) << row.in;
}

// Bytes outside well-formed UTF-8 and the C1 controls are escaped one byte at
// a time; the text around them, and valid characters of every length, stay.
TEST(TerminalText, InvalidUtf8AndC1ControlsAreEscaped) {
    struct Row {
        const char* name;
        std::string in, out;
    } rows[] = {
        {"CSI byte alone",
         "a\x9b"
         "2Jb",
         "a\\x9B2Jb"},
        {"C1 CSI as UTF-8",
         "a\xc2\x9b"
         "2J",
         "a\\xC2\\x9B2J"},
        {"first C1", "\xc2\x80", "\\xC2\\x80"},
        {"last C1", "\xc2\x9f", "\\xC2\\x9F"},
        {"first after C1 stays", "\xc2\xa0", "\xc2\xa0"},
        {"two-byte, three-byte and four-byte characters", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb5",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb5"},
        {"highest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"overlong slash", "\xc0\xaf", "\\xC0\\xAF"},
        {"overlong two-byte lead C1", "\xc1\xbf", "\\xC1\\xBF"},
        {"overlong three-byte", "\xe0\x80\xaf", "\\xE0\\x80\\xAF"},
        {"overlong four-byte", "\xf0\x80\x80\xaf", "\\xF0\\x80\\x80\\xAF"},
        {"surrogate", "\xed\xa0\x80", "\\xED\\xA0\\x80"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        {"lead byte F5", "\xf5\x80\x80\x80", "\\xF5\\x80\\x80\\x80"},
        {"truncated at the end", "ok\xe2\x82", "ok\\xE2\\x82"},
        {"truncated before ASCII", "\xe2\x82z", "\\xE2\\x82z"},
        {"truncated before a valid character", "\xf0\x9f\xc3\xa9", "\\xF0\\x9F\xc3\xa9"},
        {"stray continuation byte", "x\x80y", "x\\x80y"},
        {"byte FF", "\xff", "\\xFF"},
        {"Latin-1 text", "caf\xe9", "caf\\xE9"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.out, terminalText(row.in)) << row.name;
}

// A bidi control reorders what follows it on the screen ("evil\u202Eexe.mp3"
// reads "evilmp3.exe"): every one is shown by its code point.
TEST(TerminalText, BidiControlsAreShownByTheirCodePoint) {
    struct Row {
        const char* name;
        std::string in, out;
    } rows[] = {
        {"right-to-left override", "evil\xe2\x80\xae" "exe.mp3", "evil\\u202Eexe.mp3"},
        {"embeddings and overrides", "\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad",
         "\\u202A\\u202B\\u202C\\u202D"},
        {"isolates", "\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9", "\\u2066\\u2067\\u2068\\u2069"},
        {"marks", "\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c", "\\u200E\\u200F\\u061C"},
        {"neighbours stay", "\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xd8\x9b",
         "\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xd8\x9b"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.out, terminalText(row.in)) << row.name;
}

// A name in a message keeps the message's own line breaks apart from its own.
TEST(TerminalText, MessageNamesShowTheirLineBreaks) {
    EXPECT_EQ("a\\nb\\rc.mp3", velmo::messageName("a\nb\rc.mp3"));
    EXPECT_EQ("caf\xc3\xa9 \x1b\\x.mp3", velmo::messageName("caf\xc3\xa9 \x1b\\x.mp3"));
    EXPECT_EQ("Cannot open a\\nb: x", velmo::terminalText("Cannot open " + velmo::messageName("a\nb") + ": x"));
}
