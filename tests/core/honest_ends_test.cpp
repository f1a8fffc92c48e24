// What the user is told at the end: a stop that came too late to stop the
// write, a Download read back, a clock lost during the write, and the files
// an Add or a Drop left out, each with why.
#include <gtest/gtest.h>

#include <filesystem>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "fileio.h"
#include "image_record.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSong = "l3_44100_cbr128_stereo.mp3";
const std::string kFinished = "Downloading songs finished !";
const std::string kVerified = "Verified: what was written was read back from the clock and matches.";
const std::string kStoppedUnverified =
    "Download stopped: the clock holds the new songs, but they were not verified.";

bool startsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

}  // namespace

class HonestEndsTest : public CoreTest {
  public:
    void addTwoSongs() {
        core->addSongs({songFile("m", "One.mp3", kSong), songFile("m", "Two.wav", "wav_pcm16_stereo.wav")});
        ASSERT_EQ(2, core->songCount());
    }

    std::vector<uint8_t> image() {
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(readWholeFile(start + "/dat/tmp.bin", bytes));
        return bytes;
    }

    bool clockHoldsNoSongs() {
        StorageHeader h;
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        return !decodeStorageHeader(bytes.data(), bytes.size(), h) || !hasStorageSignature(h);
    }
};

// The stop is asked once the write worker has posted its last block and
// before that end is handled, as a Yes to the close's question answered
// late does: the clock holds the new songs, but the read-back never ran.
TEST_F(HonestEndsTest, AStopAfterTheLastBlockIsNoPlainFinish) {
    for (const bool verify : {true, false}) {
        SCOPED_TRACE(verify ? "verify after download" : "no verify");
        ASSERT_EQ(0, zentroSimReset());
        fs::remove(start + "/zt_hdr.tbl");
        startCore();
        addTwoSongs();
        core->overrideVerifyAfterDownload(verify);
        view.messages.clear();
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpUntil([&] { return view.progressCaption == "Progress: downloading music data..."; }));
        // Nothing is delivered now: the write runs to its end and posts it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (core->workersRunning() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_FALSE(core->workersRunning());
        ASSERT_TRUE(core->operationRunning());
        EXPECT_TRUE(core->stop());
        ASSERT_TRUE(pumpToEnd());

        EXPECT_EQ(std::vector<std::string>{kStoppedUnverified}, view.texts());
        EXPECT_EQ(OutcomeKind::Stopped, core->lastOutcome().kind);
        EXPECT_FALSE(core->lastOutcome().verified);
        // The write had ended: the clock names both songs.
        StorageHeader h;
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        ASSERT_TRUE(decodeStorageHeader(bytes.data(), bytes.size(), h) && hasStorageSignature(h));
        EXPECT_EQ(2, h.songCount);
        EXPECT_TRUE(view.enabled);
        core->close();
    }
}

// The end's box says, after the defined sentence, that the clock was read
// back, only when it was; the Download button reads Download again before it.
TEST_F(HonestEndsTest, TheEndSaysWhenTheClockWasReadBack) {
    for (const bool verify : {true, false}) {
        SCOPED_TRACE(verify ? "verify after download" : "no verify");
        ASSERT_EQ(0, zentroSimReset());
        fs::remove(start + "/zt_hdr.tbl");
        fs::remove_all(start + "/dat");
        startCore();
        addTwoSongs();
        core->overrideVerifyAfterDownload(verify);
        view.messages.clear();
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(1u, view.messages.size());
        EXPECT_EQ(verify ? kFinished + "\n" + kVerified : kFinished, view.messages[0].text);
        EXPECT_EQ(verify, core->lastOutcome().verified);
        EXPECT_FALSE(view.messages[0].stopAvailable) << "the button reads Download before the end's box";
        EXPECT_FALSE(view.stopAvailable);
        core->close();
    }
}

// A clock unplugged during a Download: after the defined text, what the
// clock holds by the write order.
TEST_F(HonestEndsTest, AnUnpluggedClockIsToldWhatItHolds) {
    // A first Download gives the number of blocks the write takes.
    startCore();
    addTwoSongs();
    core->overrideVerifyAfterDownload(false);
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    const std::vector<uint8_t> written = image();
    core->close();

    // The agent's start takes 4 calls, the erase 4, each block 6; a read of
    // the clock one each.
    constexpr uint32_t kAgentCalls = 4;
    constexpr uint32_t kEraseCalls = 4;
    constexpr uint32_t kCallsPerBlock = 6;
    const uint32_t blocks = static_cast<uint32_t>((written.size() - kStorageHeaderBytes + 4095) / 4096 + 3);
    struct Row {
        const char* name;
        bool byRecord;  // the clock holds the last Download's image, which is kept
        bool verify;
        uint32_t call;  // the call at which the clock goes
        const char* holds;
        bool noSongs;
    } rows[] = {
        {"before the erase, the clock's header read", true, true, kAgentCalls + 1, "The clock was not changed.",
         false},
        {"in the first block", false, false, kAgentCalls + kEraseCalls + 2,
         "The clock now holds no songs (its song header is erased first and written last), unless the connection "
         "was lost after the last block. Download again once it is plugged in.",
         true},
        {"in the read-back", false, true, kAgentCalls + kEraseCalls + kCallsPerBlock * blocks + 2,
         "The clock holds the new songs, but they were not verified.", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_OFF, 0, 0));
        ASSERT_EQ(0, zentroSimSetPlugged(1));
        startCore();
        // The clock holds the list's image, read back, and the record of it is kept or not.
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        core->close();
        if (!row.byRecord) {
            removeImageRecord(start);
            fs::remove_all(start + "/dat/cache");
        }
        startCore();
        core->overrideVerifyAfterDownload(row.verify);
        // A different list, so that a write by the record has something to write.
        if (row.byRecord) core->moveSongDown(0);
        view.messages.clear();
        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, row.call, 0));
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(1u, view.messages.size()) << ::testing::PrintToString(view.texts());
        EXPECT_EQ(std::string("USB connection error\n") + row.holds, view.messages[0].text);
        EXPECT_EQ("Error", view.messages[0].caption);
        EXPECT_FALSE(view.messages[0].stopAvailable);
        EXPECT_EQ(OutcomeKind::Failed, core->lastOutcome().kind);
        ASSERT_EQ(0, zentroSimSetPlugged(1));
        EXPECT_EQ(row.noSongs, clockHoldsNoSongs());
        core->close();
    }
}

