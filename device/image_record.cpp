#include "image_record.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "controller_map.h"
#include "fileio.h"
#include "paths.h"
#include "storage_layout.h"

namespace velmo {

namespace {

constexpr uint8_t kMagic[8] = {'V', 'E', 'L', 'M', 'O', 'S', 'E', 'C'};
constexpr uint32_t kVersion = 1;
constexpr size_t kPreambleBytes = 24;
constexpr size_t kDigestBytes = sizeof(SectorDigest);
// The largest storage the clock's codes give is far below this; a larger
// file is no record of ours and is not read.
constexpr uint32_t kMaxSectors = (256u << 20) / kStorageSectorBytes;
constexpr size_t kMaxRecordBytes = kPreambleBytes + kStorageHeaderBytes + (kMaxSectors + 1) * kDigestBytes;

SectorDigest digestOf(const uint8_t* bytes, size_t size) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    if (size != 0) sha256_update(&ctx, size, bytes);
    SectorDigest out{};
    sha256_digest(&ctx, out.size(), out.data());
    return out;
}

uint32_t sectorsFor(uint32_t bytes) { return (bytes + kStorageSectorBytes - 1) / kStorageSectorBytes; }

}  // namespace

bool recordOfStorageImage(const uint8_t* image, size_t size, ImageRecord& out) {
    out = ImageRecord{};
    if (image == nullptr || size < kStorageHeaderBytes || size > uint64_t{kMaxSectors} * kStorageSectorBytes)
        return false;
    out.header.assign(image, image + kStorageHeaderBytes);
    out.imageBytes = static_cast<uint32_t>(size);
    std::vector<uint8_t> sector(kStorageSectorBytes);
    for (size_t at = 0; at < size; at += kStorageSectorBytes) {
        const size_t n = std::min<size_t>(kStorageSectorBytes, size - at);
        // The rest of the last sector is as the erase left it.
        std::fill(sector.begin(), sector.end(), 0xFF);
        std::memcpy(sector.data(), image + at, n);
        out.sectors.push_back(digestOf(sector.data(), sector.size()));
    }
    return true;
}

std::vector<uint8_t> encodeImageRecord(const ImageRecord& record) {
    std::vector<uint8_t> out(kPreambleBytes + kStorageHeaderBytes + record.sectors.size() * kDigestBytes);
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    writeLe32(out.data() + 8, kVersion);
    writeLe32(out.data() + 12, record.imageBytes);
    writeLe32(out.data() + 16, kStorageSectorBytes);
    writeLe32(out.data() + 20, static_cast<uint32_t>(record.sectors.size()));
    std::memcpy(out.data() + kPreambleBytes, record.header.data(),
                std::min<size_t>(record.header.size(), kStorageHeaderBytes));
    uint8_t* at = out.data() + kPreambleBytes + kStorageHeaderBytes;
    for (const SectorDigest& d : record.sectors) {
        std::memcpy(at, d.data(), d.size());
        at += d.size();
    }
    const SectorDigest whole = digestOf(out.data(), out.size());
    out.insert(out.end(), whole.begin(), whole.end());
    return out;
}

bool decodeImageRecord(const uint8_t* bytes, size_t size, ImageRecord& out) {
    out = ImageRecord{};
    if (bytes == nullptr || size < kPreambleBytes + kStorageHeaderBytes + kDigestBytes) return false;
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0 || readLe32(bytes + 8) != kVersion ||
        readLe32(bytes + 16) != kStorageSectorBytes)
        return false;
    const uint32_t imageBytes = readLe32(bytes + 12);
    const uint32_t count = readLe32(bytes + 20);
    if (imageBytes < kStorageHeaderBytes || count > kMaxSectors || count != sectorsFor(imageBytes)) return false;
    const size_t body = kPreambleBytes + kStorageHeaderBytes + size_t{count} * kDigestBytes;
    if (size != body + kDigestBytes) return false;
    if (digestOf(bytes, body) != [&] {
            SectorDigest d;
            std::memcpy(d.data(), bytes + body, d.size());
            return d;
        }())
        return false;
    out.imageBytes = imageBytes;
    out.header.assign(bytes + kPreambleBytes, bytes + kPreambleBytes + kStorageHeaderBytes);
    const uint8_t* at = bytes + kPreambleBytes + kStorageHeaderBytes;
    for (uint32_t i = 0; i < count; ++i, at += kDigestBytes) {
        SectorDigest d;
        std::memcpy(d.data(), at, d.size());
        out.sectors.push_back(d);
    }
    return true;
}

std::shared_ptr<const ImageRecord> loadImageRecord(const std::string& startDir) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(resolvePath(startDir, kImageRecordFile), bytes, kMaxRecordBytes)) return nullptr;
    auto record = std::make_shared<ImageRecord>();
    if (!decodeImageRecord(bytes.data(), bytes.size(), *record)) return nullptr;
    return record;
}

bool saveImageRecord(const std::string& startDir, const ImageRecord& record) {
    const std::vector<uint8_t> bytes = encodeImageRecord(record);
    return writeFileSafely(resolvePath(startDir, kImageRecordFile), bytes.data(), bytes.size());
}

void removeImageRecord(const std::string& startDir) { std::remove(resolvePath(startDir, kImageRecordFile).c_str()); }

SectorPlan planSectors(const ImageRecord& old, const ImageRecord& next) {
    SectorPlan plan;
    const auto oldCount = static_cast<uint32_t>(old.sectors.size());
    const auto newCount = static_cast<uint32_t>(next.sectors.size());
    for (uint32_t i = 0; i < newCount; ++i)
        if (i >= oldCount || old.sectors[i] != next.sectors[i]) plan.rewrite.push_back(i);
    if (oldCount > newCount) {
        plan.tailFrom = newCount;
        plan.tailTo = oldCount;
    }
    // Any change goes under an erased signature first and ends with it.
    if ((!plan.rewrite.empty() || plan.tailTo > plan.tailFrom) && (plan.rewrite.empty() || plan.rewrite[0] != 0))
        plan.rewrite.insert(plan.rewrite.begin(), 0);
    return plan;
}

uint32_t songsInUntouchedSectors(const uint8_t* header, const std::vector<uint32_t>& rewritten) {
    StorageHeader h;
    if (header == nullptr || !decodeStorageHeader(header, kStorageHeaderBytes, h)) return 0;
    uint32_t unchanged = 0;
    for (size_t i = 0; i < effectiveSongCount(h); ++i) {
        const StorageEntry& e = h.entries[i];
        if (e.dataSize == 0) continue;
        const uint64_t from = uint64_t{kStorageHeaderBytes} + e.dataOffset;
        const uint64_t to = from + e.dataSize;
        const uint64_t first = from / kStorageSectorBytes;
        const uint64_t last = (to - 1) / kStorageSectorBytes;
        const bool touched = std::any_of(rewritten.begin(), rewritten.end(),
                                         [&](uint32_t s) { return s >= first && s <= last; });
        if (!touched) ++unchanged;
    }
    return unchanged;
}

}  // namespace velmo
