#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "bytes.h"
#include "core_fixture.h"
#include "fileio.h"
#include "firmware.h"
#include "reload.h"
#include "song_fixtures.h"
#include "storage_layout.h"
#include "tempdir.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

struct Entry {
    uint32_t offset, size;
    std::string name;
};

// MPEG-1 layer III, 128 kbit/s, 44100 Hz, joint stereo.
constexpr uint8_t kFrameHeader[4] = {0xFF, 0xFB, 0x90, 0x44};
constexpr uint32_t kFrameBytes = 417;  // 144 x 128000 / 44100, no padding

// Writes a storage header (and data bytes) into the clock as a download would.
void writeClock(uint16_t count, const std::vector<Entry>& entries, uint16_t quality = 4) {
    StorageHeader h;
    h.songCount = count;
    std::memcpy(h.signature, kSignature, sizeof kSignature);
    h.quality = quality;
    uint32_t end = 0;
    for (size_t i = 0; i < entries.size() && i < kMaxHeaderSongs; ++i) {
        h.entries[i].dataOffset = entries[i].offset;
        h.entries[i].dataSize = entries[i].size;
        std::memcpy(h.entries[i].songName, entries[i].name.data(), std::min(entries[i].name.size(), kSongNameBytes));
        end = std::max(end, entries[i].offset + entries[i].size);
    }
    std::vector<uint8_t> bytes(kStorageHeaderBytes);
    encodeStorageHeader(h, bytes.data());
    ASSERT_EQ(0, zentroSimWriteFlash(kStorageHeaderAddress, kStorageHeaderBytes, bytes.data()));
    std::vector<uint8_t> data(end);
    for (uint32_t i = 0; i < end; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    // Every song the clock is given is a chain of MP3 frames, the last one cut
    // where the song ends.
    for (const Entry& e : entries) {
        for (uint32_t at = 0; at < e.size; at += kFrameBytes)
            std::memcpy(data.data() + e.offset + at, kFrameHeader, std::min<size_t>(sizeof kFrameHeader, e.size - at));
    }
    if (end) {
        ASSERT_EQ(0, zentroSimWriteFlash(kDataAreaAddress, end, data.data()));
    }
}

std::vector<uint8_t> firmwareFile(size_t size, size_t markerAt) {
    std::vector<uint8_t> code(size);
    for (size_t i = 0; i < size; ++i) code[i] = static_cast<uint8_t>(i % 251);
    if (markerAt + 4 <= size) std::memcpy(code.data() + markerAt, "(8G$", 4);
    return code;
}

}  // namespace

class ReloadTest : public CoreTest {
  public:
    void reload() {
        view.answers = {MessageResult::Ok};
        view.answer(*core, core->reload());
        ASSERT_TRUE(pumpToEnd());
    }

    // The clock's reads that come before the header's, counted in a Reload of
    // the same songs (one read per block of 4096 bytes: three for the header,
    // then the data's); the start folder's dat/ is emptied after it.
    // The header is read twice (no record of a Download is there), the data
    // once (reading twice is turned off for the count).
    uint32_t readsBeforeTable(const std::vector<Entry>& songs) {
        zentroSimReset();
        writeClock(static_cast<uint16_t>(songs.size()), songs);
        startCore();
        core->setReloadReadTwice(false);
        zentroSimResetCounts();
        reload();
        const uint32_t end = songs.back().offset + songs.back().size;
        const uint32_t reads = zentroSimCount(ZENTRO_COUNT_READ) - 6 - (end + 4095) / 4096;
        core->close();
        fs::remove_all(start + "/dat");
        fs::remove(start + "/velmo.conf");
        return reads;
    }

    // Every file in dat/ with its bytes.
    std::map<std::string, std::vector<uint8_t>> datFiles() {
        std::map<std::string, std::vector<uint8_t>> files;
        for (const auto& entry : fs::directory_iterator(start + "/dat"))
            files[entry.path().filename().string()] =
                fs::is_regular_file(entry.path()) ? readFileBytes(entry.path().string()) : std::vector<uint8_t>{};
        return files;
    }
};

TEST_F(ReloadTest, DownloadThenReloadGivesBackTheSameSongs) {
    startCore();
    core->addSongs({songFile("a", "Morning Walk.mp3", "l3_44100_cbr128_stereo.mp3"),
                 songFile("a", "Tone.wav", "wav_pcm16_mono.wav")});
    core->setQuality(kQualityBest);
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(std::vector<std::string>{kDownloadFinishedVerified}, view.texts());
    std::vector<uint8_t> image;
    ASSERT_TRUE(readWholeFile(start + "/dat/tmp.bin", image));
    const Song first = core->song(0);
    const Song second = core->song(1);
    core->close();

    // A fresh start folder on the same clock.
    start = dir.file("fresh");
    fs::create_directories(start);
    fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
    startCore();
    ASSERT_EQ(0, core->songCount());
    reload();
    EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "Reloading songs finished !"}), view.texts());
    ASSERT_EQ(2, core->songCount());
    EXPECT_EQ(8, core->quality());
    EXPECT_EQ((std::vector<std::string>{"Morning Walk.mp3", "Tone.mp3"}), view.lines);
    for (const Song* before : {&first, &second}) {
        const Song& now = core->song(before == &first ? 0 : 1);
        EXPECT_EQ(+before->dataOffset, +now.dataOffset);
        EXPECT_EQ(+before->dataSize, +now.dataSize);
        EXPECT_EQ(0, +now.copyPending);
        EXPECT_STREQ(now.workPath, now.sourcePath);
        std::vector<uint8_t> song;
        ASSERT_TRUE(readWholeFile(start + "/" + std::string(now.workPath).substr(2), song));
        const auto at = image.begin() + kStorageHeaderBytes + now.dataOffset;
        EXPECT_EQ(std::vector<uint8_t>(at, at + now.dataSize), song);
        EXPECT_GT(+now.sizeEstimate, 0u) << "re-estimated from the reloaded file";
    }
    EXPECT_TRUE(view.enabled);
    EXPECT_EQ("Progress:", view.progressCaption);
}

