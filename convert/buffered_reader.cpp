#include "buffered_reader.h"

#include <cerrno>
#include <cstring>

namespace velmo {

std::unique_ptr<BufferedReader> BufferedReader::make(std::FILE* stream) { return make(stream, UINT64_MAX); }

std::unique_ptr<BufferedReader> BufferedReader::make(std::FILE* stream, uint64_t limit) {
    if (stream == nullptr) return nullptr;
    return std::unique_ptr<BufferedReader>(new BufferedReader(stream, limit));
}

size_t BufferedReader::readFromStream(uint8_t* dest, size_t n) {
    const size_t want = remaining_ < n ? static_cast<size_t>(remaining_) : n;
    if (want == 0) return 0;
    const size_t got = std::fread(dest, 1, want, stream_);
    remaining_ -= got;
    return got;
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
        size_t direct = readFromStream(out + delivered, n - delivered);
        delivered += direct;
        exhausted = direct == 0;
    }
    if (!exhausted) {
        available_ = readFromStream(buffer_.data(), kLookAheadBytes);
        if (available_ != 0) return delivered;
    }
    if (remaining_ == 0 || std::feof(stream_)) {
        atEnd_ = true;
    } else {
        error_ = errno != 0 ? errno : EIO;
        errno = errnoBefore;
    }
    return delivered;
}

}  // namespace velmo
