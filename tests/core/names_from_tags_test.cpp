// Song names from tags in the core: admission, the clock's header, Reload,
// and what the core tells of each song and of each quality.
#include <gtest/gtest.h>

#include <filesystem>

#include "core_fixture.h"
#include "fileio.h"
#include "song_tags.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

std::string taggedFixture(const std::string& name) { return std::string(VELMO_TAG_FIXTURES) + "/" + name; }

}  // namespace

class NamesFromTagsTest : public CoreTest {
  public:
    // A copy of a tagged fixture named `name` in the test's folder `folder`.
    std::string tagged(const std::string& folder, const std::string& name, const std::string& from) {
        fs::create_directories(dir.file(folder));
        const std::string path = dir.file(folder) + "/" + name;
        fs::copy_file(taggedFixture(from), path, fs::copy_options::overwrite_existing);
        return path;
    }

    std::vector<std::string> workPaths() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < core->songCount(); ++i) out.push_back(fieldText(core->song(i).workPath));
        return out;
    }

    std::vector<std::string> clockNames() {
        StorageHeader header;
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        EXPECT_TRUE(decodeStorageHeader(bytes.data(), bytes.size(), header));
        std::vector<std::string> names;
        for (size_t i = 0; i < effectiveSongCount(header); ++i) names.push_back(fieldText(header.entries[i].songName));
        return names;
    }

    void freshStartFolder(const std::string& name) {
        core->close();
        start = dir.file(name);
        fs::create_directories(start);
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
        startCore();
    }
};

TEST_F(NamesFromTagsTest, DownloadWritesTagNamesAndReloadBringsThemBack) {
    startCore();
    EXPECT_FALSE(core->namesFromTags());
    core->setNamesFromTags(true);
    const std::string longTitle = readSongTags(taggedFixture("long_title.mp3")).title;
    const std::string longName = tagSongName(longTitle, "");
    ASSERT_FALSE(longName.empty());
    core->addSongs({tagged("m", "01 - track.mp3", "id3v24.mp3"), tagged("m", "02 - track.flac", "title_only.flac"),
                 tagged("m", "03 - track.mp3", "long_title.mp3"), tagged("m2", "01 - track.mp3", "id3v24.mp3"),
                 tagged("m", "05 - untagged.mp3", "untagged.mp3")});
    ASSERT_EQ(5, core->songCount()) << ::testing::PrintToString(view.texts());
    const std::vector<std::string> names = {"Ana - Sunrise Theme", "Morning Rain", longName, "Ana - Sunrise Theme (2)",
                                            "05 - untagged"};
    EXPECT_EQ((std::vector<std::string>{"Ana - Sunrise Theme.mp3", "Morning Rain.flac", longName + ".mp3",
                                        "Ana - Sunrise Theme (2).mp3", "05 - untagged.mp3"}),
              view.lines);

    view.answers = {MessageResult::Ok};
    view.answer(*core, core->download());
    ASSERT_TRUE(pumpToEnd());
    ASSERT_EQ(std::vector<std::string>{kDownloadFinishedVerified}, view.texts());
    EXPECT_EQ(names, clockNames());

    freshStartFolder("fresh");
    view.answers = {MessageResult::Ok};
    view.answer(*core, core->reload());
    ASSERT_TRUE(pumpToEnd());
    std::vector<std::string> lines;
    for (const std::string& n : names) lines.push_back(n + ".mp3");
    EXPECT_EQ(lines, view.lines);
}

TEST_F(NamesFromTagsTest, AlongNameKeepsItsLimitWithItsNumber) {
    startCore();
    core->setNamesFromTags(true);
    core->addSongs({tagged("a", "x.mp3", "long_title.mp3"), tagged("b", "x.mp3", "long_title.mp3")});
    ASSERT_EQ(2, core->songCount());
    const std::string first = songName(core->song(0));
    const std::string second = songName(core->song(1));
    ASSERT_EQ(".mp3", second.substr(second.size() - 4));
    const std::string stem = second.substr(0, second.size() - 4);
    EXPECT_LE(stem.size(), kMaxTagNameBytes);
    EXPECT_EQ(" (2)", stem.substr(stem.size() - 4));
    EXPECT_EQ(first.substr(0, stem.size() - 4), stem.substr(0, stem.size() - 4));
}