// After an Add or a Drop that left files out, one box says how many joined
// and why the others did not; several refused files are listed there, not a
// box each, and a single one keeps its own box too.
TEST_F(HonestEndsTest, AnAddOrDropThatLeftFilesOutSaysWhy) {
    struct Row {
        const char* name;
        bool drop;
        int good;                    // song files that can join
        std::vector<std::string> bad;  // "missing", "empty", "text"
        uint32_t tableEstimate;      // a list already there, of one song this large; 0: none
        std::vector<std::string> boxes;  // the boxes' texts' first lines, in order
        std::string summary;         // the last box's text after its first line ("" : no summary)
    } rows[] = {
        {"40 songs", false, 40, {}, 0,
         {"Song counts are over than limit", "32 of 40 files joined the list."},
         "8 files were left out: a list takes at most 32 songs."},
        {"one missing file", false, 1, {"missing"}, 0,
         {"Cannot open ", "1 of 2 files joined the list."},
         "1 file was refused:\nCannot open "},
        {"a missing and an empty file", false, 1, {"missing", "empty"}, 0,
         {"1 of 3 files joined the list."},
         "2 files were refused:\nCannot open "},
        {"over the storage", false, 3, {}, 2025000,
         {"Storage size limit reached !", "1 of 3 files joined the list."},
         "2 files were left out: the clock's storage is full."},
        {"dropped: a missing, an empty and a text file", true, 1, {"missing", "empty", "text"}, 0,
         {"Only support '.mp3' & '.wav' file format.", "1 of 4 files joined the list."},
         "1 file is not an .mp3 or .wav file.\n2 files were refused:\nCannot open "},
        {"all joined", false, 2, {}, 0, {}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(start + "/zt_hdr.tbl");
        if (row.tableEstimate != 0) writeTable({row.tableEstimate}, kQualityGood);
        startCore();
        const uint16_t before = core->songCount();
        std::vector<std::string> files;
        const std::string folder = std::string("f") + row.name;
        for (int i = 0; i < row.good; ++i) files.push_back(songFile(folder, "s" + std::to_string(i) + ".mp3", kSong));
        for (const std::string& bad : row.bad) {
            const std::string path = dir.file(folder) + "/" + bad + (bad == "text" ? ".txt" : ".mp3");
            if (bad != "missing") writeFileBytes(path, bad == "empty" ? std::vector<uint8_t>{} : std::vector<uint8_t>(9, 'a'));
            files.push_back(path);
        }
        view.messages.clear();
        row.drop ? core->dropSongs(files) : core->addSongs(files);
        std::vector<std::string> firstLines;
        for (const std::string& t : view.texts()) firstLines.push_back(t.substr(0, t.find('\n')));
        ASSERT_EQ(row.boxes.size(), firstLines.size());
        for (size_t i = 0; i < row.boxes.size(); ++i) EXPECT_TRUE(startsWith(firstLines[i], row.boxes[i])) << firstLines[i];
        if (!row.summary.empty()) {
            const ShownMessage& last = view.messages.back();
            EXPECT_EQ("Information", last.caption);
            EXPECT_TRUE(startsWith(last.text.substr(last.text.find('\n') + 1), row.summary)) << last.text;
        }
        // Each refused file is named in the closing box, and in a box of its
        // own only when it is the one refused.
        size_t refusedFiles = 0;
        for (const std::string& bad : row.bad) refusedFiles += bad == "text" ? 0 : 1;
        for (const std::string& bad : row.bad) {
            if (bad == "text") continue;
            size_t boxes = 0;
            for (const std::string& t : view.texts()) boxes += t.find("/" + bad + ".mp3") != std::string::npos ? 1 : 0;
            EXPECT_EQ(refusedFiles == 1 ? 2u : 1u, boxes) << bad;
            EXPECT_NE(std::string::npos, view.texts().back().find("/" + bad + ".mp3")) << bad;
        }
        const size_t joined = static_cast<size_t>(core->songCount() - before);
        if (!row.summary.empty()) {
            EXPECT_TRUE(startsWith(view.texts().back(), std::to_string(joined) + " of " + std::to_string(files.size())));
        }
        core->close();
    }
}
