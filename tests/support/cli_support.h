// What the terminal front end's tests share: a finished run of velmo-cli and
// reading what it wrote.
#pragma once

#include <string>
#include <vector>

#include "tempdir.h"

namespace velmo::test {

// A finished velmo-cli: its exit status (128 + the signal when one ended it)
// and everything it wrote.
struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace velmo::test
