// A stand-in encoder library for the binding's tests: it "encodes" a chunk by
// echoing its samples as little-endian bytes, so a test can read back exactly
// which samples each call received, and it fails on request. Built twice: once
// complete, once without beWriteVBRHeader (a library the binding must refuse).
#include <cstdint>
#include <cstring>
#include <ctime>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
struct Control {
    uint32_t samplesPerChunk = 4;
    uint32_t initResult = 0;
    uint32_t failEncodeAtCall = 0;  // 1-based; 0 never
    uint32_t deinitResult = 0;
    uint32_t finalBytes = 4;
    uint32_t microsPerChunk = 0;  // an encoder as slow as a real one, or slower
    uint32_t encodeCalls = 0;
    uint32_t openStreams = 0;
    uint32_t closeCalls = 0;
    uint32_t lastInitRate = 0, lastOutRate = 0, lastKbps = 0, lastMode = 0;
} g;

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
}  // namespace

FAKE_EXPORT void fakeLameSetup(uint32_t samplesPerChunk, uint32_t initResult, uint32_t failEncodeAtCall,
                               uint32_t deinitResult, uint32_t finalBytes) {
    g = Control{};
    g.samplesPerChunk = samplesPerChunk;
    g.initResult = initResult;
    g.failEncodeAtCall = failEncodeAtCall;
    g.deinitResult = deinitResult;
    g.finalBytes = finalBytes;
}

FAKE_EXPORT void fakeLameSlow(uint32_t microsPerChunk) { g.microsPerChunk = microsPerChunk; }

// encode calls, open streams, close calls, and the last record's rates, bit rate and mode.
FAKE_EXPORT void fakeLameCounters(uint32_t out[7]) {
    const uint32_t v[7] = {g.encodeCalls, g.openStreams, g.closeCalls, g.lastInitRate,
                           g.lastOutRate, g.lastKbps,    g.lastMode};
    std::memcpy(out, v, sizeof v);
}

FAKE_EXPORT uint32_t beInitStream(void* config, uint32_t* samples, uint32_t* bufferSize, uintptr_t* stream) {
    const uint8_t* c = static_cast<const uint8_t*>(config);
    g.lastInitRate = le32(c + 12);
    g.lastOutRate = le32(c + 16);
    g.lastMode = le32(c + 20);
    g.lastKbps = le32(c + 24);
    if (g.initResult != 0) return g.initResult;
    *samples = g.samplesPerChunk;
    *bufferSize = g.samplesPerChunk * 2 + 16;
    *stream = 0x5EED;
    ++g.openStreams;
    return 0;
}

FAKE_EXPORT uint32_t beEncodeChunk(uintptr_t, uint32_t count, int16_t* samples, uint8_t* out, uint32_t* outBytes) {
    ++g.encodeCalls;
    if (g.microsPerChunk != 0) {
        const timespec pause{0, static_cast<long>(g.microsPerChunk) * 1000};
        nanosleep(&pause, nullptr);
    }
    if (g.failEncodeAtCall == g.encodeCalls) return 2;
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t s = static_cast<uint16_t>(samples[i]);
        out[2 * i] = static_cast<uint8_t>(s);
        out[2 * i + 1] = static_cast<uint8_t>(s >> 8);
    }
    *outBytes = 2 * count;
    return 0;
}

FAKE_EXPORT uint32_t beDeinitStream(uintptr_t, uint8_t* out, uint32_t* outBytes) {
    if (g.deinitResult != 0) return g.deinitResult;
    std::memset(out, 0xEE, g.finalBytes);
    *outBytes = g.finalBytes;
    return 0;
}

FAKE_EXPORT uint32_t beCloseStream(uintptr_t) {
    ++g.closeCalls;
    if (g.openStreams) --g.openStreams;
    return 0;
}

FAKE_EXPORT void beVersion(void*) {}

#ifndef FAKE_WITHOUT_VBR_HEADER
FAKE_EXPORT uint32_t beWriteVBRHeader(const char*) { return 0; }
#endif
