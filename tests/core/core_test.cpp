#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core_fixture.h"
#include "fileio.h"
#include "songlist.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {
constexpr const char* kSong = "l3_44100_cbr128_stereo.mp3";  // about 2 s
}

// ---------------------------------------------------------------------------
// Start-up and close

TEST_F(CoreTest, StartsEmptyWithoutASongTable) {
    startCore();
    EXPECT_FALSE(core->isClosed());
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(0, core->songCount());
    EXPECT_EQ(4, core->quality());
    EXPECT_TRUE(view.good);
    EXPECT_FALSE(view.best || view.normal);
    EXPECT_EQ(" Space usage: 0.0%", view.statusLine);
    EXPECT_EQ("Zentro", view.title);
    EXPECT_EQ(4000, view.extent);
    EXPECT_TRUE(view.enabled);
    EXPECT_TRUE(view.timerRunning);
    EXPECT_EQ(2, core->connectState());
    EXPECT_EQ(2048u, core->storageKB());
}

TEST_F(CoreTest, StartUpFailuresShowTheirMessageAndClose) {
    struct Row {
        const char* name;
        std::function<void(CoreTest&)> arrange;
        const char* message;
    } rows[] = {
        {"no device library",
         [](CoreTest& t) {
             t.makeCore();
             t.core->setDeviceLibraryPath(t.dir.file("none.so"));
         },
         "Please install USB driver first !"},
        {"no clock",
         [](CoreTest& t) {
             zentroSimSetPlugged(0);
             t.makeCore();
         },
         "USB connection error !\nPlease plug-in USB first."},
        {"no agent image",
         [](CoreTest& t) {
             fs::remove(t.start + "/spn.bin");
             t.makeCore();
         },
         "Please plug-out & plug-in USB again !"},
        {"no storage",
         [](CoreTest& t) {
             zentroSimSetProbeResult(1, 0, 0xFFFFFFFF);
             t.makeCore();
         },
         "Storage device is not found !"},
        {"storage code without a size",
         [](CoreTest& t) {
             zentroSimSetStorageCode(12);
             t.makeCore();
         },
         "Storage device is not found !"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        fs::remove(start + "/zt_hdr.tbl");
        row.arrange(*this);
        core->start();
        ASSERT_EQ(1u, view.messages.size());
        std::string expected = row.message;
        // No replugging helps a missing agent program: the box names it and where it was looked for.
        if (std::string(row.name) == "no agent image")
            expected += "\n" + start + "/spn.bin (the clock's agent program) is missing; it lies beside the program in " +
                        executableFolder();
        EXPECT_EQ(expected, view.messages[0].text);
        EXPECT_EQ("Error", view.messages[0].caption);
        EXPECT_EQ(MessageIcon::Error, view.messages[0].icon);
        EXPECT_TRUE(core->isClosed());
        EXPECT_TRUE(view.closed);
        EXPECT_FALSE(view.timerRunning);
        // The table is written back at close: an empty one when there was none.
        EXPECT_EQ(32u, fs::file_size(start + "/zt_hdr.tbl"));
        core.reset();
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin", fs::copy_options::skip_existing);
    }
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_BAD_HANDLE));
}

TEST_F(CoreTest, SmallStorageSetsTheCapacity) {
    zentroSimSetStorageCode(4);
    startCore();
    EXPECT_EQ(128u, core->storageKB());
    EXPECT_EQ(65536u, capacity(core->storageKB()));
}

TEST_F(CoreTest, TheListSurvivesCloseAndStart) {
    startCore();
    core->addSongs({songFile("a", "One.mp3", kSong), songFile("a", "Two.wav", "wav_pcm16_stereo.wav")});
    core->setQuality(kQualityBest);
    ASSERT_EQ(2, core->songCount());
    const uint32_t total = core->totalEstimate();
    core->close();
    EXPECT_TRUE(fs::exists(start + "/zt_hdr.tbl"));

    startCore();
    EXPECT_EQ(2, core->songCount());
    EXPECT_EQ(8, core->quality());
    EXPECT_EQ(total, core->totalEstimate());
    EXPECT_EQ((std::vector<std::string>{"One.mp3", "Two.wav"}), view.lines);
    EXPECT_TRUE(view.best);
    EXPECT_FALSE(view.good);
}

