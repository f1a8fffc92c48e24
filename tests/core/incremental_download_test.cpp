// A Download onto a clock that holds the last verified Download's image
// erases and writes only the sectors that differ, leaves the flash exactly as
// a whole write would, and never leaves a clock mixed of two images.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "conversion_cache.h"
#include "core_fixture.h"
#include "fileio.h"
#include "image_record.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

const char* const kFixtures[] = {"l3_44100_cbr128_stereo.mp3", "wav_fmt18_mono.wav", "l3_22050_cbr64_stereo.mp3",
                                 "l3_44100_id3v2.mp3", "aiff_22050_stereo.aiff"};

}  // namespace

class IncrementalDownloadTest : public CoreTest {
  public:
    std::vector<std::string> songs(const std::string& folder, int count) {
        std::vector<std::string> out;
        for (int i = 0; i < count; ++i)
            out.push_back(songFile(folder, "S" + std::to_string(i) + fs::path(kFixtures[i]).extension().string(),
                                   kFixtures[i]));
        return out;
    }

    // One Download from a started core; the outcome, with the agent's erase
    // and program commands counted.
    Outcome download(bool verify = true) {
        core->overrideVerifyAfterDownload(verify);
        zentroSimResetCounts();
        view.answer(*core, core->download());
        EXPECT_TRUE(pumpToEnd());
        erases = zentroSimCount(ZENTRO_COUNT_ERASE);
        programs = zentroSimCount(ZENTRO_COUNT_PROGRAM);
        return core->lastOutcome();
    }

    std::vector<uint8_t> wholeFlash() { return flash(0, 2048u * 1024u); }

    // The flash a whole write of the current list gives: no record, no cache.
    std::vector<uint8_t> flashOfWholeWrite() {
        core->close();
        removeImageRecord(start);
        fs::remove_all(start + "/dat/cache");
        startCore();
        const Outcome o = download();
        EXPECT_EQ(o.imageBytes, o.bytesWritten);
        EXPECT_EQ(1u, erases) << "the whole song region at once";
        return wholeFlash();
    }

    uint64_t erases = 0;
    uint64_t programs = 0;
};

