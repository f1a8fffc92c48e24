// The encoder binding: the output-rate table, chunking and silence padding, the
// cut, progress, every result code, and the library's load and release. Most
// cases drive a stand-in library that echoes each chunk's samples; the real
// library checks the MP3 it makes with an independent decoder.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert_support.h"
#include "encoder.h"
#include "fake_library.h"
#include "mp3_frame_walk.h"
#include "tempdir.h"

namespace velmo {
namespace {

using test::EventRecorder;
using test::FakeLibrary;
using test::kFake;
using test::kPartial;
using test::pcmBytes;
using test::readFileBytes;
using test::TempDir;
using test::writeFileBytes;

TEST(OutputRate, FollowsTheTable) {
    struct Row {
        uint32_t in;
        uint16_t quality;
        uint32_t out;
    } rows[] = {
        {44100, 8, 0},     {44100, 4, 44100}, {44100, 2, 22050}, {44100, 3, 22050},
        {48000, 8, 44100}, {48000, 4, 44100}, {48000, 2, 22050}, {22050, 8, 44100},
        {22050, 4, 44100}, {22050, 2, 22050}, {32000, 2, 22050}, {8000, 4, 44100},
    };
    for (const auto& r : rows) EXPECT_EQ(outputSampleRate(r.in, r.quality), r.out) << r.in << " q" << r.quality;
}

TEST(EncodePercent, IsCappedAndNeverWraps) {
    struct Row {
        uint32_t written, limit, percent;
    } rows[] = {
        {0, 100, 0},
        {1, 100, 1},
        {50, 100, 50},
        {99, 100, 99},
        {100, 100, 100},
        {250, 100, 100},
        {7, 0, 0},
        {0, 0, 0},
        {50000000, 60000000, 83},
        {4000000000u, 4000000000u, 100},
    };
    for (const auto& r : rows) EXPECT_EQ(encodePercent(r.written, r.limit), r.percent) << r.written << "/" << r.limit;
}

// One row: the PCM bytes given, the cut, and what must come out.
struct ChunkRow {
    const char* name;
    std::vector<uint8_t> pcm;
    uint8_t cutFlag;
    uint32_t limit;
    std::vector<uint8_t> expectedData;  // before the 4 final bytes 0xEE
    std::vector<int> progress;
};

TEST(Encoder, ChunksPadsAndCuts) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok()) << kFake;
    const std::vector<uint8_t> s8 = {1, 0, 2, 0, 3, 0, 4, 0};  // one whole chunk of 4 samples
    auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<uint8_t> zeros6(6, 0), zeros8(8, 0);
    const ChunkRow rows[] = {
        // With a limit of 100 the percentages are the bytes written so far.
        {"empty PCM: the final output alone", {}, 0, 100, {}, {4, 100}},
        {"one whole chunk", s8, 0, 100, s8, {8, 12, 100}},
        {"one sample past a chunk", cat(s8, {9, 1}), 0, 100, cat(cat(s8, {9, 1}), zeros6), {8, 16, 20, 100}},
        {"odd trailing byte is silenced", cat(s8, {9}), 0, 100, cat(s8, zeros8), {8, 16, 20, 100}},
        {"cut: the chunk that finds the limit is dropped",
         cat(cat(cat(s8, s8), s8), s8),
         1,
         16,
         cat(s8, s8),
         {50, 100, 100, 100}},
        {"cut with limit 0 drops every chunk", cat(s8, s8), 1, 0, {}, {100}},
        {"no cut flag: the whole song whatever the limit",
         cat(cat(s8, s8), s8),
         0,
         16,
         cat(cat(s8, s8), s8),
         {50, 100, 100, 100, 100}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        fake.setup(4);
        writeFileBytes(dir.file("raw.tmp"), row.pcm);
        writeFileBytes(dir.file("mp3.tmp"), {0xAA});  // earlier songs' data stays in front
        Encoder enc(kFake);
        ASSERT_EQ(enc.prepare(44100, 32, 44100), kPrepareOk);
        EventRecorder rec;
        uint32_t written = 777;
        ASSERT_EQ(enc.encode(&rec, row.cutFlag, row.limit, dir.file("raw.tmp"), dir.file("mp3.tmp"), written),
                  kEncodeOk);
        std::vector<uint8_t> expected = {0xAA};
        expected.insert(expected.end(), row.expectedData.begin(), row.expectedData.end());
        expected.insert(expected.end(), 4, 0xEE);
        EXPECT_EQ(readFileBytes(dir.file("mp3.tmp")), expected);
        EXPECT_EQ(written, expected.size() - 1);
        // The percentages are of the limit, except the closing 100 (written of written).
        EXPECT_EQ(rec.progress<EncodeProgress>(), row.progress);
        EXPECT_EQ(fake.openStreams(), 0u) << "the stream is closed";
        EXPECT_FALSE(enc.libraryLoaded()) << "a successful encode releases the library";
    }
}

TEST(Encoder, ProgressIsNeverZeroAndEndsAt100) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    fake.setup(4, 0, 0, 0, 0);
    TempDir dir;
    writeFileBytes(dir.file("raw.tmp"), std::vector<uint8_t>(8 * 3, 1));  // 3 chunks of 8 bytes
    Encoder enc(kFake);
    ASSERT_EQ(enc.prepare(44100, 32, 44100), kPrepareOk);
    EventRecorder rec;
    uint32_t written = 0;
    ASSERT_EQ(enc.encode(&rec, 0, 1000, dir.file("raw.tmp"), dir.file("mp3.tmp"), written), kEncodeOk);
    // 8*100/1000 = 0 is not posted; 16 -> 1, 24 -> 2, then 100 at the end.
    EXPECT_EQ(rec.progress<EncodeProgress>(), (std::vector<int>{1, 2, 100}));
    EXPECT_EQ(written, 24u);
}

