// File names in the system are relative to the start folder. The process never
// changes its current folder (worker threads would race on it); every name is
// joined to the start folder explicitly instead.
#pragma once

#include <string>

namespace velmo {

constexpr const char* kWorkDir = "./dat/";

// "./dat/x" under "/home/u" gives "/home/u/dat/x"; an absolute name is kept.
std::string resolvePath(const std::string& startDir, const std::string& name);

}  // namespace velmo
