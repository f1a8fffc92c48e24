// What the clock holds after the last verified Download, sector by sector, so
// that the next Download erases and writes only the sectors that change.
//
// File "zt_sectors.sum" beside the song table (the start folder), little-endian:
//   0     8      "VELMOSEC"
//   8     4      format version, 1
//   12    4      image bytes b (header included), 8480 <= b
//   16    4      sector bytes, 4096 (the storage's erase unit)
//   20    4      sector count n = ceil(b / 4096)
//   24    8480   the storage header as written
//   8504  32*n   SHA-256 of each sector from the header's address on, as the
//                flash holds it (the image's bytes, erased 0xFF past its end)
//   ...   32     SHA-256 of everything before it
// Anything else (another size, a digest that does not match) is no record,
// and a Download without a record writes everything.
//
// Behind the record's image, up to the storage's end, the flash is erased:
// a full Download erases it all, and a Download by the record erases the
// sectors the old image used past the new one's end.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmo {

constexpr const char* kImageRecordFile = "zt_sectors.sum";
using SectorDigest = std::array<uint8_t, 32>;

struct ImageRecord {
    std::vector<uint8_t> header;  // kStorageHeaderBytes
    uint32_t imageBytes = 0;
    std::vector<SectorDigest> sectors;
};

// A span of the image (offsets from the header's address), for the read-back.
struct ImageSpan {
    uint32_t offset = 0;
    uint32_t length = 0;
};

// The record of an image as it lies in "./dat/tmp.bin". False for an image
// shorter than a header.
bool recordOfStorageImage(const uint8_t* image, size_t size, ImageRecord& out);
std::vector<uint8_t> encodeImageRecord(const ImageRecord& record);
bool decodeImageRecord(const uint8_t* bytes, size_t size, ImageRecord& out);
// Null when `startDir` holds no whole record (read bounded).
std::shared_ptr<const ImageRecord> loadImageRecord(const std::string& startDir);
// Through the safe writer; false when it could not be written.
bool saveImageRecord(const std::string& startDir, const ImageRecord& record);
void removeImageRecord(const std::string& startDir);

// How a Download by the record writes the new image. Sectors are numbered
// from the header's address. Empty `rewrite` and no `eraseTail`: the clock
// holds the image already.
struct SectorPlan {
    std::vector<uint32_t> rewrite;  // ascending; sector 0 (the signature) is among them when any is
    uint32_t tailFrom = 0;          // sectors [tailFrom, tailTo) held the old image only: erased
    uint32_t tailTo = 0;
};
SectorPlan planSectors(const ImageRecord& old, const ImageRecord& next);

// The songs of `header` (storage header bytes) whose data lies wholly in
// sectors not rewritten (data offsets from the data area; sectors as above).
uint32_t songsInUntouchedSectors(const uint8_t* header, const std::vector<uint32_t>& rewritten);

}  // namespace velmo
