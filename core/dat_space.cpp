#include "dat_space.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <functional>

#include "convert_job.h"
#include "fileio.h"
#include "paths.h"
#include "storage_layout.h"

namespace velmo {

namespace {

constexpr uint64_t kPcmBytesPerSecond = 48000 * 2;

uint64_t withMargin(uint64_t bytes) { return bytes + bytes / 50; }

}  // namespace

uint64_t datSpaceNeeded(const std::vector<Song>& songs, const std::string& startDir, uint16_t quality,
                        uint32_t storageKB, bool evenVolume, unsigned workers) {
    uint64_t total = 0;
    uint64_t copies = 0;
    std::vector<uint64_t> sizes;
    for (const Song& s : songs) {
        total += s.sizeEstimate;
        sizes.push_back(withMargin(s.sizeEstimate));
        if (s.copyPending != 0) copies += fileSize(resolvePath(startDir, fieldText(s.sourcePath))).value_or(0);
    }
    uint64_t needed = std::min<uint64_t>(withMargin(total) + kStorageHeaderBytes, imageCapacity(storageKB));
    needed += copies;
    // The songs converted at once are the largest ones at worst.
    std::sort(sizes.begin(), sizes.end(), std::greater<uint64_t>());
    const size_t atOnce = std::min<size_t>(sizes.size(), std::max(1u, workers));
    const uint64_t bytesPerSecond = quality != 0 ? uint64_t{quality} * 1000 : 1000;
    for (size_t i = 0; i < atOnce; ++i) {
        needed += sizes[i];
        if (evenVolume) needed += (sizes[i] + bytesPerSecond - 1) / bytesPerSecond * kPcmBytesPerSecond;
    }
    return needed;
}

std::optional<uint64_t> datSpaceFree(const std::string& startDir) {
    const std::string dat = resolvePath(startDir, kWorkDir);
    struct statvfs st {};
    if (::statvfs(dat.c_str(), &st) != 0 && ::statvfs(startDir.c_str(), &st) != 0) return std::nullopt;
    return uint64_t{st.f_bavail} * st.f_frsize + fileSize(resolvePath(startDir, kImageFile)).value_or(0);
}

uint64_t wholeMegabytes(uint64_t bytes, bool up) {
    constexpr uint64_t kMB = 1000 * 1000;
    return up ? (bytes + kMB - 1) / kMB : bytes / kMB;
}

}  // namespace velmo
