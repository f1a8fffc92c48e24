// The layout of our agent image, spn.bin. The program treats the file as
// opaque bytes and only writes it to controller address 0x2000; the simulated
// clock checks this layout before it runs an entry, the way a real controller
// would only run code that is really there.
//
// Offsets from the start of the image (all numbers big-endian):
//   0   8  magic "ZNTAGENT"
//   8   4  image length in bytes (at least kAgentMinBytes)
//   12  4  CRC-32 (IEEE) of the whole image with these four bytes taken as 0
//   16  2  format version, 1
//   18  2  entry count, 4
//   20 16  the four entry offsets: 0x15C0 probe, 0x15CC erase, 0x1608 program,
//          0x1658 read (load address 0x2000 + offset = the entry address)
//   at each entry offset: 4 bytes, the entry's tag ("PRB1", "ERS1", "PRG1", "RDB1")
// Everything else is filler owned by the generator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zentro::agent {

constexpr char kMagic[8] = {'Z', 'N', 'T', 'A', 'G', 'E', 'N', 'T'};
constexpr uint32_t kLoadAddress = 0x2000;
constexpr uint32_t kLengthOffset = 8;
constexpr uint32_t kChecksumOffset = 12;
constexpr uint32_t kVersionOffset = 16;
constexpr uint32_t kEntryCountOffset = 18;
constexpr uint32_t kEntryTableOffset = 20;
constexpr uint16_t kVersion = 1;
constexpr uint32_t kEntryCount = 4;
constexpr uint32_t kEntryOffsets[kEntryCount] = {0x15C0, 0x15CC, 0x1608, 0x1658};
constexpr char kEntryTags[kEntryCount][4] = {
    {'P', 'R', 'B', '1'}, {'E', 'R', 'S', '1'}, {'P', 'R', 'G', '1'}, {'R', 'D', 'B', '1'}};
constexpr uint32_t kTagBytes = 4;
// Every entry and its tag lie inside the image.
constexpr uint32_t kAgentMinBytes = 0x1660;
// What the generator makes: the minimum rounded up to 256 bytes.
constexpr uint32_t kImageBytes = 0x1700;

inline uint32_t crc32Update(uint32_t crc, uint8_t byte) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    return crc;
}

// The image's checksum: CRC-32 over `length` bytes, its own field read as 0.
inline uint32_t imageChecksum(const uint8_t* image, uint32_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < length; ++i) {
        const bool inField = i >= kChecksumOffset && i < kChecksumOffset + 4;
        crc = crc32Update(crc, inField ? 0 : image[i]);
    }
    return ~crc;
}

}  // namespace zentro::agent
