// What an operation's workers know of the folder and the clock they work
// for: a copy taken when the operation starts, never changed while it runs.
#pragma once

#include <cstdint>
#include <string>

#include "paths.h"

namespace velmo {

struct WorkContext {
    std::string startDir;       // every "./dat/..." name is resolved against it
    uint32_t storageKB = 2048;  // the clock's storage size

    std::string path(const std::string& name) const { return resolvePath(startDir, name); }
};

}  // namespace velmo
