#include "bytes.h"

#include <gtest/gtest.h>

#include "paths.h"

using namespace velmo;

TEST(Bytes, ByteOrderHelpers) {
    uint8_t b[4];
    writeBe32(b, 0x4000);
    EXPECT_EQ(0, b[0]);
    EXPECT_EQ(0x40, b[2]);
    EXPECT_EQ(0x4000u, readBe32(b));
    writeLe32(b, 0x11223344);
    EXPECT_EQ(0x44, b[0]);
    EXPECT_EQ(0x11223344u, readLe32(b));
    writeBe16(b, 0x8000);
    EXPECT_EQ(0x80, b[0]);
    EXPECT_EQ(0x00, b[1]);
    writeLe16(b, 0x1000);
    EXPECT_EQ(0x1000, readLe16(b));

    // The host stores the converted value most significant byte first.
    uint32_t v = toBigEndian32(0x4000);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
    EXPECT_EQ(0x40, p[2]);
    EXPECT_EQ(0x00, p[3]);
    uint16_t c = toBigEndian16(4096);
    const uint8_t* q = reinterpret_cast<const uint8_t*>(&c);
    EXPECT_EQ(0x10, q[0]);
    EXPECT_EQ(0x00, q[1]);
}

TEST(Bytes, ReaderFailsPastTheEndAndStaysPut) {
    const uint8_t data[] = {1, 2, 3};
    ByteReader in(data, sizeof(data));
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    EXPECT_TRUE(in.readBe16(v16));
    EXPECT_EQ(0x0102, v16);
    EXPECT_FALSE(in.readLe32(v32));
    EXPECT_FALSE(in.readLe16(v16));
    EXPECT_EQ(2u, in.position());
    uint8_t b = 0;
    EXPECT_TRUE(in.readU8(b));
    EXPECT_EQ(3, b);
    EXPECT_FALSE(in.readU8(b));
    EXPECT_FALSE(in.skip(1));
}

TEST(Paths, NamesAreJoinedToTheStartFolder) {
    EXPECT_EQ("/home/u/dat/x.mp3", resolvePath("/home/u", "./dat/x.mp3"));
    EXPECT_EQ("/home/u/zt_hdr.tbl", resolvePath("/home/u/", "zt_hdr.tbl"));
    EXPECT_EQ("/abs/song.mp3", resolvePath("/home/u", "/abs/song.mp3"));
}
