#include "wav_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "bytes.h"
#include "mp3_silent_frames.h"
#include "tempdir.h"

using namespace velmo;
using namespace velmo::test;

namespace {

struct Chunk {
    std::string id;
    std::vector<uint8_t> body;
    uint32_t declared;  // the size written in the header
};

std::vector<uint8_t> formatBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, size_t extra = 0) {
    std::vector<uint8_t> b(16 + extra, 0);
    writeLe16(&b[0], tag);
    writeLe16(&b[2], channels);
    writeLe32(&b[4], rate);
    writeLe32(&b[8], rate * channels * bits / 8);
    writeLe16(&b[12], static_cast<uint16_t>(channels * bits / 8));
    writeLe16(&b[14], bits);
    return b;
}

Chunk chunk(const std::string& id, std::vector<uint8_t> body) {
    const auto size = static_cast<uint32_t>(body.size());
    return {id, std::move(body), size};
}

std::vector<uint8_t> riff(const std::vector<Chunk>& chunks) {
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const Chunk& c : chunks) {
        out.insert(out.end(), c.id.begin(), c.id.end());
        uint8_t size[4];
        writeLe32(size, c.declared);
        out.insert(out.end(), size, size + 4);
        out.insert(out.end(), c.body.begin(), c.body.end());
    }
    writeLe32(&out[4], static_cast<uint32_t>(out.size() - 8));
    return out;
}

std::vector<uint8_t> counting(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i + 1);
    return v;
}

struct Read {
    int result = -99;
    WavInfo info;
    std::vector<uint8_t> pcm;
};

Read readBytes(const std::vector<uint8_t>& wav) {
    TempDir dir;
    writeFileBytes(dir.file("song.wav"), wav);
    Read r;
    r.result = readWav(dir.file("song.wav"), dir.file("raw.tmp"), r.info);
    r.pcm = readFileBytes(dir.file("raw.tmp"));
    return r;
}

std::pair<int, WavLength> probeBytes(const std::vector<uint8_t>& wav) {
    TempDir dir;
    writeFileBytes(dir.file("song.wav"), wav);
    WavLength len;
    len.measured = 7;
    len.duration = 7;
    const int r = probeWavLength(dir.file("song.wav"), len);
    return {r, len};
}

}  // namespace

TEST(WavProbe, TenSecondsOfStereo) {
    // 1,764,000 bytes of 16-bit stereo at 44100 samples per second.
    const auto wav = riff({chunk("fmt ", formatBody(1, 2, 44100, 16)), chunk("data", counting(1764000))});
    auto [result, len] = probeBytes(wav);
    EXPECT_EQ(kWavProbeOk, result);
    EXPECT_EQ(1, len.measured);
    EXPECT_DOUBLE_EQ(10.0, len.duration);

    const Read r = readBytes(wav);
    EXPECT_EQ(kWavReadOk, r.result);
    EXPECT_EQ(441000u, r.info.frameCount);
    EXPECT_EQ(44100u, r.info.sampleRate);
    EXPECT_EQ(2, r.info.channels);
    EXPECT_EQ(1, r.info.formatTag);
    EXPECT_EQ(16, r.info.bitsPerSample);
    EXPECT_EQ(4, r.info.blockAlign);
    EXPECT_EQ(176400u, r.info.byteRate);
    ASSERT_EQ(882000u, r.pcm.size());
    // Both channels, mixed as the MP3 path mixes: (L + R) / 2, truncated toward zero.
    const auto data = counting(1764000);
    for (size_t f = 0; f < 441000; ++f) {
        const int left = static_cast<int16_t>(readLe16(&data[4 * f]));
        const int right = static_cast<int16_t>(readLe16(&data[4 * f + 2]));
        ASSERT_EQ(static_cast<uint16_t>(static_cast<int16_t>((left + right) / 2)), readLe16(&r.pcm[2 * f])) << f;
    }
}

