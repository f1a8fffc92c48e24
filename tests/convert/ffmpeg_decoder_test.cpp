// The FFmpeg decoder and the choice of reader: every format of the fixtures
// decodes to mono 16-bit PCM of the song's length, at the rate the encoder
// takes, with every channel mixed in; damaged files are refused, never read
// beyond themselves, and a stop request ends the decoding. A failed read fails
// the song, a file cut short gives what it has, the best audio stream is
// chosen, and a stream that changes its format mid-way loses no samples.
#include "ffmpeg_decoder.h"

#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "audio_fixtures.h"
#include "bytes.h"
#include "ffmpeg_decoder_file.h"
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

Decoded decodeFile(FilePtr file) {
    TempDir dir;
    Decoded d;
    d.result = decodeFfmpegFile(std::move(file), dir.file("raw.tmp"), d.info);
    d.samples = le16Samples(readFileBytes(dir.file("raw.tmp")));
    return d;
}

// A stream over `bytes` as over a file with a bad spot on the disk: a read
// from the 1 KB at `badAt` fails with EIO; the bytes before and after it read.
FilePtr fileWithBadSpot(std::vector<uint8_t> bytes, size_t badAt) {
    struct Disk {
        std::vector<uint8_t> bytes;
        size_t badAt;
        size_t pos = 0;
    };
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buf, size_t size) -> ssize_t {
        auto* d = static_cast<Disk*>(cookie);
        if (d->pos >= d->bytes.size()) return 0;
        if (d->pos >= d->badAt && d->pos < d->badAt + 1024) {
            errno = EIO;
            return -1;
        }
        const size_t until = d->pos < d->badAt ? std::min(d->badAt, d->bytes.size()) : d->bytes.size();
        const size_t n = std::min(size, until - d->pos);
        std::memcpy(buf, d->bytes.data() + d->pos, n);
        d->pos += n;
        return static_cast<ssize_t>(n);
    };
    io.seek = [](void* cookie, off64_t* offset, int whence) -> int {
        auto* d = static_cast<Disk*>(cookie);
        const off64_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? static_cast<off64_t>(d->pos)
                                                  : static_cast<off64_t>(d->bytes.size());
        if (base + *offset < 0) return -1;
        *offset += base;
        d->pos = static_cast<size_t>(*offset);
        return 0;
    };
    io.close = [](void* cookie) -> int {
        delete static_cast<Disk*>(cookie);
        return 0;
    };
    auto* disk = new Disk{std::move(bytes), badAt};
    std::FILE* f = ::fopencookie(disk, "r", io);
    if (f == nullptr) delete disk;
    return FilePtr(f);
}

