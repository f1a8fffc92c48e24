// Hands a fuzz input to code that takes a path: the bytes go into an anonymous
// in-memory file, reached through /proc/self/fd, so nothing touches the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace velmo::fuzz {

class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size) {
        fd_ = ::memfd_create("velmo-fuzz", MFD_CLOEXEC);
        if (fd_ < 0) std::abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace velmo::fuzz
