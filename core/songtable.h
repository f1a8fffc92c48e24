// The song table file "zt_hdr.tbl" in the start folder: the list, its quality
// and its size total from one run to the next. A 32-byte little-endian header
// ("VELMO" at offset 6) followed by songCount SongRecords of 4114 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "songrecord.h"

namespace velmo {

constexpr const char* kSongTableName = "zt_hdr.tbl";
constexpr size_t kSongTableHeaderBytes = 32;

struct SongTableHeader {
    uint16_t songCount = 0;
    uint32_t totalEstimate = 0;
    uint16_t quality = kQualityGood;
};

// The whole file image of a table: header and the first `songCount` records
// (at most 64).
std::vector<uint8_t> encodeSongTable(uint16_t quality, uint16_t songCount, uint32_t totalEstimate, const Song* songs);

enum class SongTableDecode { Loaded, BadSignature };

// Decodes a file image into `header` and `songs` (room for 64 records). A
// header that promises more records than the bytes hold, or more than 64,
// gives the whole records present, at most 64; header.songCount is set to
// the number of records actually copied. Bytes shorter than the signature and
// quality fields count as a bad signature.
SongTableDecode decodeSongTable(const uint8_t* data, size_t size, SongTableHeader& header, Song* songs);

// 0: loaded into `header` and `songs`; -1: missing, unreadable or not a table.
// A file with a wrong signature is deleted. Nothing is changed on -1.
int loadSongTable(const std::string& startDir, SongTableHeader& header, Song* songs);

// 0: every byte reached the disk under the final name; -1: not. The new table
// is written beside the old one and renamed over it only when it is complete,
// so a failed save leaves the previous file as it was.
int saveSongTable(const std::string& startDir, uint16_t quality, uint16_t songCount, const Song* songs,
                  uint32_t totalEstimate);

}  // namespace velmo
