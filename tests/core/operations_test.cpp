// How operations end seen from the core: a failed write stops the songs still
// converting at once, the re-estimate of a Download leaves the user-interface
// thread free, Verify finds what differs, and stale events are left out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core_fixture.h"
#include "storage_layout.h"

namespace velmo::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class OperationsTest : public CoreTest {
  public:
    // A long CBR MP3 without a length header, made of one fixture's frames
    // repeated: its length probe walks every frame.
    std::string longMp3(const std::string& name, int repeats) {
        std::ifstream in(fixture("l3_48000_cbr128_mono_nopad.mp3"), std::ios::binary);
        const std::string frames((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string path = dir.file(name);
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < repeats; ++i) out.write(frames.data(), static_cast<std::streamsize>(frames.size()));
        return path;
    }
};

TEST_F(OperationsTest, AFailedWriteStopsEveryConvertingSongWithOneMessage) {
    fs::create_directories(dir.file("m"));
    writeToneWav(dir.file("m") + "/Short.wav", 4);
    std::vector<std::string> songs{dir.file("m") + "/Short.wav"};
    for (int i = 0; i < 3; ++i) {
        songs.push_back(dir.file("m") + "/Long " + std::to_string(i) + ".wav");
        writeToneWav(songs.back(), 240);
    }
    startCore();
    core->setQuality(kQualityNormal);
    core->addSongs(songs);
    ASSERT_EQ(4, core->songCount());
    core->setConversionWorkers(4);
    // The first block fails to program: the short song is final while the
    // long ones are still converting.
    ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, 1, 0));
    view.answer(*core, core->download());
    Clock::time_point failedAt{};
    ASSERT_TRUE(pumpUntil([&] {
        if (failedAt == Clock::time_point{} && !view.messages.empty()) failedAt = Clock::now();
        return !core->operationRunning();
    }));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - failedAt);
    EXPECT_EQ(std::vector<std::string>{"Storage write error !"}, view.texts());
    EXPECT_LT(took.count(), 1000) << "ms: the songs under way were not stopped";
    ASSERT_EQ(1u, view.outcomes.size());
    EXPECT_EQ(OutcomeKind::Failed, view.outcomes[0].kind);
    EXPECT_EQ("Storage write error !", reasonOf(view.outcomes[0]));
    EXPECT_NE(0u, core->deviceHandle()) << "a refused block is no lost connection";
    EXPECT_TRUE(view.enabled);
    EXPECT_FALSE(fs::exists(start + "/dat/tmp.bin"));
}

TEST_F(OperationsTest, TheDownloadsReEstimateLeavesTheUserInterfaceThreadFree) {
    const std::string big = longMp3("Big.mp3", 1500);
    std::vector<Song> records(kMaxSongs);
    for (size_t i = 0; i < kMaxHeaderSongs; ++i) {
        const std::string link = dir.file("Song " + std::to_string(i) + ".mp3");
        fs::create_hard_link(big, link);
        const std::string work = "./dat/Song " + std::to_string(i) + ".mp3";
        Song& rec = records[i];
        std::memcpy(rec.sourcePath, link.c_str(), link.size() + 1);
        std::memcpy(rec.workPath, work.c_str(), work.size() + 1);
        rec.sizeEstimate = 1000;
        rec.copyPending = 1;
    }
    ASSERT_EQ(0, saveSongTable(start, kQualityGood, kMaxHeaderSongs, records.data(), 1000 * kMaxHeaderSongs));
    startCore();
    ASSERT_EQ(kMaxHeaderSongs, core->songCount());

    const Clock::time_point before = Clock::now();
    view.answer(*core, core->download());
    const auto blocked = Clock::now() - before;
    EXPECT_TRUE(core->operationRunning());
    EXPECT_FALSE(view.enabled);
    // Each of the 32 probes walks some 90000 frames: all of them on this
    // thread would take far longer than this.
    EXPECT_LT(blocked, std::chrono::milliseconds(50));

    EXPECT_TRUE(core->stop());
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(std::vector<std::string>{"Download stopped: the clock was not changed."}, view.texts());
    ASSERT_EQ(1u, view.outcomes.size());
    EXPECT_EQ(OutcomeKind::Stopped, view.outcomes[0].kind);
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_ERASE)) << "a Download stopped while it estimates never erases";
}

TEST_F(OperationsTest, VerifyNamesTheFirstAddressThatDiffers) {
    startCore();
    core->addSongs({songFile("v", "One.mp3", "l3_44100_cbr128_stereo.mp3")});
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(OutcomeKind::Finished, core->lastOutcome().kind);

    view.answer(*core, core->verify());
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(Operation::Verify, core->lastOutcome().operation);
    EXPECT_EQ(OutcomeKind::Finished, core->lastOutcome().kind) << reasonOf(core->lastOutcome());

    // One byte of the song's second block changed on the clock after the write.
    const uint32_t at = kDataAreaAddress + 4100;
    const uint8_t byte = simFlash(at, 1)[0];
    const uint8_t changed = static_cast<uint8_t>(byte ^ 0x01);
    ASSERT_EQ(0, zentroSimWriteFlash(at, 1, &changed));
    view.answer(*core, core->verify());
    ASSERT_TRUE(pumpToEnd());
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "verify failed: the clock holds 0x%02X at storage address 0x%X where the image has 0x%02X", changed,
                  at, byte);
    EXPECT_EQ(OutcomeKind::Failed, core->lastOutcome().kind);
    EXPECT_EQ(expected, reasonOf(core->lastOutcome()));
    EXPECT_TRUE(view.messages.empty() || view.texts() == std::vector<std::string>{kDownloadFinishedVerified})
        << "Verify shows no box of its own";
}

TEST_F(OperationsTest, EventsOfAnEndedOperationAreLeftOut) {
    startCore();
    core->addSongs({songFile("s", "One.mp3", "l3_44100_cbr128_stereo.mp3")});
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    const size_t boxes = view.messages.size();
    const Outcome last = core->lastOutcome();
    // What a worker of the finished Download might still have had queued.
    core->handle(PostedEvent{1, WriteFailed{WriteFailure::Erase, 0}});
    core->handle(PostedEvent{1, DownloadDone{}});
    EXPECT_EQ(boxes, view.messages.size());
    EXPECT_EQ(last.kind, core->lastOutcome().kind);
    EXPECT_FALSE(core->operationRunning());
}

}  // namespace
}  // namespace velmo::test
