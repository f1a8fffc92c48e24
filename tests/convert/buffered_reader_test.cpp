#include "buffered_reader.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "fileio.h"
#include "tempdir.h"

using namespace velmo;
using namespace velmo::test;

namespace {

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return v;
}

}  // namespace

TEST(BufferedReader, DeliversTheFileInAnyPieceSizeAndSetsTheEndFlagOnce) {
    const size_t sizes[] = {0,
                            1,
                            1000,
                            BufferedReader::kLookAheadBytes,
                            BufferedReader::kLookAheadBytes + 1,
                            3 * BufferedReader::kLookAheadBytes + 17};
    const size_t pieces[] = {1, 4096, 524288};
    TempDir dir;
    for (size_t size : sizes) {
        const auto content = pattern(size);
        writeFileBytes(dir.file("f"), content);
        for (size_t piece : pieces) {
            SCOPED_TRACE(std::to_string(size) + " in pieces of " + std::to_string(piece));
            FilePtr f = openRegularFileForReading(dir.file("f"));
            ASSERT_TRUE(f);
            auto r = BufferedReader::make(f.get());
            ASSERT_TRUE(r);
            std::vector<uint8_t> got;
            std::vector<uint8_t> buf(piece);
            for (;;) {
                const bool endBefore = r->atEnd();
                const size_t n = r->read(buf.data(), 1, piece);
                if (endBefore) {
                    EXPECT_EQ(0u, n);
                }
                got.insert(got.end(), buf.begin(), buf.begin() + static_cast<long>(n));
                if (n == 0) break;
                ASSERT_LE(got.size(), size);
            }
            EXPECT_EQ(content, got);
            EXPECT_TRUE(r->atEnd());
            EXPECT_EQ(0, r->error());
        }
    }
}

TEST(BufferedReader, EndFlagComesWithTheReadThatReachesTheEnd) {
    TempDir dir;
    writeFileBytes(dir.file("f"), pattern(1000));
    FilePtr f = openRegularFileForReading(dir.file("f"));
    auto r = BufferedReader::make(f.get());
    std::vector<uint8_t> buf(524288);
    // The direct read takes all 1000 bytes and the refill behind it finds nothing.
    EXPECT_EQ(1000u, r->read(buf.data(), 1, buf.size()));
    EXPECT_TRUE(r->atEnd());
    EXPECT_EQ(0u, r->read(buf.data(), 1, buf.size()));
}

TEST(BufferedReader, NothingAskedNothingDelivered) {
    TempDir dir;
    writeFileBytes(dir.file("f"), pattern(10));
    FilePtr f = openRegularFileForReading(dir.file("f"));
    auto r = BufferedReader::make(f.get());
    uint8_t b[4];
    EXPECT_EQ(0u, r->read(b, 1, 0));
    EXPECT_EQ(0u, r->read(b, 0, 4));
    EXPECT_EQ(0u, r->read(nullptr, 1, 4));
    EXPECT_EQ(4u, r->read(b, 2, 2));
    EXPECT_FALSE(r->atEnd());
}

TEST(BufferedReader, ReadErrorIsSavedAndReportedAgain) {
    TempDir dir;
    // A folder opens as a stream on Linux, and every read of it fails.
    std::FILE* folder = std::fopen(dir.path().c_str(), "rb");
    ASSERT_NE(nullptr, folder);
    FilePtr owned(folder);
    auto r = BufferedReader::make(folder);
    uint8_t b[16];
    errno = 0;
    EXPECT_EQ(0u, r->read(b, 1, sizeof b));
    EXPECT_EQ(EISDIR, r->error());
    EXPECT_FALSE(r->atEnd());
    EXPECT_EQ(0, errno);  // the caller's error is left as it was
    EXPECT_EQ(0u, r->read(b, 1, sizeof b));
    EXPECT_EQ(EISDIR, errno);
}
