#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "bytes.h"
#include "core_fixture.h"
#include "fileio.h"
#include "firmware.h"
#include "reload.h"
#include "storage_layout.h"

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
    // Every song the clock is given starts with an MP3 frame header.
    for (const Entry& e : entries) {
        if (e.size >= sizeof kFrameHeader) std::memcpy(data.data() + e.offset, kFrameHeader, sizeof kFrameHeader);
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
        core->onReload();
        ASSERT_TRUE(pumpToEnd());
    }
};

TEST_F(ReloadTest, DownloadThenReloadGivesBackTheSameSongs) {
    startCore();
    core->onAdd({songFile("a", "Morning Walk.mp3", "l3_44100_cbr128_stereo.mp3"),
                 songFile("a", "Tone.wav", "wav_pcm16_mono.wav")});
    core->onBest();
    core->onDownload();
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(std::vector<std::string>{"Downloading songs finished !"}, view.texts());
    std::vector<uint8_t> image;
    ASSERT_TRUE(readWholeFile(start + "/dat/tmp.bin", image));
    const Song first = core->song(0);
    const Song second = core->song(1);
    core->onClose();

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
        core->onClose();
    }
}

TEST_F(ReloadTest, AStoppedReloadLeavesTheListAsItWas) {
    writeClock(2, {{0, 200000, "one"}, {200000, 100000, "two"}});
    writeTable({1234}, 4);
    startCore();
    ASSERT_EQ(0, zentroSimSetDelay(1));  // a reload long enough to be stopped half-way
    view.answers = {MessageResult::Ok};
    core->onReload();
    ASSERT_TRUE(pumpUntil(
        [&] { return core->operationRunning() && view.progressCaption == "Progress:Reloading music data..."; }));
    EXPECT_TRUE(core->onStop());
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ((std::vector<std::string>{"Reload song data into P.C ?", kReloadStoppedText}), view.texts());
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
        core->onClose();
    }
}

TEST_F(ReloadTest, CancelTalksToNoDevice) {
    writeClock(1, {{0, 10, "x"}});
    startCore();
    zentroSimResetCounts();
    view.answers = {MessageResult::Cancel};
    core->onReload();
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

TEST_F(ReloadTest, EntriesPastTheDataAreReloadedEmpty) {
    // A header whose second entry claims data beyond the storage.
    writeClock(2, {{0, 100, "fine"}, {100, 50, "broken"}});
    std::vector<uint8_t> header = flash(kStorageHeaderAddress, kStorageHeaderBytes);
    writeBe32(header.data() + 32 + 264 + 4, 0x7FFFFFFF);
    ASSERT_EQ(0, zentroSimWriteFlash(kStorageHeaderAddress, kStorageHeaderBytes, header.data()));
    startCore();
    reload();
    ASSERT_EQ(2, core->songCount());
    EXPECT_EQ(100u, +core->song(0).dataSize);
    EXPECT_EQ(0u, +core->song(1).dataSize);
    EXPECT_EQ(0u, fs::file_size(start + "/dat/broken.mp3"));
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
        core->onClose();
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
        core->onUpgradeFirmware();
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
    EXPECT_EQ(dir.file("fw.bin"), core->chosenPath());
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
    core->onUpgradeFirmware();  // the dialog is cancelled
    EXPECT_TRUE(view.messages.empty());
    zentroSimSetPlugged(0);
    core->onTimer();
    core->onUpgradeFirmware();
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
