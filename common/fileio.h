// File helpers shared by every subsystem: an owned FILE*, opens that cannot
// block, file sizes, whole-file reads and writes for the small working files
// (headers, firmware images, the agent image, reloaded songs), and the
// program's own folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
// Closes the file on every return path. A caller that must know whether the
// last buffered bytes reached the disk closes it itself: std::fclose(f.release()).
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens an existing regular file for reading raw bytes. Null for anything else:
// a missing file, a folder, or a device or pipe, which could block or never end.
FilePtr openRegularFileForReading(const std::string& path);

// Creates or truncates a working file for writing raw bytes; null when it
// cannot. A symlink under the name is not followed (the open fails with
// ELOOP), so a link planted in the working folder cannot redirect a write.
FilePtr createFileForWriting(const std::string& path);

// Size in bytes from the file system; nothing when it cannot be known.
std::optional<uint64_t> fileSize(std::FILE* f);
std::optional<uint64_t> fileSize(const std::string& path);

// Reads a whole regular file. False when it cannot be opened or read, or when
// it holds more than `maxBytes` (checked before its bytes are read).
bool readWholeFile(const std::string& path, std::vector<uint8_t>& out,
                   size_t maxBytes = std::numeric_limits<size_t>::max());
// Reads the first bytes of a regular file, at most `maxBytes` of them, however
// large the file is. False when it cannot be opened or read.
bool readFileHead(const std::string& path, std::vector<uint8_t>& out, size_t maxBytes);
// Creates or replaces the file; false unless every byte was written.
bool writeWholeFile(const std::string& path, const uint8_t* data, size_t size);

// Why a file could not be written: the errno and the file it concerns.
// `text()` is "<path>: <reason>" in the user's language.
struct FileWriteError {
    int errorNumber = 0;
    std::string path;
    std::string text() const;
};

// Why a file cannot be used, for a message: ELOOP, EISDIR and EINVAL (from
// replaceableTarget) as the file's kind, any other errno as strerror.
const char* fileProblemText(int errorNumber);

// Whether `target` may be replaced by the safe writer: it is missing or a
// regular file. A symlink (ELOOP), a folder (EISDIR) or anything else, a
// FIFO or a device (EINVAL), is refused; so is a name whose folder is missing.
bool replaceableTarget(const std::string& target, FileWriteError* failure = nullptr);

// Makes `folder` (a trailing "/" allowed) a real folder of its own: a symbolic
// link in its place is removed first (what it points to is left alone), so
// that working files are never written, nor stray ones deleted, elsewhere.
// True when it is a folder afterwards.
bool makeOwnFolder(const std::string& folder);

// The one way our own files (the song table, the settings) are written:
// a new file is created beside the target under a fresh name with
// O_CREAT|O_EXCL|O_NOFOLLOW (no file or link of that name is ever opened),
// written, flushed, fsync'ed and renamed over the target, and the folder is
// fsync'ed. A target that is a symlink, a folder or not a regular file is
// refused before anything is created; a failure at any step removes the new
// file and leaves the target as it was.
//
//     SafeFileWriter w;
//     if (!w.open(target) || !w.write(p, n) || !w.commit()) report(w.failure());
//
// The temporary file is removed by the destructor unless commit() succeeded.
class SafeFileWriter {
  public:
    SafeFileWriter() = default;
    ~SafeFileWriter();
    SafeFileWriter(const SafeFileWriter&) = delete;
    SafeFileWriter& operator=(const SafeFileWriter&) = delete;

    bool open(const std::string& target);
    // The descriptor of the temporary file, for streamed writes of one's own
    // (-1 before open); write() is the simple way.
    int fd() const { return fd_; }
    bool write(const uint8_t* data, size_t size);
    // fsync, close, rename over the target, fsync the folder.
    bool commit();
    // Closes and removes the temporary file; the target stays as it was.
    void abandon();
    const FileWriteError& failure() const { return failure_; }
    const std::string& temporaryPath() const { return temp_; }

  private:
    bool fail(int errorNumber, const std::string& path);
    std::string target_;
    std::string temp_;
    int fd_ = -1;
    FileWriteError failure_;
};

// SafeFileWriter in one call.
bool writeFileSafely(const std::string& target, const uint8_t* data, size_t size, FileWriteError* failure = nullptr);

// What to do with a damaged file of ours: rename it aside, or leave it as it
// is (the commands that only look at the list change nothing in the folder).
enum class DamagedFile { SetAside, Leave };

// Renames a damaged file of ours out of the way without deleting it:
// `path` becomes "<path>.damaged", or "<path>.damaged.N" for the first free
// N from 2; no existing file is ever replaced. The new name, or empty (errno
// set) when it could not be renamed.
std::string setDamagedFileAside(const std::string& path);

// The folder part of a path ("." for a bare name, "/" for the root).
std::string folderOfPath(const std::string& path);

// The folder of the running program (no trailing slash; "/" for the root);
// empty when it cannot be found. The device and encoder libraries and the
// agent image are looked for there first.
std::string executableFolder();

}  // namespace velmo