TEST_F(ReloadTest, ThreeSongsWithAnEmptyOneInTheMiddle) {
    writeClock(3, {{0, 1000, "one"}, {1000, 0, "two"}, {1000, 500, "three"}});
    startCore();
    reload();
    ASSERT_EQ(3, core->songCount());
    EXPECT_EQ(1000u, fs::file_size(start + "/dat/one.mp3"));
    EXPECT_EQ(0u, fs::file_size(start + "/dat/two.mp3"));
    EXPECT_EQ(500u, fs::file_size(start + "/dat/three.mp3"));
    EXPECT_EQ(1500u, fs::file_size(start + "/dat/tmp.ztd"));
    std::vector<uint8_t> three;
    ASSERT_TRUE(readWholeFile(start + "/dat/three.mp3", three));
    EXPECT_EQ(flash(kDataAreaAddress + 1000, 500), three);
}

// A header naming songs whose bytes are erased (a download cut short) or are
// no MP3 keeps the good songs and names the others.
TEST_F(ReloadTest, DamagedSongsAreLeftOutAndNamed) {
    struct Row {
        const char* name;
        std::vector<size_t> damaged;  // songs (0-based) whose first bytes are spoiled
        std::vector<std::string> lines;
        std::vector<std::string> texts;
    } rows[] = {
        {"erased and garbled among good ones",
         {1, 3},
         {"one.mp3", "three.mp3"},
         {"Reload song data into P.C ?", "Reloading songs finished !",
          "Song 2 on the clock is damaged and was not reloaded\nSong 4 on the clock is damaged and was not reloaded"}},
        {"every song damaged",
         {0, 1, 2, 3},
         {"song0.mp3"},
         {"Reload song data into P.C ?",
          "Song 1 on the clock is damaged and was not reloaded\n"
          "Song 2 on the clock is damaged and was not reloaded\n"
          "Song 3 on the clock is damaged and was not reloaded\n"
          "Song 4 on the clock is damaged and was not reloaded"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        writeClock(4, {{0, 1000, "one"}, {1000, 600, "two"}, {1600, 500, "three"}, {2100, 700, "four"}});
        const uint32_t offsets[] = {0, 1000, 1600, 2100};
        for (size_t i : row.damaged) {
            // Song 2 erased, as an interrupted write leaves it; the others garbled.
            const std::vector<uint8_t> spoiled(16, i == 1 ? 0xFF : 0x00);
            ASSERT_EQ(0, zentroSimWriteFlash(kDataAreaAddress + offsets[i], 16, spoiled.data()));
        }
        writeTable({1234}, 4);
        // A damaged song's file is never written: no earlier row's file may stand in for it.
        fs::remove_all(start + "/dat");
        fs::create_directories(start + "/dat");
        std::ofstream(start + "/dat/song0.mp3") << "the list's own working copy";
        startCore();
        reload();
        EXPECT_EQ(row.texts, view.texts());
        EXPECT_EQ(row.lines, view.lines);
        EXPECT_EQ(row.lines.size(), core->songCount());
        for (size_t i : row.damaged) {
            const char* names[] = {"one", "two", "three", "four"};
            EXPECT_FALSE(fs::exists(start + "/dat/" + names[i] + ".mp3")) << names[i];
        }
        for (const auto& entry : fs::directory_iterator(start)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "dat" || name == "spn.bin" || name == "zt_hdr.tbl") << name << " outside dat/";
        }
        EXPECT_TRUE(view.enabled);
        core->close();
    }
}

TEST_F(ReloadTest, AStoppedReloadLeavesTheListAsItWas) {
    writeClock(2, {{0, 200000, "one"}, {200000, 100000, "two"}});
    writeTable({1234}, 4);
    startCore();
    ASSERT_EQ(0, zentroSimSetDelay(1));  // a reload long enough to be stopped half-way
    view.answers = {MessageResult::Ok};
    view.answer(*core, core->reload());
    ASSERT_TRUE(pumpUntil(
        [&] { return core->operationRunning() && view.progressCaption == "Progress:Reloading music data..."; }));
    EXPECT_TRUE(core->stop());
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "Reload stopped: the song list was not changed."}), view.texts());
    EXPECT_EQ(1, core->songCount());
    EXPECT_EQ(std::vector<std::string>{"song0.mp3"}, view.lines);
    EXPECT_FALSE(fs::exists(start + "/dat/tmp.ztd"));
    EXPECT_FALSE(fs::exists(start + "/dat/one.mp3"));
    EXPECT_NE(0u, core->deviceHandle()) << "a stop keeps the connection";
    EXPECT_TRUE(view.enabled);
}

