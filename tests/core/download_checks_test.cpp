// A Download says "finished" only when it is: the clock is read back and
// compared with the image, nothing is erased before every song can be read,
// and dat/ keeps only the copies the list needs.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "admission.h"
#include "conversion_cache.h"
#include "core_fixture.h"
#include "song_fixtures.h"
#include "storage_layout.h"

namespace velmo::test {
namespace {

namespace fs = std::filesystem;

class DownloadChecksTest : public CoreTest {
  public:
    // Three songs in the list, downloaded once so that the clock holds them.
    void listOfThree() {
        startCore();
        core->addSongs({songFile("m", "One.mp3", "l3_44100_cbr128_stereo.mp3"),
                     songFile("m", "Two.wav", "wav_pcm16_stereo.wav"),
                     songFile("m", "Three.mp3", "l3_22050_vbr_xing.mp3")});
        ASSERT_EQ(3, core->songCount());
    }

    // The files in dat/; the conversion cache's folder, when there, must hold
    // entries of the list's songs only.
    std::set<std::string> datFiles() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(start + "/dat")) names.insert(e.path().filename().string());
        if (names.erase("cache") != 0) {
            std::set<std::string> listed;
            WorkContext ctx;
            ctx.startDir = start;
            for (uint16_t i = 0; i < core->songCount(); ++i) listed.insert(conversionCacheName(core->song(i), ctx));
            for (const auto& e : fs::directory_iterator(start + "/dat/cache"))
                EXPECT_EQ(1u, listed.count(e.path().filename().string())) << e.path();
        }
        return names;
    }
};

// A clock that acknowledges blocks it did not program: the read-back finds
// the first byte that is not the image's and names its song.
TEST_F(DownloadChecksTest, ABlockTheClockDidNotProgramFailsTheDownload) {
    // The song data goes first, block by block from 0x6120; the header last.
    for (const uint32_t block : {1u, 3u, 6u}) {
        SCOPED_TRACE(block);
        ASSERT_EQ(0, zentroSimReset());
        fs::remove(start + "/zt_hdr.tbl");
        listOfThree();
        // Only the block's first 16 bytes reach the flash.
        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_PROGRAM_SHORT, ZENTRO_TRIGGER_AT, block, 16));
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(1u, view.messages.size()) << view.texts().front();
        const ShownMessage& box = view.messages[0];
        EXPECT_EQ("Error", box.caption);
        unsigned address = 0, clockByte = 0, imageByte = 0;
        char place[64] = {};
        ASSERT_EQ(4, std::sscanf(box.text.c_str(),
                                 "Verify failed: the clock holds 0x%X at storage address 0x%X where the image has "
                                 "0x%X, in song %63[^\n]",
                                 &clockByte, &address, &imageByte, place))
            << box.text;
        const uint32_t blockStart = kDataAreaAddress + (block - 1) * 4096;
        EXPECT_EQ(0xFFu, clockByte);
        EXPECT_NE(0xFFu, imageByte);
        EXPECT_GE(address, blockStart + 16);
        EXPECT_LT(address, blockStart + 4096);
        // The song that holds the address, as the list now records where each song lies.
        std::string holder;
        for (uint16_t i = 0; i < core->songCount(); ++i) {
            const Song& s = core->song(i);
            if (address - kDataAreaAddress >= s.dataOffset && address - kDataAreaAddress < s.dataOffset + s.dataSize)
                holder = std::to_string(i + 1) + " (" + songName(s) + ")";
        }
        EXPECT_EQ(holder, place);
        ASSERT_EQ(1u, view.outcomes.size());
        EXPECT_EQ(OutcomeKind::Failed, view.outcomes[0].kind);
        EXPECT_FALSE(view.outcomes[0].verified);
        core->close();
        core.reset();
    }
}

TEST_F(DownloadChecksTest, AVerifiedDownloadSaysSoAndTheOptionTurnsItOff) {
    listOfThree();
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(std::vector<std::string>{kDownloadFinishedVerified}, view.texts());
    EXPECT_TRUE(core->lastOutcome().verified);
    const uint64_t readsVerified = zentroSimCount(ZENTRO_COUNT_READ_BLOCK);
    EXPECT_GT(readsVerified, 0u);

    // Off, and remembered for the next start of this folder.
    core->setVerifyAfterDownload(false);
    core->close();
    startCore();
    EXPECT_FALSE(core->verifyAfterDownload());
    zentroSimResetCounts();
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(OutcomeKind::Finished, core->lastOutcome().kind);
    EXPECT_FALSE(core->lastOutcome().verified);
    // Only the header, whose read decides whether the clock holds the
    // recorded image: nothing is read back.
    EXPECT_EQ(3u, zentroSimCount(ZENTRO_COUNT_READ_BLOCK));
}