// A quality code the encoder cannot use is damage: the table is set aside
// and named in a box at start, and the list starts empty at Good.
TEST_F(CoreTest, AnUnknownQualityCodeIsRefusedAsDamage) {
    writeTable({1000}, 3);
    startCore();
    EXPECT_EQ(0, core->songCount());
    EXPECT_EQ(kQualityGood, core->quality());
    EXPECT_TRUE(view.good);
    ASSERT_EQ(1u, view.messages.size());
    EXPECT_EQ(MessageIcon::Warning, view.messages[0].icon);
    EXPECT_NE(std::string::npos, view.messages[0].text.find("quality code 3 is not 2, 4 or 8")) << view.messages[0].text;
    EXPECT_NE(std::string::npos, view.messages[0].text.find(start + "/zt_hdr.tbl.damaged")) << view.messages[0].text;
    EXPECT_TRUE(fs::exists(start + "/zt_hdr.tbl.damaged"));
}

// A folder under the table's name: the start says so, the close saves
// nothing and says so, and the folder stays.
TEST_F(CoreTest, ATableThatIsAFolderIsNeitherLoadedNorReplaced) {
    fs::create_directory(start + "/zt_hdr.tbl");
    startCore();
    EXPECT_FALSE(core->listSavable());
    ASSERT_EQ(1u, view.messages.size());
    EXPECT_EQ(MessageIcon::Error, view.messages[0].icon);
    EXPECT_NE(std::string::npos, view.messages[0].text.find("it is a folder")) << view.messages[0].text;
    core->close();
    EXPECT_TRUE(fs::is_directory(start + "/zt_hdr.tbl"));
}

// Options the start could not read are not replaced by the next change: the
// close refuses to save them, says so, and the file stays as it was.
TEST_F(CoreTest, OptionsThatCannotBeReadAreNotReplaced) {
    fs::create_directory(start + "/velmo.conf");
    startCore();
    EXPECT_FALSE(core->optionsSavable());
    ASSERT_EQ(1u, view.messages.size());
    core->setEvenVolume(true);
    core->close();
    EXPECT_TRUE(fs::is_directory(start + "/velmo.conf"));
    ASSERT_EQ(1u, core->saveFailures().size());
    const std::string failure = present::text(core->saveFailures()[0]);
    EXPECT_NE(std::string::npos, failure.find("The options were not saved")) << failure;
    EXPECT_EQ(failure, view.messages.back().text);
}

// A damaged options file (not text) is kept under another name and named.
TEST_F(CoreTest, DamagedOptionsAreSetAsideAndNamed) {
    const std::string garbage("even_volume=1\0\xff\xfe", 17);
    test::writeFileBytes(start + "/velmo.conf", std::vector<uint8_t>(garbage.begin(), garbage.end()));
    startCore();
    EXPECT_TRUE(core->optionsSavable());
    EXPECT_FALSE(core->evenVolume());
    ASSERT_EQ(1u, view.messages.size());
    EXPECT_NE(std::string::npos, view.messages[0].text.find(start + "/velmo.conf.damaged")) << view.messages[0].text;
    const auto kept = test::readFileBytes(start + "/velmo.conf.damaged");
    EXPECT_EQ(garbage, std::string(kept.begin(), kept.end()));
}

// ---------------------------------------------------------------------------
// Add, drop and editing

TEST_F(CoreTest, AddTakesAtMost32Songs) {
    startCore();
    std::vector<std::string> files;
    for (int i = 0; i < 40; ++i) files.push_back(songFile("many", "s" + std::to_string(i) + ".mp3", kSong));
    core->addSongs(files);
    EXPECT_EQ(32, core->songCount());
    EXPECT_EQ(32u, view.lines.size());
    // The defined box, then how many joined and why the others did not.
    EXPECT_EQ((std::vector<std::string>{"Song counts are over than limit",
                                        "32 of 40 files joined the list.\n"
                                        "8 files were left out: a list takes at most 32 songs."}),
              view.texts());

    view.messages.clear();
    core->addSongs({files[39]});
    EXPECT_EQ(std::vector<std::string>{"Song counts are over than limit !"}, view.texts());
    EXPECT_EQ(32, core->songCount());
}