TEST_F(ReloadTest, NothingToReload) {
    struct Row {
        const char* name;
        std::function<void()> arrange;
    } rows[] = {
        {"never written", [] {}},
        {"no songs", [] { writeClock(0, {}); }},
        {"only empty songs",
         [] {
             writeClock(2, {{0, 0, "a"}, {0, 0, "b"}});
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        row.arrange();
        writeTable({1234}, 4);
        startCore();
        reload();
        EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "Storage has no music data."}),
                  view.texts());
        EXPECT_EQ(1, core->songCount()) << "the list is left as it was";
        EXPECT_EQ(1234u, core->totalEstimate());
        EXPECT_TRUE(view.enabled);
        if (std::string(row.name) == "never written") {
            EXPECT_FALSE(fs::exists(start + "/dat/tmp.tbl"));
        }
        core->close();
    }
}

TEST_F(ReloadTest, CancelTalksToNoDevice) {
    writeClock(1, {{0, 10, "x"}});
    startCore();
    zentroSimResetCounts();
    view.answers = {MessageResult::Cancel};
    view.answer(*core, core->reload());
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_START));
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_WRITE));
    EXPECT_FALSE(core->operationRunning());
}

TEST_F(ReloadTest, HostileNamesStayInsideTheWorkingFolder) {
    writeClock(6,
               {{0, 10, "../../x"}, {10, 10, "a/b"}, {20, 10, ""}, {30, 10, "dup"}, {40, 10, "dup"}, {50, 10, ".."}});
    startCore();
    reload();
    ASSERT_EQ(6, core->songCount());
    EXPECT_EQ(
        (std::vector<std::string>{".._.._x.mp3", "a_b.mp3", "Song 3.mp3", "dup.mp3", "dup (2).mp3", "Song 6.mp3"}),
        view.lines);
    EXPECT_FALSE(fs::exists(dir.file("x.mp3")));
    EXPECT_FALSE(fs::exists(start + "/x.mp3"));
    for (const auto& line : view.lines) EXPECT_EQ(10u, fs::file_size(start + "/dat/" + line)) << line;
}