std::vector<uint8_t> repeated(const std::vector<uint8_t>& bytes, int times) {
    std::vector<uint8_t> out;
    for (int i = 0; i < times; ++i) out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

bool startsWith(const std::vector<int16_t>& whole, const std::vector<int16_t>& part, size_t count) {
    return count <= part.size() && count <= whole.size() &&
           std::equal(part.begin(), part.begin() + count, whole.begin());
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

// A read that fails fails the song: kFfmpegReadFailed, never a shorter
// success, whether the bad spot is met while the file opens or after samples
// were written (those stay, and are the song's first samples). The probe fails
// too when it reads the bad spot (a length from a packet scan); a container
// that states its length is not read that far. The same stream without a bad
// spot decodes exactly as the file does.
TEST(FfmpegDecoder, AFailedReadFailsTheSong) {
    // Twenty layer II parts in a row: ten seconds of frames, so that the
    // stream's analysis at open reads only the start of it.
    const std::vector<uint8_t> mp2 = repeated(readFileBytes(dataFile("mp2_44100_stereo.mp2")), 20);
    const std::vector<uint8_t> wma = readFileBytes(dataFile("wma_22050_stereo.wma"));
    const std::vector<uint8_t> flac = readFileBytes(dataFile("flac16_96000_stereo.flac"));
    struct Row {
        const char* name;
        const std::vector<uint8_t>& bytes;
        double badAt;  // fraction of the file
        int probed;    // the probe's result
        bool samplesBefore;
    };
    const Row rows[] = {
        {"song.mp2", mp2, 0.3, kFfmpegReadFailed, true},  // its length comes from a packet scan
        {"song.wma", wma, 0.3, kFfmpegOk, true},          // ASF states its length
        {"song.flac", flac, 0.0, kFfmpegReadFailed, false},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        writeFileBytes(dir.file(r.name), r.bytes);
        const Decoded whole = decode(dir.file(r.name));
        ASSERT_EQ(kFfmpegOk, whole.result);
        const Decoded intact = decodeFile(fileWithBadSpot(r.bytes, r.bytes.size()));
        EXPECT_EQ(kFfmpegOk, intact.result);
        EXPECT_EQ(whole.samples, intact.samples);

        const size_t badAt = static_cast<size_t>(static_cast<double>(r.bytes.size()) * r.badAt);
        const Decoded failed = decodeFile(fileWithBadSpot(r.bytes, badAt));
        EXPECT_EQ(kFfmpegReadFailed, failed.result);
        EXPECT_LT(failed.samples.size(), whole.samples.size());
        EXPECT_EQ(r.samplesBefore, !failed.samples.empty());
        EXPECT_TRUE(startsWith(whole.samples, failed.samples, failed.samples.size()));
        FfmpegInfo info;
        EXPECT_EQ(r.probed, probeFfmpegFile(fileWithBadSpot(r.bytes, badAt), info));
        EXPECT_EQ(r.probed == kFfmpegOk ? whole.info.sourceRate : 0u, info.sourceRate);
    }
}

// A file cut short is read as far as it goes: its end is the end of the song,
// not a failed read, and its samples are the whole file's first ones (but for
// the last frame or so, where the decoder and the resampler end early). An MP4
// whose index comes last loses it when cut short, and is refused
// (BrokenFilesAreRefused).
TEST(FfmpegDecoder, AFileCutShortGivesWhatIsThere) {
    struct Row {
        const char* file;
        double kept;  // fraction of the bytes
    };
    const Row rows[] = {
        {"flac16_96000_stereo.flac", 0.6},
        {"wma_22050_stereo.wma", 0.6},
        {"wav_pcm24_mono.wav", 0.6},  // cut within a sample
        {"mp2_44100_stereo.mp2", 0.6},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        const Decoded whole = decode(dataFile(r.file));
        ASSERT_EQ(kFfmpegOk, whole.result);
        std::vector<uint8_t> bytes = readFileBytes(dataFile(r.file));
        bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * r.kept));
        writeFileBytes(dir.file(r.file), bytes);
        const Decoded cut = decode(dir.file(r.file));
        ASSERT_EQ(kFfmpegOk, cut.result);
        EXPECT_EQ(whole.info.sampleRate, cut.info.sampleRate);
        // About the share of the bytes kept (headers take a share of small files).
        const double wholeCount = static_cast<double>(whole.samples.size());
        EXPECT_NEAR(wholeCount * r.kept, static_cast<double>(cut.samples.size()), wholeCount * 0.2);
        const size_t lastFrameOrSo = 2048;
        EXPECT_TRUE(
            startsWith(whole.samples, cut.samples, cut.samples.size() - std::min(cut.samples.size(), lastFrameOrSo)));
    }
}

// The audio stream FFmpeg rates best is decoded, not the first one: after a
// video stream come a 300 Hz mono stream at 8000 Hz and the default stream,
// 22050 Hz stereo (440 Hz left, 660 Hz right).
TEST(FfmpegDecoder, TheBestAudioStreamIsChosen) {
    const std::string path = dataFile("mkv_video_two_audio.mkv");
    FfmpegInfo probed;
    ASSERT_EQ(kFfmpegOk, probeFfmpegLength(path, probed));
    EXPECT_EQ(22050u, probed.sourceRate);
    EXPECT_EQ(2u, probed.channels);
    EXPECT_NEAR(1.0, probed.duration, 0.05);
    const Decoded d = decode(path);
    ASSERT_EQ(kFfmpegOk, d.result);
    EXPECT_EQ(22050u, d.info.sampleRate);
    EXPECT_EQ(2u, d.info.channels);
    EXPECT_NEAR(1.0, static_cast<double>(d.samples.size()) / 22050, 0.05);
    const double other = tonePower(d.samples, 22050, 300);
    for (double hz : {440.0, 660.0}) EXPECT_GT(tonePower(d.samples, 22050, hz), 100 * other) << hz << " Hz";
}

// At the end of the song the decoder gives the frames it holds back and the
// resampler the samples it holds: the counts are those of the ffmpeg program
// (ffmpeg -i FILE -ac 1 -ar RATE -f s16le -), which decodes to the end the same way.
TEST(FfmpegDecoder, TheEndIsFlushed) {
    const std::pair<const char*, size_t> rows[] = {
        {"wma_22050_stereo.wma", 21504},      // the WMA decoder holds its last frame (1024 samples) back
        {"flac16_96000_stereo.flac", 48000},  // 96000 Hz resampled to 48000 Hz
    };
    for (const auto& [file, samples] : rows) {
        SCOPED_TRACE(file);
        const Decoded d = decode(dataFile(file));
        ASSERT_EQ(kFfmpegOk, d.result);
        EXPECT_EQ(samples, d.samples.size());
    }
}