// With the option off, tags change nothing: the names, working paths and
// image are those of the same songs without any tag.
TEST_F(NamesFromTagsTest, OptionOffNamesByFileAndMakesTheSameImage) {
    const auto makeImage = [this](const std::vector<std::string>& files, std::vector<std::string>& paths) {
        core->addSongs(files);
        paths = workPaths();
        view.answer(*core, core->makeImage());
        EXPECT_TRUE(pumpToEnd());
        std::vector<uint8_t> image;
        EXPECT_TRUE(readWholeFile(start + "/dat/tmp.bin", image));
        return image;
    };
    startCore();
    std::vector<std::string> taggedPaths, plainPaths;
    const std::vector<uint8_t> taggedImage = makeImage(
        {tagged("t", "01 - track.mp3", "id3v24.mp3"), tagged("t", "02 - track.mp3", "id3v23_utf16.mp3")}, taggedPaths);
    EXPECT_EQ((std::vector<std::string>{"01 - track.mp3", "02 - track.mp3"}), view.lines);

    freshStartFolder("plain");
    const std::vector<uint8_t> plainImage = makeImage(
        {tagged("p", "01 - track.mp3", "untagged.mp3"), tagged("p", "02 - track.mp3", "untagged.mp3")}, plainPaths);
    EXPECT_EQ((std::vector<std::string>{"./dat/01 - track.mp3", "./dat/02 - track.mp3"}), taggedPaths);
    EXPECT_EQ(plainPaths, taggedPaths);
    ASSERT_GT(taggedImage.size(), kStorageHeaderBytes);
    EXPECT_TRUE(taggedImage == plainImage);
    // A folder whose option was never set gets no settings file.
    core->close();
    EXPECT_FALSE(fs::exists(start + "/velmo.conf"));
}

TEST_F(NamesFromTagsTest, SongsInTheListKeepTheirNamesAndTheOptionIsKept) {
    startCore();
    core->addSongs({tagged("m", "01 - track.mp3", "id3v24.mp3")});
    core->setNamesFromTags(true);
    core->addSongs({tagged("m", "02 - track.ogg", "vorbis.ogg")});
    EXPECT_EQ((std::vector<std::string>{"01 - track.mp3", "Vorbis Artist - Vorbis Title.ogg"}), view.lines);
    core->close();
    startCore();
    EXPECT_TRUE(core->namesFromTags());
    EXPECT_EQ((std::vector<std::string>{"01 - track.mp3", "Vorbis Artist - Vorbis Title.ogg"}), view.lines);
}

TEST_F(NamesFromTagsTest, SongToolTipSaysWhatTheSongIs) {
    startCore();
    const std::string path = tagged("m", "song.flac", "title_only.flac");
    core->addSongs({path});
    ASSERT_EQ(1, core->songCount());
    const uint32_t estimate = core->song(0).sizeEstimate;
    ASSERT_EQ(4320u, estimate);  // one second at Good, and the encoder's 80 ms
    EXPECT_EQ("Source file: " + path +
                  "\nFormat: flac\nLength: 0:01\nEstimated size at Good quality: 4.2 KiB\nShare of the clock: 0.2 %"
                  "\nDownload: encoded to the clock's form",
              present::songToolTip(*core, 0));
    const SongFacts facts = core->songFacts(0);
    EXPECT_EQ("Morning Rain", facts.title);
    EXPECT_EQ("", facts.artist);
}

// A song from the song table is known by its estimate until it is probed.
TEST_F(NamesFromTagsTest, SongsFromTheTableAreProbedOffTheCallersThread) {
    startCore();
    core->addSongs({tagged("m", "song.wav", "riff_info.wav")});
    core->close();
    startCore();
    ASSERT_EQ(1, core->songCount());
    SongFacts before = core->songFacts(0);
    EXPECT_EQ("", before.format);
    // From the estimate, the encoder's share taken off again.
    EXPECT_NEAR(1.0, before.duration, 0.001);
    core->learnSongFacts();
    core->waitForSongFacts();
    const SongFacts after = core->songFacts(0);
    EXPECT_EQ("pcm_s16le", after.format);
    EXPECT_EQ("RIFF Title", after.title);
    EXPECT_EQ("RIFF Artist", after.artist);
}

TEST_F(NamesFromTagsTest, QualityToolTipsForecastEachQuality) {
    writeTable({1500000}, kQualityGood);
    startCore();
    EXPECT_EQ("Best: 147.7 %, does not fit", present::qualityToolTip(*core, kQualityBest));
    EXPECT_EQ("Good: 73.8 %, fits", present::qualityToolTip(*core, kQualityGood));
    EXPECT_EQ("Normal: 36.9 %, fits", present::qualityToolTip(*core, kQualityNormal));
    const VelmoCore::QualityFill best = core->qualityFill(kQualityBest);
    EXPECT_EQ(3000000u, best.total);
    EXPECT_FALSE(best.fits);
    // Exactly the capacity is a list that is cut: it does not fit.
    core->close();
    writeTable({2031616 / 2}, kQualityGood);
    startCore();
    EXPECT_EQ("Best: 100.0 %, does not fit", present::qualityToolTip(*core, kQualityBest));
    // The song's length comes from its estimate: 1,500,000 bytes at 4,000 a second.
    core->close();
    writeTable({1500000}, kQualityGood);
    startCore();
    EXPECT_NE(std::string::npos, present::songToolTip(*core, 0).find("\nFormat: unknown\nLength: 6:15\n"));
}
