// No generation loss: a Download, a Reload into a fresh start folder and a
// Download of the reloaded list at the same quality leave the clock's flash
// byte for byte as it was, because the reloaded songs, already in the
// clock's form, are copied and not encoded again. At another quality they
// are encoded again.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "convert_support.h"
#include "core_fixture.h"
#include "song_fixtures.h"
#include "storage_layout.h"
#include "tempdir.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSmallClockCode = 4;  // 128 KiB: a song of some seconds is cut
constexpr uint32_t kSmallClockKB = 128;

// A rising tone of `seconds` at 22050 Hz, long enough to be cut on the small clock.
std::vector<int16_t> longSong(double seconds) {
    std::vector<int16_t> out(static_cast<size_t>(22050 * seconds));
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        phase += 2 * M_PI * (200.0 + 600.0 * i / out.size()) / 22050;
        out[i] = static_cast<int16_t>(9000 * std::sin(phase));
    }
    return out;
}

class CopyRoundTripTest : public CoreTest {
  public:
    int folders = 0;

    // A new, empty start folder on the same clock, and a core started on it.
    void freshStart() {
        if (core && !core->isClosed()) core->close();
        start = dir.file("start" + std::to_string(++folders));
        fs::create_directories(start);
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
        startCore();
    }

    void setQuality(uint16_t q) {
        if (q == kQualityBest) core->setQuality(kQualityBest);
        if (q == kQualityGood) core->setQuality(kQualityGood);
        if (q == kQualityNormal) core->setQuality(kQualityNormal);
    }

    void download() {
        view.messages.clear();
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_TRUE(shown(kDownloadFinishedVerified));
    }

    void reload() {
        view.answer(*core, core->reload());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_TRUE(shown("Reloading songs finished !"));
    }

    // The clock's storage from the song header to its end.
    std::vector<uint8_t> clockSongs(uint32_t storageKB) {
        return flash(kStorageHeaderAddress, storageKB * 1024u - kStorageHeaderAddress);
    }

    // The header's total is the data the songs take, so a list copied back
    // from the clock packs to the very same bytes, header included.
    bool sameSongs(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) const {
        StorageHeader h;
        EXPECT_TRUE(decodeStorageHeader(after.data(), kStorageHeaderBytes, h));
        uint32_t data = 0;
        for (uint16_t i = 0; i < h.songCount && i < kMaxHeaderSongs; ++i) data += h.entries[i].dataSize;
        EXPECT_EQ(data, h.totalEstimate);
        return before == after;
    }

    // Download `sources` at `quality`, Reload into a fresh folder, Download
    // again at `again`: the clock before and after the second Download.
    std::pair<std::vector<uint8_t>, std::vector<uint8_t>> roundTrip(const std::vector<std::string>& sources,
                                                                    uint16_t quality, uint16_t again,
                                                                    uint32_t storageKB) {
        freshStart();
        core->addSongs(sources);
        setQuality(quality);
        download();
        const std::vector<uint8_t> before = clockSongs(storageKB);
        freshStart();
        reload();
        EXPECT_EQ(quality, core->quality());
        setQuality(again);
        download();
        return {before, clockSongs(storageKB)};
    }
};

TEST_F(CopyRoundTripTest, ReloadThenDownloadLeavesTheClockAsItWasAtEachQuality) {
    const std::vector<std::string> sources = {songFile("a", "Walk.mp3", "l3_44100_cbr128_stereo.mp3"),
                                              songFile("a", "Tone.wav", "wav_pcm16_mono.wav"),
                                              songFile("a", "Hi Res.flac", "flac16_96000_stereo.flac")};
    for (uint16_t q : {kQualityBest, kQualityGood, kQualityNormal}) {
        SCOPED_TRACE("quality " + std::to_string(q));
        const auto [before, after] = roundTrip(sources, q, q, 2048);
        ASSERT_EQ(3u, core->songCount());
        EXPECT_TRUE(sameSongs(before, after)) << "the clock changed";
    }
}

// With Even Volume on, a song the first Download brought to the even
// loudness measures within kEvenVolumeCopyToleranceDb of it when it comes
// back, and is copied; one far from it is encoded with its gain.
TEST_F(CopyRoundTripTest, WithEvenVolumeASongAlreadyEvenIsCopied) {
    const std::vector<std::string> sources = {songFile("a", "Walk.mp3", "l3_44100_cbr128_stereo.mp3"),
                                              songFile("a", "Tone.wav", "wav_pcm16_mono.wav")};
    for (uint16_t q : {kQualityBest, kQualityGood, kQualityNormal}) {
        SCOPED_TRACE("quality " + std::to_string(q));
        freshStart();
        core->setEvenVolume(true);
        core->addSongs(sources);
        setQuality(q);
        download();
        const std::vector<uint8_t> before = clockSongs(2048);
        freshStart();
        core->setEvenVolume(true);
        reload();
        download();
        EXPECT_TRUE(sameSongs(before, clockSongs(2048))) << "the clock changed";
    }

    // The songs as they are (Even Volume off) are not at the even loudness:
    // with it on, they are encoded again.
    freshStart();
    core->addSongs(sources);
    download();
    const std::vector<uint8_t> asTheyAre = clockSongs(2048);
    freshStart();
    core->setEvenVolume(true);
    reload();
    download();
    EXPECT_FALSE(sameSongs(asTheyAre, clockSongs(2048)));
}

