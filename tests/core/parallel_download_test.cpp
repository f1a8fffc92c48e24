// A Download on several conversion workers, with the clock written while songs
// still convert: the clock ends up with exactly the image one worker makes, a
// song that could not be converted is named, and a stop at any moment leaves
// the clock naming no songs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "fileio.h"
#include "image_record.h"
#include "full_disk.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

// The data area of a 128 KiB clock (storage code 4).
constexpr uint32_t kDataAreaCapacity128KiB = 128 * 1024 - 24864;

class ParallelDownloadTest : public CoreTest {
  public:
    bool clockHoldsNoSongs() {
        StorageHeader h;
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        return !decodeStorageHeader(bytes.data(), bytes.size(), h) || !hasStorageSignature(h);
    }

    // No song's own working file is left in dat/.
    void expectNoSongWorkFiles() {
        for (const auto& entry : fs::directory_iterator(start + "/dat")) {
            const std::string name = entry.path().filename().string();
            EXPECT_FALSE(name.rfind("raw-", 0) == 0 || name.rfind("mp3-", 0) == 0) << name << " is left";
        }
    }

    // A fresh list in a fresh start folder: an MP3, a song whose working copy
    // and source are gone, a WAV, and a long WAV that must be cut to fit the
    // 128 KiB clock (storage code 4).
    void makeList(unsigned workers) {
        fs::remove_all(start + "/dat");
        fs::remove(start + "/zt_hdr.tbl");
        ASSERT_EQ(0, zentroSimSetStorageCode(4));
        ASSERT_EQ(0, zentroSimEraseAll());
        startCore();
        core->setConversionWorkers(workers);
        core->setQuality(kQualityBest);
        fs::create_directories(dir.file("p"));
        writeToneWav(dir.file("p") + "/Long.wav", 10);
        core->addSongs({songFile("p", "One.mp3", "l3_44100_cbr128_stereo.mp3"),
                     songFile("p", "Victim.mp3", "l3_44100_cbr128_stereo.mp3"),
                     songFile("p", "Two.wav", "wav_pcm16_stereo.wav"), dir.file("p") + "/Long.wav"});
        ASSERT_EQ(4, core->songCount());
        // Its working copy is there but holds no audio: it cannot be converted.
        fs::remove(core->song(1).sourcePath);
        writeFileBytes(start + "/dat/Victim.mp3", std::vector<uint8_t>(3000, 0x11));
        editSavedList([](Song* songs) { songs[1].copyPending = 0; });
        core->setConversionWorkers(workers);
        view.messages.clear();
    }
};

TEST_F(ParallelDownloadTest, OneAndFourWorkersPutTheSameImageOnTheClock) {
    std::vector<uint8_t> first;
    for (unsigned workers : {1u, 4u}) {
        SCOPED_TRACE(workers);
        makeList(workers);
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        EXPECT_EQ((std::vector<std::string>{"Auto cut songs to fit storage size ?",
                                            "Downloading songs finished ! 1 song could not be converted: Victim.mp3\nVerified: what was written was read back from the clock and matches."}),
                  view.texts());
        ASSERT_FALSE(view.outcomes.empty());
        const Outcome& outcome = view.outcomes.back();
        EXPECT_EQ(Operation::Download, outcome.operation);
        EXPECT_EQ(OutcomeKind::Incomplete, outcome.kind) << "a song is not on the clock";
        EXPECT_EQ(std::vector<std::string>{"Victim.mp3"}, outcome.leftOff.unconverted);
        EXPECT_EQ(1, +core->song(3).cutFlag) << "the long song was cut to fit";

        std::vector<uint8_t> image;
        ASSERT_TRUE(readWholeFile(start + "/dat/tmp.bin", image));
        EXPECT_TRUE(image == flash(kStorageHeaderAddress, static_cast<uint32_t>(image.size())))
            << "the clock holds exactly the image";
        StorageHeader h;
        ASSERT_TRUE(decodeStorageHeader(image.data(), image.size(), h));
        EXPECT_EQ(4, h.songCount);
        EXPECT_EQ(0u, h.entries[1].dataSize);
        EXPECT_GT(h.entries[3].dataSize, 0u);
        expectNoSongWorkFiles();
        if (first.empty()) {
            first = image;
        } else {
            EXPECT_TRUE(first == image) << "one worker and four make different images";
        }
        core->close();
    }
}