// A header that describes what no Download writes ends the Reload before any
// song data is read: the list and its table stay as they were.
TEST_F(ReloadTest, ADamagedHeaderLeavesTheListAsItWas) {
    const std::vector<Entry> eight = {{0, 900, "s1"},    {900, 900, "s2"},  {1800, 900, "s3"}, {2700, 900, "s4"},
                                      {3600, 900, "s5"}, {4500, 900, "s6"}, {5400, 900, "s7"}, {6300, 900, "s8"}};
    // Header fields by their place in the storage (big-endian, 32-byte head,
    // 264-byte entries of offset, size and name).
    const auto entryField = [](size_t entry, size_t field) {
        return kStorageHeaderAddress + 32 + static_cast<uint32_t>(entry * kStorageEntryBytes + field);
    };
    const auto poke32 = [](uint32_t address, uint32_t value) {
        uint8_t b[4];
        writeBe32(b, value);
        ASSERT_EQ(0, zentroSimWriteFlash(address, 4, b));
    };
    struct Row {
        const char* name;
        std::function<void()> arrange;
    } rows[] = {
        {"count 32 over 8 songs", [&] { writeClock(32, eight); }},
        {"count 33", [&] { writeClock(33, eight); }},
        {"an entry past the storage", [&] { poke32(entryField(1, 4), 0x7FFFFFFF); }},
        {"an entry past the data area", [&] { poke32(entryField(7, 0), dataAreaCapacity(2048) - 100); }},
        {"two songs overlapping", [&] { poke32(entryField(2, 0), 1700); }},
        {"a name without its end",
         [&] {
             const std::vector<uint8_t> name(kSongNameBytes, 'a');
             ASSERT_EQ(0, zentroSimWriteFlash(entryField(3, 8), kSongNameBytes, name.data()));
         }},
        // A quality the encoder has no rate for, or at a rate the clock does not play.
        {"quality 0", [&] { writeClock(8, eight, 0); }},
        {"quality 1", [&] { writeClock(8, eight, 1); }},
        {"quality 3", [&] { writeClock(8, eight, 3); }},
        {"quality 247", [&] { writeClock(8, eight, 247); }},
        {"quality 0xFF08", [&] { writeClock(8, eight, 0xFF08); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        writeClock(8, eight);
        writeTable({1234}, 4);
        std::vector<uint8_t> table;
        ASSERT_TRUE(readWholeFile(start + "/zt_hdr.tbl", table));
        startCore();
        row.arrange();
        reload();
        ASSERT_EQ(2u, view.messages.size());
        EXPECT_EQ("The clock's song header is damaged", view.messages[1].text);
        EXPECT_EQ("Error", view.messages[1].caption);
        EXPECT_EQ(MessageIcon::Error, view.messages[1].icon);
        EXPECT_EQ(1, core->songCount()) << "the list is left as it was";
        EXPECT_EQ(std::vector<std::string>{"song0.mp3"}, view.lines);
        EXPECT_EQ(1234u, core->totalEstimate());
        EXPECT_FALSE(fs::exists(start + "/dat/tmp.tbl"));
        EXPECT_FALSE(fs::exists(start + "/dat/tmp.ztd")) << "no song data is read";
        EXPECT_FALSE(fs::exists(start + "/dat/s1.mp3"));
        EXPECT_TRUE(view.enabled);
        core->close();
        std::vector<uint8_t> after;
        ASSERT_TRUE(readWholeFile(start + "/zt_hdr.tbl", after));
        EXPECT_EQ(table, after) << "zt_hdr.tbl is byte-identical";
    }
}

// A song whose bytes are not one chain of MP3 frames from start to end,
// because the clock holds other bytes or because a read returned them, is
// named and left out; the songs around it are reloaded whole.
TEST_F(ReloadTest, ASongWhoseFrameChainBreaksIsNamedAndLeftOut) {
    const std::vector<Entry> songs = {{0, 9000, "one"}, {9000, 12000, "two"}, {21000, 5000, "three"}};
    // Storage address of song 2's frame header nearest its middle, and of a
    // byte inside a frame's audio data there, which no walk can judge.
    const uint32_t middleFrame = kDataAreaAddress + 9000 + 14 * kFrameBytes;
    // The reads the Reload makes before song data: the header's two come last.
    const uint32_t readsBefore = readsBeforeTable(songs) + 6;
    const auto dataRead = [&](uint32_t address) {  // the read event and the offset in its block
        const uint32_t at = address - kDataAreaAddress;
        return std::make_pair(readsBefore + at / 4096 + 1, at % 4096);
    };
    // A read of the clock that hands back one byte of `address` changed.
    const auto corruptRead = [&](uint32_t address) {
        return [&, address] {
            const auto [event, offset] = dataRead(address);
            zentroSimSetFault(ZENTRO_FAULT_CORRUPT_READ, ZENTRO_TRIGGER_AT, event, offset);
        };
    };
    struct Row {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> lines;
        const char* warning;
    } rows[] = {
        {"a read corrupts a song's first byte",
         corruptRead(kDataAreaAddress + 21000),
         {"one.mp3", "two.mp3"},
         "Song 3 on the clock is damaged and was not reloaded"},
        {"a read corrupts a frame header in a song's middle",
         corruptRead(middleFrame),
         {"one.mp3", "three.mp3"},
         "Song 2 on the clock is damaged and was not reloaded"},
        {"a read corrupts a frame's bitrate in a song's middle",
         corruptRead(middleFrame + 2),
         {"one.mp3", "three.mp3"},
         "Song 2 on the clock is damaged and was not reloaded"},
        {"a byte changed on the clock in a song's middle",
         [&] {
             const uint8_t changed = 0x7F;
             ASSERT_EQ(0, zentroSimWriteFlash(middleFrame + 1, 1, &changed));
         },
         {"one.mp3", "three.mp3"},
         "Song 2 on the clock is damaged and was not reloaded"},
        {"the last song's last frame header changed",
         [&] {
             const uint8_t changed = 0x00;
             ASSERT_EQ(0, zentroSimWriteFlash(kDataAreaAddress + 21000 + 11 * kFrameBytes, 1, &changed));
         },
         {"one.mp3", "two.mp3"},
         "Song 3 on the clock is damaged and was not reloaded"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        writeClock(3, songs);
        writeTable({1234}, 4);
        startCore();
        // One read of each song: what the walk alone finds.
        core->setReloadReadTwice(false);
        row.arrange();
        reload();
        EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "Reloading songs finished !", row.warning}),
                  view.texts());
        EXPECT_EQ(row.lines, view.lines);
        for (const std::string& line : row.lines) {
            const size_t i = line == "one.mp3" ? 0 : line == "two.mp3" ? 1 : 2;
            EXPECT_EQ(flash(kDataAreaAddress + songs[i].offset, songs[i].size), readFileBytes(start + "/dat/" + line))
                << line;
        }
        for (const char* name : {"one.mp3", "two.mp3", "three.mp3"}) {
            const bool listed = std::find(row.lines.begin(), row.lines.end(), name) != row.lines.end();
            EXPECT_EQ(listed, fs::exists(start + "/dat/" + name)) << name << ": only listed songs have files";
        }
        core->close();
        fs::remove_all(start + "/dat");
    }
}

