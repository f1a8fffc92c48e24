#include "fileio.h"

#include <fstream>
#include <iterator>

namespace velmo {

bool readWholeFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeWholeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    if (size != 0) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    return !out.fail();
}

}  // namespace velmo
