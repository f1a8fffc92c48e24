#include "storage_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace velmo;

namespace {

StorageHeader twoSongHeader() {
    StorageHeader h;
    h.songCount = 2;
    h.totalEstimate = 0x01020304;
    std::memcpy(h.signature, kSignature, sizeof(kSignature));
    h.quality = 4;
    h.entries[0] = {0, 100000, "Morning Song"};
    h.entries[1] = {100000, 50000, "a"};
    return h;
}

}  // namespace

TEST(StorageHeader, EncodesBigEndianFieldsAtTheirOffsets) {
    std::vector<uint8_t> out(kStorageHeaderBytes, 0xAA);
    encodeStorageHeader(twoSongHeader(), out.data());

    const uint8_t head[] = {0x00, 0x02, 0x01, 0x02, 0x03, 0x04, 'V', 'E', 'L', 'M', 'O', 0x00, 0x00, 0x04};
    EXPECT_EQ(0, std::memcmp(out.data(), head, sizeof(head)));
    for (size_t i = 14; i < 32; ++i) EXPECT_EQ(0, out[i]) << "reserved byte " << i;

    const uint8_t entry1[] = {0x00, 0x01, 0x86, 0xA0, 0x00, 0x00, 0xC3, 0x50, 'a', 0};
    EXPECT_EQ(0, std::memcmp(out.data() + 32 + 264, entry1, sizeof(entry1)));
    EXPECT_EQ(0, std::memcmp(out.data() + 32 + 8, "Morning Song", 13));
}

// Entries past the count are zero even if the record held something there.
TEST(StorageHeader, EntriesPastTheCountAreWrittenAsZero) {
    StorageHeader h = twoSongHeader();
    h.entries[5] = {7, 8, "ghost"};
    std::vector<uint8_t> out(kStorageHeaderBytes);
    encodeStorageHeader(h, out.data());
    for (size_t i = 32 + 2 * 264; i < kStorageHeaderBytes; ++i) ASSERT_EQ(0, out[i]) << i;
}

TEST(StorageHeader, RoundTripKeepsTheBytes) {
    std::vector<uint8_t> out(kStorageHeaderBytes);
    encodeStorageHeader(twoSongHeader(), out.data());
    StorageHeader back;
    ASSERT_TRUE(decodeStorageHeader(out.data(), out.size(), back));
    std::vector<uint8_t> again(kStorageHeaderBytes);
    encodeStorageHeader(back, again.data());
    EXPECT_EQ(out, again);
    EXPECT_TRUE(hasStorageSignature(back));
    EXPECT_EQ(2u, effectiveSongCount(back));
}

TEST(StorageHeader, DecodeRefusesShortBuffersAndCapsTheCount) {
    std::vector<uint8_t> bytes(kStorageHeaderBytes, 0xFF);
    StorageHeader h;
    EXPECT_FALSE(decodeStorageHeader(bytes.data(), kStorageHeaderBytes - 1, h));
    EXPECT_FALSE(decodeStorageHeader(nullptr, 0, h));

    // An erased clock reads all 0xFF: count 65535, no signature.
    ASSERT_TRUE(decodeStorageHeader(bytes.data(), bytes.size(), h));
    EXPECT_EQ(0xFFFF, h.songCount);
    EXPECT_EQ(kMaxHeaderSongs, effectiveSongCount(h));
    EXPECT_FALSE(hasStorageSignature(h));
    EXPECT_EQ(0xFFFFFFFFu, h.entries[31].dataSize);
}

TEST(StorageHeader, SignatureNeedsTheTerminatingZero) {
    StorageHeader h = twoSongHeader();
    EXPECT_TRUE(hasStorageSignature(h));
    h.signature[5] = 'X';
    EXPECT_FALSE(hasStorageSignature(h));
}

TEST(StorageCapacity, FiguresByStorageCode) {
    uint32_t table[kStorageCodes];
    fillStorageSizeTable(table);
    struct Row {
        uint16_t code;
        uint32_t kb, capacity, dataArea, image;
    } rows[] = {
        {0, 2048, 2031616, 2072288, 2080768},
        {4, 128, 65536, 106208, 114688},
        {7, 4096, 4128768, 4169440, 4177920},
    };
    for (const Row& r : rows) {
        const uint32_t kb = storageSizeLookup(table, r.code) >> 10;
        EXPECT_EQ(r.kb, kb) << r.code;
        EXPECT_EQ(r.capacity, capacity(kb)) << r.code;
        EXPECT_EQ(r.dataArea, dataAreaCapacity(kb)) << r.code;
        EXPECT_EQ(r.image, imageCapacity(kb)) << r.code;
    }
    for (uint16_t code : {12, 13, 100, 255, 65535}) EXPECT_EQ(0u, storageSizeLookup(table, code)) << code;
    // A size of 0 wraps in 32-bit arithmetic; callers must refuse such a clock.
    EXPECT_EQ(0xFFFF0000u, capacity(0));
}