// A read that hands back a changed byte is caught by reading again: in the
// header (a changed signature once read as a clock without songs, a changed
// count or size as a damaged header) and in a song's audio data, which no
// frame walk can judge. Without a record of a Download, each song is read
// twice ("Check Reload by reading twice", on by default).
TEST_F(ReloadTest, AReadErrorIsCaughtByReadingAgain) {
    const std::vector<Entry> songs = {{0, 9000, "one"}, {9000, 12000, "two"}, {21000, 5000, "three"}};
    const uint32_t readsBefore = readsBeforeTable(songs);
    const uint32_t dataBlocks = (26000 + 4095) / 4096;
    // A byte inside a frame's audio data in song 2.
    const uint32_t audioByte = 9000 + 14 * kFrameBytes + 100;
    const auto corrupt = [](uint32_t event, uint32_t offset) {
        return [=] { ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_CORRUPT_READ, ZENTRO_TRIGGER_AT, event, offset)); };
    };
    struct Row {
        const char* name;
        std::function<void()> arrange;
    } rows[] = {
        {"the signature's first read", corrupt(readsBefore + 1, 8)},
        {"the count's first read", corrupt(readsBefore + 1, 0)},
        {"song 2's size at its first read", corrupt(readsBefore + 1, 32 + 264 + 4)},
        {"the signature's second read", corrupt(readsBefore + 4, 8)},
        {"a song's audio byte at the first read", corrupt(readsBefore + 6 + audioByte / 4096 + 1, audioByte % 4096)},
        {"a song's audio byte at the second read",
         corrupt(readsBefore + 6 + dataBlocks + audioByte / 4096 + 1, audioByte % 4096)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        writeClock(3, songs);
        writeTable({1234}, 4);
        startCore();
        row.arrange();
        reload();
        EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "Reloading songs finished !"}),
                  view.texts());
        ASSERT_EQ((std::vector<std::string>{"one.mp3", "two.mp3", "three.mp3"}), view.lines);
        for (size_t i = 0; i < songs.size(); ++i)
            EXPECT_EQ(flash(kDataAreaAddress + songs[i].offset, songs[i].size),
                      readFileBytes(start + "/dat/" + view.lines[i]))
                << view.lines[i];
        core->close();
        fs::remove_all(start + "/dat");
    }
}

// After a verified Download the folder holds the digests of the clock's
// songs: a Reload of that clock reads each song once, reads again only a song
// that does not match, and ends naming a song that never does.
TEST_F(ReloadTest, TheRecordOfAVerifiedDownloadChecksTheReload) {
    const uint32_t readsBefore = readsBeforeTable({{0, 1000, "x"}});
    fs::remove(start + "/zt_hdr.tbl");
    zentroSimReset();
    startCore();
    core->addSongs({songFile("a", "Morning Walk.mp3", "l3_44100_cbr128_stereo.mp3"),
                 songFile("a", "Tone.wav", "wav_pcm16_mono.wav")});
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    ASSERT_TRUE(core->lastOutcome().verified) << ::testing::PrintToString(view.texts());
    ASSERT_TRUE(fs::exists(start + "/zt_songs.sum"));
    const Song first = core->song(0);
    const Song second = core->song(1);
    const uint32_t dataBlocks = (second.dataOffset + second.dataSize + 4095) / 4096;

    // A clean Reload: the header once, the data once.
    view.messages.clear();
    zentroSimResetCounts();
    reload();
    ASSERT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "Reloading songs finished !"}), view.texts());
    EXPECT_EQ(readsBefore + 3 + dataBlocks, zentroSimCount(ZENTRO_COUNT_READ));

    // A changed byte in song 1's first read: that song alone is read again.
    ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_CORRUPT_READ, ZENTRO_TRIGGER_AT, readsBefore + 4, first.dataSize / 2));
    view.messages.clear();
    zentroSimResetCounts();
    reload();
    ASSERT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "Reloading songs finished !"}), view.texts());
    EXPECT_EQ(readsBefore + 3 + dataBlocks + (first.dataSize + 4095) / 4096, zentroSimCount(ZENTRO_COUNT_READ));
    ASSERT_EQ((std::vector<std::string>{"Morning Walk.mp3", "Tone.mp3"}), view.lines);
    EXPECT_EQ(flash(kDataAreaAddress + first.dataOffset, first.dataSize),
              readFileBytes(start + "/dat/Morning Walk.mp3"));

    // The clock's song 2 no longer holds what was downloaded: every read
    // differs from the record, and the list and dat/ stay as they were.
    const uint32_t changedAt = kDataAreaAddress + second.dataOffset + second.dataSize / 2;
    const uint8_t changed = static_cast<uint8_t>(~flash(changedAt, 1)[0]);
    ASSERT_EQ(0, zentroSimWriteFlash(changedAt, 1, &changed));
    // The read's own files of the Reload before go with this one's, as
    // after any failed Reload; every other file stays.
    auto dat = datFiles();
    dat.erase("tmp.tbl");
    dat.erase("tmp.ztd");
    view.messages.clear();
    reload();
    EXPECT_EQ((std::vector<std::string>{
                  "Reload song data into P.C ?",
                  "Read error: song 2 (Tone) did not read as it was downloaded. Try the Reload again."}),
              view.texts());
    EXPECT_EQ(MessageIcon::Error, view.messages.back().icon);
    EXPECT_EQ(OutcomeKind::Failed, core->lastOutcome().kind);
    EXPECT_EQ((std::vector<std::string>{"Morning Walk.mp3", "Tone.mp3"}), view.lines);
    EXPECT_EQ(dat, datFiles());
    EXPECT_NE(0u, core->deviceHandle()) << "the connection is kept";
    EXPECT_TRUE(view.enabled);
}

