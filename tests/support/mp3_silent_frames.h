// Hand-made MPEG audio frames for the tests: a valid header followed by zero
// side information and zero audio data, which libmad decodes as silence. Tags
// such as "Xing" can then be written into the audio data area.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bytes.h"

namespace velmo::test {

// MPEG-1 layer III, no CRC, joint stereo: 128 kbit/s at 44100 Hz is 417 bytes
// (418 with padding); at 32000 Hz 576 bytes.
constexpr uint8_t kL3Stereo44100[4] = {0xFF, 0xFB, 0x90, 0x44};
constexpr uint8_t kL3Stereo44100Padded[4] = {0xFF, 0xFB, 0x92, 0x44};
constexpr uint8_t kL3Stereo32000[4] = {0xFF, 0xFB, 0x98, 0x44};
// MPEG-1 layer III mono, 128 kbit/s at 44100 Hz: side information is 17 bytes.
constexpr uint8_t kL3Mono44100[4] = {0xFF, 0xFB, 0x90, 0xC4};
// MPEG-2 layer III mono, 64 kbit/s at 22050 Hz: 208 bytes, side information 9 bytes.
constexpr uint8_t kL3Mpeg2Mono22050[4] = {0xFF, 0xF3, 0x80, 0xC4};
// Layer I mono, 32 kbit/s at 32000 Hz: 48 bytes, 52 with padding.
constexpr uint8_t kL1Mono32000[4] = {0xFF, 0xFF, 0x18, 0xC0};
constexpr uint8_t kL1Mono32000Padded[4] = {0xFF, 0xFF, 0x1A, 0xC0};

inline std::vector<uint8_t> silentFrames(const uint8_t (&header)[4], size_t frameBytes, size_t count) {
    std::vector<uint8_t> out(frameBytes * count, 0);
    for (size_t i = 0; i < count; ++i) std::memcpy(&out[i * frameBytes], header, 4);
    return out;
}

// Writes `tag` at `tagAt` and a big-endian frame count at `countAt` of the first frame.
inline void putVbrTag(std::vector<uint8_t>& frames, const char* tag, size_t tagAt, size_t countAt, uint32_t count) {
    std::memcpy(&frames[tagAt], tag, 4);
    writeBe32(&frames[countAt], count);
}

inline std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::string fixture(const std::string& name) { return std::string(VELMO_TEST_DATA) + "/" + name; }
inline std::string vectorFile(const std::string& name) { return std::string(VELMO_VECTORS_DIR) + "/mp3/" + name; }

}  // namespace velmo::test
