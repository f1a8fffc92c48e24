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
        {"cr\rlf\nbel\a", "cr\\x0Dlf\\x0Abel\\x07"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"del\x7f", "del\\x7F"},
        {"caf\xc3\xa9 \xe2\x99\xaa", "caf\xc3\xa9 \xe2\x99\xaa"},  // UTF-8 is left alone
        {"back\\slash", "back\\slash"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.out, terminalText(row.in)) << row.in;
}
