#include "storage_layout.h"

#include <cstring>

#include "bytes.h"

namespace velmo {

const uint32_t kStorageSizeTable[kStorageCodes] = {
    2097152, 1048576, 2097152, 1048576, 131072, 262144, 524288, 4194304, 2097152, 1048576, 4194304, 2097152,
};

void fillStorageSizeTable(uint32_t table[kStorageCodes]) {
    std::memcpy(table, kStorageSizeTable, sizeof(kStorageSizeTable));
}

uint32_t storageSizeLookup(const uint32_t table[kStorageCodes], uint16_t code) {
    return code < kStorageCodes ? table[code] : 0;
}

void encodeStorageHeader(const StorageHeader& header, uint8_t* out) {
    std::memset(out, 0, kStorageHeaderBytes);
    writeBe16(out + 0, header.songCount);
    writeBe32(out + 2, header.totalEstimate);
    std::memcpy(out + 6, header.signature, sizeof(header.signature));
    writeBe16(out + 12, header.quality);
    const size_t count = effectiveSongCount(header);
    for (size_t i = 0; i < count; ++i) {
        uint8_t* e = out + 32 + i * kStorageEntryBytes;
        writeBe32(e + 0, header.entries[i].dataOffset);
        writeBe32(e + 4, header.entries[i].dataSize);
        std::memcpy(e + 8, header.entries[i].songName, kSongNameBytes);
    }
}

bool decodeStorageHeader(const uint8_t* data, size_t size, StorageHeader& header) {
    if (data == nullptr || size < kStorageHeaderBytes) return false;
    header = StorageHeader{};
    header.songCount = readBe16(data + 0);
    header.totalEstimate = readBe32(data + 2);
    std::memcpy(header.signature, data + 6, sizeof(header.signature));
    header.quality = readBe16(data + 12);
    const size_t count = effectiveSongCount(header);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = data + 32 + i * kStorageEntryBytes;
        header.entries[i].dataOffset = readBe32(e + 0);
        header.entries[i].dataSize = readBe32(e + 4);
        std::memcpy(header.entries[i].songName, e + 8, kSongNameBytes);
    }
    return true;
}

bool hasStorageSignature(const StorageHeader& header) {
    return std::memcmp(header.signature, kSignature, sizeof(kSignature)) == 0;
}

}  // namespace velmo