// A Reload that fails after the songs were read writes nothing under the
// songs' names: a clock song named like a working copy of the list shown
// leaves that copy whole, and dat/ is exactly as it was.
TEST_F(ReloadTest, AFailedReloadLeavesDatAsItWas) {
    std::vector<Entry> songs = {{0, 40000, "song0"}};
    for (uint32_t i = 1; i < 8; ++i) songs.push_back({i * 40000, 40000, "s" + std::to_string(i + 1)});
    const auto pages = [](uint64_t bytes) { return (bytes + 4095) / 4096; };
    const std::vector<uint8_t> copy(5000, 0xAB);  // the working copy of the list's song0
    const std::string spn = std::string(VELMO_BIN_DIR) + "/spn.bin";
    struct Row {
        const char* name;
        bool smallDisk;
        std::string failing;  // the file named, empty: any
        int error;
    } rows[] = {
        {"the disk fills while the songs are written", true, "", ENOSPC},
        {"a folder has a song's name", false, "s5.mp3", EISDIR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        writeClock(8, songs);
        start = dir.file(row.smallDisk ? "disk" : "folder");
        fs::create_directories(start);
        if (row.smallDisk) {
            const std::string disk = start;
            const uint64_t used = pages(fs::file_size(spn)) + 2 * pages(kSongRecordBytes + 64) + 2 + pages(copy.size());
            const uint64_t room = pages(kStorageHeaderBytes) + pages(8 * 40000) + 4 * pages(40000);
            const std::string size = "size=" + std::to_string((used + room) * 4) + "k";
            if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, size.c_str()) != 0)
                GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        }
        fs::copy_file(spn, start + "/spn.bin");
        struct Unmount {
            std::string path;
            ~Unmount() {
                if (!path.empty()) ::umount2(path.c_str(), MNT_DETACH);
            }
        } unmount{row.smallDisk ? start : std::string()};
        writeTable({1234}, 4);
        fs::create_directories(start + "/dat");
        writeFileBytes(start + "/dat/song0.mp3", copy);
        if (!row.smallDisk) fs::create_directories(start + "/dat/" + row.failing);
        startCore();
        const auto before = datFiles();
        ASSERT_EQ(copy, before.at("song0.mp3"));
        reload();
        ASSERT_EQ(2u, view.messages.size());
        const std::string& text = view.messages[1].text;
        const std::string prefix = "Cannot write " + start + "/dat/" + row.failing;
        const std::string suffix = std::string(": ") + std::strerror(row.error);
        EXPECT_EQ(0u, text.rfind(prefix, 0)) << text;
        ASSERT_GT(text.size(), suffix.size());
        EXPECT_EQ(suffix, text.substr(text.size() - suffix.size())) << text;
        EXPECT_EQ(std::vector<std::string>{"song0.mp3"}, view.lines);
        auto after = datFiles();
        // The read's own files go, as after any failed Reload.
        after.erase("tmp.tbl");
        after.erase("tmp.ztd");
        EXPECT_EQ(before, after);
        core->close();
        core.reset();
        if (!row.smallDisk) fs::remove_all(start + "/dat");
    }
}

// Every song a Download writes passes the Reload's walk, the one cut to fit
// the storage at a byte limit included.
TEST_F(ReloadTest, EverySongADownloadWritesIsReloaded) {
    ASSERT_EQ(0, zentroSimSetStorageCode(4));  // 128 KiB: the long song is cut
    startCore();
    core->setQuality(kQualityBest);
    fs::create_directories(dir.file("p"));
    writeToneWav(dir.file("p") + "/Long.wav", 10);
    core->addSongs({songFile("p", "One.mp3", "l3_44100_cbr128_stereo.mp3"),
                 songFile("p", "Two.wav", "wav_pcm16_stereo.wav"), dir.file("p") + "/Long.wav"});
    view.answers = {MessageResult::Ok};
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ((std::vector<std::string>{"Storage size limit reached !", "Auto cut songs to fit storage size ?",
                                        kDownloadFinishedVerified}),
              view.texts());
    ASSERT_EQ(1, +core->song(2).cutFlag) << "the long song was cut to fit";
    const uint32_t cutSize = core->song(2).dataSize;
    ASSERT_GT(cutSize, 0u);
    core->close();

    start = dir.file("fresh");
    fs::create_directories(start);
    fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
    startCore();
    reload();
    EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "Reloading songs finished !"}), view.texts());
    EXPECT_EQ((std::vector<std::string>{"One.mp3", "Two.mp3", "Long.mp3"}), view.lines);
    ASSERT_EQ(3, core->songCount());
    EXPECT_EQ(cutSize, +core->song(2).dataSize);
}

