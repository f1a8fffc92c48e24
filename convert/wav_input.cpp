#include "wav_input.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "fileio.h"

namespace velmo {
namespace {

constexpr size_t kRiffHeaderBytes = 12;
constexpr size_t kChunkHeaderBytes = 8;
constexpr size_t kFormatBodyBytes = 16;
// Streaming block for the data chunk: a multiple of the 4-byte stereo frame,
// so that no frame straddles two blocks.
constexpr size_t kCopyBlockBytes = 262144;
static_assert(kCopyBlockBytes % 4 == 0, "whole stereo frames per block");
constexpr uint32_t kUnknownLength = 0xFFFFFFFF;

struct FormatChunk {
    uint32_t size = 0;  // as declared; the body read is always 16 bytes
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t byteRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
};

// The first chunk after the RIFF header, whatever its name, read as the format.
bool readFormatChunk(std::FILE* f, FormatChunk& fmt) {
    uint8_t b[kRiffHeaderBytes + kChunkHeaderBytes + kFormatBodyBytes];
    if (std::fread(b, 1, sizeof b, f) != sizeof b) return false;
    ByteReader r(b, sizeof b);
    r.skip(kRiffHeaderBytes + 4);
    return r.readLe32(fmt.size) && r.readLe16(fmt.formatTag) && r.readLe16(fmt.channels) &&
           r.readLe32(fmt.sampleRate) && r.readLe32(fmt.byteRate) && r.readLe16(fmt.blockAlign) &&
           r.readLe16(fmt.bitsPerSample);
}

// Walks the chunks after the format chunk until one named "data" (any case)
// and leaves the file at its first byte. Chunk sizes are taken as they stand,
// without rounding odd ones up. Offsets are 64-bit and every step moves
// forward by at least a chunk header, so the walk ends on any input.
bool findDataChunk(std::FILE* f, const FormatChunk& fmt, uint32_t& dataSize) {
    const std::optional<uint64_t> end = fileSize(f);
    if (!end) return false;
    // A format chunk declared shorter than the 16 bytes read ends where they end.
    unsigned long long pos = kRiffHeaderBytes + kChunkHeaderBytes + std::max<uint64_t>(fmt.size, kFormatBodyBytes);
    for (;;) {
        if (pos + kChunkHeaderBytes > *end) return false;
        if (std::fseek(f, static_cast<long>(pos), SEEK_SET) != 0) return false;
        uint8_t h[kChunkHeaderBytes];
        if (std::fread(h, 1, sizeof h, f) != sizeof h) return false;
        const uint32_t size = readLe32(h + 4);
        bool isData = true;
        for (size_t i = 0; i < 4; ++i) {
            if ((h[i] | 0x20) != "data"[i]) isData = false;
        }
        if (isData) {
            // Streaming writers that do not know the length put 0xFFFFFFFF
            // here: such a chunk is the rest of the file, not four gigabytes
            // of which all but what is there would be written as silence.
            const unsigned long long rest = *end - (pos + kChunkHeaderBytes);
            dataSize = size == kUnknownLength ? static_cast<uint32_t>(std::min<unsigned long long>(rest, size)) : size;
            return true;
        }
        pos += kChunkHeaderBytes + static_cast<unsigned long long>(size);
    }
}

}  // namespace

int probeWavLength(const std::string& wavPath, WavLength& length) {
    length.measured = 0;
    length.duration = 0.0;
    FilePtr f = openRegularFileForReading(wavPath);
    if (!f) return kWavProbeRefused;
    FormatChunk fmt;
    // A file too short to hold a format is no 16-bit PCM either.
    if (!readFormatChunk(f.get(), fmt)) return kWavProbeRefused;
    if (fmt.formatTag != 1 || fmt.bitsPerSample != 16) return kWavProbeRefused;
    uint32_t dataSize = 0;
    if (!findDataChunk(f.get(), fmt, dataSize)) return kWavProbeOk;
    const uint32_t channelRate = static_cast<uint32_t>(fmt.channels) * fmt.sampleRate;
    // No channels or no sample rate: no play time to speak of, and no division by zero.
    if (channelRate == 0) return kWavProbeOk;
    length.duration = static_cast<double>(dataSize) / (static_cast<double>(channelRate) * 2.0);
    length.measured = 1;
    return kWavProbeOk;
}

int readWav(const std::string& wavPath, const std::string& pcmPath, WavInfo& info, const std::atomic<bool>* stop) {
    info = WavInfo{};
    FilePtr out = createFileForWriting(pcmPath);
    if (!out) return kWavReadFailed;
    FilePtr in = openRegularFileForReading(wavPath);
    if (!in) return kWavReadFailed;
    FormatChunk fmt;
    if (!readFormatChunk(in.get(), fmt)) return kWavReadFailed;
    info.formatTag = fmt.formatTag;
    info.channels = fmt.channels;
    info.sampleRate = fmt.sampleRate;
    info.byteRate = fmt.byteRate;
    info.blockAlign = fmt.blockAlign;
    info.bitsPerSample = fmt.bitsPerSample;
    uint32_t dataSize = 0;
    if (!findDataChunk(in.get(), fmt, dataSize)) return kWavReadFailed;
    info.frameCount = dataSize / 4;

    std::vector<uint8_t> block(kCopyBlockBytes);
    const bool leftOnly = fmt.channels == 2;
    // Stereo keeps whole frames only: a trailing part frame is dropped.
    uint64_t remaining = leftOnly ? static_cast<uint64_t>(info.frameCount) * 4 : dataSize;
    bool fileHolds = true;
    bool blockSilent = false;
    while (remaining != 0) {
        if (stop != nullptr && stop->load()) return kWavReadFailed;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kCopyBlockBytes));
        const size_t outBytes = leftOnly ? want / 2 : want;
        if (fileHolds) {
            const size_t got = std::fread(block.data(), 1, want, in.get());
            fileHolds = got == want;
            // What the file does not hold of the chunk is written as silence.
            std::memset(block.data() + got, 0, want - got);
            if (leftOnly) {
                uint8_t* b = block.data();
                for (size_t frame = 0; frame < want / 4; ++frame) {
                    b[2 * frame] = b[4 * frame];
                    b[2 * frame + 1] = b[4 * frame + 1];
                }
            }
        } else if (!blockSilent) {
            // Past the end of the file every block is the same silence.
            std::memset(block.data(), 0, kCopyBlockBytes);
            blockSilent = true;
        }
        if (std::fwrite(block.data(), 1, outBytes, out.get()) != outBytes) return kWavReadFailed;
        remaining -= want;
    }
    if (std::fflush(out.get()) != 0) return kWavReadFailed;
    return kWavReadOk;
}

}  // namespace velmo
