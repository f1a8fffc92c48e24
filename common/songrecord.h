// One song of the list, as the whole system shares it and as the song table
// file stores it: a packed 4114-byte record, integers little-endian in the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace velmo {

// The quality of a list, as the song table and the storage header store it:
// the MP3 bitrate in units of 8 kbit/s. Estimates scale with it.
enum QualityCode : uint16_t {
    kQualityNormal = 2,  // 16 kbit/s
    kQualityGood = 4,    // 32 kbit/s, the default
    kQualityBest = 8,    // 64 kbit/s
};

constexpr size_t kMaxSongs = 64;     // the list and the song table file
constexpr size_t kPathBytes = 2048;  // sourcePath and workPath, NUL included
constexpr size_t kSongRecordBytes = 4114;

#pragma pack(push, 1)
struct SongRecord {
    uint32_t dataOffset;          // from the start of the storage image's data area
    uint32_t dataSize;            // bytes of converted MP3 data
    char sourcePath[kPathBytes];  // the file the user chose
    char workPath[kPathBytes];    // "./dat/" + file name, relative to the start folder
    uint32_t sizeEstimate;        // converted size at the quality in force
    uint8_t copyPending;          // 1 until the working copy has been made
    uint8_t cutFlag;              // 1 for the song cut to fit at the last Download
    uint32_t cutLimit;            // byte limit of the converted data
};
#pragma pack(pop)

static_assert(sizeof(SongRecord) == kSongRecordBytes, "SongRecord is 4114 bytes");
static_assert(offsetof(SongRecord, dataOffset) == 0, "layout");
static_assert(offsetof(SongRecord, dataSize) == 4, "layout");
static_assert(offsetof(SongRecord, sourcePath) == 8, "layout");
static_assert(offsetof(SongRecord, workPath) == 2056, "layout");
static_assert(offsetof(SongRecord, sizeEstimate) == 4104, "layout");
static_assert(offsetof(SongRecord, copyPending) == 4108, "layout");
static_assert(offsetof(SongRecord, cutFlag) == 4109, "layout");
static_assert(offsetof(SongRecord, cutLimit) == 4110, "layout");

// Field by field, little-endian; `out`/`in` hold kSongRecordBytes bytes. The
// text fields are copied whole, including what lies after their terminating
// NUL; a decoded field without one loses its last byte to a NUL, so every
// decoded record's paths end inside their fields.
void encodeSongRecord(const SongRecord& rec, uint8_t* out);
void decodeSongRecord(const uint8_t* in, SongRecord& rec);

// The text of a fixed-size character field (a record's paths, a storage
// header's song names): up to its first NUL, or the whole field when it has none.
template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

}  // namespace velmo
