#include "bytes.h"

#include <cstring>

namespace velmo {

bool ByteReader::readBytes(void* out, size_t n) {
    if (n > remaining()) return false;
    if (n != 0) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return true;
}

}  // namespace velmo
