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

// Creates or truncates a file for writing raw bytes; null when it cannot.
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

// The folder of the running program (no trailing slash; "/" for the root);
// empty when it cannot be found. The device and encoder libraries and the
// agent image are looked for there first.
std::string executableFolder();

}  // namespace velmo