TEST(Encoder, FailuresGiveTheirCodesAndCloseTheStream) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    struct Row {
        const char* name;
        uint32_t failAt, deinitResult, finalBytes;
        bool pcmMissing;
        const char* mp3;  // "" for a file in the temp folder
        int expected;
    } rows[] = {
        {"second chunk refused", 2, 0, 4, false, "", kEncodeChunkFailed},
        {"flush refused", 0, 3, 4, false, "", kEncodeFlushFailed},
        {"PCM missing", 0, 0, 4, true, "", kEncodeNoResources},
        {"MP3 file cannot open", 0, 0, 4, false, "/nonexistent-dir/mp3.tmp", kEncodeNoResources},
        {"chunk output cannot be written", 0, 0, 4, false, "/dev/full", kEncodeWriteFailed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        fake.setup(4, 0, row.failAt, row.deinitResult, row.finalBytes);
        if (!row.pcmMissing) writeFileBytes(dir.file("raw.tmp"), std::vector<uint8_t>(24, 3));
        const std::string mp3 = *row.mp3 ? row.mp3 : dir.file("mp3.tmp");
        Encoder enc(kFake);
        ASSERT_EQ(enc.prepare(44100, 32, 44100), kPrepareOk);
        uint32_t written = 4242;
        EXPECT_EQ(enc.encode(nullptr, 0, 100, dir.file("raw.tmp"), mp3, written), row.expected);
        EXPECT_EQ(written, 4242u) << "set only on success";
        EXPECT_EQ(fake.openStreams(), 0u);
        EXPECT_TRUE(enc.libraryLoaded()) << "the library stays loaded after a failure";
        enc.releaseLibrary();
        EXPECT_FALSE(enc.libraryLoaded());
    }
    // The final output alone, to a full device.
    TempDir dir;
    fake.setup(4);
    writeFileBytes(dir.file("raw.tmp"), {});
    Encoder enc(kFake);
    ASSERT_EQ(enc.prepare(44100, 32, 44100), kPrepareOk);
    uint32_t written = 0;
    EXPECT_EQ(enc.encode(nullptr, 0, 100, dir.file("raw.tmp"), "/dev/full", written), kEncodeFinalWriteFailed);
}

