// Erase: after its question, the clock holds no song, whatever happens on
// the way: a stop during the erase or the header's write leaves a clock that
// names no song, and a Reload then finds none.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

class EraseTest : public CoreTest {
  public:
    // A clock that holds `count` songs of the list.
    void downloadSongs(int count) {
        fs::create_directories(dir.file("d"));
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            paths.push_back(dir.file("d") + "/Song" + std::to_string(i) + ".wav");
            writeToneWav(paths.back(), 2);
        }
        core->addSongs(paths);
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(OutcomeKind::Finished, core->lastOutcome().kind) << reasonOf(core->lastOutcome());
        view.messages.clear();
    }

    StorageHeader clockHeader() {
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        StorageHeader header;
        EXPECT_TRUE(decodeStorageHeader(bytes.data(), bytes.size(), header));
        return header;
    }

    // What a Reload now says of the clock.
    std::string reloadSays() {
        view.messages.clear();
        view.answer(*core, core->reload());
        EXPECT_TRUE(pumpToEnd());
        return view.messages.empty() ? std::string() : view.messages.back().text;
    }
};

TEST_F(EraseTest, AfterItsQuestionTheClockNamesNoSongAndTheListStays) {
    startCore();
    downloadSongs(3);
    view.answer(*core, core->begin(Operation::Erase));
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(OutcomeKind::Finished, core->lastOutcome().kind) << reasonOf(core->lastOutcome());
    EXPECT_EQ((std::vector<std::string>{"Erase every song from the clock ?", "The clock's songs were erased."}),
              view.texts());
    const StorageHeader header = clockHeader();
    EXPECT_TRUE(hasStorageSignature(header));
    EXPECT_EQ(0, header.songCount);
    // The songs' data is gone too, not only their names.
    const std::vector<uint8_t> data = flash(kDataAreaAddress, 4096);
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(3, core->songCount());
    // What the clock holds now is what a Verify compares with.
    view.answer(*core, core->verify());
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(OutcomeKind::Finished, core->lastOutcome().kind) << reasonOf(core->lastOutcome());
    EXPECT_EQ("Storage has no music data.", reloadSays());
}

TEST_F(EraseTest, ACancelledQuestionOrNoClockLeavesTheClockAsItWas) {
    startCore();
    downloadSongs(2);
    view.answers.push_back(MessageResult::Cancel);
    view.answer(*core, core->begin(Operation::Erase));
    EXPECT_FALSE(core->operationRunning());
    EXPECT_EQ(OutcomeKind::Refused, core->lastOutcome().kind);
    EXPECT_EQ(2, clockHeader().songCount);

    ASSERT_EQ(0, zentroSimSetPlugged(0));
    ASSERT_TRUE(pumpUntil([&] {
        core->tick();
        return core->deviceHandle() == 0;
    }));
    view.messages.clear();
    view.answer(*core, core->begin(Operation::Erase));
    EXPECT_EQ(OutcomeKind::Refused, core->lastOutcome().kind);
    EXPECT_EQ(std::vector<std::string>{"Please plug-in USB again !"}, view.texts());
}

TEST_F(EraseTest, AStopAtAnyPointLeavesAClockThatNamesNoSong) {
    startCore();
    downloadSongs(3);
    ASSERT_EQ(0, zentroSimSetDelay(1));
    view.answer(*core, core->begin(Operation::Erase));
    ASSERT_TRUE(core->operationRunning());
    const std::optional<Question> question = core->stopQuestion();
    ASSERT_TRUE(question);
    EXPECT_EQ(QuestionKind::StopOperation, question->kind);
    // Stopped once the erase has begun: the stop question said so.
    ASSERT_TRUE(pumpUntil([&] {
        const std::optional<Question> q = core->stopQuestion();
        return !core->operationRunning() || (q && q->leaves == StopLeaves::ClockEmpty);
    }));
    core->stop();
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(0, zentroSimSetDelay(0));
    const OutcomeKind kind = core->lastOutcome().kind;
    EXPECT_TRUE(kind == OutcomeKind::Stopped || kind == OutcomeKind::Finished);
    // Erased (no signature) or the empty header: either names no song.
    const StorageHeader header = clockHeader();
    EXPECT_TRUE(!hasStorageSignature(header) || header.songCount == 0);
    const std::string said = reloadSays();
    EXPECT_TRUE(said == "Storage has no music data." || said == "Reload music data failed.") << said;
}