TEST_F(CoreTest, AddRefusesUnsupportedFilesAndKeepsGoing) {
    startCore();
    // A text file under a song's name: no reader takes it.
    const std::string bad = dir.file("a/Eight.wav");
    std::filesystem::create_directories(dir.file("a"));
    writeFileBytes(bad, std::vector<uint8_t>(600, 'x'));
    const std::string good = songFile("a", "SONG.MP3", kSong);
    const std::string longPath = "/" + std::string(2100, 'x') + ".mp3";
    core->addSongs({bad, good, longPath, songFile("a", "a.WaV", "wav_pcm16_mono.wav")});
    // Several refused files are listed in the one closing box.
    EXPECT_EQ((std::vector<std::string>{"2 of 4 files joined the list.\n2 files were refused:\nThe file format of " +
                                        bad + " is not supported\nThe file format of " + longPath +
                                        " is not supported"}),
              view.texts());
    EXPECT_EQ((std::vector<std::string>{"SONG.MP3", "a.WaV"}), view.lines);
    EXPECT_EQ(good, std::string(core->song(0).sourcePath));
    EXPECT_EQ(1, +core->song(0).copyPending);
    EXPECT_STREQ("./dat/SONG.MP3", core->song(0).workPath);
    EXPECT_EQ(core->song(0).sizeEstimate + core->song(1).sizeEstimate, core->totalEstimate());
}

// Every file that is not taken says why, and the files after it are still tried.
TEST_F(CoreTest, AddNamesEveryRefusedFileWithItsReason) {
    startCore();
    const std::string missing = dir.file("m/Gone.flac");
    std::filesystem::create_directories(dir.file("m/Folder.ogg"));
    const std::string folder = dir.file("m/Folder.ogg");
    const std::string text = dir.file("m/notes.txt");
    writeFileBytes(text, {'h', 'i'});
    const std::string garbage = dir.file("m/Noise.flac");
    writeFileBytes(garbage, std::vector<uint8_t>(4000, 0x5A));
    core->addSongs({missing, songFile("m", "Eight.wav", "wav_pcm8_mono.wav"), folder, text, garbage,
                 songFile("m", "Song.flac", "flac16_96000_stereo.flac"),
                 songFile("n", "Song.flac", "flac16_96000_stereo.flac")});
    EXPECT_EQ((std::vector<std::string>{"3 of 7 files joined the list.\n4 files were refused:\nCannot open " + missing +
                                        ": No such file or directory\nCannot open " + folder +
                                        ": Is a directory\nThe file format of " + text +
                                        " is not supported\nThe file format of " + garbage + " is not supported"}),
              view.texts());
    for (const auto& m : view.messages) EXPECT_EQ(MessageIcon::Information, m.icon) << m.text;
    // An 8-bit WAV and FLAC join; a second Song.flac gets its own working copy.
    EXPECT_EQ((std::vector<std::string>{"Eight.wav", "Song.flac", "Song (2).flac"}), view.lines);
    EXPECT_STREQ("./dat/Song.flac", core->song(1).workPath);
    EXPECT_STREQ("./dat/Song (2).flac", core->song(2).workPath);
    EXPECT_GT(core->song(0).sizeEstimate, 0u);

    // Drops take every song extension too.
    view.messages.clear();
    core->dropSongs(
        {songFile("d", "Tune.OPUS", "opus_48000_stereo.opus"), songFile("d", "Tune.m4a", "alac_22050_stereo.m4a")});
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(5, core->songCount());
    EXPECT_STREQ("./dat/Tune.OPUS", core->song(3).workPath);
    EXPECT_GT(core->song(4).sizeEstimate, 0u);
}

TEST_F(CoreTest, SameFileNamesGetDistinctWorkingCopies) {
    startCore();
    core->addSongs({songFile("x", "Song.mp3", kSong), songFile("y", "Song.mp3", kSong)});
    core->dropSongs({songFile("z", "Song.mp3", kSong)});
    EXPECT_EQ((std::vector<std::string>{"Song.mp3", "Song (2).mp3", "Song (3).mp3"}), view.lines);
    EXPECT_STREQ("./dat/Song (2).mp3", core->song(1).workPath);
}

