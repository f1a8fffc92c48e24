// The song table file "zt_hdr.tbl" in the start folder: the list, its quality
// and its size total from one run to the next. A 32-byte little-endian header
// ("VELMO" at offset 6) followed by songCount SongRecords of 4114 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fileio.h"
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

enum class SongTableDecode { Loaded, ShortHeader, BadSignature, BadQuality };

// Decodes a file image into `header` and `songs` (room for 64 records). A
// header that promises more records than the bytes hold, or more than 64,
// gives the whole records present, at most 64; header.songCount is set to
// the number of records actually copied. Fewer bytes than the 32-byte header
// (ShortHeader), a signature other than "VELMO" and a zero (BadSignature) and
// a quality code other than 2, 4 or 8 (BadQuality: an encoder fed another
// code writes at a rate the clock cannot play) are damage: nothing is set.
SongTableDecode decodeSongTable(const uint8_t* data, size_t size, SongTableHeader& header, Song* songs);

// What loading the table found.
enum class SongTableLoad {
    Loaded,
    Missing,     // no file of that name: the list starts empty
    Damaged,     // a regular file that is not a table (see SongTableDecode)
    Unreadable,  // a regular file that could not be read (errorNumber)
    NotAFile,    // a folder, a symlink or anything else under the name (errorNumber: EISDIR, ELOOP, EINVAL)
};

struct SongTableLoadResult {
    SongTableLoad status = SongTableLoad::Missing;
    SongTableDecode damage = SongTableDecode::Loaded;
    uint16_t badQuality = 0;  // the code, for BadQuality
    int errorNumber = 0;
    std::string setAsideAs;   // the new name of a damaged table that was renamed aside
};

// Loads `startDir`/zt_hdr.tbl into `header` and `songs`; nothing is changed
// unless it loaded. A damaged table is never deleted: with SetAside it is
// renamed "zt_hdr.tbl.damaged" (or ".damaged.2", ".3" ... when that exists)
// so that the next save cannot overwrite it; if that rename fails, errorNumber
// says why and setAsideAs stays empty.
SongTableLoadResult loadSongTableChecked(const std::string& startDir, SongTableHeader& header, Song* songs,
                                         DamagedFile damaged);

// 0: loaded; -1: anything else (loadSongTableChecked with SetAside).
int loadSongTable(const std::string& startDir, SongTableHeader& header, Song* songs);

// The sentence that tells the user what is wrong with the table and what was
// done about it; empty for Loaded and Missing.
std::string songTableProblemText(const std::string& startDir, const SongTableLoadResult& result);

// 0: every byte reached the disk under the final name; -1: not, and
// `failure` (when given) says why. Written through SafeFileWriter (fileio.h):
// a failed save leaves the previous file as it was, and a table name that is
// a symlink or a folder is refused.
int saveSongTable(const std::string& startDir, uint16_t quality, uint16_t songCount, const Song* songs,
                  uint32_t totalEstimate, FileWriteError* failure = nullptr);


}  // namespace velmo
