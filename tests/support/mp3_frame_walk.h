// Walks the MPEG audio layer III frames of an encoder's output, reading each
// 4-byte header field by field, so tests can check what the encoder made
// without trusting our own decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmo::test {

struct Mp3Frame {
    size_t offset = 0;
    uint32_t length = 0;
    uint32_t bitrateKbps = 0;
    uint32_t sampleRate = 0;
    int mpegVersion = 0;  // 1 or 2 (2.5 counted as 2)
    int channelMode = 0;  // 3 = mono
    bool crc = false;
    bool original = false;
};

// Frames from the first byte on; stops at the first byte that does not start
// a valid layer III frame (`trailing` gets the bytes left over).
inline std::vector<Mp3Frame> walkMp3Frames(const std::vector<uint8_t>& data, size_t* trailing = nullptr) {
    static const uint32_t v1Rates[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const uint32_t v2Rates[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static const uint32_t v1Hz[3] = {44100, 48000, 32000};
    std::vector<Mp3Frame> frames;
    size_t pos = 0;
    while (pos + 4 <= data.size()) {
        const uint8_t* h = data.data() + pos;
        if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) break;
        const int versionBits = (h[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        const int layerBits = (h[1] >> 1) & 3;    // 1 = layer III
        if (versionBits == 1 || layerBits != 1) break;
        const int brIndex = h[2] >> 4, srIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
        if (brIndex == 0 || brIndex == 15 || srIndex == 3) break;
        Mp3Frame f;
        f.offset = pos;
        f.mpegVersion = versionBits == 3 ? 1 : 2;
        f.bitrateKbps = f.mpegVersion == 1 ? v1Rates[brIndex] : v2Rates[brIndex];
        f.sampleRate = versionBits == 3 ? v1Hz[srIndex] : versionBits == 2 ? v1Hz[srIndex] / 2 : v1Hz[srIndex] / 4;
        f.crc = (h[1] & 1) == 0;
        f.channelMode = h[3] >> 6;
        f.original = (h[3] >> 2) & 1;
        const uint32_t coeff = f.mpegVersion == 1 ? 144 : 72;
        f.length = coeff * f.bitrateKbps * 1000 / f.sampleRate + static_cast<uint32_t>(padding);
        if (pos + f.length > data.size()) break;
        frames.push_back(f);
        pos += f.length;
    }
    if (trailing) *trailing = data.size() - pos;
    return frames;
}

inline uint32_t samplesPerFrame(const Mp3Frame& f) { return f.mpegVersion == 1 ? 1152 : 576; }

}  // namespace velmo::test
