// A file name that behaves as a full disk: a node of the kernel's full
// device, on which every write fails with ENOSPC. A node, not a symbolic link
// to /dev/full, because our writers refuse to write through links.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace velmo::test {

// Empty when planted; otherwise why not (no right to make device nodes here).
inline std::string plantFullDisk(const std::string& path) {
    if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) return {};
    return std::strerror(errno);
}

}  // namespace velmo::test
