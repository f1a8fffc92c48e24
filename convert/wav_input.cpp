#include "wav_input.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "bytes.h"
#include "fileio.h"
#include "pcm_output.h"

namespace velmo {
namespace {

constexpr size_t kRiffHeaderBytes = 12;
constexpr size_t kChunkHeaderBytes = 8;
constexpr size_t kFormatBodyBytes = 16;
// Streaming block for the data chunk: a multiple of the 4-byte stereo frame,
// so that no frame straddles two blocks.
constexpr size_t kCopyBlockBytes = 262144;
static_assert(kCopyBlockBytes % 4 == 0, "whole stereo frames per block");

struct FormatChunk {
    uint64_t bodyPos = 0;  // file offset of the chunk's body
    uint32_t size = 0;     // as declared; the body read is always 16 bytes
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t byteRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
};

bool readAt(std::FILE* f, uint64_t pos, uint8_t* out, size_t n) {
    if (pos > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
    if (::fseeko(f, static_cast<off_t>(pos), SEEK_SET) != 0) return false;
    return std::fread(out, 1, n, f) == n;
}

bool idIs(const uint8_t* id, const char* name) {
    for (size_t i = 0; i < 4; ++i) {
        if ((id[i] | 0x20) != name[i]) return false;
    }
    return true;
}

// Chunk identifiers are four printable ASCII characters.
bool plausibleId(std::FILE* f, uint64_t pos, uint64_t end) {
    uint8_t id[4];
    if (pos + kChunkHeaderBytes > end || !readAt(f, pos, id, sizeof id)) return false;
    return std::all_of(id, id + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

// Where the chunk after the one at `pos` begins. RIFF pads a chunk of odd size
// with one byte that its size does not count; some writers leave the pad out,
// so the unpadded place is taken when only it holds a chunk header.
uint64_t nextChunk(std::FILE* f, uint64_t pos, uint32_t size, uint64_t end) {
    const uint64_t unpadded = pos + kChunkHeaderBytes + size;
    if (size % 2 == 0) return unpadded;
    if (!plausibleId(f, unpadded + 1, end) && plausibleId(f, unpadded, end)) return unpadded;
    return unpadded + 1;
}

// The chunk named "fmt " (any case) before the data chunk; failing that, the
// first chunk after the RIFF header whatever its name, as older readers take
// it. Its first 16 body bytes are the format.
bool readFormatChunk(std::FILE* f, uint64_t end, FormatChunk& fmt) {
    uint64_t at = kRiffHeaderBytes;
    for (uint64_t pos = kRiffHeaderBytes; pos + kChunkHeaderBytes <= end;) {
        uint8_t h[kChunkHeaderBytes];
        if (!readAt(f, pos, h, sizeof h)) break;
        if (idIs(h, "fmt ")) {
            at = pos;
            break;
        }
        if (idIs(h, "data")) break;
        pos = nextChunk(f, pos, readLe32(h + 4), end);
    }
    uint8_t b[kChunkHeaderBytes + kFormatBodyBytes];
    if (!readAt(f, at, b, sizeof b)) return false;
    ByteReader r(b, sizeof b);
    r.skip(4);
    fmt.bodyPos = at + kChunkHeaderBytes;
    return r.readLe32(fmt.size) && r.readLe16(fmt.formatTag) && r.readLe16(fmt.channels) &&
           r.readLe32(fmt.sampleRate) && r.readLe32(fmt.byteRate) && r.readLe16(fmt.blockAlign) &&
           r.readLe16(fmt.bitsPerSample);
}

// Walks the chunks after the format chunk until one named "data" (any case)
// and leaves the file at its first byte. Offsets are 64-bit and every step
// moves forward by at least a chunk header, so the walk ends on any input.
// The data chunk ends at the file's end whatever its size claims: a claim of
// 0xFFFFFFFF (streaming writers that did not know the length) or any other
// past the end would otherwise make gigabytes of silence.
bool findDataChunk(std::FILE* f, uint64_t end, const FormatChunk& fmt, uint32_t& dataSize) {
    // A format chunk declared shorter than the 16 bytes read ends where they end.
    uint64_t pos = fmt.size < kFormatBodyBytes ? fmt.bodyPos + kFormatBodyBytes
                                               : nextChunk(f, fmt.bodyPos - kChunkHeaderBytes, fmt.size, end);
    for (;;) {
        if (pos + kChunkHeaderBytes > end) return false;
        uint8_t h[kChunkHeaderBytes];
        if (!readAt(f, pos, h, sizeof h)) return false;
        const uint32_t size = readLe32(h + 4);
        if (idIs(h, "data")) {
            const uint64_t rest = end - (pos + kChunkHeaderBytes);
            dataSize = static_cast<uint32_t>(std::min<uint64_t>(rest, size));
            return true;
        }
        pos = nextChunk(f, pos, size, end);
    }
}

// Opens the file and reads its format and finds its data chunk. Null when it
// does not open or holds no format; `hasData` tells whether a data chunk was
// found, and the file is then at its first byte.
FilePtr openWav(const std::string& wavPath, FormatChunk& fmt, bool& hasData, uint32_t& dataSize) {
    hasData = false;
    dataSize = 0;
    FilePtr f = openRegularFileForReading(wavPath);
    if (!f) return nullptr;
    const std::optional<uint64_t> size = fileSize(f.get());
    if (!size) return nullptr;
    const uint64_t end = *size;
    if (!readFormatChunk(f.get(), end, fmt)) return nullptr;
    hasData = findDataChunk(f.get(), end, fmt, dataSize);
    return f;
}

}  // namespace

int probeWavLength(const std::string& wavPath, WavLength& length) {
    length.measured = 0;
    length.duration = 0.0;
    FormatChunk fmt;
    bool hasData = false;
    uint32_t dataSize = 0;
    // A file that does not open, or is too short to hold a format, is no 16-bit PCM either.
    FilePtr f = openWav(wavPath, fmt, hasData, dataSize);
    if (!f) return kWavProbeRefused;
    if (fmt.formatTag != 1 || fmt.bitsPerSample != 16) return kWavProbeRefused;
    if (!hasData) return kWavProbeOk;
    const uint32_t channelRate = static_cast<uint32_t>(fmt.channels) * fmt.sampleRate;
    // No channels or no sample rate: no play time to speak of, and no division by zero.
    if (channelRate == 0) return kWavProbeOk;
    length.duration = static_cast<double>(dataSize) / (static_cast<double>(channelRate) * 2.0);
    length.measured = 1;
    return kWavProbeOk;
}

bool wavReaderTakes(const std::string& wavPath) {
    FormatChunk fmt;
    bool hasData = false;
    uint32_t dataSize = 0;
    FilePtr f = openWav(wavPath, fmt, hasData, dataSize);
    return f && hasData && fmt.formatTag == 1 && fmt.bitsPerSample == 16 && (fmt.channels == 1 || fmt.channels == 2) &&
           fmt.sampleRate != 0;
}

int readWav(const std::string& wavPath, const std::string& pcmPath, WavInfo& info, const std::atomic<bool>* stop) {
    info = WavInfo{};
    FilePtr out = createFileForWriting(pcmPath);
    if (!out) return kWavReadFailed;
    FilePcmSink sink(out.get());
    if (readWav(wavPath, sink, info, stop) != kWavReadOk) return kWavReadFailed;
    if (std::fflush(out.get()) != 0) return kWavReadFailed;
    return kWavReadOk;
}

int readWav(const std::string& wavPath, PcmSink& sink, WavInfo& info, const std::atomic<bool>* stop) {
    info = WavInfo{};
    FormatChunk fmt;
    bool hasData = false;
    uint32_t dataSize = 0;
    FilePtr in = openWav(wavPath, fmt, hasData, dataSize);
    if (!in) return kWavReadFailed;
    info.formatTag = fmt.formatTag;
    info.channels = fmt.channels;
    info.sampleRate = fmt.sampleRate;
    info.byteRate = fmt.byteRate;
    info.blockAlign = fmt.blockAlign;
    info.bitsPerSample = fmt.bitsPerSample;
    if (!hasData) return kWavReadFailed;
    info.frameCount = dataSize / 4;
    sink.begin(fmt.sampleRate);

    std::vector<uint8_t> block(kCopyBlockBytes);
    const bool mix = fmt.channels == 2;
    // Stereo keeps whole frames only: a trailing part frame is dropped.
    uint64_t remaining = mix ? static_cast<uint64_t>(info.frameCount) * 4 : dataSize;
    bool fileHolds = true;
    bool blockSilent = false;
    while (remaining != 0) {
        if (stop != nullptr && stop->load()) return kWavReadFailed;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kCopyBlockBytes));
        const size_t outBytes = mix ? want / 2 : want;
        if (fileHolds) {
            const size_t got = std::fread(block.data(), 1, want, in.get());
            fileHolds = got == want;
            // The chunk ends at the file's end; a file that shrinks while it is
            // read gives silence for what it no longer holds.
            std::memset(block.data() + got, 0, want - got);
            if (mix) {
                // Frame f's mono sample lands at byte 2f, never past a frame still to be mixed.
                uint8_t* b = block.data();
                for (size_t frame = 0; frame < want / 4; ++frame) {
                    const auto left = static_cast<int16_t>(readLe16(b + 4 * frame));
                    const auto right = static_cast<int16_t>(readLe16(b + 4 * frame + 2));
                    writeLe16(b + 2 * frame, static_cast<uint16_t>(mixToMono(left, right)));
                }
            }
        } else if (!blockSilent) {
            // Past the end of the shrunk file every block is the same silence.
            std::memset(block.data(), 0, kCopyBlockBytes);
            blockSilent = true;
        }
        if (!sink.write(block.data(), outBytes)) return kWavReadFailed;
        remaining -= want;
    }
    return kWavReadOk;
}

}  // namespace velmo