TEST_F(IncrementalDownloadTest, WritesOnlyWhatDiffersAndLeavesTheFlashOfAWholeWrite) {
    struct Row {
        const char* name;
        std::function<void(VelmoCore&, const std::vector<std::string>&)> change;
        bool writesNothing;
    };
    const std::vector<std::string> extra = songs("extra", 5);
    const Row rows[] = {
        {"unchanged list", [](VelmoCore&, const std::vector<std::string>&) {}, true},
        {"a song appended", [](VelmoCore& c, const std::vector<std::string>& e) { c.addSongs({e[4]}); }, false},
        {"the middle song deleted", [](VelmoCore& c, const std::vector<std::string>&) { c.removeSong(1); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(start);
        fs::create_directories(start);
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
        startCore();
        core->addSongs(std::vector<std::string>(extra.begin(), extra.begin() + 4));
        const Outcome first = download();
        ASSERT_EQ(OutcomeKind::Finished, first.kind) << reasonOf(first);
        ASSERT_TRUE(first.verified);
        const std::vector<uint8_t> before = wholeFlash();

        row.change(*core, extra);
        const Outcome next = download();
        ASSERT_EQ(OutcomeKind::Finished, next.kind) << reasonOf(next);
        EXPECT_TRUE(next.verified);
        if (row.writesNothing) {
            EXPECT_EQ(0u, erases);
            EXPECT_EQ(0u, programs);
            EXPECT_EQ(0u, next.bytesWritten);
            EXPECT_EQ(4u, next.songsUnchanged);
            EXPECT_EQ(before, wholeFlash());
            continue;
        }
        EXPECT_LT(next.bytesWritten, next.imageBytes);
        // What was kept lies before the change: every sector programmed past
        // the header is at or behind the first song that moved.
        const std::vector<uint8_t> after = wholeFlash();
        size_t firstDiffering = before.size();
        for (size_t at = kDataAreaAddress; at < before.size(); ++at)
            if (before[at] != after[at]) {
                firstDiffering = at;
                break;
            }
        const uint64_t sectorsOfTheRest = (next.imageBytes + kStorageHeaderAddress - firstDiffering / 4096 * 4096 + 4095) / 4096;
        EXPECT_LE(programs, sectorsOfTheRest + 3) << "the changed sectors and the header's";
        EXPECT_EQ(after, flashOfWholeWrite()) << "byte for byte what a whole write leaves";
    }
}

TEST_F(IncrementalDownloadTest, AClockWrittenElsewhereOrAMissingOrDamagedRecordGetsAWholeWrite) {
    const std::vector<std::string> list = songs("a", 3);
    startCore();
    core->addSongs(list);
    ASSERT_TRUE(download().verified);
    const uint64_t wholeProgram = programs;
    core->close();
    const std::string record = start + "/" + kImageRecordFile;
    std::vector<uint8_t> good;
    ASSERT_TRUE(readWholeFile(record, good));

    enum class Change { OtherFolder, Missing, Damaged };
    for (Change change : {Change::OtherFolder, Change::Missing, Change::Damaged}) {
        SCOPED_TRACE(static_cast<int>(change));
        ASSERT_TRUE(writeFileSafely(record, good.data(), good.size()));
        if (change == Change::OtherFolder) {
            // Another folder's list on the same clock.
            const std::string mine = start;
            start = dir.file("other");
            fs::create_directories(start);
            fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin",
                          fs::copy_options::overwrite_existing);
            startCore();
            core->addSongs({songFile("b", "Other.mp3", kFixtures[3])});
            ASSERT_EQ(OutcomeKind::Finished, download().kind);
            core->close();
            start = mine;
        } else if (change == Change::Missing) {
            fs::remove(record);
        } else {
            std::vector<uint8_t> damaged = good;
            damaged[damaged.size() / 2] ^= 0x01;
            ASSERT_TRUE(writeFileSafely(record, damaged.data(), damaged.size()));
        }
        startCore();
        const Outcome o = download();
        ASSERT_EQ(OutcomeKind::Finished, o.kind) << reasonOf(o);
        EXPECT_EQ(o.imageBytes, o.bytesWritten);
        EXPECT_EQ(1u, erases) << "the whole song region";
        EXPECT_EQ(wholeProgram, programs);
        core->close();
    }
}

// Cut at every agent call of a Download by the record: the clock then names
// no song, or holds the old image, or the new one, never parts of both.
TEST_F(IncrementalDownloadTest, AnInterruptionLeavesNoSongsTheOldImageOrTheNew) {
    const std::vector<std::string> list = songs("a", 5);
    startCore();
    core->addSongs(std::vector<std::string>(list.begin(), list.begin() + 4));
    ASSERT_TRUE(download().verified);
    std::vector<uint8_t> oldImage;
    ASSERT_TRUE(readWholeFile(start + "/dat/tmp.bin", oldImage));
    core->addSongs({list[4]});
    core->close();
    // The state every row starts from: the old image on the clock, its
    // record, and the list with the song appended.
    const std::string saved = dir.file("saved");
    fs::create_directories(saved);
    for (const char* f : {"zt_sectors.sum", "zt_songs.sum", "zt_hdr.tbl"})
        fs::copy_file(start + "/" + f, saved + "/" + f, fs::copy_options::overwrite_existing);
    fs::copy_file(sim + "/flash.bin", saved + "/flash.bin");

    const auto holds = [&](const std::vector<uint8_t>& image) {
        return flash(kStorageHeaderAddress, static_cast<uint32_t>(image.size())) == image;
    };
    const auto noSongs = [&] {
        StorageHeader h;
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        return !decodeStorageHeader(bytes.data(), bytes.size(), h) || !hasStorageSignature(h);
    };
    std::vector<uint8_t> newImage;
    bool sawEmpty = false;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> neitherEmptyNorOld;
    for (uint32_t call = 1;; ++call) {
        SCOPED_TRACE(call);
        for (const char* f : {"zt_sectors.sum", "zt_songs.sum", "zt_hdr.tbl"})
            fs::copy_file(saved + "/" + f, start + "/" + f, fs::copy_options::overwrite_existing);
        fs::copy_file(saved + "/flash.bin", sim + "/flash.bin", fs::copy_options::overwrite_existing);
        ASSERT_EQ(0, zentroSimSetPlugged(1));
        startCore();
        // The agent's start is not part of the write: it is cut from there on.
        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, call + 4, 0));
        const Outcome o = download(false);
        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_OFF, 0, 0));
        if (o.kind == OutcomeKind::Finished) {
            ASSERT_TRUE(readWholeFile(start + "/dat/tmp.bin", newImage));
            EXPECT_TRUE(holds(newImage));
            EXPECT_LT(o.bytesWritten, o.imageBytes) << "written by the record";
            core->close();
            break;
        }
        const bool empty = noSongs();
        sawEmpty = sawEmpty || empty;
        // A cut after the last block was programmed (its answer lost) leaves
        // the new image: compared once it is known.
        if (!empty && !holds(oldImage)) neitherEmptyNorOld.emplace_back(call, wholeFlash());
        core->close();
        ASSERT_LT(call, 2000u);
    }
    EXPECT_TRUE(sawEmpty) << "the cuts reached the write itself";
    for (const auto& [call, cut] : neitherEmptyNorOld) {
        SCOPED_TRACE(call);
        EXPECT_TRUE(std::equal(newImage.begin(), newImage.end(), cut.begin() + kStorageHeaderAddress))
            << "no songs, the old image or the new one: never parts of both";
    }
    EXPECT_LE(neitherEmptyNorOld.size(), 1u) << "only the last answer can be lost after the new image is whole";
}

// The cache holds the list's songs only, however the list changes.
TEST_F(IncrementalDownloadTest, TheCacheKeepsOnlyTheListsSongs) {
    const std::vector<std::string> pool = songs("p", 5);
    startCore();
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        if (core->songCount() < 4 && cycle % 3 != 2)
            core->addSongs({pool[static_cast<size_t>(cycle) % pool.size()]});
        else
            core->removeSong(cycle % 2);
        if (core->songCount() == 0) core->addSongs({pool[0]});
        ASSERT_EQ(OutcomeKind::Finished, download(false).kind);
        std::set<std::string> listed;
        WorkContext ctx;
        ctx.startDir = start;
        for (size_t i = 0; i < core->songCount(); ++i) listed.insert(conversionCacheName(core->song(i), ctx));
        size_t entries = 0;
        for (const auto& e : fs::directory_iterator(start + "/dat/cache")) {
            ++entries;
            EXPECT_EQ(1u, listed.count(e.path().filename().string())) << e.path();
        }
        EXPECT_LE(entries, static_cast<size_t>(core->songCount()));
    }
}