// A stop while songs convert, or while the first songs are being written and
// later ones still convert: the clock is left naming no songs.
TEST_F(ParallelDownloadTest, AStopDuringTheConversionOrTheWriteLeavesNoSongs) {
    struct Row {
        const char* name;
        bool duringWrite;  // stop at the first block written, not once the erase has begun
    } rows[] = {{"stopped during the conversion", false}, {"stopped during the write", true}};
    fs::create_directories(dir.file("s"));
    writeToneWav(dir.file("s") + "/Short.wav", 1);
    writeToneWav(dir.file("s") + "/LongA.wav", 20);
    writeToneWav(dir.file("s") + "/LongB.wav", 20);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(start + "/dat");
        fs::remove(start + "/zt_hdr.tbl");
        ASSERT_EQ(0, zentroSimSetStorageCode(7));
        // A whole image from an earlier download, which a stop must not leave named.
        startCore();
        core->setConversionWorkers(4);
        core->setQuality(kQualityBest);
        core->addSongs({dir.file("s") + "/Short.wav", dir.file("s") + "/LongA.wav", dir.file("s") + "/LongB.wav"});
        ASSERT_EQ(3, core->songCount());
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_FALSE(clockHoldsNoSongs());
        view.messages.clear();
        // A whole write that converts again: without the record the clock is
        // erased beside the conversion, and without the cache every song converts.
        removeImageRecord(start);
        fs::remove_all(start + "/dat/cache");

        ASSERT_EQ(0, zentroSimSetDelay(1));
        delivered.clear();
        zentroSimResetCounts();
        view.answer(*core, core->download());
        bool stopped = false, stillConverting = false;
        ASSERT_TRUE(pumpUntil([&] {
            const bool writing = std::any_of(delivered.begin(), delivered.end(), [](const PostedEvent& m) {
                return std::holds_alternative<WriteProgress>(m.event);
            });
            const bool erased = zentroSimCount(ZENTRO_COUNT_ERASE) >= 1;
            if (!stopped && (row.duringWrite ? writing : erased)) {
                stillConverting = std::none_of(delivered.begin(), delivered.end(), [](const PostedEvent& m) {
                    return std::holds_alternative<ConvertDone>(m.event);
                });
                stopped = true;
                core->stop();
            }
            return !core->operationRunning() && !core->workersRunning();
        }));
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(0, zentroSimSetDelay(0));
        EXPECT_TRUE(stillConverting) << "the stop came after the conversion";
        EXPECT_TRUE(clockHoldsNoSongs());
        EXPECT_EQ(std::vector<std::string>{"Download stopped: the clock now holds no songs."}, view.texts());
        ASSERT_FALSE(view.outcomes.empty());
        EXPECT_EQ(OutcomeKind::Stopped, view.outcomes.back().kind);
        EXPECT_EQ("Download stopped: the clock now holds no songs.", reasonOf(view.outcomes.back()));
        EXPECT_EQ("Progress:", view.progressCaption);
        EXPECT_TRUE(view.enabled);
        EXPECT_FALSE(fs::exists(start + "/dat/tmp.bin"));
        expectNoSongWorkFiles();
        core->close();
    }
}

