// The layout of our agent image, spn.bin. The program treats the file as
// opaque bytes and only writes it to kAgentLoadAddress; the simulated clock
// checks this layout before it runs an entry, the way a real controller would
// only run code that is really there. Where the image and its entries lie in
// controller memory is controller_map.h's; this file only adds the layout
// inside the image.
//
// Offsets from the start of the image (all numbers big-endian):
//   0   8  magic "ZNTAGENT"
//   8   4  image length in bytes (at least kAgentMinBytes)
//   12  4  CRC-32 (IEEE) of the whole image with these four bytes taken as 0
//   16  2  format version, 1
//   18  2  entry count, 4
//   20 16  the four entry offsets (kEntryOffsets), in the order probe, erase,
//          program, read: kAgentLoadAddress + offset = the entry's address
//   at each entry offset: 4 bytes, the entry's tag ("PRB1", "ERS1", "PRG1", "RDB1")
// Everything else is filler owned by the generator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "controller_map.h"

namespace zentro::agent {

constexpr char kMagic[8] = {'Z', 'N', 'T', 'A', 'G', 'E', 'N', 'T'};
constexpr uint32_t kLengthOffset = 8;
constexpr uint32_t kChecksumOffset = 12;
constexpr uint32_t kVersionOffset = 16;
constexpr uint32_t kEntryCountOffset = 18;
constexpr uint32_t kEntryTableOffset = 20;
constexpr uint16_t kVersion = 1;
constexpr uint32_t kEntryCount = 4;
// Derived from the controller map, so that the entry table cannot point
// anywhere but where the device layer starts the entries.
constexpr uint32_t kEntryOffsets[kEntryCount] = {
    velmo::kProbeStorageEntry - velmo::kAgentLoadAddress, velmo::kEraseStorageEntry - velmo::kAgentLoadAddress,
    velmo::kProgramBlockEntry - velmo::kAgentLoadAddress, velmo::kReadBlockEntry - velmo::kAgentLoadAddress};
constexpr char kEntryTags[kEntryCount][4] = {
    {'P', 'R', 'B', '1'}, {'E', 'R', 'S', '1'}, {'P', 'R', 'G', '1'}, {'R', 'D', 'B', '1'}};
constexpr uint32_t kTagBytes = 4;
// Every entry and its tag lie inside the image.
constexpr uint32_t kAgentMinBytes = 0x1660;
// What the generator makes: the minimum rounded up to 256 bytes.
constexpr uint32_t kImageBytes = (kAgentMinBytes + 0xFF) / 0x100 * 0x100;

// The header and the entry table come before the first entry.
static_assert(kEntryTableOffset + 4 * kEntryCount <= kEntryOffsets[0], "the entry table lies before the entries");
// An image shorter than kAgentMinBytes is refused, so every tag has to fit in it.
static_assert(kEntryOffsets[0] + kTagBytes <= kEntryOffsets[1] && kEntryOffsets[1] + kTagBytes <= kEntryOffsets[2] &&
                  kEntryOffsets[2] + kTagBytes <= kEntryOffsets[3] && kEntryOffsets[3] + kTagBytes <= kAgentMinBytes,
              "every entry's tag lies inside the shortest image");
// The device layer refuses an image that reaches into the transfer buffer.
static_assert(kImageBytes <= velmo::kAgentMaxBytes, "the generated image fits below the transfer buffer");

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