TEST_F(CoreTest, TheCapacityReachedMidBatchStopsTheBatch) {
    zentroSimSetStorageCode(4);  // 65536 bytes for songs
    startCore();
    std::vector<std::string> files;
    for (int i = 0; i < 12; ++i) files.push_back(songFile("c", "s" + std::to_string(i) + ".mp3", kSong));
    core->addSongs(files);
    const uint32_t each = core->song(0).sizeEstimate;
    ASSERT_GT(each, 0u);
    const uint32_t expected = (65536 + each - 1) / each;  // the song at which the sum reaches capacity stays
    EXPECT_EQ(expected, core->songCount());
    const uint32_t left = 12 - expected;
    ASSERT_GT(left, 1u);
    EXPECT_EQ((std::vector<std::string>{"Storage size limit reached !",
                                        std::to_string(expected) + " of 12 files joined the list.\n" +
                                            std::to_string(left) +
                                            " files were left out: the clock's storage is full."}),
              view.texts());
    EXPECT_EQ(" Space usage: Storage is full !", view.statusLine);

    view.messages.clear();
    core->dropSongs({files[11]});
    EXPECT_EQ(std::vector<std::string>{"Songs over than storage limit !"}, view.texts());
}

TEST_F(CoreTest, DropChecksCountsAndExtensions) {
    startCore();
    std::vector<std::string> sixty;
    for (int i = 0; i < 60; ++i) sixty.push_back(songFile("d", "s" + std::to_string(i) + ".wav", "wav_pcm8_mono.wav"));
    core->dropSongs(sixty);  // 8-bit WAVs are kept by a drop, with estimate 0
    ASSERT_EQ(60, core->songCount());
    EXPECT_TRUE(view.messages.empty());

    std::vector<std::string> ten(sixty.begin(), sixty.begin() + 10);
    core->dropSongs(ten);
    EXPECT_EQ(std::vector<std::string>{"Total song files are over than sixty four files !"}, view.texts());
    EXPECT_EQ(60, core->songCount());

    view.messages.clear();
    const std::string txt = dir.file("notes.txt");
    writeFileBytes(txt, {'h', 'i'});
    core->dropSongs({songFile("e", "Mixed.Mp3", kSong), txt});
    EXPECT_EQ(61, core->songCount());
    ASSERT_EQ(2u, view.messages.size());
    EXPECT_EQ("Only support '.mp3' & '.wav' file format.", view.messages[0].text);
    EXPECT_EQ(MessageIcon::Error, view.messages[0].icon);
    EXPECT_EQ("1 of 2 files joined the list.\n1 file is not an .mp3 or .wav file.", view.messages[1].text);
    EXPECT_EQ(MessageIcon::Information, view.messages[1].icon);

    // A name that passes the extension test but names no song: a plain box
    // where the loop stops, then the same text with the error icon.
    view.messages.clear();
    core->dropSongs({songFile("e", "Last.mp3", kSong), "/music/.mp3", songFile("e", "Never.mp3", kSong)});
    EXPECT_EQ(62, core->songCount());
    ASSERT_EQ(3u, view.messages.size());
    EXPECT_EQ(MessageIcon::None, view.messages[0].icon);
    EXPECT_EQ(MessageIcon::Error, view.messages[1].icon);
    EXPECT_EQ("1 of 3 files joined the list.\n2 files were left out: no name could be made for the first of them in "
              "the list.",
              view.messages[2].text);
}