// Songs whose converted data is larger than their estimates: each song's
// working copy was made earlier and is longer than the file the Download
// estimates it from, so the list passes no cut question, yet its real sizes
// pass the 128 KiB clock's data area. Every song left off is named, the
// Download does not end as plainly finished, and the songs that fit are on the
// clock, the same with one worker as with four.
TEST_F(ParallelDownloadTest, SongsWhoseRealSizePassesTheClockAreNamed) {
    std::vector<uint8_t> first;
    for (unsigned workers : {1u, 4u}) {
        SCOPED_TRACE(workers);
        fs::remove_all(start + "/dat");
        fs::remove(start + "/zt_hdr.tbl");
        ASSERT_EQ(0, zentroSimSetStorageCode(4));
        ASSERT_EQ(0, zentroSimEraseAll());
        startCore();
        core->setQuality(kQualityBest);
        const std::string p = dir.file("fit");
        fs::create_directories(p);
        for (const char* name : {"A.wav", "B.wav", "C.wav", "D.wav"}) writeToneWav(p + "/" + name, 1);
        core->addSongs({p + "/A.wav", p + "/B.wav", p + "/C.wav", p + "/D.wav"});
        ASSERT_EQ(4, core->songCount());
        // B and C were converted from 14 s working copies: about 112000 bytes
        // each at Best, where their 1 s sources estimate 8000.
        fs::create_directories(start + "/dat");
        for (const char* name : {"B.wav", "C.wav"}) writeToneWav(start + "/dat/" + name, 14);
        editSavedList([](Song* songs) { songs[1].copyPending = songs[2].copyPending = 0; });
        core->setConversionWorkers(workers);
        view.messages.clear();

        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        EXPECT_EQ((std::vector<std::string>{
                      "Downloading songs finished ! 2 songs did not fit on the clock and are not on it: B.wav, C.wav\nVerified: what was written was read back from the clock and matches."}),
                  view.texts())
            << "no cut question: the estimates fit";
        ASSERT_FALSE(view.outcomes.empty());
        const Outcome& outcome = view.outcomes.back();
        EXPECT_EQ(OutcomeKind::Incomplete, outcome.kind);
        EXPECT_EQ((std::vector<std::string>{"B.wav", "C.wav"}), outcome.leftOff.didNotFit);
        EXPECT_TRUE(outcome.leftOff.unconverted.empty());

        std::vector<uint8_t> image;
        ASSERT_TRUE(readWholeFile(start + "/dat/tmp.bin", image));
        EXPECT_TRUE(image == flash(kStorageHeaderAddress, static_cast<uint32_t>(image.size())))
            << "the clock holds exactly the image";
        StorageHeader h;
        ASSERT_TRUE(decodeStorageHeader(image.data(), image.size(), h));
        ASSERT_EQ(4, h.songCount);
        EXPECT_GT(h.entries[0].dataSize, 0u);
        EXPECT_EQ(0u, h.entries[1].dataSize);
        EXPECT_EQ(0u, h.entries[2].dataSize);
        EXPECT_GT(h.entries[3].dataSize, 0u) << "a later song that fits is on the clock";

        // The list tells each song's real size, and which ones are not on the clock.
        for (size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            const std::optional<SongFactsStore::Fate> fate = core->songFate(i);
            ASSERT_TRUE(fate.has_value());
            EXPECT_EQ(i == 1 || i == 2, fate->isLeftOff());
            if (i == 0 || i == 3) {
                EXPECT_EQ(fate->convertedBytes, +h.entries[i].dataSize);
            } else {
                EXPECT_GT(fate->convertedBytes, kDataAreaCapacity128KiB / 2) << "its real size, though it is not kept";
            }
        }
        EXPECT_NE(std::string::npos, present::songToolTip(*core, 1).find("Not on the clock: did not fit on the clock"))
            << present::songToolTip(*core, 1);
        EXPECT_NE(std::string::npos, present::songToolTip(*core, 0).find("Size on the clock:")) << present::songToolTip(*core, 0);

        if (first.empty()) {
            first = image;
        } else {
            EXPECT_TRUE(first == image) << "one worker and four make different images";
        }
        core->close();
    }
}

// A disk that fills while Even Volume writes a song's PCM: the end names the
// song with that cause, or, when no song could be written, says so of the
// conversion as a whole. /dev/full stands in for the full disk.
TEST_F(ParallelDownloadTest, AFullDiskIsNamedInTheEnd) {
    struct Row {
        std::vector<size_t> fullAt;
        OutcomeKind kind;
        std::string text;
    } rows[] = {
        {{1}, OutcomeKind::Incomplete, "Downloading songs finished ! 1 song could not be converted: B.wav (the disk is full)\nVerified: what was written was read back from the clock and matches."},
        {{0, 1}, OutcomeKind::Failed, "Music files converted error ! (the disk is full)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        fs::remove_all(start + "/dat");
        fs::remove(start + "/zt_hdr.tbl");
        ASSERT_EQ(0, zentroSimEraseAll());
        startCore();
        core->setEvenVolume(true);
        const std::string p = dir.file("full");
        fs::create_directories(p);
        for (const char* name : {"A.wav", "B.wav"}) writeToneWav(p + "/" + name, 1);
        core->addSongs({p + "/A.wav", p + "/B.wav"});
        ASSERT_EQ(2, core->songCount());
        for (size_t i : row.fullAt) {
            const std::string why = test::plantFullDisk(start + "/dat/raw-" + std::to_string(i) + ".tmp");
            if (!why.empty()) GTEST_SKIP() << "cannot make a full-disk node here: " << why;
        }
        view.messages.clear();
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        EXPECT_EQ(std::vector<std::string>{row.text}, view.texts());
        ASSERT_FALSE(view.outcomes.empty());
        EXPECT_EQ(row.kind, view.outcomes.back().kind);
        if (row.kind == OutcomeKind::Incomplete) {
            EXPECT_EQ(std::vector<std::string>{"B.wav"}, view.outcomes.back().leftOff.unconverted);
            EXPECT_EQ(std::vector<int>{ENOSPC}, view.outcomes.back().leftOff.causes);
            EXPECT_EQ("could not be converted (the disk is full)", present::songLeftOffText(*core, 1));
        }
        core->close();
    }
}
