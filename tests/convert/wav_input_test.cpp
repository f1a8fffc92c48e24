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
    // The left channel: the first two bytes of every four.
    const auto data = counting(1764000);
    for (size_t f = 0; f < 441000; ++f) {
        ASSERT_EQ(data[4 * f], r.pcm[2 * f]);
        ASSERT_EQ(data[4 * f + 1], r.pcm[2 * f + 1]);
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
    Chunk odd = chunk("junk", counting(3));  // odd sizes are not rounded up
    const Row rows[] = {
        {"mono: size / (1 x rate x 2)", riff({fmtMono, data}), 0, 1, 1.0},
        {"18-byte format chunk", riff({fmt18, data}), 0, 1, 1.0},
        {"format declared shorter than 16 bytes", riff({fmtShort, data}), 0, 1, 1.0},
        {"LIST before data", riff({fmtMono, chunk("LIST", counting(26)), data}), 0, 1, 1.0},
        {"DATA in capitals", riff({fmtMono, chunk("DATA", counting(16000))}), 0, 1, 1.0},
        {"odd chunk size taken as it stands", riff({fmtMono, odd, data}), 0, 1, 1.0},
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
        {"data larger than the file", [&] {
             Chunk d = chunk("data", counting(100));
             d.declared = 0xFFFFFFFE;
             return riff({fmtMono, d});
         }(),
         0, 1, 0xFFFFFFFE / 16000.0},
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
        {"stereo 10 bytes: 2 frames, 4 bytes written", 2, 10, {1, 2, 5, 6}},
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

TEST(WavRead, DataChunkLongerThanTheFileEndsInSilence) {
    Chunk d = chunk("data", counting(100));
    d.declared = 1000000;  // far more than one copy block
    const Read r = readBytes(riff({chunk("fmt ", formatBody(1, 1, 8000, 16)), d}));
    EXPECT_EQ(kWavReadOk, r.result);
    ASSERT_EQ(1000000u, r.pcm.size());
    const auto head = counting(100);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), r.pcm.begin()));
    EXPECT_TRUE(std::all_of(r.pcm.begin() + 100, r.pcm.end(), [](uint8_t b) { return b == 0; }));

    // A large claim is streamed, not allocated.
    TempDir dir;
    d.declared = 0xF0000000;
    writeFileBytes(dir.file("huge.wav"), riff({chunk("fmt ", formatBody(1, 1, 8000, 16)), d}));
    WavInfo info;
    EXPECT_EQ(kWavReadOk, readWav(dir.file("huge.wav"), "/dev/null", info));
    EXPECT_EQ(0xF0000000u / 4, info.frameCount);
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
