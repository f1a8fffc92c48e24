// The FFmpeg decoder and the choice of reader: every format of the fixtures
// decodes to mono 16-bit PCM of the song's length, at the rate the encoder
// takes, with every channel mixed in; damaged files are refused, never read
// beyond themselves, and a stop request ends the decoding.
#include "ffmpeg_decoder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>

#include "audio_fixtures.h"
#include "bytes.h"
#include "song_reader.h"
#include "tempdir.h"
#include "wav_input.h"

using namespace velmo;
using namespace velmo::test;

namespace {

struct Decoded {
    int result = -99;
    FfmpegInfo info;
    std::vector<int16_t> samples;
};

Decoded decode(const std::string& path, const std::atomic<bool>* stop = nullptr) {
    TempDir dir;
    Decoded d;
    d.result = decodeFfmpeg(path, dir.file("raw.tmp"), d.info, stop);
    d.samples = le16Samples(readFileBytes(dir.file("raw.tmp")));
    return d;
}

std::vector<uint8_t> convertBytes(const std::string& path, uint32_t& rate) {
    TempDir dir;
    rate = convertSongToPcm(path, dir.file("raw.tmp"));
    return readFileBytes(dir.file("raw.tmp"));
}

}  // namespace

TEST(FfmpegDecoder, PcmRateIsTheSourceRateUpTo48000) {
    const std::pair<uint32_t, uint32_t> rows[] = {
        {0, 0},          {8000, 8000},    {11025, 11025},  {22050, 22050},  {44100, 44100},
        {48000, 48000},  {48001, 48000},  {64000, 48000},  {88200, 44100},  {96000, 48000},
        {176400, 44100}, {192000, 48000}, {352800, 44100}, {384000, 48000},
    };
    for (const auto& [source, pcm] : rows) EXPECT_EQ(pcm, ffmpegPcmRate(source)) << source;
}

// Each format: the reader it goes to, its probe's length against ffprobe's,
// and PCM as long as the song at the encoder's rate, in which every channel's
// tone is heard.
TEST(FfmpegDecoder, EveryFormatDecodesToMonoPcmOfItsLength) {
    struct Row {
        const char* file;
        SongReader reader;
        uint32_t sourceRate, pcmRate;
        uint16_t channels;
        std::vector<double> tones;  // the channels' tones, each of which must be heard
    };
    const std::vector<double> twoTones = {440, 660};
    const Row rows[] = {
        {"flac16_96000_stereo.flac", SongReader::Ffmpeg, 96000, 48000, 2, twoTones},
        {"flac24_96000_stereo.flac", SongReader::Ffmpeg, 96000, 48000, 2, twoTones},
        {"vorbis_22050_stereo.ogg", SongReader::Ffmpeg, 22050, 22050, 2, twoTones},
        {"opus_48000_stereo.opus", SongReader::Ffmpeg, 48000, 48000, 2, twoTones},
        {"aac_22050_stereo.m4a", SongReader::Ffmpeg, 22050, 22050, 2, twoTones},
        {"alac_22050_stereo.m4a", SongReader::Ffmpeg, 22050, 22050, 2, twoTones},
        {"aiff_22050_stereo.aiff", SongReader::Ffmpeg, 22050, 22050, 2, twoTones},
        {"wma_22050_stereo.wma", SongReader::Ffmpeg, 22050, 22050, 2, twoTones},
        {"wav_pcm8_mono.wav", SongReader::Ffmpeg, 8000, 8000, 1, {440}},
        {"wav_pcm24_mono.wav", SongReader::Ffmpeg, 8000, 8000, 1, {440}},
        {"wav_pcm32_mono.wav", SongReader::Ffmpeg, 8000, 8000, 1, {440}},
        {"wav_float32_mono.wav", SongReader::Ffmpeg, 8000, 8000, 1, {440}},
        {"wav_extensible24_stereo.wav", SongReader::Ffmpeg, 8000, 8000, 2, {440}},  // one tone on both
        {"wav_extensible16_stereo.wav", SongReader::Ffmpeg, 8000, 8000, 2, twoTones},
        {"wav_pcm16_6ch.wav", SongReader::Ffmpeg, 8000, 8000, 6, {300, 400, 500, 600, 700, 800}},
    };
    const auto durations = fixtureDurations();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        const std::string path = dataFile(r.file);
        EXPECT_EQ(r.reader, songReaderFor(path));
        const double seconds = durations.at(r.file);

        FfmpegInfo probed;
        ASSERT_EQ(kFfmpegOk, probeFfmpegLength(path, probed));
        EXPECT_NEAR(seconds, probed.duration, seconds * 0.01);
        EXPECT_EQ(r.sourceRate, probed.sourceRate);
        EXPECT_EQ(r.pcmRate, probed.sampleRate);
        EXPECT_EQ(r.channels, probed.channels);

        const Decoded d = decode(path);
        ASSERT_EQ(kFfmpegOk, d.result);
        EXPECT_EQ(r.sourceRate, d.info.sourceRate);
        EXPECT_EQ(r.pcmRate, d.info.sampleRate);
        EXPECT_EQ(r.channels, d.info.channels);
        EXPECT_NEAR(seconds, static_cast<double>(d.samples.size()) / r.pcmRate, 0.1);

        // Every channel is in the mix at its share; a tone no channel has is not.
        const double unrelated = tonePower(d.samples, r.pcmRate, 1234.0);
        for (double hz : r.tones) {
            const double p = tonePower(d.samples, r.pcmRate, hz);
            EXPECT_GT(p, 1e5) << hz << " Hz";
            EXPECT_GT(p, 100 * unrelated) << hz << " Hz";
        }
    }
}

