// Byte-order helpers and a bounded reader for the binary formats of the
// system: the song table file (little-endian), the clock's storage header and
// the agent's parameter block (big-endian).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmo {

inline uint16_t readLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t readLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t readBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t readBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void writeLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void writeLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void writeBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void writeBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The clock and its agent take numbers most significant byte first. These
// reverse a value so that a little-endian host's store of the result puts the
// bytes in that order (0x4000 is stored as 00 00 40 00).
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the host stores integers little-endian");
inline uint32_t toBigEndian32(uint32_t v) { return __builtin_bswap32(v); }
inline uint16_t toBigEndian16(uint16_t v) { return __builtin_bswap16(v); }

// Reads fields in order from a buffer of known length. Every read past the end
// fails and leaves the cursor where it was; nothing returns 0 for missing bytes.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t position() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }

    bool skip(size_t n) {
        if (n > remaining()) return false;
        pos_ += n;
        return true;
    }
    bool readBytes(void* out, size_t n);
    bool readLe16(uint16_t& v) { return read(v, 2, velmo::readLe16); }
    bool readLe32(uint32_t& v) { return read(v, 4, velmo::readLe32); }
    bool readBe16(uint16_t& v) { return read(v, 2, velmo::readBe16); }
    bool readBe32(uint32_t& v) { return read(v, 4, velmo::readBe32); }
    bool readU8(uint8_t& v) {
        if (remaining() < 1) return false;
        v = data_[pos_++];
        return true;
    }

  private:
    template <typename T, typename F>
    bool read(T& v, size_t n, F f) {
        if (remaining() < n) return false;
        v = f(data_ + pos_);
        pos_ += n;
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace velmo