// A dropped file that is gone, unreadable or empty is refused as Add refuses
// it, and the files beside it still join; the closing message stays for
// files left out without a word.
TEST_F(CoreTest, DropRefusesWhatAddRefusesWithTheSameReasons) {
    startCore();
    const std::string missing = dir.file("d/Gone.mp3");
    const std::string empty = dir.file("d/Empty.wav");
    const std::string folder = dir.file("d/Folder.flac");
    fs::create_directories(folder);
    writeFileBytes(empty, {});
    const std::string good = songFile("d", "Good.mp3", kSong);
    const std::vector<std::string> refused = {"Cannot open " + missing + ": No such file or directory",
                                              "The file format of " + empty + " is not supported",
                                              "Cannot open " + folder + ": Is a directory"};

    // Several refused files are listed in the one closing box.
    const std::string listed = "3 files were refused:\n" + refused[0] + "\n" + refused[1] + "\n" + refused[2];
    core->addSongs({missing, empty, folder});
    EXPECT_EQ(std::vector<std::string>{"0 of 3 files joined the list.\n" + listed}, view.texts());
    EXPECT_EQ(0, core->songCount());

    view.messages.clear();
    core->dropSongs({missing, good, empty, folder});
    EXPECT_EQ(std::vector<std::string>{"1 of 4 files joined the list.\n" + listed}, view.texts());
    EXPECT_EQ(std::vector<std::string>{"Good.mp3"}, view.lines);

    // A text file beside a refused one is still answered with the closing message.
    view.messages.clear();
    const std::string txt = dir.file("d/notes.txt");
    writeFileBytes(txt, {'h', 'i'});
    core->dropSongs({missing, txt});
    EXPECT_EQ((std::vector<std::string>{refused[0], "Only support '.mp3' & '.wav' file format.",
                                        "0 of 2 files joined the list.\n1 file is not an .mp3 or .wav file.\n"
                                        "1 file was refused:\n" + refused[0]}),
              view.texts());
    EXPECT_EQ(1, core->songCount());
}

TEST_F(CoreTest, DeleteUpAndDown) {
    startCore();
    std::vector<std::string> files;
    for (const char* n : {"a.mp3", "b.mp3", "c.mp3", "d.mp3", "e.mp3"}) files.push_back(songFile("f", n, kSong));
    core->addSongs(files);
    const uint32_t total = core->totalEstimate();
    const uint32_t third = core->song(2).sizeEstimate;
    writeFileBytes(start + "/dat/c.mp3", {1, 2, 3});  // a working copy

    core->removeSong(2);
    EXPECT_EQ((std::vector<std::string>{"a.mp3", "b.mp3", "d.mp3", "e.mp3"}), view.lines);
    EXPECT_STREQ("./dat/d.mp3", core->song(2).workPath);
    EXPECT_EQ(total - third, core->totalEstimate());
    EXPECT_FALSE(fs::exists(start + "/dat/c.mp3"));
    EXPECT_TRUE(fs::exists(files[2])) << "the source is never touched";
    EXPECT_EQ(-1, view.selected);

    core->moveSongUp(2);
    EXPECT_EQ((std::vector<std::string>{"a.mp3", "d.mp3", "b.mp3", "e.mp3"}), view.lines);
    EXPECT_EQ(1, view.selected);
    EXPECT_STREQ("./dat/d.mp3", core->song(1).workPath);
    core->moveSongDown(1);
    EXPECT_EQ((std::vector<std::string>{"a.mp3", "b.mp3", "d.mp3", "e.mp3"}), view.lines);
    EXPECT_EQ(2, view.selected);

    // The boundaries and no selection change nothing.
    const auto before = view.lines;
    core->moveSongUp(0);
    core->moveSongDown(3);
    core->moveSongUp(-1);
    core->moveSongDown(-1);
    core->removeSong(-1);
    core->removeSong(4);
    EXPECT_EQ(before, view.lines);
    EXPECT_EQ(4, core->songCount());
}

TEST_F(CoreTest, QualityRescalesWithTheRemainderDropped) {
    writeTable({1440000, 720001}, 8);
    startCore();
    core->setQuality(kQualityGood);
    EXPECT_EQ(720000u, +core->song(0).sizeEstimate);
    EXPECT_EQ(360000u, +core->song(1).sizeEstimate);
    EXPECT_EQ(1080000u, core->totalEstimate());
    EXPECT_EQ(4, core->quality());

    writeTable({7999}, 8);
    startCore();
    core->setQuality(kQualityGood);
    core->setQuality(kQualityBest);
    EXPECT_EQ(7998u, +core->song(0).sizeEstimate);
    core->setQuality(kQualityBest);  // the code in force: nothing changes
    EXPECT_EQ(7998u, +core->song(0).sizeEstimate);
    EXPECT_TRUE(view.best);
    EXPECT_FALSE(view.good || view.normal);
}

TEST_F(CoreTest, StatusLineAtTheEdges) {
    startCore();
    const uint32_t cap = capacity(2048);
    ASSERT_EQ(cap, core->capacity());
    EXPECT_EQ(" Space usage: 50.0%", present::spaceUsage(1015808, cap));
    EXPECT_EQ(" Space usage: Storage is full !", present::spaceUsage(cap, cap));
    EXPECT_EQ(" Space usage: 100.0%", present::spaceUsage(cap - 1, cap));
}

