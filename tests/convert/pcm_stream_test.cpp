// The queue between a song's decoder and its encoder.
#include "pcm_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace velmo {
namespace {

// Bytes written in pieces of any size arrive whole and in order, across the
// ring's end many times over, with both sides waiting on each other.
TEST(PcmPipe, BytesArriveWholeAndInOrder) {
    for (const size_t capacity : {size_t{61}, size_t{4096}, size_t{65536}}) {
        SCOPED_TRACE(capacity);
        std::vector<uint8_t> sent(200000);
        std::mt19937 random(static_cast<unsigned>(capacity));
        for (uint8_t& b : sent) b = static_cast<uint8_t>(random());
        PcmPipe pipe(capacity);
        std::thread writer([&] {
            pipe.begin(22050);
            std::mt19937 sizes(1);
            for (size_t at = 0; at < sent.size();) {
                const size_t n = std::min<size_t>(sizes() % 20000 + 1, sent.size() - at);
                if (!pipe.write(sent.data() + at, n)) {
                    ADD_FAILURE() << "a write was refused";
                    break;
                }
                at += n;
            }
            pipe.endWriting();
        });
        EXPECT_EQ(pipe.waitForRate(), 22050u);
        std::vector<uint8_t> got;
        std::vector<uint8_t> chunk(2304);
        for (;;) {
            const size_t n = pipe.read(chunk.data(), chunk.size());
            got.insert(got.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
            if (n < chunk.size()) break;  // only the end gives less than asked
        }
        writer.join();
        EXPECT_TRUE(got == sent);
        EXPECT_FALSE(pipe.failed());
    }
}

// Whichever side ends first, the other is released: a writer that ends
// without a rate, a reader that gives up (the writer's writes fail), and a
// reader that wants no more while the writer runs to its end.
TEST(PcmPipe, EitherSideEndingReleasesTheOther) {
    {
        PcmPipe pipe(16);
        std::thread writer([&] { pipe.endWriting(); });
        EXPECT_EQ(pipe.waitForRate(), 0u);
        uint8_t b[4];
        EXPECT_EQ(pipe.read(b, sizeof b), 0u);
        writer.join();
    }
    const std::vector<uint8_t> data(1000, 0x5A);
    for (const bool discard : {false, true}) {
        SCOPED_TRACE(discard);
        PcmPipe pipe(16);
        bool whole = true;
        std::thread writer([&] {
            for (int i = 0; i < 50 && whole; ++i) whole = pipe.write(data.data(), data.size());
        });
        uint8_t b[8];
        EXPECT_EQ(pipe.read(b, sizeof b), sizeof b);
        if (discard) pipe.discardFromNowOn();
        pipe.endReading();
        writer.join();
        EXPECT_EQ(whole, discard) << "discarded bytes are taken; after the reader's end they are refused";
    }
}

}  // namespace
}  // namespace velmo
