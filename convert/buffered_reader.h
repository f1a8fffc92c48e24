// A read-ahead reader over an open file: few, large reads from the file, and
// an end flag that is set by the first read that finds nothing more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace velmo {

class BufferedReader {
  public:
    static constexpr size_t kLookAheadBytes = 262144;

    // Reads from `stream`, which stays owned by the caller and must outlive the
    // reader. Returns null when the look-ahead buffer cannot be allocated.
    static std::unique_ptr<BufferedReader> make(std::FILE* stream);
    // The same, delivering no more than `limit` bytes from the stream's
    // current position: the reader ends there as at the end of the file.
    static std::unique_ptr<BufferedReader> make(std::FILE* stream, uint64_t limit);

    // Delivers up to size x count bytes into `dest`; fewer only at the end of
    // the file or on a read error (then see atEnd and error).
    size_t read(void* dest, size_t size, size_t count);

    bool atEnd() const { return atEnd_; }
    int error() const { return error_; }  // errno of a failed read, 0 if none

  private:
    BufferedReader(std::FILE* stream, uint64_t limit) : stream_(stream), buffer_(kLookAheadBytes), remaining_(limit) {}

    size_t readFromStream(uint8_t* dest, size_t n);

    std::FILE* stream_;
    std::vector<uint8_t> buffer_;
    size_t position_ = 0;
    size_t available_ = 0;
    uint64_t remaining_;
    bool atEnd_ = false;
    int error_ = 0;
};

}  // namespace velmo