TEST(WavProbe, ChunkLayouts) {
    struct Row {
        const char* name;
        std::vector<uint8_t> wav;
        int result;
        uint16_t measured;
        double duration;
    };
    const auto fmtMono = chunk("fmt ", formatBody(1, 1, 8000, 16));
    const auto data = chunk("data", counting(16000));
    Chunk fmt18 = chunk("fmt ", formatBody(1, 1, 8000, 16, 2));
    Chunk fmtShort = chunk("fmt ", formatBody(1, 1, 8000, 16));
    fmtShort.declared = 4;  // declared shorter than the 16 bytes read
    Chunk hugeList = chunk("LIST", counting(10));
    hugeList.declared = 0xFFFFFFFF;
    Chunk hugeFmt = fmtMono;
    hugeFmt.declared = 0xFFFFFFFF;
    Chunk odd = chunk("junk", counting(3));      // without the pad byte some writers leave out
    Chunk padded = chunk("junk", {1, 2, 3, 0});  // RIFF's pad byte after an odd size
    padded.declared = 3;
    Chunk paddedFmt = chunk("fmt ", formatBody(1, 1, 8000, 16, 1));
    paddedFmt.body.push_back(0);
    Chunk oddLast = chunk("note", {'x', 'y', 'z', 0});  // the pad makes "data" unreadable without it
    oddLast.declared = 3;
    const Row rows[] = {
        {"mono: size / (1 x rate x 2)", riff({fmtMono, data}), 0, 1, 1.0},
        {"18-byte format chunk", riff({fmt18, data}), 0, 1, 1.0},
        {"format declared shorter than 16 bytes", riff({fmtShort, data}), 0, 1, 1.0},
        {"LIST before data", riff({fmtMono, chunk("LIST", counting(26)), data}), 0, 1, 1.0},
        {"DATA in capitals", riff({fmtMono, chunk("DATA", counting(16000))}), 0, 1, 1.0},
        {"odd chunk without its pad byte", riff({fmtMono, odd, data}), 0, 1, 1.0},
        {"odd chunk with its pad byte", riff({fmtMono, padded, data}), 0, 1, 1.0},
        {"odd chunk then pad byte, twice", riff({fmtMono, padded, oddLast, data}), 0, 1, 1.0},
        {"odd format chunk with its pad byte", riff({paddedFmt, data}), 0, 1, 1.0},
        {"JUNK before the format chunk", riff({chunk("JUNK", counting(28)), fmtMono, data}), 0, 1, 1.0},
        {"LIST and an odd chunk before the format chunk",
         riff({chunk("LIST", counting(26)), padded, chunk("FMT ", formatBody(1, 2, 8000, 16)), data}), 0, 1, 0.5},
        {"8-bit format after JUNK", riff({chunk("JUNK", counting(28)), chunk("fmt ", formatBody(1, 1, 8000, 8)), data}),
         -1, 0, 0.0},
        {"first chunk read as format whatever its name", riff({chunk("abcd", formatBody(1, 2, 8000, 16)), data}), 0, 1,
         0.5},
        {"no data chunk", riff({fmtMono, chunk("LIST", counting(26))}), 0, 0, 0.0},
        {"chunk size 0xFFFFFFFF before data", riff({fmtMono, hugeList, data}), 0, 0, 0.0},
        {"format size 0xFFFFFFFF", riff({hugeFmt, data}), 0, 0, 0.0},
        {"8-bit", riff({chunk("fmt ", formatBody(1, 1, 8000, 8)), data}), -1, 0, 0.0},
        {"float", riff({chunk("fmt ", formatBody(3, 1, 8000, 32)), data}), -1, 0, 0.0},
        {"extensible", riff({chunk("fmt ", formatBody(0xFFFE, 2, 8000, 16, 24)), data}), -1, 0, 0.0},
        {"no channels", riff({chunk("fmt ", formatBody(1, 0, 8000, 16)), data}), 0, 0, 0.0},
        {"sample rate 0", riff({chunk("fmt ", formatBody(1, 2, 0, 16)), data}), 0, 0, 0.0},
        // 2 x 0x80000000 wraps to 0 in 32 bits.
        {"channels x rate wraps to 0", riff({chunk("fmt ", formatBody(1, 2, 0x80000000u, 16)), data}), 0, 0, 0.0},
        {"data larger than the file ends at the file's end", [&] {
             Chunk d = chunk("data", counting(100));
             d.declared = 0xFFFFFFFE;
             return riff({fmtMono, d});
         }(),
         0, 1, 100 / 16000.0},
        {"data one byte larger than the file", [&] {
             Chunk d = chunk("data", counting(100));
             d.declared = 101;
             return riff({fmtMono, d});
         }(),
         0, 1, 100 / 16000.0},
        {"data of unknown length runs to the end of the file", [&] {
             Chunk d = chunk("data", counting(100));
             d.declared = 0xFFFFFFFF;
             return riff({fmtMono, d});
         }(),
         0, 1, 100 / 16000.0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto [result, len] = probeBytes(r.wav);
        EXPECT_EQ(r.result, result);
        EXPECT_EQ(r.measured, len.measured);
        EXPECT_DOUBLE_EQ(r.duration, len.duration);
    }
}

TEST(WavProbe, ShortAndUnreadableFiles) {
    const auto whole = riff({chunk("fmt ", formatBody(1, 1, 8000, 16)), chunk("data", counting(100))});
    for (size_t n = 0; n < 36; ++n) {
        SCOPED_TRACE(n);
        auto [result, len] = probeBytes(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(n)));
        EXPECT_EQ(kWavProbeRefused, result);
        EXPECT_EQ(0, len.measured);
        EXPECT_EQ(0.0, len.duration);
        EXPECT_EQ(kWavReadFailed,
                  readBytes(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(n))).result);
    }
    TempDir dir;
    WavLength len;
    EXPECT_EQ(kWavProbeRefused, probeWavLength(dir.file("missing.wav"), len));
    EXPECT_EQ(kWavProbeRefused, probeWavLength(dir.path(), len));
    WavInfo info;
    EXPECT_EQ(kWavReadFailed, readWav(dir.path(), dir.file("raw.tmp"), info));
    EXPECT_EQ(kWavReadFailed, readWav(dir.file("missing.wav"), dir.file("raw.tmp"), info));
}

