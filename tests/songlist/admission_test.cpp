#include "admission.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "audio_fixtures.h"
#include "bytes.h"
#include "encoder.h"
#include "fileio.h"
#include "song_reader.h"
#include "songrecord.h"
#include "tempdir.h"

using namespace velmo;
using namespace velmo::test;

namespace {

std::string fixture(const std::string& name) { return std::string(VELMO_TEST_DATA) + "/" + name; }

// A WAV header with a data chunk of `dataBytes`; the file is extended to hold
// it without writing the samples (the probe reads headers only).
void writeWav(const std::string& path, uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
              uint32_t dataBytes) {
    std::vector<uint8_t> h(44, 0);
    std::memcpy(&h[0], "RIFF", 4);
    writeLe32(&h[4], 36 + dataBytes);
    std::memcpy(&h[8], "WAVEfmt ", 8);
    writeLe32(&h[16], 16);
    writeLe16(&h[20], tag);
    writeLe16(&h[22], channels);
    writeLe32(&h[24], rate);
    writeLe32(&h[28], rate * channels * bits / 8);
    writeLe16(&h[32], static_cast<uint16_t>(channels * bits / 8));
    writeLe16(&h[34], bits);
    std::memcpy(&h[36], "data", 4);
    writeLe32(&h[40], dataBytes);
    writeFileBytes(path, h);
    std::filesystem::resize_file(path, 44 + static_cast<uintmax_t>(dataBytes));
}

// MPEG-1 layer III frames of 576 bytes at 32000 Hz, the first carrying a Xing
// header with `frames` frames: frames x 1152 / 32000 seconds.
// A Xing frame that claims `claim` frames, then `frames` silent frames of
// 1152 samples at 32000 Hz (576 bytes each).
void writeXingMp3(const std::string& path, uint32_t frames, uint32_t claim) {
    std::vector<uint8_t> b(576 * (static_cast<size_t>(frames) + 1), 0);
    for (size_t i = 0; i <= frames; ++i) {
        const uint8_t header[4] = {0xFF, 0xFB, 0x98, 0x44};
        std::memcpy(&b[i * 576], header, 4);
    }
    std::memcpy(&b[36], "Xing", 4);
    writeBe32(&b[40], 1);  // the frame count is there
    writeBe32(&b[44], claim);
    writeFileBytes(path, b);
}

// quality x 1000 x the play time and the encoder's 80 ms (75 at Normal), for
// ffprobe's length of a song (within 1 %).
void expectEstimateOf(double seconds, uint16_t quality, uint32_t estimate) {
    const double encoder = quality == kQualityNormal ? 0.075 : 0.080;
    EXPECT_NEAR(quality * 1000.0 * (seconds + encoder), estimate, quality * 1000.0 * seconds * 0.01 + 1)
        << "quality " << quality;
}

}  // namespace

TEST(Admission, ExtensionTest) {
    struct Row {
        const char* path;
        const char* ext;
        bool match;
    };
    const Row rows[] = {
        {"/m/a.mp3", ".mp3", true},   {"/m/a.MP3", ".mp3", true},  {"/m/a.Mp3", ".mp3", true},
        {"/m/a.wav", ".mp3", false},  {"/m/a.WAV", ".wav", true},  {".mp3", ".mp3", true},
        {"mp3", ".mp3", false},       {"", ".mp3", false},         {"/m/a.mp3 ", ".mp3", false},
        {"/m/a.mp3/", ".mp3", false}, {"/m/a.mp4", ".mp3", false}, {"/m/amp3", ".mp3", false},
    };
    for (const Row& r : rows) EXPECT_EQ(r.match, hasExtension(r.path, r.ext)) << r.path << " " << r.ext;
}

TEST(Admission, SongExtensionsOfAnyLength) {
    struct Row {
        const char* path;
        bool song;
    };
    const Row rows[] = {
        {"/m/a.mp3", true},  {"/m/a.WAV", true},       {"/m/a.flac", true}, {"/m/a.Ogg", true},   {"/m/a.opus", true},
        {"/m/a.m4a", true},  {"/m/a.aiff", true},      {"/m/a.aif", true},  {"/m/a.wma", true},   {"/m/a.AAC", true},
        {"/m/a.txt", false}, {"/m/a.flac.txt", false}, {"/m/aflac", false}, {"/m/a.mp3x", false}, {"", false},
    };
    for (const Row& r : rows) EXPECT_EQ(r.song, hasSongExtension(r.path)) << r.path;
    // The dialog's filter names every one of them.
    const std::string patterns = ";" + songFilePatterns() + ";";
    for (size_t i = 0; i < kSongExtensionCount; ++i)
        EXPECT_NE(std::string::npos, patterns.find(std::string(";*") + kSongExtensions[i] + ";")) << kSongExtensions[i];
}