// The 16-bit reader and the FFmpeg decoder mix two channels alike: the same
// samples under the extensible format tag (FFmpeg) and the plain one (the
// 16-bit reader, found after a JUNK chunk or an odd chunk's pad byte) give
// the same bytes, (L + R) / 2 truncated toward zero.
TEST(FfmpegDecoder, MixesStereoExactlyAsThe16BitReader) {
    EXPECT_EQ(SongReader::Wav, songReaderFor(dataFile("wav_junk_first.wav")));
    EXPECT_EQ(SongReader::Wav, songReaderFor(dataFile("wav_odd_chunk.wav")));
    EXPECT_EQ(SongReader::Ffmpeg, songReaderFor(dataFile("wav_extensible16_stereo.wav")));

    // The raw stereo samples are the tail of the JUNK-first file.
    const auto file = readFileBytes(dataFile("wav_junk_first.wav"));
    const size_t frames = 8000;
    ASSERT_GE(file.size(), frames * 4);
    const std::vector<uint8_t> stereo(file.end() - static_cast<long>(frames * 4), file.end());
    const auto lr = le16Samples(stereo);
    std::vector<uint8_t> expected;
    for (size_t f = 0; f < frames; ++f) {
        const auto m = static_cast<uint16_t>(static_cast<int16_t>((lr[2 * f] + lr[2 * f + 1]) / 2));
        expected.push_back(static_cast<uint8_t>(m));
        expected.push_back(static_cast<uint8_t>(m >> 8));
    }
    for (const char* name : {"wav_junk_first.wav", "wav_odd_chunk.wav", "wav_extensible16_stereo.wav"}) {
        SCOPED_TRACE(name);
        uint32_t rate = 0;
        EXPECT_EQ(expected, convertBytes(dataFile(name), rate));
        EXPECT_EQ(8000u, rate);
    }
}

TEST(FfmpegDecoder, BrokenFilesAreRefused) {
    TempDir dir;
    std::vector<std::string> broken = {dataFile("broken_truncated.m4a"), dataFile("broken_garbage.flac")};
    // Random bytes under every name a song may have.
    std::mt19937 random(16);
    for (const char* ext : {".flac", ".ogg", ".opus", ".m4a", ".aac", ".aiff", ".wma", ".wav", ".mka", ".ac3"}) {
        for (size_t size : {0, 1, 100, 5000, 70000}) {
            std::vector<uint8_t> bytes(size);
            for (auto& b : bytes) b = static_cast<uint8_t>(random());
            const std::string name = dir.file("random" + std::to_string(size) + ext);
            writeFileBytes(name, bytes);
            broken.push_back(name);
        }
    }
    // A 24-bit WAV whose header claims 1,970,216,768 samples per second (found
    // by the fuzzer: resampling that to 48 kHz would take gigabytes).
    {
        std::vector<uint8_t> wav = {'R', 'I', 'F', 'F', 0, 0, 0,  0, 'W', 'A', 'V', 'E', 'f', 'm',
                                    't', ' ', 16,  0,   0, 0, 1,  0, 1,   0,   0,   0,   0,   0,
                                    0,   0,   0,   0,   3, 0, 24, 0, 'd', 'a', 't', 'a'};
        writeLe32(&wav[24], 1970216768u);
        const std::vector<uint8_t> size = {0x00, 0x30, 0, 0};
        wav.insert(wav.end(), size.begin(), size.end());
        for (int i = 0; i < 0x3000; ++i) wav.push_back(static_cast<uint8_t>(random()));
        writeLe32(&wav[4], static_cast<uint32_t>(wav.size() - 8));
        broken.push_back(dir.file("fast.wav"));
        writeFileBytes(broken.back(), wav);
    }
    for (const std::string& path : broken) {
        SCOPED_TRACE(path);
        FfmpegInfo info;
        EXPECT_EQ(kFfmpegRefused, probeFfmpegLength(path, info));
        EXPECT_EQ(0.0, info.duration);
        EXPECT_EQ(0.0, songDuration(path));
        const Decoded d = decode(path);
        EXPECT_NE(kFfmpegOk, d.result);
        uint32_t rate = 99;
        convertBytes(path, rate);
        EXPECT_EQ(0u, rate);
    }
}

