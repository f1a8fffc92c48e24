// The record of what the last verified Download left on the clock: its
// storage header byte for byte and a SHA-256 digest of each song's bytes. It
// lets a Reload tell a read error from the clock's real contents (MPEG audio
// data carries no checksum of its own).
//
// File "zt_songs.sum" beside the song table (the start folder), little-endian:
//   0   8     "VELMOSUM"
//   8   2     format version, 1
//   10  2     song count n, equal to the header's songCount, at most 32
//   12  8480  the storage header as written (big-endian inside, as on the clock)
//   8492 32*n SHA-256 of each song's dataSize bytes, in header order
// Nothing else; a file of any other size or content is no record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmo {

constexpr const char* kReloadRecordFile = "zt_songs.sum";
constexpr size_t kSongDigestBytes = 32;

using SongDigest = std::array<uint8_t, kSongDigestBytes>;

struct ReloadRecord {
    std::vector<uint8_t> header;      // kStorageHeaderBytes, as on the clock
    std::vector<SongDigest> digests;  // one per song of the header
};

SongDigest songDigest(const uint8_t* bytes, size_t size);

// The record of a storage image (the header followed by the data area, as
// "./dat/tmp.bin" holds it). False when the image has no signed header or a
// song lies past the image's end.
bool recordOfImage(const uint8_t* image, size_t size, ReloadRecord& out);

std::vector<uint8_t> encodeReloadRecord(const ReloadRecord& record);
// False for anything that is not a whole record of this version.
bool decodeReloadRecord(const uint8_t* bytes, size_t size, ReloadRecord& out);

// The record in `startDir`; false when there is none or it is not whole.
bool loadReloadRecord(const std::string& startDir, ReloadRecord& out);
// Replaces the record in `startDir`. False when it could not be written
// (any partial file is removed).
bool saveReloadRecord(const std::string& startDir, const ReloadRecord& record);
// The clock is about to change: its old record describes nothing any more.
void removeReloadRecord(const std::string& startDir);

}  // namespace velmo