// A song file that cannot be written ends the Reload naming it; the files it
// wrote go, and the list and its table stay as they were.
TEST_F(ReloadTest, ASongFileThatCannotBeWrittenEndsTheReload) {
    writeClock(3, {{0, 9000, "one"}, {9000, 12000, "two"}, {21000, 5000, "three"}});
    writeTable({1234}, 4);
    std::vector<uint8_t> table;
    ASSERT_TRUE(readWholeFile(start + "/zt_hdr.tbl", table));
    // A folder where song 2's file would go: no file can be made there, root or not.
    fs::create_directories(start + "/dat/two.mp3");
    startCore();
    reload();
    EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?",
                                        "Cannot write " + start + "/dat/two.mp3: " + std::strerror(EISDIR)}),
              view.texts());
    EXPECT_EQ("Error", view.messages.back().caption);
    EXPECT_EQ(std::vector<std::string>{"song0.mp3"}, view.lines);
    EXPECT_EQ(1, core->songCount());
    EXPECT_FALSE(fs::exists(start + "/dat/one.mp3")) << "what the Reload wrote is removed";
    EXPECT_FALSE(fs::exists(start + "/dat/three.mp3"));
    EXPECT_FALSE(fs::exists(start + "/dat/tmp.tbl"));
    EXPECT_FALSE(fs::exists(start + "/dat/tmp.ztd"));
    core->close();
    std::vector<uint8_t> after;
    ASSERT_TRUE(readWholeFile(start + "/zt_hdr.tbl", after));
    EXPECT_EQ(table, after);
}

// A start folder on a disk too small for what a Reload writes: the write
// that finds the disk full ends it naming the file, what it wrote goes, and
// the list and zt_hdr.tbl stay as they were. Mounting needs the right to; the
// test is skipped where the system does not give it.
TEST_F(ReloadTest, AFullDiskEndsTheReloadNamingTheFile) {
    std::vector<Entry> songs;
    for (uint32_t i = 0; i < 8; ++i) songs.push_back({i * 40000, 40000, "s" + std::to_string(i + 1)});
    const auto pages = [](uint64_t bytes) { return (bytes + 4095) / 4096; };
    struct Row {
        const char* name;
        uint64_t freePages;  // left free for the Reload's files
        bool dataFits;       // "dat/tmp.ztd" fits, a song file does not
    } rows[] = {
        {"the song data does not fit", pages(kStorageHeaderBytes) + pages(8 * 40000) / 2, false},
        {"the song files do not fit", pages(kStorageHeaderBytes) + pages(8 * 40000) + 4 * pages(40000), true},
    };
    const std::string spn = std::string(VELMO_BIN_DIR) + "/spn.bin";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        writeClock(8, songs);
        const std::string disk = dir.file(std::string("disk-") + (row.dataFits ? "songs" : "data"));
        fs::create_directories(disk);
        // The list's table and the agent take their pages first.
        const uint64_t used = pages(fs::file_size(spn)) + 2 * pages(kSongRecordBytes + 64) + 2;
        const std::string size = "size=" + std::to_string((used + row.freePages) * 4) + "k";
        if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, size.c_str()) != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        struct Unmount {
            std::string path;
            ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
        } unmount{disk};
        start = disk;
        fs::copy_file(spn, start + "/spn.bin");
        writeTable({1234}, 4);
        std::vector<uint8_t> table;
        ASSERT_TRUE(readWholeFile(start + "/zt_hdr.tbl", table));
        startCore();
        reload();
        ASSERT_EQ(2u, view.messages.size());
        const std::string& text = view.messages[1].text;
        const std::string prefix = "Cannot write " + start + "/dat/";
        const std::string suffix = std::string(": ") + std::strerror(ENOSPC);
        ASSERT_EQ(0u, text.rfind(prefix, 0)) << text;
        ASSERT_GT(text.size(), prefix.size() + suffix.size()) << text;
        EXPECT_EQ(suffix, text.substr(text.size() - suffix.size())) << text;
        const std::string file = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
        if (row.dataFits)
            EXPECT_TRUE(file.size() == 6 && file[0] == 's' && file.substr(2) == ".mp3") << file;
        else
            EXPECT_EQ("tmp.ztd", file);
        EXPECT_EQ("Error", view.messages[1].caption);
        EXPECT_EQ(MessageIcon::Error, view.messages[1].icon);
        EXPECT_EQ(1, core->songCount());
        EXPECT_EQ(std::vector<std::string>{"song0.mp3"}, view.lines);
        for (const auto& entry : fs::directory_iterator(start + "/dat"))
            ADD_FAILURE() << entry.path().filename() << " is left in dat/";
        core->close();
        std::vector<uint8_t> after;
        ASSERT_TRUE(readWholeFile(start + "/zt_hdr.tbl", after));
        EXPECT_EQ(table, after) << "zt_hdr.tbl is byte-identical";
        core.reset();
    }
}