TEST(WavProbe, Fixtures) {
    struct Row {
        const char* file;
        int result;
        double duration;
    };
    const Row rows[] = {
        {"wav_pcm16_mono.wav", 0, 1.0},           {"wav_pcm16_stereo.wav", 0, 1.0}, {"wav_list_chunk.wav", 0, 1.0},
        {"wav_fmt18_mono.wav", 0, 1.0},           {"wav_pcm8_mono.wav", -1, 0.0},   {"wav_float32_mono.wav", -1, 0.0},
        {"wav_extensible24_stereo.wav", -1, 0.0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        WavLength len;
        EXPECT_EQ(r.result, probeWavLength(fixture(r.file), len));
        EXPECT_DOUBLE_EQ(r.duration, len.duration);
        EXPECT_EQ(r.result == 0 ? 1 : 0, len.measured);
    }
}

TEST(WavRead, ChannelsAndPartFrames) {
    struct Row {
        const char* name;
        uint16_t channels;
        size_t dataBytes;
        std::vector<uint8_t> expected;
    };
    const auto d10 = counting(10);
    const Row rows[] = {
        // (0x0201 + 0x0403) / 2 = 0x0302, (0x0605 + 0x0807) / 2 = 0x0706.
        {"stereo 10 bytes: 2 frames mixed, 4 bytes written", 2, 10, {2, 3, 6, 7}},
        {"stereo 3 bytes: no whole frame", 2, 3, {}},
        {"mono copied unchanged", 1, 10, d10},
        {"odd size copied unchanged", 1, 7, counting(7)},
        {"three channels copied unchanged", 3, 10, d10},
        {"empty data chunk", 2, 0, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const Read got =
            readBytes(riff({chunk("fmt ", formatBody(1, r.channels, 8000, 16)), chunk("data", counting(r.dataBytes))}));
        EXPECT_EQ(kWavReadOk, got.result);
        EXPECT_EQ(r.dataBytes / 4, got.info.frameCount);
        EXPECT_EQ(r.expected, got.pcm);
    }
}

TEST(WavRead, FixturesGiveTheirSamples) {
    for (const char* name : {"wav_pcm16_mono.wav", "wav_fmt18_mono.wav"}) {
        SCOPED_TRACE(name);
        const auto file = readFileBytes(fixture(name));
        const Read r = readBytes(file);
        EXPECT_EQ(kWavReadOk, r.result);
        EXPECT_EQ(8000u, r.info.sampleRate);
        ASSERT_EQ(16000u, r.pcm.size());
        // The data chunk is the file's tail.
        EXPECT_TRUE(std::equal(r.pcm.begin(), r.pcm.end(), file.end() - 16000));
    }
    // The same left channel, with and without ffmpeg's LIST chunk.
    const Read plain = readBytes(readFileBytes(fixture("wav_pcm16_stereo.wav")));
    const Read listed = readBytes(readFileBytes(fixture("wav_list_chunk.wav")));
    EXPECT_EQ(kWavReadOk, listed.result);
    EXPECT_EQ(16000u, plain.pcm.size());
    EXPECT_EQ(plain.pcm, listed.pcm);
}

TEST(WavRead, StereoMixTruncatesTowardZero) {
    struct Frame {
        int16_t left, right, mono;
    };
    const Frame frames[] = {{-3, 0, -1},        {-1, -2, -1},          {3, 0, 1},
                            {5, 2, 3},          {32767, 32767, 32767}, {-32768, -32768, -32768},
                            {32767, -32768, 0}, {-32768, 0, -16384}};
    std::vector<uint8_t> data, expected;
    for (const Frame& f : frames) {
        for (int16_t v : {f.left, f.right}) {
            data.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v)));
            data.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
        }
        expected.push_back(static_cast<uint8_t>(static_cast<uint16_t>(f.mono)));
        expected.push_back(static_cast<uint8_t>(static_cast<uint16_t>(f.mono) >> 8));
    }
    const Read r = readBytes(riff({chunk("fmt ", formatBody(1, 2, 8000, 16)), chunk("data", data)}));
    EXPECT_EQ(kWavReadOk, r.result);
    EXPECT_EQ(expected, r.pcm);
}

