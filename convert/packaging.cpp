#include "packaging.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fileio.h"
#include "storage_layout.h"

namespace velmo {

namespace {

constexpr size_t kCopyBufferBytes = 1 << 20;
constexpr size_t kWorkPrefixChars = 6;  // "./dat/"

}  // namespace

std::string storageSongName(const Song& song) {
    const size_t len = strnlen(song.workPath, kPathBytes);
    if (len <= kWorkPrefixChars) return {};
    const std::string_view file(song.workPath + kWorkPrefixChars, len - kWorkPrefixChars);
    // The extension is whatever follows the last dot, however long: "Song.flac" is "Song".
    const size_t dot = file.rfind('.');
    const std::string_view name = dot == std::string_view::npos ? file : file.substr(0, dot);
    return std::string(name.substr(0, std::min(name.size(), kSongNameBytes - 1)));
}

namespace {

std::vector<uint8_t> imageHeaderBytes(const Song* songs, uint16_t count, uint32_t totalEstimate, uint16_t quality) {
    StorageHeader header;
    const size_t n = std::min<size_t>(count, kMaxHeaderSongs);
    header.songCount = static_cast<uint16_t>(n);
    header.totalEstimate = totalEstimate;
    std::memcpy(header.signature, kSignature, sizeof header.signature);
    header.quality = quality;
    for (size_t i = 0; i < n; ++i) {
        header.entries[i].dataOffset = songs[i].dataOffset;
        header.entries[i].dataSize = songs[i].dataSize;
        const std::string name = storageSongName(songs[i]);
        std::memcpy(header.entries[i].songName, name.data(), name.size());
    }
    std::vector<uint8_t> bytes(kStorageHeaderBytes);
    encodeStorageHeader(header, bytes.data());
    return bytes;
}

}  // namespace

int writeImageHeader(const std::string& imagePath, const Song* songs, uint16_t count, uint32_t totalEstimate,
                     uint16_t quality) {
    const std::vector<uint8_t> bytes = imageHeaderBytes(songs, count, totalEstimate, quality);
    FilePtr f = createFileForWriting(imagePath);
    if (!f) return kPackFailed;
    if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) return kPackFailed;
    if (std::fclose(f.release()) != 0) return kPackFailed;
    return kPackOk;
}

int overwriteImageHeader(const std::string& imagePath, const Song* songs, uint16_t count, uint32_t totalEstimate,
                         uint16_t quality) {
    const std::vector<uint8_t> bytes = imageHeaderBytes(songs, count, totalEstimate, quality);
    const std::optional<uint64_t> size = fileSize(imagePath);
    if (!size || *size < kStorageHeaderBytes) return kPackFailed;
    FilePtr f(std::fopen(imagePath.c_str(), "r+b"));
    if (!f) return kPackFailed;
    if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) return kPackFailed;
    if (std::fclose(f.release()) != 0) return kPackFailed;
    return kPackOk;
}

int appendFile(const std::string& targetPath, const std::string& sourcePath) {
    FilePtr src = openRegularFileForReading(sourcePath);
    const std::optional<uint64_t> size = fileSize(src.get());
    if (!src || !size) return kPackFailed;
    FilePtr dst(std::fopen(targetPath.c_str(), "ab"));
    if (!dst) return kPackFailed;

    // A fixed buffer instead of the whole file at once: the data area can be
    // as large as the storage.
    std::vector<uint8_t> buf(kCopyBufferBytes);
    uint64_t remaining = *size;
    while (remaining > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kCopyBufferBytes));
        if (std::fread(buf.data(), 1, want, src.get()) != want) return kPackFailed;
        if (std::fwrite(buf.data(), 1, want, dst.get()) != want) return kPackFailed;
        remaining -= want;
    }
    if (std::fclose(dst.release()) != 0) return kPackFailed;
    return kPackOk;
}

}  // namespace velmo
