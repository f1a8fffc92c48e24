// The core against a clock pulled at any call, and against input files that
// are not what they claim to be.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <filesystem>
#include <functional>

#include "core_fixture.h"
#include "fileio.h"
#include "songtable.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

// The clock's header for two songs and their bytes, as a download leaves them.
std::vector<uint8_t> writeTwoSongClock() {
    StorageHeader h;
    h.songCount = 2;
    std::memcpy(h.signature, kSignature, sizeof kSignature);
    h.quality = kQualityGood;
    const uint32_t sizes[2] = {5000, 2300};
    const char* names[2] = {"first", "second"};
    uint32_t offset = 0;
    for (int i = 0; i < 2; ++i) {
        h.entries[i].dataOffset = offset;
        h.entries[i].dataSize = sizes[i];
        std::memcpy(h.entries[i].songName, names[i], std::strlen(names[i]));
        offset += sizes[i];
    }
    std::vector<uint8_t> header(kStorageHeaderBytes);
    encodeStorageHeader(h, header.data());
    EXPECT_EQ(0, zentroSimWriteFlash(kStorageHeaderAddress, kStorageHeaderBytes, header.data()));
    std::vector<uint8_t> data(offset);
    for (uint32_t i = 0; i < offset; ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
    // Each song is a chain of MP3 frames (417 bytes at 128 kbit/s, 44100 Hz),
    // the last one cut where the song ends, as every song a download writes.
    const uint8_t frame[4] = {0xFF, 0xFB, 0x90, 0x44};
    for (int i = 0; i < 2; ++i) {
        for (uint32_t at = 0; at < sizes[i]; at += 417)
            std::memcpy(data.data() + h.entries[i].dataOffset + at, frame,
                        std::min<size_t>(sizeof frame, sizes[i] - at));
    }
    EXPECT_EQ(0, zentroSimWriteFlash(kDataAreaAddress, offset, data.data()));
    return data;
}

}  // namespace

// startAgent makes 4 calls with the handle, each block read 6 (three parameter
// writes, the start, the result, the copy out of the transfer buffer): the
// header takes 3 blocks and the 7300 bytes of data 2, 34 calls in all. The
// clock is pulled at each of them in turn, and once not at all.
TEST_F(CoreTest, ReloadPulledAtEveryCallFailsWithItsMessageOrGivesTheSongsBack) {
    constexpr uint32_t kCalls = 4 + 6 * (3 + 2);
    int finished = 0;
    for (uint32_t n = 0; n <= kCalls; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(0, zentroSimReset());
        const std::vector<uint8_t> data = writeTwoSongClock();
        writeTable({1234}, kQualityBest);
        startCore();
        ASSERT_EQ(1, core->songCount());
        if (n < kCalls) {
            ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, n, 0));
        }
        view.answers = {MessageResult::Ok};
        view.answer(*core, core->reload());
        ASSERT_TRUE(pumpToEnd());
        const std::vector<std::string> texts = view.texts();
        ASSERT_EQ(2u, texts.size());
        if (texts[1] == "Reloading songs finished !") {
            ++finished;
            ASSERT_EQ(2, core->songCount());
            std::vector<uint8_t> first, second;
            ASSERT_TRUE(readWholeFile(start + "/dat/first.mp3", first));
            ASSERT_TRUE(readWholeFile(start + "/dat/second.mp3", second));
            EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 5000), first);
            EXPECT_EQ(std::vector<uint8_t>(data.begin() + 5000, data.end()), second);
        } else {
            // Pulled while the agent starts, or during a read: the list stays.
            EXPECT_TRUE(texts[1] == "USB connection error ! Please plug-in USB again." ||
                        texts[1] == "USB connection error !")
                << texts[1];
            EXPECT_EQ(1, core->songCount());
            EXPECT_EQ(0u, core->deviceHandle());
            EXPECT_FALSE(fs::exists(start + "/dat/tmp.ztd"));
        }
        EXPECT_TRUE(view.enabled);
        core->close();
        EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_BAD_HANDLE));
    }
    // Only the run without a fault gets that far.
    EXPECT_EQ(1, finished);
}

namespace {

// The largest resident set of this process so far, in KiB.
long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

// Each file below would once have been read whole, or hung the open: each now
// ends at the check, before the clock is touched, with memory unchanged.
TEST_F(CoreTest, FirmwareFilesThatAreNotSmallRegularFilesEndAtOnce) {
    startCore();
    const std::string fifo = dir.file("fifo.bin");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::string large = dir.file("large.bin");
    {
        // Sparse: 4 GiB of size, next to nothing on the disk.
        const int fd = ::open(large.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ::ftruncate(fd, off_t{4} << 30));
        ::close(fd);
    }
    const std::string folder = dir.file("folder.bin");
    fs::create_directories(folder);
    const std::string zeroLink = dir.file("zero.bin");
    fs::create_symlink("/dev/zero", zeroLink);

    struct Row {
        std::string path;
        const char* message;
    };
    const std::vector<Row> rows = {
        {"/dev/zero", "Firmware code format error !"}, {zeroLink, "Firmware code format error !"},
        {fifo, "Firmware code format error !"},        {large, "Firmware code file size is over limitation !"},
        {folder, "Firmware code format error !"},
    };
    const long before = peakResidentKiB();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        view.messages.clear();
        view.firmwareChoices = {row.path};
        view.answers = {MessageResult::Ok};
        zentroSimResetCounts();
        view.answer(*core, core->upgradeFirmware());
        EXPECT_FALSE(core->operationRunning());
        EXPECT_EQ((std::vector<std::string>{"Upgrade Firmware ?", row.message}), view.texts());
        EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_START));
        EXPECT_FALSE(fs::exists(start + "/dat/code.tmp"));
    }
    // Reading any of them whole would have taken far more than this.
    EXPECT_LT(peakResidentKiB() - before, 64 * 1024);
    EXPECT_EQ(std::vector<uint8_t>(8192, 0xFF), flash(kFirmwareAddress, 8192));
}

