#include "songtable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "fileio.h"
#include "paths.h"
#include "storage_layout.h"

namespace velmo {

namespace {

// Signature and quality must both be present for a file to be a table at all.
constexpr size_t kMinTableBytes = 14;
// More than a header and 64 records is never needed from a file.
constexpr size_t kMaxTableBytes = kSongTableHeaderBytes + kMaxSongs * kSongRecordBytes;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::vector<uint8_t> encodeSongTable(uint16_t quality, uint16_t songCount, uint32_t totalEstimate, const Song* songs) {
    const uint16_t count = std::min<uint16_t>(songCount, kMaxSongs);
    std::vector<uint8_t> image(kSongTableHeaderBytes + size_t{count} * kSongRecordBytes, 0);
    writeLe16(image.data() + 0, count);
    writeLe32(image.data() + 2, totalEstimate);
    std::memcpy(image.data() + 6, kSignature, sizeof(kSignature));
    writeLe16(image.data() + 12, quality);
    for (size_t i = 0; i < count; ++i)
        encodeSongRecord(songs[i], image.data() + kSongTableHeaderBytes + i * kSongRecordBytes);
    return image;
}

SongTableDecode decodeSongTable(const uint8_t* data, size_t size, SongTableHeader& header, Song* songs) {
    if (data == nullptr || size < kMinTableBytes || std::memcmp(data + 6, kSignature, sizeof(kSignature)) != 0)
        return SongTableDecode::BadSignature;

    const uint16_t promised = readLe16(data + 0);
    const size_t recordBytes = size > kSongTableHeaderBytes ? size - kSongTableHeaderBytes : 0;
    const size_t whole = recordBytes / kSongRecordBytes;
    const size_t count = std::min<size_t>({promised, whole, kMaxSongs});

    header.songCount = static_cast<uint16_t>(count);
    header.totalEstimate = readLe32(data + 2);
    header.quality = readLe16(data + 12);
    for (size_t i = 0; i < count; ++i) decodeSongRecord(data + kSongTableHeaderBytes + i * kSongRecordBytes, songs[i]);
    return SongTableDecode::Loaded;
}

int loadSongTable(const std::string& startDir, SongTableHeader& header, Song* songs) {
    const std::string path = resolvePath(startDir, kSongTableName);
    // Only as much as a table can hold is read, however large the file; a
    // FIFO or a device under the table's name is not opened at all.
    std::vector<uint8_t> buffer;
    if (!readFileHead(path, buffer, kMaxTableBytes)) return -1;

    SongTableHeader decoded;
    if (decodeSongTable(buffer.data(), buffer.size(), decoded, songs) != SongTableDecode::Loaded) {
        ::unlink(path.c_str());
        return -1;
    }
    header = decoded;
    return 0;
}

int saveSongTable(const std::string& startDir, uint16_t quality, uint16_t songCount, const Song* songs,
                  uint32_t totalEstimate) {
    const std::vector<uint8_t> image = encodeSongTable(quality, songCount, totalEstimate, songs);
    const std::string path = resolvePath(startDir, kSongTableName);
    const std::string temp = path + ".new";

    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return -1;
    bool ok = writeAll(fd.get(), image.data(), image.size()) && ::fsync(fd.get()) == 0;
    ok = (::close(fd.release()) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return -1;
    }
    // The rename itself reaches the disk only when the folder is flushed.
    Fd dir(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return 0;
}

}  // namespace velmo