// A song whose file cannot be read is named before the clock is touched:
// the flash keeps every byte of the last Download.
TEST_F(DownloadChecksTest, AnUnreadableSongLeavesTheClockAsItWas) {
    const struct {
        const char* name;
        void (*spoil)(const std::string& path);
        std::string reason;
    } rows[] = {
        {"deleted", [](const std::string& p) { fs::remove(p); }, std::strerror(ENOENT)},
        {"a named pipe", [](const std::string& p) { fs::remove(p), ::mkfifo(p.c_str(), 0644); }, "not a regular file"},
        {"a folder", [](const std::string& p) { fs::remove(p), fs::create_directory(p); }, std::strerror(EISDIR)},
        {"a device", [](const std::string& p) { fs::remove(p), fs::create_symlink("/dev/zero", p); },
         "not a regular file"},
        {"a symlink loop", [](const std::string& p) { fs::remove(p), fs::create_symlink(p, p); }, std::strerror(ELOOP)},
    };
    listOfThree();
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(OutcomeKind::Finished, core->lastOutcome().kind);
    const std::vector<uint8_t> before = flash(kStorageHeaderAddress, 64 * 1024);
    const std::string source = core->song(1).sourcePath;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The song's working copy goes too: the Download must read its source again.
        core->close();
        fs::remove(start + "/dat/Two.wav");
        editSavedList([](Song* songs) { songs[1].copyPending = 1; });
        row.spoil(source);
        zentroSimResetCounts();
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        EXPECT_EQ(std::vector<std::string>{"Cannot read " + source + ": " + row.reason}, view.texts());
        EXPECT_EQ(OutcomeKind::Failed, core->lastOutcome().kind);
        EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_ERASE));
        EXPECT_EQ(before, flash(kStorageHeaderAddress, 64 * 1024));
        fs::remove(source);
        copyFixture("wav_pcm16_stereo.wav", dir.file("m"), "Two.wav");
    }
}

// A start folder whose disk cannot hold what the Download would write into
// dat/: refused before the erase, naming the folder and both sizes; the clock
// keeps its songs. Mounting needs the right to; skipped where not given.
TEST_F(DownloadChecksTest, NotEnoughSpaceInDatIsRefusedBeforeTheErase) {
    listOfThree();
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(OutcomeKind::Finished, core->lastOutcome().kind);
    const std::vector<uint8_t> before = flash(kStorageHeaderAddress, 64 * 1024);
    core->close();
    core.reset();

    const std::string disk = dir.file("small");
    fs::create_directories(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    start = disk;
    fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
    startCore();
    // Two seconds short of 2 MB of source: its working copy alone does not fit.
    fs::create_directories(dir.file("w"));
    writeToneWav(dir.file("w") + "/Long.wav", 22);
    core->addSongs({dir.file("w") + "/Long.wav"});
    ASSERT_EQ(1, core->songCount());
    zentroSimResetCounts();
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(1u, view.texts().size());
    const std::string text = view.texts()[0];
    const std::string prefix = "Not enough space in " + start + "/dat: ";
    ASSERT_EQ(0u, text.rfind(prefix, 0)) << text;
    unsigned long long needed = 0, free = 0;
    ASSERT_EQ(2, std::sscanf(text.c_str() + prefix.size(), "%llu MB needed, %llu MB free", &needed, &free)) << text;
    EXPECT_GE(needed, 2u) << text;
    EXPECT_LE(free, 1u) << text;
    EXPECT_EQ(OutcomeKind::Failed, core->lastOutcome().kind);
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_ERASE));
    EXPECT_EQ(before, flash(kStorageHeaderAddress, 64 * 1024));
    EXPECT_TRUE(view.enabled);
    core->close();
    core.reset();
}

TEST_F(DownloadChecksTest, DatHoldsOnlyTheListsCopiesAfterDownloadsReloadsAndDeletes) {
    for (int cycle = 0; cycle < 10; ++cycle) {
        SCOPED_TRACE(cycle);
        if (cycle == 0) listOfThree();
        if (core->songCount() < 3)
            core->addSongs({songFile("m" + std::to_string(cycle), "Added.mp3", "l3_44100_cbr128_stereo.mp3")});
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(OutcomeKind::Finished, core->lastOutcome().kind) << reasonOf(core->lastOutcome());
        view.answer(*core, core->reload());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(OutcomeKind::Finished, core->lastOutcome().kind) << reasonOf(core->lastOutcome());
        core->removeSong(0);
        std::set<std::string> expected;
        for (uint16_t i = 0; i < core->songCount(); ++i)
            expected.insert(fs::path(core->song(i).workPath).filename().string());
        std::set<std::string> files = datFiles();
        // The last image and the Reload's reads stay until the close.
        for (const char* name : {"tmp.bin", "tmp.tbl", "tmp.ztd"}) files.erase(name);
        EXPECT_EQ(expected, files);
    }
    core->close();
    startCore();
    std::set<std::string> expected;
    for (uint16_t i = 0; i < core->songCount(); ++i)
        expected.insert(fs::path(core->song(i).workPath).filename().string());
    EXPECT_EQ(expected, datFiles());
}

}  // namespace
}  // namespace velmo::test