// A song's source replaced after it was added by something that is not a
// file: the download ends with the conversion's message, and the clock keeps
// what it held.
TEST_F(CoreTest, ASongSourceReplacedByAFifoOrADeviceEndsTheDownload) {
    struct Row {
        const char* name;
        std::function<void(const std::string&)> replace;
    };
    const std::vector<Row> rows = {
        {"fifo", [](const std::string& p) { ASSERT_EQ(0, ::mkfifo(p.c_str(), 0600)); }},
        {"device", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }},
        {"folder", [](const std::string& p) { fs::create_directories(p); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(0, zentroSimReset());
        fs::remove_all(start + "/zt_hdr.tbl");
        startCore();
        const std::string tone = songFile(std::string("songs-") + row.name, "Tone.wav", "wav_pcm16_mono.wav");
        core->addSongs({tone});
        ASSERT_EQ(1, core->songCount());
        fs::remove(tone);
        row.replace(tone);
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        EXPECT_FALSE(shownStarting("Downloading songs finished !"));
        bool named = false;
        for (const auto& m : view.messages) named = named || m.text.find(tone) != std::string::npos;
        EXPECT_TRUE(named) << testing::PrintToString(view.texts());
        EXPECT_TRUE(view.enabled);
        EXPECT_FALSE(fs::exists(start + "/dat/Tone.wav"));
        core->close();
    }
}

// A table whose path fields have no terminating NUL: each loads cut one byte
// short, inside its field (under the sanitizers a read past a field would
// reach the next one or the end of the array and be reported).
TEST_F(CoreTest, ASongTableWithUnterminatedFieldsLoadsWithinThem) {
    std::vector<uint8_t> file(kSongTableHeaderBytes + 2 * kSongRecordBytes, 0);
    file[0] = 2;
    std::memcpy(file.data() + 6, kSignature, sizeof kSignature);
    file[12] = kQualityGood;
    for (size_t i = 0; i < 2; ++i) {
        uint8_t* rec = file.data() + kSongTableHeaderBytes + i * kSongRecordBytes;
        std::memset(rec + 8, 'S', kPathBytes);
        std::memcpy(rec + 2056, "./dat/", 6);
        std::memset(rec + 2056 + 6, static_cast<int>('a' + i), kPathBytes - 6);
    }
    writeFileBytes(start + "/zt_hdr.tbl", file);

    startCore();
    ASSERT_EQ(2, core->songCount());
    for (size_t i = 0; i < 2; ++i) {
        const Song& rec = core->song(i);
        EXPECT_EQ(kPathBytes - 1, strnlen(rec.sourcePath, kPathBytes));
        EXPECT_EQ(kPathBytes - 1, strnlen(rec.workPath, kPathBytes));
    }
    ASSERT_EQ(2u, view.lines.size());
    // Saved back, a field keeps every byte but the last.
    core->close();
    const std::vector<uint8_t> saved = readFileBytes(start + "/zt_hdr.tbl");
    ASSERT_EQ(file.size(), saved.size());
    EXPECT_EQ(0, saved[kSongTableHeaderBytes + 8 + kPathBytes - 1]);
    EXPECT_EQ('S', saved[kSongTableHeaderBytes + 8 + kPathBytes - 2]);
}

// A working folder that is a link to another folder: the start neither
// deletes nor writes there; the link alone is replaced by a folder of its own.
TEST_F(CoreTest, AWorkingFolderThatIsALinkIsReplacedAndWhatItPointsToIsKept) {
    const std::string elsewhere = dir.file("elsewhere");
    fs::create_directories(elsewhere);
    for (const char* name : {"tmp.bin", "song.mp3", "raw.tmp"}) {
        std::FILE* f = std::fopen((elsewhere + "/" + name).c_str(), "wb");
        ASSERT_NE(nullptr, f);
        std::fputs("precious", f);
        std::fclose(f);
    }
    fs::create_directories(start);
    fs::create_directory_symlink(elsewhere, start + "/dat");
    startCore();
    EXPECT_FALSE(fs::is_symlink(start + "/dat"));
    EXPECT_TRUE(fs::is_directory(start + "/dat"));
    for (const char* name : {"tmp.bin", "song.mp3", "raw.tmp"}) {
        EXPECT_TRUE(fs::exists(elsewhere + "/" + name)) << name;
        EXPECT_EQ(8u, fs::file_size(elsewhere + "/" + name)) << name;
    }
    core->close();
}
