#include "fileio.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "terminal_text.h"
#include "translation.h"

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

FilePtr createFileForWriting(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr) {
        ::close(fd);
        return nullptr;
    }
    return FilePtr(f);
}

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

std::string folderOfPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

const char* fileProblemText(int errorNumber) {
    switch (errorNumber) {
        case ELOOP:
            return tr_("it is a symbolic link, and Velmo does not write through one");
        case EISDIR:
            return tr_("it is a folder");
        case EINVAL:
            return tr_("it is not a regular file");
        default:
            return std::strerror(errorNumber);
    }
}

std::string FileWriteError::text() const {
    return format(tr_("Cannot write %s: %s"), messageName(path).c_str(), fileProblemText(errorNumber));
}

bool replaceableTarget(const std::string& target, FileWriteError* failure) {
    struct stat st {};
    int error = 0;
    if (::lstat(target.c_str(), &st) != 0) {
        // A missing file is made; a missing folder is not.
        if (errno != ENOENT)
            error = errno;
        else if (struct stat dir{}; ::stat(folderOfPath(target).c_str(), &dir) != 0)
            error = errno;
        else if (!S_ISDIR(dir.st_mode))
            error = ENOTDIR;
    } else if (S_ISLNK(st.st_mode)) {
        error = ELOOP;
    } else if (S_ISDIR(st.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
    }
    if (error != 0 && failure != nullptr) *failure = FileWriteError{error, target};
    return error == 0;
}

SafeFileWriter::~SafeFileWriter() { abandon(); }

bool SafeFileWriter::fail(int errorNumber, const std::string& path) {
    failure_ = FileWriteError{errorNumber != 0 ? errorNumber : EIO, path};
    abandon();
    return false;
}

void SafeFileWriter::abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

bool SafeFileWriter::open(const std::string& target) {
    abandon();
    target_ = target;
    failure_ = FileWriteError{};
    if (!replaceableTarget(target, &failure_)) return false;
    // A fresh name each time, never one an earlier run or another program
    // could have prepared: O_EXCL fails on any existing name, a link included.
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<size_t> pick(0, sizeof(kLetters) - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = target + ".";
        for (int i = 0; i < 8; ++i) name += kLetters[pick(random)];
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            fd_ = fd;
            temp_ = name;
            return true;
        }
        if (errno != EEXIST) return fail(errno, target);
    }
    return fail(EEXIST, target);
}

bool SafeFileWriter::write(const uint8_t* data, size_t size) {
    if (fd_ < 0) return false;
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : ENOSPC, target_);
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SafeFileWriter::commit() {
    if (fd_ < 0) return false;
    if (::fsync(fd_) != 0) return fail(errno, target_);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return fail(errno, target_);
    // The target may have turned into a link or a folder since the open;
    // rename would replace a link itself, never write through it, but what
    // the user put there is left alone all the same.
    if (!replaceableTarget(target_, &failure_)) {
        abandon();
        return false;
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return fail(errno, target_);
    temp_.clear();
    // The rename reaches the disk only when the folder is flushed.
    const int dir = ::open(folderOfPath(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::string setDamagedFileAside(const std::string& path) {
    for (int n = 1; n < 1000; ++n) {
        const std::string name = path + ".damaged" + (n == 1 ? std::string() : "." + std::to_string(n));
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) return name;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return {};
        // A file system without RENAME_NOREPLACE: look first, then rename.
        struct stat st {};
        if (::lstat(name.c_str(), &st) == 0) continue;
        if (::rename(path.c_str(), name.c_str()) == 0) return name;
        return {};
    }
    errno = EEXIST;
    return {};
}

bool writeFileSafely(const std::string& target, const uint8_t* data, size_t size, FileWriteError* failure) {
    SafeFileWriter writer;
    const bool ok = writer.open(target) && writer.write(data, size) && writer.commit();
    if (!ok && failure != nullptr) *failure = writer.failure();
    return ok;
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

bool makeOwnFolder(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(path.c_str());
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace velmo