// ---------------------------------------------------------------------------
// Download

TEST_F(CoreTest, DownloadChecksComeFirstAndCancelChangesNothing) {
    startCore();
    view.answer(*core, core->download());
    EXPECT_EQ(std::vector<std::string>{"No song files are in list box !"}, view.texts());

    writeTable({1000000, 1000000, 1000000}, 4);
    startCore();
    view.answers = {MessageResult::Cancel};
    view.answer(*core, core->download());
    ASSERT_EQ(1u, view.messages.size());
    EXPECT_EQ("Auto cut songs to fit storage size ?", view.messages[0].text);
    EXPECT_EQ("Warning !", view.messages[0].caption);
    EXPECT_EQ(MessageButtons::OkCancel, view.messages[0].buttons);
    EXPECT_EQ(3, core->songCount());
    EXPECT_EQ(3000000u, core->totalEstimate());
    EXPECT_EQ(0, +core->song(2).cutFlag);
    EXPECT_TRUE(view.enabled);
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_ERASE));

    zentroSimSetPlugged(0);
    core->tick();
    view.messages.clear();
    view.answer(*core, core->download());
    EXPECT_EQ(std::vector<std::string>{"Please plug-in USB to download songs !"}, view.texts());
}

TEST_F(CoreTest, DownloadRefusesMoreSongsThanTheClockDescribes) {
    startCore();
    std::vector<std::string> files;
    for (int i = 0; i < 33; ++i) files.push_back(songFile("g", "s" + std::to_string(i) + ".mp3", kSong));
    core->dropSongs(files);
    ASSERT_EQ(33, core->songCount());
    view.messages.clear();
    view.answer(*core, core->download());
    EXPECT_EQ(std::vector<std::string>{"Song counts are over than limit !"}, view.texts());
    EXPECT_EQ(33, core->songCount());
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_ERASE));
}

TEST_F(CoreTest, DownloadWritesTheImageToTheClock) {
    startCore();
    core->addSongs({songFile("h", "First Song.mp3", kSong), songFile("h", "Second.wav", "wav_pcm16_stereo.wav"),
                 songFile("h", "Third.mp3", "l3_22050_vbr_xing.mp3")});
    ASSERT_EQ(3, core->songCount());
    view.answer(*core, core->download());
    EXPECT_FALSE(view.enabled);
    EXPECT_EQ("Progress: converting music data...", view.progressCaption);
    ASSERT_TRUE(pumpUntil([&] { return shown(kDownloadFinishedVerified); }));

    // The clock holds exactly the image, from 0x4000 on.
    std::vector<uint8_t> image;
    ASSERT_TRUE(readWholeFile(start + "/dat/tmp.bin", image));
    ASSERT_GT(image.size(), kStorageHeaderBytes);
    EXPECT_EQ(image, flash(kStorageHeaderAddress, static_cast<uint32_t>(image.size())));
    StorageHeader header;
    ASSERT_TRUE(decodeStorageHeader(image.data(), image.size(), header));
    EXPECT_EQ(3, header.songCount);
    EXPECT_STREQ("First Song", header.entries[0].songName);
    EXPECT_STREQ("Second", header.entries[1].songName);
    for (int i = 0; i < 3; ++i) {
        EXPECT_GT(header.entries[i].dataSize, 0u) << i;
        EXPECT_EQ(0, +core->song(i).copyPending) << i;
        EXPECT_TRUE(fs::exists(start + "/" + std::string(core->song(i).workPath).substr(2))) << i;
    }

    ASSERT_TRUE(pumpToEnd());
    EXPECT_EQ(std::vector<std::string>{kDownloadFinishedVerified}, view.texts());
    EXPECT_EQ("Information", view.messages[0].caption);
    EXPECT_TRUE(view.enabled);
    EXPECT_EQ("Progress:", view.progressCaption);
    EXPECT_EQ(0, view.progressBar);
    for (const PostedEvent& m : delivered) {
        int percent = 1;
        if (const auto* p = std::get_if<WriteProgress>(&m.event)) percent = p->percent;
        if (const auto* p = std::get_if<EncodeProgress>(&m.event)) percent = p->percent;
        if (const auto* p = std::get_if<ReadProgress>(&m.event)) percent = p->percent;
        EXPECT_GE(percent, 1);
    }
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_BAD_HANDLE));
}

