// The clock's storage: where the firmware, the song header and the song data
// lie, the header's big-endian format, and the capacity figures derived from
// the storage size. All arithmetic on sizes is 32-bit unsigned, as on the clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmo {

constexpr uint32_t kFirmwareAddress = 0x2000;  // framed firmware, "BOOT" first
constexpr uint32_t kFirmwareAreaBytes = 0x2000;
constexpr uint32_t kStorageHeaderAddress = 0x4000;
constexpr uint32_t kStorageHeaderBytes = 8480;  // 32 + 32 x 264
constexpr uint32_t kDataAreaAddress = 0x6120;   // header address + header bytes
constexpr size_t kMaxHeaderSongs = 32;
constexpr size_t kStorageEntryBytes = 264;
constexpr size_t kSongNameBytes = 256;
constexpr size_t kStorageCodes = 12;  // codes 12 to 255 have no storage
constexpr char kSignature[6] = {'V', 'E', 'L', 'M', 'O', '\0'};

static_assert(kStorageHeaderAddress + kStorageHeaderBytes == kDataAreaAddress, "map");
static_assert(32 + kMaxHeaderSongs * kStorageEntryBytes == kStorageHeaderBytes, "map");

// Storage size in bytes by the storage code that the agent's probe reports.
extern const uint32_t kStorageSizeTable[kStorageCodes];

void fillStorageSizeTable(uint32_t table[kStorageCodes]);
// Codes 0 to 11 give the table's entry; any other code gives 0.
uint32_t storageSizeLookup(const uint32_t table[kStorageCodes], uint16_t code);

// The bytes a song list may fill, by its size estimates.
inline uint32_t capacity(uint32_t storageKB) { return storageKB * 1024u - 65536u; }
// The most converted MP3 data that fits behind the header.
inline uint32_t dataAreaCapacity(uint32_t storageKB) { return storageKB * 1024u - kDataAreaAddress; }
// The most image bytes written from the header on; also a download's erase length.
inline uint32_t imageCapacity(uint32_t storageKB) { return (storageKB - 16u) * 1024u; }

struct StorageEntry {
    uint32_t dataOffset = 0;  // from the start of the data area
    uint32_t dataSize = 0;    // 0 for a song that did not fit
    char songName[kSongNameBytes] = {};
};

struct StorageHeader {
    uint16_t songCount = 0;
    uint32_t totalEstimate = 0;
    char signature[6] = {};
    uint16_t quality = 0;
    StorageEntry entries[kMaxHeaderSongs];
};

// Writes exactly kStorageHeaderBytes bytes. Entries past songCount (and the
// reserved bytes) are written as zero; songCount above 32 describes 32 entries.
void encodeStorageHeader(const StorageHeader& header, uint8_t* out);

// Reads a header from `size` bytes. Fails (false) when fewer than
// kStorageHeaderBytes are given. Never reads more than kStorageHeaderBytes; a
// songCount above 32 is kept as read but only 32 entries are decoded, and the
// entries past the count are left zero. Call effectiveSongCount() to use it.
bool decodeStorageHeader(const uint8_t* data, size_t size, StorageHeader& header);

// The number of entries a header can really describe.
inline size_t effectiveSongCount(const StorageHeader& header) {
    return header.songCount > kMaxHeaderSongs ? kMaxHeaderSongs : header.songCount;
}

// "VELMO" followed by a NUL at offset 6, compared as a NUL-terminated text.
bool hasStorageSignature(const StorageHeader& header);

}  // namespace velmo
