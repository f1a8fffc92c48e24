// One song of the list, and its record in the song table file: 4114 bytes,
// integers little-endian.
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

// One song of the list in memory: a plain value. The song table file stores
// it as a 4114-byte record (encodeSongRecord and decodeSongRecord are the
// only code that knows that layout). The paths keep their whole fields, the
// bytes after the terminating NUL included, so that a list saved again gives
// back the bytes it was loaded from.
struct Song {
    uint32_t dataOffset = 0;           // from the start of the storage image's data area
    uint32_t dataSize = 0;             // bytes of converted MP3 data
    char sourcePath[kPathBytes] = {};  // the file the user chose
    char workPath[kPathBytes] = {};    // "./dat/" + file name, relative to the start folder
    uint32_t sizeEstimate = 0;         // converted size at the quality in force
    uint8_t copyPending = 0;           // 1 until the working copy has been made
    uint8_t cutFlag = 0;               // 1 for the song cut to fit at the last Download
    uint32_t cutLimit = 0;             // byte limit of the converted data
};

// Field by field, little-endian; `out`/`in` hold kSongRecordBytes bytes. The
// text fields are copied whole, including what lies after their terminating
// NUL; a decoded field without one loses its last byte to a NUL, so every
// decoded record's paths end inside their fields.
void encodeSongRecord(const Song& rec, uint8_t* out);
void decodeSongRecord(const uint8_t* in, Song& rec);

// The text of a fixed-size character field (a record's paths, a storage
// header's song names): up to its first NUL, or the whole field when it has none.
template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

}  // namespace velmo
