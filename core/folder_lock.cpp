#include "folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "paths.h"

namespace velmo {

FolderLock::~FolderLock() { release(); }

FolderLock::FolderLock(FolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void FolderLock::release() {
    // Closing the only descriptor of the open file ends its flock.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FolderLockResult FolderLock::acquire(const std::string& startDir, FolderAccess access) {
    release();
    // The file itself stays: removing it while another process waits on its
    // descriptor would let a third one lock a new file of the same name.
    // O_NONBLOCK: a FIFO planted under the name must not stall the open.
    const std::string path = resolvePath(startDir, kFolderLockName);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);  // flock needs no write access
    if (fd < 0) return FolderLockResult::Failed;
    const int operation = (access == FolderAccess::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int r;
    while ((r = ::flock(fd, operation)) != 0 && errno == EINTR) {}
    if (r != 0) {
        const bool inUse = errno == EWOULDBLOCK;
        ::close(fd);
        return inUse ? FolderLockResult::InUse : FolderLockResult::Failed;
    }
    fd_ = fd;
    return FolderLockResult::Locked;
}

}  // namespace velmo