// A stream whose rate and channel count change mid-way (layer II parts joined)
// is written at its first part's rate, and no samples are lost where it
// changes: the samples the resampler holds for one part are written before
// the next part's. The count is the sum of the parts' counts at that rate,
// and the first part's samples are its own.
TEST(FfmpegDecoder, AFormatChangeMidWayLosesNoSamples) {
    const std::string stereo44 = dataFile("mp2_44100_stereo.mp2");
    const std::string mono22 = dataFile("mp2_22050_mono.mp2");
    const std::vector<std::string> rows[] = {
        {stereo44, mono22, stereo44},
        {mono22, stereo44, mono22},
    };
    TempDir dir;
    for (const auto& parts : rows) {
        std::vector<uint8_t> joined;
        std::vector<Decoded> alone;
        for (const std::string& part : parts) {
            const std::vector<uint8_t> bytes = readFileBytes(part);
            joined.insert(joined.end(), bytes.begin(), bytes.end());
            alone.push_back(decode(part));
            ASSERT_EQ(kFfmpegOk, alone.back().result);
        }
        const uint32_t rate = alone.front().info.sampleRate;
        SCOPED_TRACE(rate);
        double expected = 0;
        for (const Decoded& a : alone) expected += static_cast<double>(a.samples.size()) * rate / a.info.sampleRate;
        writeFileBytes(dir.file("joined.mp2"), joined);
        const Decoded d = decode(dir.file("joined.mp2"));
        ASSERT_EQ(kFfmpegOk, d.result);
        EXPECT_EQ(rate, d.info.sampleRate);
        EXPECT_NEAR(expected, static_cast<double>(d.samples.size()), 2.0);
        EXPECT_TRUE(startsWith(d.samples, alone.front().samples, alone.front().samples.size()));
    }
}

// ---------------------------------------------------------------------------
// No socket: a song file must never make Velmo reach the network.

