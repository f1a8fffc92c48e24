#include "pcm_output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "bytes.h"

using namespace velmo;

TEST(PcmConversion, FixedPointToSixteenBits) {
    struct Row {
        FixedSample in;
        int16_t out;
    };
    const Row rows[] = {
        {0x10000000, 32767},  // exactly 1.0
        {0x7FFFFFFF, 32767},
        {0x0FFFFFFF, 32767},    // just under 1.0: 0x0FFFFFFF >> 13
        {-0x10000000, -32767},  // exactly -1.0
        {INT32_MIN, -32767},
        {-0x0FFFFFFF, -32768},  // just above -1.0 rounds down to -32768
        {0, 0},
        {8191, 0},  // below one step: down to 0
        {8192, 1},
        {-1, -1},  // toward minus infinity, not toward zero
        {-8192, -1},
        {-8193, -2},
    };
    for (const Row& r : rows) EXPECT_EQ(r.out, fixedToPcm16(r.in)) << std::hex << r.in;
}

TEST(PcmConversion, ChannelsMixTowardZero) {
    struct Row {
        int16_t l, r, out;
    };
    const Row rows[] = {
        {1000, -1001, 0},  // -1 / 2 truncates to 0
        {-1000, 1001, 0},         {1, 2, 1},          {-1, -2, -1},    {-3, 0, -1}, {32767, 32767, 32767},
        {-32768, -32768, -32768}, {-32768, 32767, 0}, {500, 500, 500},
    };
    for (const Row& r : rows) EXPECT_EQ(r.out, mixToMono(r.l, r.r)) << r.l << " " << r.r;
}

namespace {

// A stream that records the size of every write reaching it and can refuse
// writes after a given number of bytes.
struct Sink {
    std::vector<size_t> writes;
    std::vector<uint8_t> bytes;
    size_t capacity = SIZE_MAX;
};

ssize_t sinkWrite(void* cookie, const char* buf, size_t size) {
    auto* s = static_cast<Sink*>(cookie);
    const size_t room = s->capacity - s->bytes.size();
    const size_t n = size < room ? size : room;
    if (n == 0) return -1;
    s->writes.push_back(n);
    s->bytes.insert(s->bytes.end(), buf, buf + n);
    return static_cast<ssize_t>(n);
}

struct SinkFile {
    Sink sink;
    std::FILE* f;
    SinkFile() {
        cookie_io_functions_t io{};
        io.write = sinkWrite;
        f = fopencookie(&sink, "w", io);
        std::setvbuf(f, nullptr, _IONBF, 0);  // every fwrite reaches the sink as it is
    }
    ~SinkFile() { std::fclose(f); }
};

std::vector<FixedSample> ramp(size_t n, FixedSample step) {
    std::vector<FixedSample> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<FixedSample>((i % 4096) * step - 2048 * step);
    return v;
}

}  // namespace

TEST(PcmBlockWriter, WritesWholeBlocksAndTheRestAtTheEnd) {
    struct Row {
        size_t samples;
        std::vector<size_t> writes;
    };
    const Row rows[] = {
        {131072, {262144}},     // exactly one block: nothing left for the end
        {131073, {262144, 2}},  // one sample more: a second write of 2 bytes
        {1, {2}},
        {0, {}},
        {262144 + 5, {262144, 262144, 10}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.samples);
        SinkFile out;
        auto w = PcmBlockWriter::make(out.f);
        ASSERT_TRUE(w);
        const auto left = ramp(r.samples, 8192);
        // Fed in frame-sized pieces that do not divide the block.
        for (size_t done = 0; done < r.samples; done += 1152) {
            const size_t n = std::min<size_t>(1152, r.samples - done);
            ASSERT_TRUE(w->appendFrame(left.data() + done, nullptr, n));
        }
        EXPECT_TRUE(w->finish());
        EXPECT_EQ(r.writes, out.sink.writes);
        ASSERT_EQ(2 * r.samples, out.sink.bytes.size());
        for (size_t i = 0; i < r.samples; ++i) {
            ASSERT_EQ(fixedToPcm16(left[i]), static_cast<int16_t>(readLe16(&out.sink.bytes[2 * i])));
        }
    }
}

TEST(PcmBlockWriter, MixesStereoLowByteFirst) {
    SinkFile out;
    auto w = PcmBlockWriter::make(out.f);
    // Left 1000 and right -1001 after scaling give 0; 0x10000000 and 0 give 16383.
    const FixedSample left[] = {1000 * 8192, 0x10000000, -0x10000000, 0x1234 * 8192};
    const FixedSample right[] = {-1001 * 8192, 0, -0x10000000, 0x1234 * 8192};
    ASSERT_TRUE(w->appendFrame(left, right, 4));
    ASSERT_TRUE(w->finish());
    const std::vector<uint8_t> expected = {0x00, 0x00, 0xFF, 0x3F, 0x01, 0x80, 0x34, 0x12};
    EXPECT_EQ(expected, out.sink.bytes);
}

TEST(PcmBlockWriter, ShortWriteStopsAllFurtherWrites) {
    SinkFile out;
    out.sink.capacity = 1000;
    auto w = PcmBlockWriter::make(out.f);
    const auto left = ramp(131072 * 2, 8192);
    EXPECT_FALSE(w->appendFrame(left.data(), nullptr, left.size()));
    EXPECT_TRUE(w->failed());
    const size_t written = out.sink.bytes.size();
    EXPECT_FALSE(w->appendFrame(left.data(), nullptr, 10));
    EXPECT_FALSE(w->finish());
    EXPECT_EQ(written, out.sink.bytes.size());
}
