#include "clock_form.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "encoder.h"
#include "fileio.h"
#include "songrecord.h"

namespace velmo {

namespace {

// The most bytes one layer III frame can take (MPEG-1, 320 kbit/s, 32 kHz, padded).
constexpr uint32_t kMaxFrameBytes = 1441;
// Tags are looked for at the file's end this many times (an APE tag before
// an ID3v1 tag, Lyrics3 before either ...).
constexpr int kMaxEndTags = 4;
// ID3v2 tags before the audio, one after another.
constexpr int kMaxLeadingTags = 8;

// MPEG version as the header's two bits give it.
constexpr unsigned kMpeg1 = 3;
constexpr unsigned kMpeg2 = 2;  // 0 is MPEG-2.5
constexpr unsigned kLayer3 = 1;
constexpr unsigned kModeMono = 3;

const uint16_t kMpeg1Kbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
const uint16_t kMpeg2Kbps[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
const uint32_t kMpeg1Hz[3] = {44100, 48000, 32000};

// One layer III frame header, field by field.
struct Header {
    unsigned version = 0;
    unsigned layer = 0;
    bool crc = false;  // protected by a CRC (the protection bit is 0)
    unsigned bitrateIndex = 0;
    unsigned rateIndex = 0;
    bool padding = false;
    bool privateBit = false;
    unsigned mode = 0;
    unsigned modeExtension = 0;
    bool copyright = false;
    bool original = false;
    unsigned emphasis = 0;
    uint32_t kbps = 0;
    uint32_t sampleRate = 0;
    uint32_t length = 0;  // the whole frame, header included
};

// False for bytes that start no layer III frame of a known length.
bool readHeader(const uint8_t* h, Header& out) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    out.version = (h[1] >> 3) & 3;
    out.layer = (h[1] >> 1) & 3;
    out.crc = (h[1] & 1) == 0;
    out.bitrateIndex = h[2] >> 4;
    out.rateIndex = (h[2] >> 2) & 3;
    out.padding = ((h[2] >> 1) & 1) != 0;
    out.privateBit = (h[2] & 1) != 0;
    out.mode = h[3] >> 6;
    out.modeExtension = (h[3] >> 4) & 3;
    out.copyright = ((h[3] >> 3) & 1) != 0;
    out.original = ((h[3] >> 2) & 1) != 0;
    out.emphasis = h[3] & 3;
    if (out.version == 1 || out.layer != kLayer3 || out.bitrateIndex == 0 || out.bitrateIndex == 15 ||
        out.rateIndex == 3)
        return false;
    const bool mpeg1 = out.version == kMpeg1;
    out.kbps = mpeg1 ? kMpeg1Kbps[out.bitrateIndex] : kMpeg2Kbps[out.bitrateIndex];
    out.sampleRate = kMpeg1Hz[out.rateIndex] >> (mpeg1 ? 0 : out.version == kMpeg2 ? 1 : 2);
    out.length = (mpeg1 ? 144u : 72u) * out.kbps * 1000u / out.sampleRate + (out.padding ? 1u : 0u);
    return true;
}

// The frame the encoder writes at `kbps` and `sampleRate`: everything but the padding.
bool isClockFrame(const Header& h, uint32_t kbps, uint32_t sampleRate) {
    return h.kbps == kbps && h.sampleRate == sampleRate && h.mode == kModeMono && !h.crc && !h.privateBit &&
           h.modeExtension == 0 && !h.copyright && h.original && h.emphasis == 0;
}

// An Info, Xing or VBRI frame: the stream's description, no audio.
bool isInfoFrame(const Header& h, const uint8_t* frame) {
    const bool mpeg1 = h.version == kMpeg1;
    const bool mono = h.mode == kModeMono;
    const uint32_t sideInfo = mpeg1 ? (mono ? 17u : 32u) : (mono ? 9u : 17u);
    const uint32_t at = 4u + (h.crc ? 2u : 0u) + sideInfo;
    if (at + 4 <= h.length && (std::memcmp(frame + at, "Xing", 4) == 0 || std::memcmp(frame + at, "Info", 4) == 0))
        return true;
    return 36u + 4u <= h.length && std::memcmp(frame + 36, "VBRI", 4) == 0;
}

bool seekTo(std::FILE* f, uint64_t at) {
    return at <= static_cast<uint64_t>(INT64_MAX) && ::fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
}

bool readAt(std::FILE* f, uint64_t at, uint8_t* into, size_t count) {
    return seekTo(f, at) && std::fread(into, 1, count, f) == count;
}

uint32_t syncsafe(const uint8_t* p) {
    return (uint32_t{p[0]} << 21) | (uint32_t{p[1]} << 14) | (uint32_t{p[2]} << 7) | uint32_t{p[3]};
}

// Past the ID3v2 tags at `begin`, each by its declared size; false when one
// claims more than the file holds.
bool skipLeadingTags(std::FILE* f, uint64_t& begin, uint64_t end) {
    for (int n = 0; n < kMaxLeadingTags && begin + 10 <= end; ++n) {
        uint8_t h[10];
        if (!readAt(f, begin, h, sizeof h)) return false;
        if (std::memcmp(h, "ID3", 3) != 0) return true;
        if (h[3] == 0xFF || h[4] == 0xFF || (h[6] | h[7] | h[8] | h[9]) & 0x80) return true;
        const uint64_t size = 10u + uint64_t{syncsafe(h + 6)} + ((h[5] & 0x10) != 0 ? 10u : 0u);
        if (size > end - begin) return false;
        begin += size;
    }
    return true;
}

// Before the ID3v1, APE and Lyrics3 tags at `end`.
bool skipTrailingTags(std::FILE* f, uint64_t begin, uint64_t& end) {
    for (int n = 0; n < kMaxEndTags; ++n) {
        const uint64_t room = end - begin;
        uint8_t t[32];
        if (room >= 128 && readAt(f, end - 128, t, 3) && std::memcmp(t, "TAG", 3) == 0) {
            end -= 128;
            continue;
        }
        if (room >= 32 && readAt(f, end - 32, t, 32) && std::memcmp(t, "APETAGEX", 8) == 0) {
            const uint32_t size = readLe32(t + 12);  // items and footer
            const bool header = (readLe32(t + 20) & 0x80000000u) != 0;
            const uint64_t whole = uint64_t{size} + (header ? 32u : 0u);
            if (size < 32 || whole > room) return false;
            end -= whole;
            continue;
        }
        if (room >= 15 && readAt(f, end - 15, t, 15) && std::memcmp(t + 6, "LYRICS200", 9) == 0) {
            uint64_t size = 0;
            for (int i = 0; i < 6; ++i) {
                if (t[i] < '0' || t[i] > '9') return false;
                size = size * 10 + (t[i] - '0');
            }
            uint8_t b[11];
            if (size + 15 > room || !readAt(f, end - 15 - size, b, sizeof b) || std::memcmp(b, "LYRICSBEGIN", 11) != 0)
                return false;
            end -= size + 15;
            continue;
        }
        return true;
    }
    return true;
}

ClockFormAudio walk(std::FILE* f, uint64_t fileBytes, uint32_t kbps, uint32_t sampleRate,
                    const std::atomic<bool>* stop) {
    ClockFormAudio out;
    uint64_t begin = 0, end = fileBytes;
    if (!skipLeadingTags(f, begin, end) || !skipTrailingTags(f, begin, end)) return out;
    uint8_t frame[kMaxFrameBytes];
    Header h;
    // The first frame may describe the stream instead of holding audio.
    if (begin + 4 <= end && readAt(f, begin, frame, 4) && readHeader(frame, h) && h.length <= end - begin &&
        readAt(f, begin, frame, h.length) && isInfoFrame(h, frame))
        begin += h.length;
    uint64_t at = begin;
    uint32_t frames = 0;
    if (!seekTo(f, at)) return out;
    while (at < end) {
        if ((frames & 1023u) == 0 && stop != nullptr && stop->load()) return out;
        // Frames follow one another: the next header is read where the last ended.
        if (end - at < 4 || std::fread(frame, 1, 4, f) != 4) return out;
        if (!readHeader(frame, h) || !isClockFrame(h, kbps, sampleRate) || h.length > end - at) return out;
        if (::fseeko(f, static_cast<off_t>(h.length - 4), SEEK_CUR) != 0) return out;
        at += h.length;
        // The song's bytes are counted in 32 bits on their way to the clock.
        if (at - begin > UINT32_MAX) return out;
        ++frames;
    }
    if (frames == 0) return out;
    out.inForm = true;
    out.begin = begin;
    out.end = end;
    out.frames = frames;
    return out;
}

}  // namespace

uint32_t clockFormSampleRate(uint16_t quality) {
    if (quality != kQualityBest && quality != kQualityGood && quality != kQualityNormal) return 0;
    // Any input rate but 44100 Hz is told this rate; at 44100 Hz the encoder
    // keeps it (or is told it), which is this same rate at every quality.
    return outputSampleRate(48000, quality);
}

ClockFormAudio findClockFormAudio(const std::string& path, uint16_t quality, const std::atomic<bool>* stop) {
    const uint32_t rate = clockFormSampleRate(quality);
    if (rate == 0) return {};
    FilePtr f = openRegularFileForReading(path);
    if (!f) return {};
    const std::optional<uint64_t> size = fileSize(f.get());
    if (!size) return {};
    return walk(f.get(), *size, quality * 8u, rate, stop);
}

uint16_t clockFormQuality(const std::string& path) {
    FilePtr f = openRegularFileForReading(path);
    if (!f) return 0;
    const std::optional<uint64_t> size = fileSize(f.get());
    if (!size) return 0;
    // One frame header tells which quality can be meant; the walk confirms it.
    for (uint16_t q : {kQualityBest, kQualityGood, kQualityNormal}) {
        if (walk(f.get(), *size, q * 8u, clockFormSampleRate(q), nullptr).inForm) return q;
    }
    return 0;
}

int copyClockFormFrames(const std::string& path, const ClockFormAudio& audio, uint16_t quality, uint8_t cutFlag,
                        uint32_t limit, const std::string& mp3Path, uint32_t& bytesWritten,
                        const std::atomic<bool>* stop, const std::function<void(uint32_t)>& onOutput) {
    const uint32_t rate = clockFormSampleRate(quality);
    if (!audio.inForm || rate == 0) return kCopyNoFile;
    FilePtr in = openRegularFileForReading(path);
    if (!in) return kCopyNoFile;
    FilePtr out(std::fopen(mp3Path.c_str(), "ab"));
    if (!out) return kCopyNoFile;
    // Each frame's bytes are in the file once told, as the encoder's are.
    std::setvbuf(out.get(), nullptr, _IONBF, 0);
    uint8_t frame[kMaxFrameBytes];
    if (!seekTo(in.get(), audio.begin)) return kCopyNoFile;
    uint32_t written = 0;
    uint32_t afterCut = 0;
    bool cut = false;
    uint64_t at = audio.begin;
    for (uint32_t i = 0; i < audio.frames; ++i) {
        if (stop != nullptr && stop->load()) return kCopyStopped;
        // The encoder tests the limit before each chunk's output.
        if (cutFlag && !cut && written >= limit) cut = true;
        if (cut && afterCut++ == kFramesPastCut) break;
        Header h;
        // The file is read again: it must still be what the walk found.
        if (at + 4 > audio.end || std::fread(frame, 1, 4, in.get()) != 4 || !readHeader(frame, h) ||
            !isClockFrame(h, quality * 8u, rate) || h.length > audio.end - at ||
            std::fread(frame + 4, 1, h.length - 4, in.get()) != h.length - 4)
            return kCopyNoFile;
        if (std::fwrite(frame, 1, h.length, out.get()) != h.length) return kCopyWriteFailed;
        at += h.length;
        written += h.length;
        if (onOutput) onOutput(written);
    }
    if (std::fclose(out.release()) != 0) return kCopyWriteFailed;
    bytesWritten = written;
    return kCopyOk;
}

}  // namespace velmo