namespace {

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t kAuditArch = 0;  // no filter written for this machine
#endif

// Makes socket() end this process with SIGSYS from now on. False when the
// kernel does not let the filter in.
bool forbidSockets() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

struct NoSocketRun {
    bool filtered = false;        // the filter was in place
    bool killedBySocket = false;  // the child called socket() and died of it
    bool exited = false;          // the child ended normally
    std::string report;           // what `body` returned
};

// Runs `body` in a child process in which socket() is fatal, so a demuxer that
// opens one is caught the moment it tries, before any packet leaves.
NoSocketRun runWithoutSockets(const std::function<std::string()>& body) {
    NoSocketRun run;
    int fds[2];
    if (::pipe(fds) != 0) return run;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string report = forbidSockets() ? "filtered\n" + body() : std::string("no filter\n");
        for (size_t done = 0; done < report.size();) {
            const ssize_t n = ::write(fds[1], report.data() + done, report.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return run;
    run.exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.killedBySocket = WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS;
    run.filtered = out.rfind("filtered\n", 0) == 0;
    run.report = run.filtered ? out.substr(9) : out;
    return run;
}

}  // namespace

// The check itself: under the filter a socket() call ends the child.
TEST(FfmpegNoNetwork, TheCheckCatchesASocket) {
    if (kAuditArch == 0) GTEST_SKIP() << "no seccomp filter for this machine";
    const NoSocketRun run = runWithoutSockets([] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        return "socket() returned " + std::to_string(fd);
    });
    if (!run.filtered && !run.killedBySocket) GTEST_SKIP() << "seccomp is not available here";
    EXPECT_TRUE(run.killedBySocket) << run.report;
    EXPECT_FALSE(run.exited);
}

// Descriptions that name network streams or other files are refused at once
// with no socket created, and a song of every allowed container is still read
// under the same check.
TEST(FfmpegNoNetwork, ListsAreRefusedAndSongsReadWithNoSocket) {
    if (kAuditArch == 0) GTEST_SKIP() << "no seccomp filter for this machine";
    TempDir dir;
    const std::string real = dataFile("flac16_96000_stereo.flac");
    const std::pair<const char*, std::string> refused[] = {
        {"sdp.ogg",
         "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=Morning Walk\nc=IN IP4 0.0.0.0\nt=0 0\n"
         "m=audio 5004 RTP/AVP 96\na=rtpmap:96 opus/48000/2\n"},
        {"live.m4a", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\nhttp://127.0.0.1:9/a.aac\n#EXT-X-ENDLIST\n"},
        {"list.flac", "ffconcat version 1.0\nfile '" + real + "'\n"},
        {"stream.wav", "rtsp://127.0.0.1:9/stream\n"},
    };
    for (const auto& [name, text] : refused)
        writeFileBytes(dir.file(name), std::vector<uint8_t>(text.begin(), text.end()));

    // One file per allowed container: the fixtures, and the containers they
    // lack made by ffmpeg where it is installed (it has no Monkey's Audio encoder).
    std::vector<std::string> songs;
    for (const char* f :
         {"wav_pcm24_mono.wav", "flac16_96000_stereo.flac", "vorbis_22050_stereo.ogg", "opus_48000_stereo.opus",
          "aac_22050_stereo.m4a", "aiff_22050_stereo.aiff", "wma_22050_stereo.wma", "mkv_video_two_audio.mkv",
          "mp2_22050_mono.mp2", "l3_22050_cbr64_stereo.mp3"})
        songs.push_back(dataFile(f));
    const std::pair<const char*, const char*> made[] = {
        {"song.aac", "-c:a aac -f adts"}, {"song.wv", "-c:a wavpack"},   {"song.ac3", "-c:a ac3"},
        {"song.caf", "-c:a pcm_s16be"},   {"song.au", "-c:a pcm_s16be"},
    };
    for (const auto& [name, codec] : made) {
        const std::string path = dir.file(name);
        const std::string cmd = "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=1 " + std::string(codec) +
                                " '" + path + "' 2>/dev/null";
        if (std::system(cmd.c_str()) == 0 && std::filesystem::exists(path))
            songs.push_back(path);
        else
            ADD_FAILURE() << "ffmpeg could not make " << name;
    }

    const NoSocketRun run = runWithoutSockets([&] {
        std::string problems;
        for (const auto& [name, text] : refused) {
            FfmpegInfo info;
            const int probed = probeFfmpegLength(dir.file(name), info);
            const int decoded = decodeFfmpeg(dir.file(name), dir.file("raw.tmp"), info, nullptr);
            if (probed != kFfmpegRefused || decoded != kFfmpegRefused)
                problems += std::string(name) + " not refused: " + std::to_string(probed) + " " +
                            std::to_string(decoded) + "\n";
        }
        for (const std::string& path : songs) {
            FfmpegInfo info;
            const int probed = probeFfmpegLength(path, info);
            const int decoded = decodeFfmpeg(path, dir.file("raw.tmp"), info, nullptr);
            const auto pcm = std::filesystem::file_size(dir.file("raw.tmp"));
            if (probed != kFfmpegOk || decoded != kFfmpegOk || pcm == 0)
                problems += path + " not read: " + std::to_string(probed) + " " + std::to_string(decoded) + "\n";
        }
        return problems;
    });
    if (!run.filtered && !run.killedBySocket) GTEST_SKIP() << "seccomp is not available here";
    EXPECT_FALSE(run.killedBySocket) << "a socket was opened";
    EXPECT_TRUE(run.exited);
    EXPECT_EQ("", run.report);
}

// A WAV whose header claims 4 GiB, its data a sparse run of zeros: the
// reader's work is bounded by what the file holds, and a stream in which no
// frame is ever found is refused after a bounded read, not read to its end.
TEST(FfmpegDecoder, AWavThatClaimsMoreThanItHoldsIsReadAsWhatItHolds) {
    TempDir dir;
    const auto claimingWav = [&](const std::string& name, uint16_t format, uint16_t bits) {
        const uint16_t align = static_cast<uint16_t>(bits == 0 ? 1 : bits / 8);
        std::vector<uint8_t> h(44);
        std::memcpy(&h[0], "RIFF", 4);
        writeLe32(&h[4], 0xFFFFFFFF);
        std::memcpy(&h[8], "WAVEfmt ", 8);
        writeLe32(&h[16], 16);
        writeLe16(&h[20], format);
        writeLe16(&h[22], 1);
        writeLe32(&h[24], 44100);
        writeLe32(&h[28], 44100u * align);
        writeLe16(&h[32], align);
        writeLe16(&h[34], bits);
        std::memcpy(&h[36], "data", 4);
        writeLe32(&h[40], 0xFFFFFFFF);
        const std::string path = dir.file(name);
        writeFileBytes(path, h);
        // 256 MiB, of which the disk holds nothing but the header.
        EXPECT_EQ(0, ::truncate(path.c_str(), 1ll << 28));
        return path;
    };
    FfmpegInfo info;
    const std::string pcm24 = claimingWav("pcm24.wav", 1, 24);
    ASSERT_EQ(kFfmpegOk, probeFfmpegLength(pcm24, info));
    EXPECT_NEAR(static_cast<double>((1ll << 28) - 44) / (44100.0 * 3), info.duration, 0.01);
    // MP3 inside a WAV, but no frame in 256 MiB of zeros.
    EXPECT_EQ(kFfmpegRefused, probeFfmpegLength(claimingWav("mp3.wav", 0x55, 0), info));
    EXPECT_EQ(kFfmpegRefused, decodeFfmpeg(claimingWav("mp3-decode.wav", 0x55, 0), dir.file("out.pcm"), info));
}
