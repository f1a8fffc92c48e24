// Files of the audio operations, owned so that every return path closes them.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace velmo {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens an existing regular file for reading raw bytes. Null for anything else:
// a missing file, a folder, or a device or pipe, which could block or never end.
FilePtr openRegularFileForReading(const std::string& path);

// Creates or truncates a file for writing raw bytes; null when it cannot.
FilePtr createFileForWriting(const std::string& path);

// Size of an open file in bytes, from the file system; -1 when unknown.
long long fileSize(std::FILE* f);

}  // namespace velmo