TEST(Encoder, PrepareFillsTheRecordAndRefusesBadLibraries) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    fake.setup(4);
    {
        Encoder enc(kFake);
        ASSERT_EQ(enc.prepare(48000, 16, 22050), kPrepareOk);
        EXPECT_EQ(fake.counter(3), 48000u);
        EXPECT_EQ(fake.counter(4), 22050u);
        EXPECT_EQ(fake.counter(5), 16u);
        EXPECT_EQ(fake.counter(6), 3u) << "mono";
        ASSERT_EQ(enc.prepare(44100, 32, 44100), kPrepareOk) << "a second prepare closes the first stream";
        EXPECT_EQ(fake.openStreams(), 1u);
    }
    EXPECT_EQ(fake.openStreams(), 0u) << "the destructor closes an unused stream";

    fake.setup(4, 2);
    Encoder refused(kFake);
    EXPECT_EQ(refused.prepare(44100, 32, 44100), kPrepareFailed) << "beInitStream refused";
    uint32_t written = 0;
    EXPECT_EQ(refused.encode(nullptr, 0, 1, "/dev/null", "/dev/null", written), kEncodeNoResources)
        << "no stream to encode with";

    Encoder missing("/nonexistent/liblame_enc.so");
    EXPECT_EQ(missing.prepare(44100, 32, 44100), kPrepareFailed);
    EXPECT_FALSE(missing.libraryLoaded());
    Encoder partial(kPartial);
    EXPECT_EQ(partial.prepare(44100, 32, 44100), kPrepareFailed) << "beWriteVBRHeader missing";
    EXPECT_FALSE(partial.libraryLoaded());
}

// The real library, found beside the executable: every frame is mono at
// quality x 8 kbit/s and the table's rate, and an independent decoder agrees.
TEST(Encoder, RealLibraryMakesTheClocksFormat) {
    struct Row {
        uint32_t inRate;
        uint16_t quality;
        uint32_t expectRate;  // 0: any rate LAME chooses
    } rows[] = {{44100, 4, 44100}, {44100, 2, 22050}, {44100, 8, 0},
                {48000, 8, 44100}, {22050, 4, 44100}, {22050, 2, 22050}};
    const bool haveFfprobe = test::haveTool("ffprobe");
    if (!haveFfprobe) std::printf("ffprobe not found: the independent decoder check is skipped\n");
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.inRate) + " q" + std::to_string(row.quality));
        TempDir dir;
        const uint32_t count = row.inRate / 2;  // half a second
        writeFileBytes(dir.file("raw.tmp"), pcmBytes(test::tone(row.inRate, count)));
        Encoder enc;
        ASSERT_EQ(enc.prepare(row.inRate, row.quality * 8u, outputSampleRate(row.inRate, row.quality)), kPrepareOk);
        uint32_t written = 0;
        ASSERT_EQ(enc.encode(nullptr, 0, 1, dir.file("raw.tmp"), dir.file("out.mp3"), written), kEncodeOk);
        const auto data = readFileBytes(dir.file("out.mp3"));
        ASSERT_EQ(written, data.size());
        size_t trailing = 1;
        const auto frames = test::walkMp3Frames(data, &trailing);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(trailing, 0u);
        for (const auto& f : frames) {
            ASSERT_EQ(f.bitrateKbps, row.quality * 8u);
            ASSERT_EQ(f.channelMode, 3);
            if (row.expectRate) {
                ASSERT_EQ(f.sampleRate, row.expectRate);
            }
        }
        // Length: the source plus at most the encoder's delay and the padding of the last frames.
        const double seconds = static_cast<double>(count) / row.inRate;
        const double encoded =
            static_cast<double>(frames.size() * test::samplesPerFrame(frames[0])) / frames[0].sampleRate;
        EXPECT_GE(encoded, seconds);
        EXPECT_LE(encoded, seconds + 3.0 * test::samplesPerFrame(frames[0]) / frames[0].sampleRate);
        if (haveFfprobe) {
            const auto p = test::ffprobe(dir.file("out.mp3"));
            ASSERT_TRUE(p.ok);
            EXPECT_EQ(p.codec, "mp3");
            EXPECT_EQ(p.channels, 1);
            EXPECT_EQ(p.bitRate, row.quality * 8000u);
            EXPECT_EQ(p.sampleRate, frames[0].sampleRate);
        }
    }
}

}  // namespace
}  // namespace velmo
