// Several songs deleted or moved at once, and the list cleared: the
// single-song rules for working copies, the total and the selection hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "fileio.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

class ListEditTest : public CoreTest {
  public:
    // Five songs; lines 1 and 2 share one working copy, as a list saved by an
    // older version may. Every working copy is on disk.
    void startWithSharedCopy() {
        const std::vector<std::string> works = {"./dat/song0.mp3", "./dat/shared.mp3", "./dat/shared.mp3",
                                                "./dat/song3.mp3", "./dat/song4.mp3"};
        std::unique_ptr<Song[]> songs(new Song[kMaxSongs]());
        uint32_t total = 0;
        for (size_t i = 0; i < works.size(); ++i) {
            std::snprintf(songs[i].workPath, kPathBytes, "%s", works[i].c_str());
            std::snprintf(songs[i].sourcePath, kPathBytes, "/music/%zu.mp3", i);
            songs[i].sizeEstimate = static_cast<uint32_t>(1000 * (i + 1));
            total += songs[i].sizeEstimate;
        }
        ASSERT_EQ(0, saveSongTable(start, 4, static_cast<uint16_t>(works.size()), songs.get(), total));
        startCore();
        for (const std::string& w : works) writeFileBytes(start + "/" + w.substr(2), {1, 2, 3});
    }

    std::vector<std::string> workPaths() const {
        std::vector<std::string> out;
        for (uint16_t i = 0; i < core->songCount(); ++i) out.push_back(core->song(i).workPath);
        return out;
    }

    uint32_t estimateSum() const {
        uint32_t sum = 0;
        for (uint16_t i = 0; i < core->songCount(); ++i) sum += core->song(i).sizeEstimate;
        return sum;
    }
};

TEST_F(ListEditTest, SeveralSongsGoWithTheirCopiesAndTheNextSongIsSelected) {
    struct Row {
        const char* name;
        std::vector<int> lines;
        std::vector<std::string> left;
        bool sharedKept;
        int selected;
    } rows[] = {
        {"one of the sharers and another", {3, 1}, {"./dat/song0.mp3", "./dat/shared.mp3", "./dat/song4.mp3"}, true, 1},
        {"both sharers", {1, 2}, {"./dat/song0.mp3", "./dat/song3.mp3", "./dat/song4.mp3"}, false, 1},
        {"the end of the list", {4, 3}, {"./dat/song0.mp3", "./dat/shared.mp3", "./dat/shared.mp3"}, true, 2},
        {"one song", {2}, {"./dat/song0.mp3", "./dat/shared.mp3", "./dat/song3.mp3", "./dat/song4.mp3"}, true, 2},
        {"lines off the list are left out", {-1, 0, 0, 9}, {"./dat/shared.mp3", "./dat/shared.mp3", "./dat/song3.mp3",
                                                            "./dat/song4.mp3"}, true, 0},
        {"every song", {0, 1, 2, 3, 4}, {}, false, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        startWithSharedCopy();
        const std::vector<std::string> before = workPaths();
        core->removeSongs(row.lines);
        EXPECT_EQ(row.left, workPaths());
        EXPECT_EQ(row.left.size(), view.lines.size());
        EXPECT_EQ(estimateSum(), core->totalEstimate());
        EXPECT_EQ(present::spaceUsage(core->totalEstimate(), core->capacity()), view.statusLine);
        EXPECT_EQ(row.sharedKept, fs::exists(start + "/dat/shared.mp3"));
        // Every other working copy is on disk exactly while a song names it.
        for (const std::string& w : before) {
            if (w == "./dat/shared.mp3") continue;
            const bool named = std::find(row.left.begin(), row.left.end(), w) != row.left.end();
            EXPECT_EQ(named, fs::exists(start + "/" + w.substr(2))) << w;
        }
        EXPECT_EQ(row.selected, view.selected);
        core->close();
    }
}

TEST_F(ListEditTest, ClearListEmptiesTheListAndItsWorkingFolder) {
    startWithSharedCopy();
    core->clearList();
    EXPECT_EQ(0, core->songCount());
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(0u, core->totalEstimate());
    EXPECT_EQ(-1, view.selected);
    for (const char* w : {"song0.mp3", "shared.mp3", "song3.mp3", "song4.mp3"})
        EXPECT_FALSE(fs::exists(start + "/dat/" + w)) << w;
    // An empty list is cleared without a word.
    core->clearList();
    EXPECT_TRUE(view.messages.empty());
    core->close();
    makeCore();
    core->start();
    EXPECT_EQ(0, core->songCount());
}

TEST_F(ListEditTest, ASelectionMovesAsABlockAndStaysSelected) {
    writeTable({1000, 2000, 3000, 4000, 5000}, 4);
    startCore();
    const uint32_t total = core->totalEstimate();
    const auto order = [this] {
        std::vector<int> out;
        for (uint16_t i = 0; i < core->songCount(); ++i) out.push_back(static_cast<int>(core->song(i).sizeEstimate / 1000 - 1));
        return out;
    };
    struct Row {
        bool up;
        std::vector<int> lines;
        std::vector<int> order;
        std::vector<int> selected;
    } rows[] = {
        {true, {2, 1}, {1, 2, 0, 3, 4}, {0, 1}},
        {true, {0, 1}, {1, 2, 0, 3, 4}, {0, 1}},  // at the top: nothing moves
        {false, {0, 1}, {0, 1, 2, 3, 4}, {1, 2}},
        {false, {1, 3}, {0, 2, 1, 4, 3}, {2, 4}},  // apart, each by one
        {false, {2, 4}, {0, 2, 1, 4, 3}, {2, 4}},  // at the bottom: nothing moves
        {true, {1}, {2, 0, 1, 4, 3}, {0}},         // one song: the single-song handler
    };
    int step = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(step++);
        view.selectedLines = row.selected;  // unchanged unless the core selects
        if (row.up)
            core->moveSongsUp(row.lines);
        else
            core->moveSongsDown(row.lines);
        EXPECT_EQ(row.order, order());
        EXPECT_EQ(row.selected, view.selectedLines);
        // Line i still shows song i.
        ASSERT_EQ(5u, view.lines.size());
        for (uint16_t i = 0; i < 5; ++i) EXPECT_EQ(songName(core->song(i)), view.lines[i]);
        EXPECT_EQ(total, core->totalEstimate());
    }
}

}  // namespace
