// Whole-file reads and writes for the small working files (headers, firmware
// images, reloaded songs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmo {

// False when the file cannot be opened or read.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& out);
// Creates or replaces the file; false unless every byte was written.
bool writeWholeFile(const std::string& path, const uint8_t* data, size_t size);

}  // namespace velmo
