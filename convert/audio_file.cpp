#include "audio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmo {

FilePtr openRegularFileForReading(const std::string& path) {
    // Non-blocking, so that a named pipe given as a song cannot stall the open.
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

long long fileSize(std::FILE* f) {
    struct stat st {};
    if (::fstat(::fileno(f), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

}  // namespace velmo