TEST_F(CoreTest, DownloadFailureChainsEndWithTheirMessages) {
    struct Row {
        const char* name;
        std::function<void(CoreTest&)> arrange;
        std::vector<std::string> messages;
        bool connected;
    } rows[] = {
        {"erase refused",
         [](CoreTest&) { zentroSimSetFault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_EVERY, 0, 0); },
         {"Storage erase error !"},
         true},
        {"clock unplugged while writing",
         [](CoreTest&) { zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 12, 0); },
         {"USB connection error\nThe clock now holds no songs (its song header is erased first and written last), "
          "unless the connection was lost after the last block. Download again once it is plugged in."},
         false},
        {"missing source", [](CoreTest& t) { fs::remove(t.core->song(0).sourcePath); }, {}, true},
        {"nothing convertible",
         [](CoreTest& t) {
             // The working copy exists already and holds no audio at all.
             t.editSavedList([](Song* songs) { songs[0].copyPending = 0; });
             writeFileBytes(t.start + "/dat/Only.mp3", std::vector<uint8_t>(500, 0x11));
         },
         {"Music files converted error !"},
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        zentroSimReset();
        fs::remove(start + "/zt_hdr.tbl");
        startCore();
        const std::string source = songFile("i", "Only.mp3", kSong);
        core->addSongs({source});
        ASSERT_EQ(1, core->songCount());
        std::vector<std::string> expected = row.messages;
        if (std::string(row.name) == "missing source")
            expected = {"Cannot read " + source + ": " + std::strerror(ENOENT)};
        row.arrange(*this);
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        auto texts = view.texts();
        // A write that fails stops the conversion: its one message is all.
        std::sort(texts.begin(), texts.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, texts);
        EXPECT_TRUE(view.enabled);
        EXPECT_EQ("Progress:", view.progressCaption);
        EXPECT_EQ(0, view.progressBar);
        EXPECT_EQ(1, core->songCount());
        EXPECT_EQ(row.connected, core->deviceHandle() != 0);
        EXPECT_FALSE(fs::exists(start + "/dat/tmp.bin") && !row.connected);
        core->close();
        EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_BAD_HANDLE));
        core.reset();
    }
}

TEST_F(CoreTest, ThePollFollowsUnplugAndReplugSilently) {
    startCore();
    const uint32_t first = core->deviceHandle();
    zentroSimSetPlugged(0);
    core->tick();
    EXPECT_EQ(1, core->connectState());
    EXPECT_EQ(0u, core->deviceHandle());
    zentroSimSetPlugged(1);
    core->tick();
    EXPECT_EQ(2, core->connectState());
    EXPECT_NE(0u, core->deviceHandle());
    EXPECT_NE(first, core->deviceHandle());
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ("Zentro", view.title);
    EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_BAD_HANDLE));
}

// ---------------------------------------------------------------------------
// Cutting a list to the storage

TEST(CutToFit, FillsExactlyTheCapacity) {
    const uint32_t cap = capacity(2048);
    struct Row {
        std::vector<uint32_t> estimates;
        int cut;
        uint16_t count;
        uint32_t lastLimit;
    } rows[] = {
        {{1000000, 1000000, 1000000}, 1, 3, 31616},
        {{1000000, 1031616}, 1, 2, 1031616},
        {{3000000, 5}, 1, 1, cap},
        {{1000, 2000}, 0, 2, 2000},
    };
    for (const Row& row : rows) {
        Song songs[4] = {};
        for (size_t i = 0; i < row.estimates.size(); ++i) songs[i].sizeEstimate = row.estimates[i];
        uint16_t count = static_cast<uint16_t>(row.estimates.size());
        EXPECT_EQ(row.cut, cutToFit(songs, count, cap));
        EXPECT_EQ(row.count, count);
        EXPECT_EQ(row.lastLimit, +songs[count - 1].cutLimit);
        EXPECT_EQ(row.cut, +songs[count - 1].cutFlag);
    }
}