TEST_F(ReloadTest, UnplugDuringEachReadStep) {
    // startAgent makes 4 handle calls; each 4096-byte block read makes 6.
    struct Row {
        uint32_t failingCall;
        bool tableRemains;
    } rows[] = {{5, false}, {4 + 18 + 1, false}};
    for (const Row& row : rows) {
        zentroSimReset();
        writeClock(1, {{0, 9000, "song"}});
        writeTable({1234}, 4);
        startCore();
        zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, row.failingCall, 0);
        reload();
        EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?", "USB connection error !"}), view.texts());
        EXPECT_EQ(1, core->connectState());
        EXPECT_EQ(0u, core->deviceHandle());
        EXPECT_EQ(row.tableRemains, fs::exists(start + "/dat/tmp.tbl"));
        EXPECT_FALSE(fs::exists(start + "/dat/tmp.ztd"));
        EXPECT_EQ(1, core->songCount());
        EXPECT_TRUE(view.enabled);
        core->close();
        EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_BAD_HANDLE));
    }
}

// ---------------------------------------------------------------------------
// Firmware

class FirmwareTest : public CoreTest {
  public:
    std::vector<std::string> upgrade(const std::vector<uint8_t>& code) {
        const std::string path = dir.file("fw.bin");
        writeFileBytes(path, code);
        view.messages.clear();
        view.firmwareChoices = {path};
        view.answers = {MessageResult::Ok};
        view.answer(*core, core->upgradeFirmware());
        EXPECT_TRUE(pumpToEnd());
        return view.texts();
    }
};

TEST_F(FirmwareTest, SizeAndMarkerChecks) {
    startCore();
    struct Row {
        size_t size, markerAt;
        const char* result;
    } rows[] = {
        {8184, 8180, "Writing code O.K !"},
        {8185, 0, "Firmware code file size is over limitation !"},
        {8192, 0, "Firmware code file size is over limitation !"},
        {8193, 0, "Firmware code file size is over limitation !"},
        {3, 99, "Firmware code format error !"},
        {500, 999, "Firmware code format error !"},
        {4, 0, "Writing code O.K !"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        const auto texts = upgrade(firmwareFile(row.size, row.markerAt));
        ASSERT_EQ(2u, texts.size());
        EXPECT_EQ("Upgrade Firmware ?", texts[0]);
        EXPECT_EQ(row.result, texts[1]);
        EXPECT_TRUE(view.enabled);
    }
}

TEST_F(FirmwareTest, TheFramedImageLandsAtTheFirmwareArea) {
    startCore();
    const auto code = firmwareFile(100, 10);
    EXPECT_EQ((std::vector<std::string>{"Upgrade Firmware ?", "Writing code O.K !"}), upgrade(code));
    std::vector<uint8_t> expected = {'B', 'O', 'O', 'T', 0x00, 0x64};
    expected.insert(expected.end(), code.begin(), code.end());
    expected.push_back('A');
    expected.push_back('t');
    EXPECT_EQ(expected, flash(kFirmwareAddress, 108));
    EXPECT_FALSE(fs::exists(start + "/dat/code.tmp"));
    EXPECT_FALSE(fs::exists(start + "/dat/check.tmp"));
}

TEST_F(FirmwareTest, ACorruptedReadBackErasesTheFirmwareHead) {
    startCore();
    // Reads: the agent's check at start (1), then the read-back (2).
    zentroSimSetFault(ZENTRO_FAULT_CORRUPT_READ, ZENTRO_TRIGGER_AT, 2, 50);
    EXPECT_EQ((std::vector<std::string>{"Upgrade Firmware ?", "Writing code failed !"}), upgrade(firmwareFile(300, 0)));
    EXPECT_EQ(std::vector<uint8_t>(4096, 0xFF), flash(kFirmwareAddress, 4096));
    EXPECT_TRUE(core->deviceHandle() != 0);
}

TEST_F(FirmwareTest, UnplugDuringTheReadBack) {
    startCore();
    // startAgent 4 calls, erase 4, one program block 6; the read-back's first call fails.
    zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 15, 0);
    EXPECT_EQ((std::vector<std::string>{"Upgrade Firmware ?", "Verify code failed !"}), upgrade(firmwareFile(300, 0)));
    EXPECT_EQ(1, core->connectState());
    EXPECT_FALSE(fs::exists(start + "/dat/code.tmp"));
    EXPECT_FALSE(fs::exists(start + "/dat/check.tmp"));
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_BAD_HANDLE));
}

TEST_F(FirmwareTest, NoClockOrCancelledDialog) {
    startCore();
    view.firmwareChoices.clear();
    view.answer(*core, core->upgradeFirmware());  // the dialog is cancelled
    EXPECT_TRUE(view.messages.empty());
    zentroSimSetPlugged(0);
    core->tick();
    view.answer(*core, core->upgradeFirmware());
    EXPECT_EQ(std::vector<std::string>{"Please plug-in USB again !"}, view.texts());
}

TEST(FirmwareFiles, ByteSumAndMissingFiles) {
    TempDir dir;
    writeFileBytes(dir.file("a"), {1, 2, 255});
    EXPECT_EQ(258, fileByteSum(dir.file("a")));
    EXPECT_EQ(-1, fileByteSum(dir.file("missing")));
    EXPECT_FALSE(sameFileContents(dir.file("missing"), dir.file("missing2")));
    writeFileBytes(dir.file("b"), {2, 1, 255});  // the same sum, other bytes
    EXPECT_FALSE(sameFileContents(dir.file("a"), dir.file("b")));
}
