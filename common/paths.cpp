#include "paths.h"

namespace velmo {

std::string resolvePath(const std::string& startDir, const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    std::string rest = name;
    while (rest.compare(0, 2, "./") == 0) rest.erase(0, 2);
    if (startDir.empty()) return rest;
    if (startDir.back() == '/') return startDir + rest;
    return startDir + "/" + rest;
}

}  // namespace velmo
