#include "buffered_reader.h"

#include <cerrno>
#include <cstring>

namespace velmo {

std::unique_ptr<BufferedReader> BufferedReader::make(std::FILE* stream) {
    if (stream == nullptr) return nullptr;
    return std::unique_ptr<BufferedReader>(new BufferedReader(stream));
}

size_t BufferedReader::read(void* dest, size_t size, size_t count) {
    if (dest == nullptr || size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / size) return 0;
    const size_t n = size * count;
    if (atEnd_) return 0;
    if (error_ != 0) {
        errno = error_;
        return 0;
    }

    auto* out = static_cast<uint8_t*>(dest);
    if (available_ > n) {
        std::memcpy(out, buffer_.data() + position_, n);
        position_ += n;
        available_ -= n;
        return n;
    }
    size_t delivered = available_;
    if (delivered != 0) std::memcpy(out, buffer_.data() + position_, delivered);
    position_ = 0;
    available_ = 0;

    const int errnoBefore = errno;
    bool exhausted = false;
    if (delivered < n) {
        // The rest of a large request goes straight from the file to the caller.
        size_t direct = std::fread(out + delivered, 1, n - delivered, stream_);
        delivered += direct;
        exhausted = direct == 0;
    }
    if (!exhausted) {
        available_ = std::fread(buffer_.data(), 1, kLookAheadBytes, stream_);
        if (available_ != 0) return delivered;
    }
    if (std::feof(stream_)) {
        atEnd_ = true;
    } else {
        error_ = errno != 0 ? errno : EIO;
        errno = errnoBefore;
    }
    return delivered;
}

}  // namespace velmo
