// Packing the converted songs into the storage image: the 8480-byte storage
// header that names the songs, followed by their MP3 data one after the other.
// Song i's data lies at 8480 + dataOffset for dataSize bytes. Paths are full
// paths (resolve "./dat/..." against the start folder first).
#pragma once

#include <cstdint>
#include <string>

#include "songrecord.h"

namespace velmo {

// Results of writeImageHeader and appendFile.
constexpr int kPackOk = 0;
constexpr int kPackFailed = -1;

// The header's name for a song: its workPath without the first 6 characters
// ("./dat/") and without its extension (from the last dot on, whatever its
// length: "./dat/Song.flac" gives "Song"), cut to what the 256-byte field holds
// with a NUL after it. Empty for a path of 6 characters or fewer.
std::string storageSongName(const Song& song);

// Creates `imagePath` anew holding the header alone (big-endian numbers, the
// signature "VELMO", entries 0 to count-1 from the records, the rest zero).
// A count above 32 is written as 32: the header has room for no more.
int writeImageHeader(const std::string& imagePath, const Song* songs, uint16_t count, uint32_t totalEstimate,
                     uint16_t quality);

// Writes the same header over the first 8480 bytes of an existing image,
// leaving the data behind it as it is; -1 when the file is shorter than a
// header or cannot be written.
int overwriteImageHeader(const std::string& imagePath, const Song* songs, uint16_t count, uint32_t totalEstimate,
                         uint16_t quality);

// Appends the whole of `sourcePath` to `targetPath`, creating the target if it
// does not exist. Copies through a fixed buffer; -1 when the source does not
// open, gives fewer bytes than its size, or the target cannot be written.
int appendFile(const std::string& targetPath, const std::string& sourcePath);

}  // namespace velmo
