#include "fileselection.h"

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

using namespace velmo;
using namespace std::string_literals;

namespace {

constexpr std::uint32_t kMulti = OFN_EXPLORER | OFN_ALLOWMULTISELECT;

// Every path the walk gives, with a bound so that a walk that never ends
// fails instead of hanging.
std::vector<std::string> walk(const FileSelection& selection) {
    std::vector<std::string> paths;
    for (PathPosition pos = selection.firstPosition(); pos && paths.size() < 100;)
        paths.push_back(selection.nextPath(pos));
    return paths;
}

struct WalkRow {
    const char* name;
    std::uint32_t flags;
    std::string buffer;
    std::vector<std::string> paths;
};

// Parameterised tests print the row by its name.
void PrintTo(const WalkRow& row, std::ostream* os) { *os << row.name; }

class SelectionWalk : public ::testing::TestWithParam<WalkRow> {};

TEST_P(SelectionWalk, GivesEachFullPathOnceInOrder) {
    const WalkRow& row = GetParam();
    FileSelection selection(row.flags);
    selection.assignBuffer(row.buffer);
    EXPECT_EQ(row.paths, walk(selection));
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, SelectionWalk,
    ::testing::Values(
        WalkRow{"OneFileWithMultipleSelection", kMulti, "/home/u/Music/a.mp3\0\0"s, {"/home/u/Music/a.mp3"}},
        WalkRow{"ThreeFilesInAFolder",
                kMulti,
                "/home/u/Music\0a.mp3\0b song.wav\0C.MP3\0\0"s,
                {"/home/u/Music/a.mp3", "/home/u/Music/b song.wav", "/home/u/Music/C.MP3"}},
        WalkRow{"RootFolderGetsNoSecondSeparator", kMulti, "/\0x.mp3\0y.wav\0\0"s, {"/x.mp3", "/y.wav"}},
        WalkRow{
            "FolderEndingInSeparator", kMulti, "/mnt/usb/\0x.mp3\0y.mp3\0\0"s, {"/mnt/usb/x.mp3", "/mnt/usb/y.mp3"}},
        WalkRow{"SingleSelectionIsTheWholeBuffer", OFN_EXPLORER, "/fw/new code.bin\0\0"s, {"/fw/new code.bin"}},
        WalkRow{"OldStyleList", OFN_ALLOWMULTISELECT, "/m a.mp3 b.mp3"s, {"/m/a.mp3", "/m/b.mp3"}},
        WalkRow{"OldStyleSingleFile", OFN_ALLOWMULTISELECT, "/m/a.mp3"s, {"/m/a.mp3"}},
        WalkRow{"UnterminatedBufferStopsAtItsEnd", kMulti, "/m\0a.mp3\0b.mp3"s, {"/m/a.mp3", "/m/b.mp3"}},
        WalkRow{"NothingChosen", kMulti, ""s, {}}, WalkRow{"NothingChosenSingle", OFN_EXPLORER, "\0\0"s, {}}),
    [](const ::testing::TestParamInfo<WalkRow>& info) { return std::string(info.param.name); });

TEST(SelectionWalk, PositionAfterTheLastPathStaysNone) {
    FileSelection selection(kMulti);
    selection.assignBuffer("/m\0a.mp3\0\0"s);
    PathPosition pos = selection.firstPosition();
    ASSERT_TRUE(pos);
    EXPECT_EQ("/m/a.mp3", selection.nextPath(pos));
    EXPECT_FALSE(pos);
    EXPECT_EQ("", selection.nextPath(pos));
    EXPECT_FALSE(pos);
}

TEST(JoinFolderAndName, AddsOneSeparatorOnlyWhenNeeded) {
    struct Row {
        const char* folder;
        const char* name;
        const char* path;
    };
    const Row rows[] = {
        {"/", "a.mp3", "/a.mp3"},
        {"/music", "a.mp3", "/music/a.mp3"},
        {"/music/", "a.mp3", "/music/a.mp3"},
        {"", "a.mp3", "a.mp3"},
        // A backslash is an ordinary character in a file name here.
        {"/odd\\", "a.mp3", "/odd\\/a.mp3"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.path, joinFolderAndName(row.folder, row.name)) << row.folder;
}

struct AssignRow {
    const char* name;
    std::uint32_t flags;
    std::vector<std::string> paths;
    std::string buffer;
};

// Parameterised tests print the row by its name.
void PrintTo(const AssignRow& row, std::ostream* os) { *os << row.name; }

class AssignPaths : public ::testing::TestWithParam<AssignRow> {};

TEST_P(AssignPaths, KeepsTheDialogFormAndWalksBackToThePaths) {
    const AssignRow& row = GetParam();
    FileSelection selection(row.flags);
    selection.assignPaths(row.paths);
    EXPECT_EQ(row.buffer, selection.buffer());
    std::vector<std::string> expected = row.paths;
    if ((row.flags & OFN_ALLOWMULTISELECT) == 0 && expected.size() > 1) expected.resize(1);
    EXPECT_EQ(expected, walk(selection));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AssignPaths,
    ::testing::Values(
        AssignRow{"One", kMulti, {"/home/u/a.mp3"}, "/home/u/a.mp3\0\0"s},
        AssignRow{"ThreeInOneFolder",
                  kMulti,
                  {"/music/b.wav", "/music/a.mp3", "/music/C.MP3"},
                  "/music\0b.wav\0a.mp3\0C.MP3\0\0"s},
        AssignRow{"AtTheRoot", kMulti, {"/a.mp3", "/b.mp3"}, "/\0a.mp3\0b.mp3\0\0"s},
        AssignRow{"DifferentFolders",
                  kMulti,
                  {"/srv/x/1.mp3", "/srv/y/2.mp3", "/srv/3.mp3"},
                  "/srv\0x/1.mp3\0y/2.mp3\0\x33.mp3\0\0"s},
        AssignRow{"NothingInCommonButTheRoot", kMulti, {"/x.mp3", "/home/y.mp3"}, "/\0x.mp3\0home/y.mp3\0\0"s},
        AssignRow{"FolderNamePrefixIsNotAFolder",
                  kMulti,
                  {"/music/a.mp3", "/musicals/b.mp3"},
                  "/\0music/a.mp3\0musicals/b.mp3\0\0"s},
        AssignRow{"SingleSelectionKeepsTheFirst", OFN_EXPLORER, {"/fw/a.bin", "/fw/b.bin"}, "/fw/a.bin\0\0"s},
        AssignRow{"None", kMulti, {}, "\0\0"s}),
    [](const ::testing::TestParamInfo<AssignRow>& info) { return std::string(info.param.name); });

TEST(SplitPath, GivesFolderTitleAndExtension) {
    struct Row {
        const char* path;
        const char* folder;
        const char* title;
        const char* extension;
    };
    const Row rows[] = {
        {"/music/song.one.MP3", "/music/", "song.one", ".MP3"},
        {"/a.bin", "/", "a", ".bin"},
        {"/music/noext", "/music/", "noext", ""},
        {"name.wav", "", "name", ".wav"},
        {"/dir.d/file", "/dir.d/", "file", ""},
    };
    for (const Row& row : rows) {
        const SplitPath parts = splitPath(row.path);
        EXPECT_EQ("", parts.drive) << row.path;
        EXPECT_EQ(row.folder, parts.folder) << row.path;
        EXPECT_EQ(row.title, parts.title) << row.path;
        EXPECT_EQ(row.extension, parts.extension) << row.path;
    }
}

TEST(CaseInsensitivePattern, MatchesEveryCaseWithACaseSensitiveMatcher) {
    EXPECT_EQ("*.[mM][pP]3", caseInsensitivePattern("*.MP3"));
    EXPECT_EQ("[ab]*.[xX]", caseInsensitivePattern("[ab]*.x"));

    struct Row {
        const char* pattern;
        const char* file;
        bool matches;
    };
    const Row rows[] = {
        {"*.MP3", "SONG.MP3", true},   {"*.MP3", "song.mp3", true}, {"*.MP3", "Song.Mp3", true},
        {"*.wav", "a.WaV", true},      {"*.wav", "b.wav", true},    {"*.MP3", "notes.txt", false},
        {"*.MP3", "a.mp3.txt", false}, {"*.bin", "CODE.BIN", true}, {"*.bin", "code.bin.bak", false},
    };
    for (const Row& row : rows) {
        const std::string pattern = caseInsensitivePattern(row.pattern);
        EXPECT_EQ(row.matches, fnmatch(pattern.c_str(), row.file, 0) == 0) << row.pattern << " " << row.file;
    }
}

}  // namespace
