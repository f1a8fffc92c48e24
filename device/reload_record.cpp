#include "reload_record.h"

#include <nettle/sha2.h>

#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "fileio.h"
#include "paths.h"
#include "storage_layout.h"

namespace velmo {

namespace {

constexpr uint8_t kMagic[8] = {'V', 'E', 'L', 'M', 'O', 'S', 'U', 'M'};
constexpr uint16_t kRecordVersion = 1;
constexpr size_t kPreambleBytes = 12;
constexpr size_t kMaxRecordBytes = kPreambleBytes + kStorageHeaderBytes + kMaxHeaderSongs * kSongDigestBytes;

}  // namespace

SongDigest songDigest(const uint8_t* bytes, size_t size) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    if (size != 0) sha256_update(&ctx, size, bytes);
    SongDigest out{};
    sha256_digest(&ctx, out.size(), out.data());
    return out;
}

bool recordOfImage(const uint8_t* image, size_t size, ReloadRecord& out) {
    out = ReloadRecord{};
    StorageHeader header;
    if (image == nullptr || size < kStorageHeaderBytes || !decodeStorageHeader(image, size, header)) return false;
    if (std::memcmp(header.signature, kSignature, sizeof kSignature) != 0 || header.songCount > kMaxHeaderSongs)
        return false;
    out.header.assign(image, image + kStorageHeaderBytes);
    const size_t dataBytes = size - kStorageHeaderBytes;
    for (size_t i = 0; i < header.songCount; ++i) {
        const StorageEntry& e = header.entries[i];
        if (uint64_t{e.dataOffset} + e.dataSize > dataBytes) {
            out = ReloadRecord{};
            return false;
        }
        out.digests.push_back(songDigest(image + kStorageHeaderBytes + e.dataOffset, e.dataSize));
    }
    return true;
}

std::vector<uint8_t> encodeReloadRecord(const ReloadRecord& record) {
    std::vector<uint8_t> out(kPreambleBytes + record.header.size() + record.digests.size() * kSongDigestBytes);
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    writeLe16(out.data() + 8, kRecordVersion);
    writeLe16(out.data() + 10, static_cast<uint16_t>(record.digests.size()));
    std::memcpy(out.data() + kPreambleBytes, record.header.data(), record.header.size());
    uint8_t* at = out.data() + kPreambleBytes + record.header.size();
    for (const SongDigest& d : record.digests) {
        std::memcpy(at, d.data(), d.size());
        at += d.size();
    }
    return out;
}

bool decodeReloadRecord(const uint8_t* bytes, size_t size, ReloadRecord& out) {
    out = ReloadRecord{};
    if (bytes == nullptr || size < kPreambleBytes + kStorageHeaderBytes) return false;
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0 || readLe16(bytes + 8) != kRecordVersion) return false;
    const uint16_t count = readLe16(bytes + 10);
    if (count > kMaxHeaderSongs || size != kPreambleBytes + kStorageHeaderBytes + count * kSongDigestBytes)
        return false;
    const uint8_t* header = bytes + kPreambleBytes;
    StorageHeader decoded;
    if (!decodeStorageHeader(header, kStorageHeaderBytes, decoded) || decoded.songCount != count) return false;
    out.header.assign(header, header + kStorageHeaderBytes);
    const uint8_t* at = header + kStorageHeaderBytes;
    for (uint16_t i = 0; i < count; ++i, at += kSongDigestBytes) {
        SongDigest d;
        std::memcpy(d.data(), at, d.size());
        out.digests.push_back(d);
    }
    return true;
}

bool loadReloadRecord(const std::string& startDir, ReloadRecord& out) {
    std::vector<uint8_t> bytes;
    out = ReloadRecord{};
    if (!readWholeFile(resolvePath(startDir, kReloadRecordFile), bytes, kMaxRecordBytes)) return false;
    return decodeReloadRecord(bytes.data(), bytes.size(), out);
}

// The one place the record is written.
bool saveReloadRecord(const std::string& startDir, const ReloadRecord& record) {
    const std::vector<uint8_t> bytes = encodeReloadRecord(record);
    return writeFileSafely(resolvePath(startDir, kReloadRecordFile), bytes.data(), bytes.size());
}

void removeReloadRecord(const std::string& startDir) { std::remove(resolvePath(startDir, kReloadRecordFile).c_str()); }

}  // namespace velmo