TEST(Admission, WorkPathAndDisplayName) {
    struct Row {
        const char* path;
        const char* name;  // "" when nothing qualifies
    };
    const Row rows[] = {
        {"/home/u/Music/Song.Mp3", "Song.Mp3"},
        {"/home/u/Old.wav/Track.mp3", "Old.wav"},  // the first qualifying component wins
        {"./dat/Reloaded.mp3", "Reloaded.mp3"},    // a song read back from the clock
        {"/Song.mp3", "Song.mp3"},                 // an absolute path skips nothing
        {"Song.mp3", ""},                          // a relative path's only component is skipped
        {"music/Song.mp3", "Song.mp3"},
        {"Song.mp3/Other.wav", "Other.wav"},
        {"//home///u//Song.WAV", "Song.WAV"},  // runs of separators are one
        {"/home/u/.mp3/x.mp3", "x.mp3"},       // nothing before the extension
        {"/home/u/a.mp3x/b.txt", ""},
        {"/home/u/Song.ogg", "Song.ogg"},  // every song extension, whatever its length
        {"/home/u/Song.FLAC", "Song.FLAC"},
        {"/home/u/a.opus", "a.opus"},
        {"/home/u/Live.aiff/Take.m4a", "Live.aiff"},
        {"/home/u/notes.txt", ""},
        {"/home/u/flac", ""},
        {"/home/u/.flac", ""},
        {"", ""},
        {"/", ""},
        {"/m/with space.mp3", "with space.mp3"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(r.name, songDisplayName(r.path));
        std::string work = "unchanged";
        const bool ok = songWorkPath(r.path, work);
        EXPECT_EQ(*r.name != '\0', ok);
        EXPECT_EQ(ok ? std::string("./dat/") + r.name : std::string("unchanged"), work);
        // The line of a record built from the working path is the same name.
        if (ok) {
            EXPECT_EQ(r.name, songDisplayName(work));
        }
    }
}

TEST(Admission, WorkPathMustFitARecord) {
    // "./dat/" + name + NUL must fit the 2048 bytes of workPath.
    const std::string fits(kPathBytes - 1 - 6 - 4, 'a');
    const std::string tooLong(kPathBytes - 6 - 4, 'a');
    std::string work;
    ASSERT_TRUE(songWorkPath("/" + fits + ".mp3", work));
    EXPECT_EQ(kPathBytes - 1, work.size());
    EXPECT_FALSE(songWorkPath("/" + tooLong + ".mp3", work));
    EXPECT_EQ(tooLong + ".mp3", songDisplayName("/" + tooLong + ".mp3"));
    // The list line is cut to what a record's path can hold.
    EXPECT_EQ(kPathBytes - 1, songDisplayName("/" + std::string(3000, 'b') + ".mp3").size());
}

TEST(Admission, EstimateExamples) {
    TempDir dir;
    // 180 seconds: 5000 frames of 1152 samples at 32000 Hz, and a 16-bit mono
    // WAV of 2,880,000 bytes at 8000 Hz: 180 s, and the encoder's 80 ms (75
    // at Normal): 8000 x 180.08 bytes at Best.
    writeXingMp3(dir.file("song.mp3"), 5000, 5000);
    writeWav(dir.file("song.wav"), 1, 1, 8000, 16, 2880000);
    for (const char* song : {"song.mp3", "song.wav"}) {
        SCOPED_TRACE(song);
        EXPECT_EQ(1440640u, estimateSongSize(dir.file(song), 8));
        EXPECT_EQ(720320u, estimateSongSize(dir.file(song), 4));
        EXPECT_EQ(360150u, estimateSongSize(dir.file(song), 2));
    }
    // 10.0 s of 16-bit stereo at 44100: 40,320 bytes at quality 4.
    writeWav(dir.file("ten.wav"), 1, 2, 44100, 16, 1764000);
    EXPECT_EQ(40320u, estimateSongSize(dir.file("ten.wav"), 4));
    // The extension decides the probe, in any case.
    std::filesystem::copy_file(dir.file("song.mp3"), dir.file("SONG.MP3"));
    EXPECT_EQ(720320u, estimateSongSize(dir.file("SONG.MP3"), 4));
    // Truncated toward zero: 1 frame at 32000 Hz is 0.036 s, 928 bytes at quality 8.
    writeXingMp3(dir.file("short.mp3"), 1, 1);
    EXPECT_EQ(928u, estimateSongSize(dir.file("short.mp3"), 8));
    // One sample still makes frames: 0.0001875 s x 4000 and the encoder's 320.
    writeWav(dir.file("odd.wav"), 1, 1, 8000, 16, 3);
    EXPECT_EQ(320u, estimateSongSize(dir.file("odd.wav"), 4));
    // No play time, no estimate.
    EXPECT_EQ(0u, estimateForDuration(0.0, 8));
    EXPECT_EQ(0u, estimateForDuration(-1.0, 8));
}

TEST(Admission, UnusableFilesAreEstimatedAtZero) {
    TempDir dir;
    writeWav(dir.file("adpcm.wav"), 2, 1, 8000, 16, 8000);
    writeFileBytes(dir.file("text.wav"), std::vector<uint8_t>(500, 'x'));
    writeFileBytes(dir.file("text.mp3"), std::vector<uint8_t>(500, 'x'));
    writeWav(dir.file("nodata.wav"), 1, 1, 8000, 16, 8000);
    {
        auto b = readFileBytes(dir.file("nodata.wav"));
        std::memcpy(&b[36], "junk", 4);
        writeFileBytes(dir.file("nodata.wav"), b);
    }
    writeWav(dir.file("norate.wav"), 1, 1, 0, 16, 8000);
    writeXingMp3(dir.file("zero.mp3"), 0, 0);
    std::filesystem::create_directory(dir.file("folder.mp3"));
    std::filesystem::copy_file(fixture("broken_truncated.m4a"), dir.file("cut.m4a"));
    std::filesystem::copy_file(fixture("broken_garbage.flac"), dir.file("garbage.flac"));
    // FLAC named .mp3 stays with libmad, which finds no MP3 frame in it.
    std::filesystem::copy_file(fixture("flac16_96000_stereo.flac"), dir.file("flac.mp3"));
    for (const char* name :
         {"adpcm.wav", "text.wav", "text.mp3", "nodata.wav", "norate.wav", "zero.mp3", "missing.mp3",
          "missing.wav", "folder.mp3", "cut.m4a", "garbage.flac", "flac.mp3", "missing.flac"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(0u, estimateSongSize(dir.file(name), 8));
    }
    // A Xing count of 0 or of 0xFFFFFFFF frames (8000 x 1.1e8 bytes, beyond
    // any 32-bit size) is not believed: the song is its frames.
    writeXingMp3(dir.file("three.mp3"), 3, 3);
    writeXingMp3(dir.file("claims0.mp3"), 3, 0);
    writeXingMp3(dir.file("huge.mp3"), 3, 0xFFFFFFFF);
    ASSERT_NE(0u, estimateSongSize(dir.file("three.mp3"), 8));
    EXPECT_EQ(estimateSongSize(dir.file("three.mp3"), 8), estimateSongSize(dir.file("claims0.mp3"), 8));
    EXPECT_EQ(estimateSongSize(dir.file("three.mp3"), 8), estimateSongSize(dir.file("huge.mp3"), 8));
    // An estimate just inside 32 bits is kept; one past it is none.
    EXPECT_EQ(2880000640u, estimateForDuration(360000.0, 8));
    EXPECT_EQ(0u, estimateForDuration(540000.0, 8));
}

TEST(Admission, FixturesAreEstimatedFromTheirPlayTime) {
    struct Row {
        const char* file;
        double seconds;
    };
    const Row rows[] = {
        {"wav_pcm16_stereo.wav", 1.0},
        {"wav_pcm16_mono.wav", 1.0},
        {"wav_pcm8_mono.wav", 1.0},               // through FFmpeg
        {"l3_48000_cbr128_mono_nopad.mp3", 2.04},  // 85 frames x 1152 / 48000
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        expectEstimateOf(r.seconds, 4, estimateSongSize(fixture(r.file), 4));
    }
}

// Every format: estimated at quality x 1000 x its length (ffprobe's), and the encoder's overhead.
TEST(Admission, EveryFormatIsEstimatedFromItsLength) {
    const auto durations = fixtureDurations();
    for (const char* file :
         {"flac16_96000_stereo.flac", "flac24_96000_stereo.flac", "vorbis_22050_stereo.ogg", "opus_48000_stereo.opus",
          "aac_22050_stereo.m4a", "alac_22050_stereo.m4a", "aiff_22050_stereo.aiff", "wma_22050_stereo.wma",
          "wav_pcm8_mono.wav", "wav_pcm24_mono.wav", "wav_pcm32_mono.wav", "wav_float32_mono.wav", "wav_pcm16_6ch.wav",
          "wav_extensible16_stereo.wav", "wav_extensible24_stereo.wav", "wav_junk_first.wav", "wav_odd_chunk.wav"}) {
        SCOPED_TRACE(file);
        for (uint16_t quality : {8, 4, 2})
            expectEstimateOf(durations.at(file), quality, estimateSongSize(fixture(file), quality));
    }
}

// Songs that mislead a probe that trusts their first frame, their tags or
// their headers: each measures what decodes, within 1 %, and is estimated
// within 2 % of the data the real conversion (the encoder library and the
// settings of a Download) makes of it, at every quality.
TEST(Admission, EstimateIsWithinTwoPercentOfTheConvertedData) {
    TempDir dir;
    const std::string raw = dir.file("song.raw");
    const std::string mp3 = dir.file("song.mp3");
    for (const char* name : {"cbr32_22050_info.mp3", "vbr_no_xing.mp3", "junk_two_id3.mp3", "cover_false_sync.mp3",
                             "chapter_false_sync.mp3", "xing_100000.mp3", "cbr128_plain.mp3", "vbr_xing.mp3",
                             "claims_ten_times.flac"}) {
        SCOPED_TRACE(name);
        const std::string song = std::string(VELMO_PROBE_FIXTURES) + "/" + name;
        const uint32_t rate = convertSongToPcm(song, raw);
        ASSERT_NE(0u, rate);
        const double decoded = static_cast<double>(fileSize(raw).value_or(0)) / 2 / rate;
        EXPECT_NEAR(decoded, songDuration(song), decoded * 0.01);
        for (uint16_t quality : {8, 4, 2}) {
            Encoder encoder;
            std::filesystem::remove(mp3);
            uint32_t written = 0;
            ASSERT_EQ(kPrepareOk, encoder.prepare(rate, quality * 8u, outputSampleRate(rate, quality)));
            ASSERT_EQ(kEncodeOk, encoder.encode(nullptr, 0, 0, raw, mp3, written));
            EXPECT_NEAR(written, estimateSongSize(song, quality), written * 0.02) << "quality " << quality;
        }
    }
}

// The reader is chosen by content: a name that lies about the format changes
// nothing but ".mp3", which always goes to libmad.
TEST(Admission, TheContentDecidesTheReader) {
    TempDir dir;
    const auto copy = [&](const char* from, const char* to) {
        std::filesystem::copy_file(fixture(from), dir.file(to));
        return dir.file(to);
    };
    const uint32_t mp3 = estimateSongSize(fixture("l3_44100_cbr128_stereo.mp3"), 8);
    const uint32_t flac = estimateSongSize(fixture("flac16_96000_stereo.flac"), 8);
    const uint32_t wav = estimateSongSize(fixture("wav_pcm16_stereo.wav"), 8);
    ASSERT_GT(mp3, 0u);
    EXPECT_EQ(estimateForDuration(1.0, 8), flac);  // 1.0 s each
    EXPECT_EQ(estimateForDuration(1.0, 8), wav);
    EXPECT_EQ(flac, estimateSongSize(copy("flac16_96000_stereo.flac", "a.ogg"), 8));
    EXPECT_EQ(flac, estimateSongSize(copy("flac16_96000_stereo.flac", "b.wav"), 8));
    EXPECT_EQ(wav, estimateSongSize(copy("wav_pcm16_stereo.wav", "c.flac"), 8));
    EXPECT_EQ(SongReader::Wav, songReaderFor(dir.file("c.flac")));
    EXPECT_EQ(SongReader::Ffmpeg, songReaderFor(dir.file("b.wav")));
    // An MP3 under another name is read by FFmpeg, from the same frames.
    const uint32_t asOgg = estimateSongSize(copy("l3_44100_cbr128_stereo.mp3", "d.ogg"), 8);
    EXPECT_NEAR(mp3, asOgg, mp3 * 0.01);
    EXPECT_EQ(SongReader::Ffmpeg, songReaderFor(dir.file("d.ogg")));
    EXPECT_EQ(SongReader::Mp3, songReaderFor(copy("wav_pcm16_stereo.wav", "e.MP3")));
}

TEST(Admission, OpenErrorsGiveTheSystemsReason) {
    TempDir dir;
    writeFileBytes(dir.file("song.flac"), {1, 2, 3});
    std::filesystem::create_directory(dir.file("folder.flac"));
    EXPECT_EQ(0, songFileOpenError(dir.file("song.flac")));
    EXPECT_EQ(ENOENT, songFileOpenError(dir.file("missing.flac")));
    EXPECT_EQ(EISDIR, songFileOpenError(dir.file("folder.flac")));
    EXPECT_EQ(ENOTDIR, songFileOpenError(dir.file("song.flac/x.flac")));
}

// The folder a user adds: songs in name order, sub-folders in their place,
// everything that is not a song file left out.
TEST(Admission, SongFilesInAFolderComeInNameOrder) {
    TempDir dir;
    const std::string top = dir.file("album");
    namespace fs = std::filesystem;
    fs::create_directories(top + "/B-side/deeper");
    fs::create_directories(top + "/Covers.mp3");  // a folder, whatever its name
    for (const char* name : {"b.flac", "A.mp3", "c.WAV", "notes.txt", "B-side/2.ogg", "B-side/1.mp3",
                             "B-side/deeper/x.opus", "Covers.mp3/z.aiff", ".mp3"})
        writeFileBytes(top + "/" + name, {1});
    fs::create_symlink(top, top + "/B-side/loop");  // back up the tree
    fs::create_symlink(top + "/gone.mp3", top + "/dangling.mp3");
    fs::create_symlink(top + "/b.flac", top + "/linked.flac");

    const std::vector<std::string> expected = {
        top + "/A.mp3",
        top + "/B-side/1.mp3",
        top + "/B-side/2.ogg",
        top + "/B-side/deeper/x.opus",
        top + "/Covers.mp3/z.aiff",
        top + "/b.flac",
        top + "/c.WAV",
        top + "/linked.flac",
    };
    EXPECT_EQ(expected, songFilesInFolder(top));
    EXPECT_EQ(expected, songFilesInFolder(top + "/"));

    // Folders are replaced by their songs where they stand; files stay.
    const std::vector<std::string> mixed =
        songFilesOf({top + "/notes.txt", top + "/B-side/deeper", dir.file("missing.mp3")});
    EXPECT_EQ((std::vector<std::string>{top + "/notes.txt", top + "/B-side/deeper/x.opus", dir.file("missing.mp3")}),
              mixed);
    EXPECT_TRUE(songFilesInFolder(dir.file("missing")).empty());
    EXPECT_TRUE(songFilesInFolder(top + "/A.mp3").empty());
}

TEST(Admission, SongFolderDepthIsBounded) {
    TempDir dir;
    std::string path = dir.file("top");
    for (int level = 0; level <= kSongFolderDepth + 1; ++level) {
        std::filesystem::create_directories(path);
        writeFileBytes(path + "/s.mp3", {1});
        path += "/d";
    }
    // The folder itself and kSongFolderDepth levels below it.
    EXPECT_EQ(static_cast<size_t>(kSongFolderDepth + 1), songFilesInFolder(dir.file("top")).size());
}

// A walk below an added folder leaves it only for folders inside it, lists
// each folder once however many links lead there, and ends.
TEST(Admission, AFolderWalkStaysInsideTheFolderAndEnds) {
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string top = dir.file("top");
    const std::string outside = dir.file("outside");
    fs::create_directories(top + "/in");
    fs::create_directories(outside);
    writeFileBytes(top + "/a.mp3", {1});
    writeFileBytes(top + "/in/b.mp3", {1});
    writeFileBytes(outside + "/c.mp3", {1});
    struct Row {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> expected;
    } rows[] = {
        {"a link to /", [&] { fs::create_directory_symlink("/", top + "/root"); }, {"/a.mp3", "/in/b.mp3"}},
        {"a link to /proc/self",
         [&] { fs::create_directory_symlink("/proc/self", top + "/self"); },
         {"/a.mp3", "/in/b.mp3"}},
        {"a link to a folder beside it",
         [&] { fs::create_directory_symlink(outside, top + "/beside"); },
         {"/a.mp3", "/in/b.mp3"}},
        {"a link up the tree", [&] { fs::create_directory_symlink(top, top + "/in/up"); }, {"/a.mp3", "/in/b.mp3"}},
        {"a link to a folder inside, listed once",
         [&] { fs::create_directory_symlink(top + "/in", top + "/alias"); },
         {"/a.mp3", "/alias/b.mp3"}},
        {"a relative link out",
         [&] { fs::create_directory_symlink("../../outside", top + "/in/out"); },
         {"/a.mp3", "/in/b.mp3"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.arrange();
        std::vector<std::string> expected;
        for (const std::string& e : row.expected) expected.push_back(top + e);
        const FolderWalk walk = walkSongFolder(top);
        EXPECT_EQ(expected, walk.files);
        EXPECT_FALSE(walk.tooManyEntries);
        EXPECT_FALSE(walk.tooDeep);
        for (const auto& entry : fs::directory_iterator(top))
            if (fs::is_symlink(entry.symlink_status())) fs::remove(entry.path());
        for (const auto& entry : fs::directory_iterator(top + "/in"))
            if (fs::is_symlink(entry.symlink_status())) fs::remove(entry.path());
    }

    // Three links on every one of 16 levels, each to the level below: every
    // folder is listed once, not 3^16 times.
    std::string level = top + "/deep";
    for (int i = 0; i < kSongFolderDepth - 1; ++i) {
        fs::create_directories(level + "/next");
        writeFileBytes(level + "/s.mp3", {1});
        for (const char* link : {"l1", "l2", "l3"}) fs::create_directory_symlink(level + "/next", level + "/" + link);
        level += "/next";
    }
    const FolderWalk walk = walkSongFolder(top);
    // a.mp3, in/b.mp3 and one song on each of the levels.
    EXPECT_EQ(static_cast<size_t>(2 + kSongFolderDepth - 1), walk.files.size()) << "each level's song once";
    EXPECT_FALSE(walk.tooManyEntries);
}

// A walk says when a limit left songs out: too many entries, or songs
// deeper than the depth limit; a deep folder without songs says nothing.
TEST(Admission, AFolderWalkSaysWhyItLeftSongsOut) {
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string many = dir.file("many");
    fs::create_directories(many);
    for (size_t i = 0; i <= kMaxFolderEntries; ++i) writeFileBytes(many + "/" + std::to_string(i) + ".txt", {});
    FolderWalk walk = walkSongFolder(many);
    EXPECT_TRUE(walk.tooManyEntries);
    ASSERT_EQ(1u, folderWalkNotes(many, walk).size());
    EXPECT_EQ(many + " holds more than 10000 entries: only the songs among the first 10000 were taken",
              folderWalkNotes(many, walk)[0]);
    fs::remove(many + "/0.txt");
    EXPECT_FALSE(walkSongFolder(many).tooManyEntries) << "exactly 10000 entries are all looked at";

    for (const bool songDeep : {false, true}) {
        SCOPED_TRACE(songDeep ? "a song too deep" : "only folders too deep");
        const std::string top = dir.file(songDeep ? "deep-song" : "deep-folder");
        std::string path = top;
        for (int level = 0; level <= kSongFolderDepth + 2; ++level) path += "/d";
        fs::create_directories(path);
        writeFileBytes(top + "/near.mp3", {1});
        if (songDeep) writeFileBytes(path + "/far.mp3", {1});
        walk = walkSongFolder(top);
        EXPECT_EQ(std::vector<std::string>{top + "/near.mp3"}, walk.files);
        EXPECT_EQ(songDeep, walk.tooDeep);
        const std::vector<std::string> notes = folderWalkNotes(top, walk);
        if (songDeep) {
            ASSERT_EQ(1u, notes.size());
            EXPECT_EQ(top + ": songs deeper than 16 levels were left out", notes[0]);
        } else {
            EXPECT_TRUE(notes.empty());
        }
    }
}
