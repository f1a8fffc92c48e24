// A Download cut short at any point leaves the clock either with an erased
// header (no songs) or with the whole image, and never changes the list.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "fileio.h"
#include "image_record.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

enum class Cut { Unplug, RefusedBlock, Stop };

struct CutRow {
    const char* name;
    Cut how;
    // The block (1 = the first block written, in writing order) at which the
    // write is cut; `blocks + extra` when counted from the end.
    int block;
    bool fromEnd;
};

}  // namespace

class InterruptTest : public CoreTest {
  public:
    // A first, complete download: the image every later one repeats, the
    // number of blocks it takes, and the song table it leaves.
    void SetUp() override {
        CoreTest::SetUp();
        startCore();
        core->addSongs(
            {songFile("m", "One.mp3", "l3_44100_cbr128_stereo.mp3"), songFile("m", "Two.wav", "wav_pcm16_stereo.wav")});
        zentroSimResetCounts();
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(std::vector<std::string>{kDownloadFinishedVerified}, view.texts());
        blocks = static_cast<int>(zentroSimCount(ZENTRO_COUNT_PROGRAM));
        ASSERT_TRUE(readWholeFile(start + "/dat/tmp.bin", image));
        core->close();
        // The Downloads below write the whole image: no record of this one
        // (which would let them keep what the clock holds) nor its conversions.
        removeImageRecord(start);
        fs::remove_all(start + "/dat/cache");
        ASSERT_TRUE(readWholeFile(start + "/zt_hdr.tbl", table));
        // song data blocks, then the header's three
        ASSERT_EQ(blocks, static_cast<int>((image.size() - kStorageHeaderBytes + 4095) / 4096 + 3));
    }

    bool clockHoldsNoSongs() {
        StorageHeader h;
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        return !decodeStorageHeader(bytes.data(), bytes.size(), h) || !hasStorageSignature(h);
    }

    bool clockHoldsTheImage() { return flash(kStorageHeaderAddress, static_cast<uint32_t>(image.size())) == image; }

    std::vector<uint8_t> image, table;
    int blocks = 0;
};