TEST(FfmpegDecoder, OnlyRegularFilesOpen) {
    TempDir dir;
    ASSERT_EQ(0, ::mkfifo(dir.file("pipe.flac").c_str(), 0600));
    std::filesystem::create_directory(dir.file("folder.flac"));
    for (const char* name : {"missing.flac", "pipe.flac", "folder.flac"}) {
        SCOPED_TRACE(name);
        FfmpegInfo info;
        EXPECT_EQ(kFfmpegNoFile, probeFfmpegLength(dir.file(name), info));
        EXPECT_EQ(kFfmpegNoFile, decode(dir.file(name)).result);
    }
}

// A list that names other files (a concat script, an HLS playlist) is not a
// song: the decoder never opens what it names.
TEST(FfmpegDecoder, NeverOpensFilesNamedInsideASong) {
    TempDir dir;
    const std::string real = dataFile("flac16_96000_stereo.flac");
    const std::string lists[] = {
        "ffconcat version 1.0\nfile '" + real + "'\n",
        "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\nfile://" + real + "\n#EXT-X-ENDLIST\n",
    };
    for (const std::string& text : lists) {
        SCOPED_TRACE(text);
        writeFileBytes(dir.file("list.flac"), std::vector<uint8_t>(text.begin(), text.end()));
        FfmpegInfo info;
        EXPECT_EQ(kFfmpegRefused, probeFfmpegLength(dir.file("list.flac"), info));
        EXPECT_NE(kFfmpegOk, decode(dir.file("list.flac")).result);
    }
}

TEST(FfmpegDecoder, AStopRequestEndsTheDecoding) {
    const std::string path = dataFile("flac16_96000_stereo.flac");
    std::atomic<bool> stop{true};
    const Decoded stopped = decode(path, &stop);
    EXPECT_EQ(kFfmpegStopped, stopped.result);
    EXPECT_TRUE(stopped.samples.empty());
    stop = false;
    const Decoded whole = decode(path, &stop);
    EXPECT_EQ(kFfmpegOk, whole.result);
    EXPECT_EQ(whole.samples, decode(path).samples) << "a flag that stays false changes nothing";
    TempDir dir;
    stop = true;
    EXPECT_EQ(0u, convertSongToPcm(path, dir.file("raw.tmp"), &stop));
}

TEST(FfmpegDecoder, OutputProblemsFail) {
    TempDir dir;
    const std::string path = dataFile("alac_22050_stereo.m4a");
    FfmpegInfo info;
    EXPECT_EQ(kFfmpegWriteFailed, decodeFfmpeg(path, dir.file("no/folder/raw.tmp"), info));
    if (::access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(kFfmpegWriteFailed, decodeFfmpeg(path, "/dev/full", info));
    }
}

// The length of a song whose container states none comes from its packets.
TEST(FfmpegDecoder, LengthFromThePacketsWhenTheContainerHasNone) {
    TempDir dir;
    // ADTS AAC has no duration field: ffmpeg itself can only guess one from the bit rate.
    const std::string adts = dir.file("song.aac");
    const std::string cmd =
        "ffmpeg -v error -y -i '" + dataFile("aac_22050_stereo.m4a") + "' -c:a copy -f adts '" + adts + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0 || !std::filesystem::exists(adts)) GTEST_SKIP() << "ffmpeg is not installed";
    FfmpegInfo info;
    ASSERT_EQ(kFfmpegOk, probeFfmpegLength(adts, info));
    // 1 s of AAC at 22050 Hz: whole frames of 1024 samples, with the encoder's priming frame.
    EXPECT_NEAR(1.0, info.duration, 0.1);
    const Decoded d = decode(adts);
    ASSERT_EQ(kFfmpegOk, d.result);
    EXPECT_NEAR(info.duration, static_cast<double>(d.samples.size()) / 22050, 0.05);
}