// Whatever a data chunk claims, it ends at the end of the file: a 132 KB file
// claiming 0xFFFFFFF0 bytes once made 4 GiB of silence.
TEST(WavRead, DataChunkLongerThanTheFileEndsAtTheFileEnd) {
    for (uint32_t claim : {101u, 1000000u, 0xF0000000u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(claim);
        Chunk d = chunk("data", counting(100));
        d.declared = claim;
        const Read r = readBytes(riff({chunk("fmt ", formatBody(1, 1, 8000, 16)), d}));
        EXPECT_EQ(kWavReadOk, r.result);
        EXPECT_EQ(counting(100), r.pcm);
        EXPECT_EQ(25u, r.info.frameCount);
    }
    TempDir dir;
    Chunk d = chunk("data", counting(132000));
    d.declared = 0xFFFFFFF0;
    writeFileBytes(dir.file("big.wav"), riff({chunk("fmt ", formatBody(1, 2, 44100, 16)), d}));
    WavLength len;
    EXPECT_EQ(kWavProbeOk, probeWavLength(dir.file("big.wav"), len));
    EXPECT_DOUBLE_EQ(132000 / 176400.0, len.duration);
    WavInfo info;
    EXPECT_EQ(kWavReadOk, readWav(dir.file("big.wav"), dir.file("raw.tmp"), info));
    EXPECT_EQ(66000u, std::filesystem::file_size(dir.file("raw.tmp")));
}

TEST(WavRead, FixturesWithJunkFirstAndOddChunks) {
    // The same samples behind a JUNK chunk, behind an odd chunk and its pad
    // byte, and in plain 16-bit stereo with ffmpeg's LIST chunk: the same mix.
    const Read junk = readBytes(readFileBytes(fixture("wav_junk_first.wav")));
    const Read odd = readBytes(readFileBytes(fixture("wav_odd_chunk.wav")));
    EXPECT_EQ(kWavReadOk, junk.result);
    EXPECT_EQ(kWavReadOk, odd.result);
    EXPECT_EQ(16000u, junk.pcm.size());
    EXPECT_EQ(junk.pcm, odd.pcm);
    EXPECT_EQ(readBytes(readFileBytes(fixture("wav_pcm16_stereo.wav"))).pcm, junk.pcm);
    for (const char* name : {"wav_junk_first.wav", "wav_odd_chunk.wav"}) {
        EXPECT_TRUE(wavReaderTakes(fixture(name))) << name;
    }
}

TEST(WavRead, TheReaderTakesOnly16BitPcmOfOneOrTwoChannels) {
    struct Row {
        const char* name;
        std::vector<uint8_t> wav;
        bool takes;
    };
    const auto data = chunk("data", counting(400));
    const Row rows[] = {
        {"mono", riff({chunk("fmt ", formatBody(1, 1, 8000, 16)), data}), true},
        {"stereo", riff({chunk("fmt ", formatBody(1, 2, 8000, 16)), data}), true},
        {"three channels", riff({chunk("fmt ", formatBody(1, 3, 8000, 16)), data}), false},
        {"no channels", riff({chunk("fmt ", formatBody(1, 0, 8000, 16)), data}), false},
        {"rate 0", riff({chunk("fmt ", formatBody(1, 2, 0, 16)), data}), false},
        {"24-bit", riff({chunk("fmt ", formatBody(1, 2, 8000, 24)), data}), false},
        {"extensible", riff({chunk("fmt ", formatBody(0xFFFE, 2, 8000, 16, 24)), data}), false},
        {"no data chunk", riff({chunk("fmt ", formatBody(1, 2, 8000, 16))}), false},
        {"too short for a format", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        writeFileBytes(dir.file("song.wav"), r.wav);
        EXPECT_EQ(r.takes, wavReaderTakes(dir.file("song.wav")));
    }
    EXPECT_FALSE(wavReaderTakes("/nonexistent/song.wav"));
}

TEST(WavRead, DataOfUnknownLengthIsTheRestOfTheFile) {
    Chunk d = chunk("data", counting(100));
    d.declared = 0xFFFFFFFF;
    const Read r = readBytes(riff({chunk("fmt ", formatBody(1, 1, 8000, 16)), d}));
    EXPECT_EQ(kWavReadOk, r.result);
    EXPECT_EQ(counting(100), r.pcm);
}

TEST(WavRead, OutputProblemsFail) {
    const auto wav = riff({chunk("fmt ", formatBody(1, 2, 8000, 16)), chunk("data", counting(400000))});
    TempDir dir;
    writeFileBytes(dir.file("song.wav"), wav);
    WavInfo info;
    EXPECT_EQ(kWavReadFailed, readWav(dir.file("song.wav"), dir.file("no/folder/raw.tmp"), info));
    if (::access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(kWavReadFailed, readWav(dir.file("song.wav"), "/dev/full", info));
    }
    // No data chunk: failure, and the output is created empty all the same.
    writeFileBytes(dir.file("nodata.wav"), riff({chunk("fmt ", formatBody(1, 2, 8000, 16))}));
    EXPECT_EQ(kWavReadFailed, readWav(dir.file("nodata.wav"), dir.file("raw.tmp"), info));
    EXPECT_TRUE(std::filesystem::exists(dir.file("raw.tmp")));
}
