#include "fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace velmo {

FilePtr openRegularFileForReading(const std::string& path) {
    // Non-blocking, so that a named pipe given in place of a file cannot stall the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr) {
        ::close(fd);
        return nullptr;
    }
    return FilePtr(f);
}

FilePtr createFileForWriting(const std::string& path) { return FilePtr(std::fopen(path.c_str(), "wb")); }

std::optional<uint64_t> fileSize(std::FILE* f) {
    struct stat st {};
    if (f == nullptr || ::fstat(::fileno(f), &st) != 0 || st.st_size < 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

std::optional<uint64_t> fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size < 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t maxBytes) {
    FilePtr f = openRegularFileForReading(path);
    if (!f) return false;
    const std::optional<uint64_t> size = fileSize(f.get());
    if (!size || *size > maxBytes) return false;
    // One byte more than the size: a file that grew since the stat is noticed.
    std::vector<uint8_t> bytes(static_cast<size_t>(*size) + (*size < maxBytes ? 1 : 0));
    const size_t n = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f.get());
    if (std::ferror(f.get()) || n > *size) return false;
    bytes.resize(n);
    out = std::move(bytes);
    return true;
}

bool readFileHead(const std::string& path, std::vector<uint8_t>& out, size_t maxBytes) {
    FilePtr f = openRegularFileForReading(path);
    if (!f) return false;
    const std::optional<uint64_t> size = fileSize(f.get());
    if (!size) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(*size, maxBytes)));
    const size_t n = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f.get());
    if (std::ferror(f.get())) return false;
    bytes.resize(n);
    out = std::move(bytes);
    return true;
}

bool writeWholeFile(const std::string& path, const uint8_t* data, size_t size) {
    FilePtr f = createFileForWriting(path);
    if (!f) return false;
    if (size != 0 && std::fwrite(data, 1, size, f.get()) != size) return false;
    return std::fclose(f.release()) == 0;
}

std::string executableFolder() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    std::string path(buf.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace velmo