TEST_F(InterruptTest, TheClockHoldsNoSongsOrTheWholeImage) {
    // The calls before the first block: the agent's start (4) and the erase (4);
    // each block then takes 6.
    constexpr uint32_t kCallsBeforeWrite = 8;
    constexpr uint32_t kCallsPerBlock = 6;
    const CutRow rows[] = {
        {"unplugged at the first data block", Cut::Unplug, 1, false},
        {"unplugged in the data", Cut::Unplug, 2, false},
        {"unplugged in the header", Cut::Unplug, -1, true},
        {"unplugged at the signature block", Cut::Unplug, 0, true},
        {"unplugged after the last block", Cut::Unplug, 1, true},
        {"block refused at the first data block", Cut::RefusedBlock, 1, false},
        {"block refused in the header", Cut::RefusedBlock, -2, true},
        {"block refused at the signature block", Cut::RefusedBlock, 0, true},
        {"stopped before the first data block", Cut::Stop, 1, false},
        {"stopped in the data", Cut::Stop, 2, false},
        {"stopped in the header", Cut::Stop, -1, true},
        {"stopped after the last block", Cut::Stop, 1, true},
    };
    for (const CutRow& row : rows) {
        SCOPED_TRACE(row.name);
        const int block = row.fromEnd ? blocks + row.block : row.block;
        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_OFF, 0, 0));
        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_OFF, 0, 0));
        startCore();
        // The write order alone is looked at here: the read-back that follows
        // the last block has tests of its own.
        core->overrideVerifyAfterDownload(false);
        if (row.how == Cut::Unplug) {
            const uint32_t calls = kCallsBeforeWrite + kCallsPerBlock * static_cast<uint32_t>(block - 1);
            ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, calls, 0));
        } else if (row.how == Cut::RefusedBlock) {
            ASSERT_EQ(0,
                      zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, static_cast<uint32_t>(block), 0));
        }
        zentroSimResetCounts();
        view.answer(*core, core->download());
        bool stopped = false;
        ASSERT_TRUE(pumpUntil([&] {
            if (row.how == Cut::Stop && !stopped &&
                zentroSimCount(ZENTRO_COUNT_PROGRAM) >= static_cast<uint64_t>(block - 1)) {
                stopped = true;
                core->stop();
            }
            return !core->operationRunning() && !core->workersRunning();
        }));
        ASSERT_TRUE(pumpToEnd());

        if (block > blocks) {
            EXPECT_TRUE(clockHoldsTheImage());
            // A stop that lands after the last block, before the write's end
            // is handled, is no plain finish: nothing was verified.
            EXPECT_TRUE(shown("Downloading songs finished !") ||
                        (row.how == Cut::Stop &&
                         shown("Download stopped: the clock holds the new songs, but they were not verified.")));
        } else if (row.how == Cut::Stop) {
            // The stop lands within a block of the request (or, this early,
            // before the erase): either way the clock is consistent, and the
            // message says which.
            EXPECT_TRUE(clockHoldsNoSongs() || clockHoldsTheImage());
            // A stop that the last block outran leaves the whole image, told
            // as not verified (or, when the write's end was handled before the
            // stop was asked for, as finished).
            EXPECT_TRUE(shown("Download stopped: the clock was not changed.") ||
                        (clockHoldsNoSongs()
                             ? shown("Download stopped: the clock now holds no songs.")
                             : shown("Download stopped: the clock holds the new songs, but they were not verified.") ||
                                   shown("Downloading songs finished !")));
        } else {
            EXPECT_TRUE(clockHoldsNoSongs());
            // An unplugged clock and a block the agent refused are told apart.
            // The unplugged clock is told what it holds now.
            EXPECT_TRUE(row.how == Cut::Unplug ? shown("USB connection error\nThe clock now holds no songs (its song "
                                                       "header is erased first and written last), unless the "
                                                       "connection was lost after the last block. Download again "
                                                       "once it is plugged in.")
                                               : shown("Storage write error !"));
        }
        EXPECT_FALSE(shownStarting("Downloading songs finished !") && clockHoldsNoSongs());
        EXPECT_TRUE(view.enabled);
        core->close();
        std::vector<uint8_t> after;
        ASSERT_TRUE(readWholeFile(start + "/zt_hdr.tbl", after));
        EXPECT_EQ(table, after) << "the song list is unchanged";
        // Plug the clock back in for the next row.
        ASSERT_EQ(0, zentroSimSetPlugged(1));
    }
}

// A stop during the conversion ends the download at once, and the next one succeeds.
TEST_F(InterruptTest, StopDuringTheConversion) {
    startCore();
    view.answer(*core, core->download());
    EXPECT_TRUE(core->stop());
    ASSERT_TRUE(pumpToEnd());
    EXPECT_TRUE(shown("Download stopped: the clock now holds no songs.") || shown("Download stopped: the clock was not changed."));
    EXPECT_FALSE(shown("Music files converted error !"));
    EXPECT_TRUE(shown("Download stopped: the clock now holds no songs.") ? clockHoldsNoSongs() : clockHoldsTheImage());
    EXPECT_EQ(1u, view.messages.size());
    EXPECT_EQ("Progress:", view.progressCaption);
    EXPECT_TRUE(view.enabled);
    EXPECT_FALSE(fs::exists(start + "/dat/raw.tmp"));
    EXPECT_FALSE(fs::exists(start + "/dat/mp3.tmp"));

    view.messages.clear();
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    // A clock left as it was may be kept by the record: the end then says so.
    ASSERT_EQ(1u, view.texts().size());
    EXPECT_EQ(0u, view.texts()[0].rfind("Downloading songs finished !", 0)) << view.texts()[0];
    EXPECT_TRUE(clockHoldsTheImage());
}