TEST_F(CopyRoundTripTest, TheTooltipSaysWhichSongsAreCopied) {
    freshStart();
    core->addSongs(
        {songFile("a", "Walk.mp3", "l3_44100_cbr128_stereo.mp3"), std::string(VELMO_COPY_FIXTURES) + "/good_form.mp3"});
    core->setQuality(kQualityGood);
    const std::string copied = "Download: copied as it is, already in the clock's form";
    const std::string encoded = "Download: encoded to the clock's form";
    const auto lastLine = [this](size_t i) {
        const std::string tip = present::songToolTip(*core, i);
        return tip.substr(tip.rfind('\n') + 1);
    };
    EXPECT_EQ(VelmoCore::SongConversionPlan::Encode, core->conversionPlan(0));
    EXPECT_EQ(encoded, lastLine(0));
    EXPECT_EQ(VelmoCore::SongConversionPlan::Copy, core->conversionPlan(1));
    EXPECT_EQ(copied, lastLine(1));
    core->setEvenVolume(true);
    EXPECT_EQ(VelmoCore::SongConversionPlan::CopyIfEven, core->conversionPlan(1));
    core->setEvenVolume(false);
    core->setQuality(kQualityBest);
    EXPECT_EQ(encoded, lastLine(1)) << "at another quality it is encoded";

    // Every song a Reload brings back is in the clock's form.
    download();
    freshStart();
    reload();
    core->learnSongFacts();
    core->waitForSongFacts();
    for (size_t i = 0; i < core->songCount(); ++i) EXPECT_EQ(copied, lastLine(i)) << i;
}

// The cut song is the list's first: its limit is the whole capacity at both
// Downloads. (Further down the list its limit at the second Download is the
// capacity less the reloaded songs' estimates, which are not the first
// Download's estimates of their sources: the song is then cut again there,
// as an encoded one would be.)
TEST_F(CopyRoundTripTest, ACutSongComesBackAsItWasCut) {
    ASSERT_EQ(0, zentroSimSetStorageCode(kSmallClockCode));
    TempDir songs;
    writeWav(songs.file("Long.wav"), 22050, 1, longSong(40.0));
    const std::string longMp3 = std::string(VELMO_COPY_FIXTURES) + "/long_stereo.mp3";
    for (const std::string& source : {songs.file("Long.wav"), longMp3}) {
        for (uint16_t q : {kQualityBest, kQualityGood, kQualityNormal}) {
            SCOPED_TRACE(source + " quality " + std::to_string(q));
            const auto [before, after] =
                roundTrip({source, songFile("a", "Dropped.wav", "wav_pcm16_mono.wav")}, q, q, kSmallClockKB);
            ASSERT_EQ(1u, core->songCount());
            StorageHeader h;
            ASSERT_TRUE(decodeStorageHeader(before.data(), kStorageHeaderBytes, h));
            ASSERT_EQ(1u, h.songCount);
            EXPECT_GT(h.entries[0].dataSize, capacity(kSmallClockKB)) << "cut where the encoder cuts: past the limit";
            EXPECT_TRUE(sameSongs(before, after)) << "the clock changed";
        }
    }
}

TEST_F(CopyRoundTripTest, AtAnotherQualityTheSongsAreEncodedAgain) {
    const std::vector<std::string> sources = {songFile("a", "Walk.mp3", "l3_44100_cbr128_stereo.mp3")};
    const auto [before, after] = roundTrip(sources, kQualityBest, kQualityNormal, 2048);
    EXPECT_FALSE(before == after);
    StorageHeader h;
    ASSERT_TRUE(decodeStorageHeader(after.data(), kStorageHeaderBytes, h));
    EXPECT_EQ(kQualityNormal, h.quality);
    // 16 kbit/s MPEG-2 frames now: a quarter of the bytes, give or take a frame.
    StorageHeader was;
    ASSERT_TRUE(decodeStorageHeader(before.data(), kStorageHeaderBytes, was));
    EXPECT_NEAR(was.entries[0].dataSize / 4.0, h.entries[0].dataSize, 300.0);
    EXPECT_EQ(0xF3, after[kStorageHeaderBytes + 1]) << "MPEG-2 layer III";
}

}  // namespace
