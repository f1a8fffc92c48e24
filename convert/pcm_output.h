// The encoder's input as MP3 decoding writes it: libmad's fixed-point samples
// turned into 16-bit values, the two channels mixed to one, written as 16-bit
// little-endian samples in blocks of 262144 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "pcm_stream.h"

namespace velmo {

// libmad's fixed-point sample: 28 fraction bits, 1.0 is 0x10000000.
using FixedSample = int32_t;

// 32767 from 1.0 up, -32767 from -1.0 down, otherwise the value shifted right
// by 13 bits, which rounds toward minus infinity (no rounding, no dither).
inline int16_t fixedToPcm16(FixedSample s) {
    if (s >= 0x10000000) return 32767;
    if (s <= -0x10000000) return -32767;
    return static_cast<int16_t>(s >> 13);
}

// The mean of the two channels, truncated toward zero.
inline int16_t mixToMono(int16_t left, int16_t right) {
    return static_cast<int16_t>((static_cast<int>(left) + static_cast<int>(right)) / 2);
}

class PcmBlockWriter {
  public:
    static constexpr size_t kBlockBytes = 262144;  // 131072 samples

    // Writes to `out`, which stays owned by the caller (and must outlive the
    // writer). Null for a null file.
    static std::unique_ptr<PcmBlockWriter> make(std::FILE* out);
    // A sink that hands the samples straight on (an encoder waiting for
    // them) takes smaller blocks: they come sooner and stay in the cache.
    static std::unique_ptr<PcmBlockWriter> make(PcmSink& out, size_t blockBytes = kBlockBytes);

    // Appends `count` mono samples made from one synthesised frame; `right` is
    // null for a single-channel frame. Every full block is written at once.
    // False after a short write; nothing is written from then on.
    bool appendFrame(const FixedSample* left, const FixedSample* right, size_t count);

    // Writes the samples of the last, partly filled block. False after a short
    // write, now or earlier.
    bool finish();

    bool failed() const { return failed_; }

  private:
    PcmBlockWriter(PcmSink& out, size_t blockBytes) : out_(out), block_(blockBytes < 2 ? 2 : blockBytes / 2 * 2) {}
    bool writeBlock(size_t bytes);

    std::unique_ptr<FilePcmSink> file_;  // make(FILE*)'s
    PcmSink& out_;
    std::vector<uint8_t> block_;
    size_t fill_ = 0;
    bool failed_ = false;
};

}  // namespace velmo
