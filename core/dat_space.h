// The room a Download needs in "./dat/" before the clock is erased, and the
// room there is: a disk that fills half-way would leave the clock empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "songrecord.h"

namespace velmo {

// Bytes a Download of `songs` (their sizeEstimates in bytes of MP3 at
// `quality`) writes into "./dat/" below `startDir` at most: the storage image
// (at most the image capacity), the working copies still to be made (the
// sources' sizes), the MP3 files of the `workers` songs converted at once,
// and with `evenVolume` the mono 16-bit PCM of each of those songs at up to
// 48000 Hz. Estimates are taken 2 % larger, the error they are kept within.
// The image an earlier Download left, which this one replaces, is not counted.
uint64_t datSpaceNeeded(const std::vector<Song>& songs, const std::string& startDir, uint16_t quality,
                        uint32_t storageKB, bool evenVolume, unsigned workers);

// Bytes free for this user in the file system of `folder` (statvfs), plus
// what the earlier image "./dat/tmp.bin" takes there; nothing when unknown.
std::optional<uint64_t> datSpaceFree(const std::string& startDir);

// Whole MB (10^6 bytes) for the message: `up` rounds up.
uint64_t wholeMegabytes(uint64_t bytes, bool up);

}  // namespace velmo
