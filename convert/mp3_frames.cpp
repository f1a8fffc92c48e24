#include "mp3_frames.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bytes.h"

namespace velmo {
namespace {

// Kilobits per second by version group and layer, index 1 to 14.
constexpr uint16_t kRates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
constexpr uint32_t kMpeg1Hz[3] = {44100, 48000, 32000};

// Frames in a row that make a first frame: a false sync in the bytes before
// the audio is followed by another header of the same stream by chance only
// about once in tens of thousands, three times in a row practically never.
constexpr int kChainFrames = 4;
// While walking, a resynchronisation needs two frames in a row.
constexpr int kResyncFrames = 2;
// How far the walk reads at a time.
constexpr size_t kWindowBytes = 262144;
// The bytes of the first frame that the Xing, Info and VBRI fields lie in.
constexpr size_t kVbrHeaderBytes = 64;
// A Xing or VBRI byte count within this share of the audio's bytes (or one
// of the largest frames) agrees with the file.
constexpr double kByteCountTolerance = 0.02;

uint32_t frameBytesOf(unsigned layer, unsigned versionBits, uint32_t bitRate, uint32_t sampleRate, unsigned pad) {
    if (layer == 1) return (12 * bitRate / sampleRate + pad) * 4;
    if (layer == 3 && versionBits != 3) return 72 * bitRate / sampleRate + pad;
    return 144 * bitRate / sampleRate + pad;
}

// The smallest and largest frame of the stream that `h` starts.
uint32_t smallestFrame(const MpegHeader& h) {
    const unsigned group = h.versionBits == 3 ? 0 : 1;
    return frameBytesOf(h.layer, h.versionBits, kRates[group][h.layer - 1][1] * 1000u, h.sampleRate, 0);
}
uint32_t largestFrame(const MpegHeader& h) {
    const unsigned group = h.versionBits == 3 ? 0 : 1;
    return frameBytesOf(h.layer, h.versionBits, kRates[group][h.layer - 1][14] * 1000u, h.sampleRate, 1);
}

bool sameStream(const MpegHeader& a, const MpegHeader& b) {
    return a.versionBits == b.versionBits && a.layer == b.layer && a.sampleRate == b.sampleRate;
}

// Random reads of the file through one window of its bytes, refilled from
// the position asked for when that lies outside it.
class FileWindow {
  public:
    FileWindow(std::FILE* f, uint64_t size) : file_(f), size_(size) {}

    // The `n` bytes at `pos` (n at most kWindowBytes), or null when they lie
    // past the end or the read fails (failed() then says so).
    const uint8_t* at(uint64_t pos, size_t n) {
        if (pos > size_ || n > size_ - pos || n > kWindowBytes) return nullptr;
        if (pos >= base_ && pos - base_ + n <= length_) return buffer_.data() + (pos - base_);
        if (buffer_.empty()) buffer_.resize(kWindowBytes);
        const uint64_t left = size_ - pos;
        const size_t want = left < kWindowBytes ? static_cast<size_t>(left) : kWindowBytes;
        base_ = pos;
        length_ = 0;
        if (::fseeko(file_, static_cast<off_t>(pos), SEEK_SET) != 0) {
            failed_ = true;
            return nullptr;
        }
        length_ = std::fread(buffer_.data(), 1, want, file_);
        if (length_ < n) {
            failed_ = true;
            return nullptr;
        }
        return buffer_.data();
    }

    // Bytes of the window from `pos` on (0 when pos is outside it).
    size_t heldFrom(uint64_t pos) const {
        return pos >= base_ && pos < base_ + length_ ? static_cast<size_t>(base_ + length_ - pos) : 0;
    }

    bool failed() const { return failed_; }

  private:
    std::FILE* file_;
    uint64_t size_;
    std::vector<uint8_t> buffer_;
    uint64_t base_ = 0;
    size_t length_ = 0;
    bool failed_ = false;
};

// The size of an ID3v2 tag (header, body and footer) whose header is at `h`,
// or 0 when `h` is no such header.
uint64_t id3v2TagBytes(const uint8_t* h) {
    if (std::memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF) return 0;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;
    const uint64_t body = ((static_cast<uint64_t>(h[6]) * 128 + h[7]) * 128 + h[8]) * 128 + h[9];
    return 10 + body + ((h[5] & 0x10) != 0 ? 10 : 0);
}

// The end of the audio: the file's size less the tags at its end, taken off
// one after the other in any order (ID3v1, APE with or without its header,
// Lyrics3 v1 and v2, an appended ID3v2.4 tag).
uint64_t audioEndOf(FileWindow& w, uint64_t start, uint64_t end) {
    for (;;) {
        const uint64_t room = end - start;
        const uint8_t* t;
        if (room >= 128 && (t = w.at(end - 128, 3)) != nullptr && std::memcmp(t, "TAG", 3) == 0) {
            end -= 128;
            continue;
        }
        if (room >= 32 && (t = w.at(end - 32, 32)) != nullptr && std::memcmp(t, "APETAGEX", 8) == 0) {
            const uint64_t size = readLe32(t + 12) + ((readLe32(t + 20) & 0x80000000u) != 0 ? 32u : 0u);
            if (size >= 32 && size <= room) {
                end -= size;
                continue;
            }
        }
        if (room >= 15 && (t = w.at(end - 15, 15)) != nullptr && std::memcmp(t + 6, "LYRICS200", 9) == 0) {
            uint64_t size = 0;
            bool digits = true;
            for (int i = 0; i < 6; ++i) {
                if (t[i] < '0' || t[i] > '9') digits = false;
                size = size * 10 + static_cast<uint64_t>(t[i] - '0');
            }
            if (digits && size + 15 <= room && (t = w.at(end - 15 - size, 11)) != nullptr &&
                std::memcmp(t, "LYRICSBEGIN", 11) == 0) {
                end -= size + 15;
                continue;
            }
        }
        if (room >= 9 && (t = w.at(end - 9, 9)) != nullptr && std::memcmp(t, "LYRICSEND", 9) == 0) {
            // Lyrics3 v1 declares no size: its start is searched within its 5100 bytes at most.
            const uint64_t reach = room - 9 < 5100 + 11 ? room - 9 : 5100 + 11;
            const uint64_t from = end - 9 - reach;
            const uint8_t* body = w.at(from, static_cast<size_t>(reach));
            uint64_t found = UINT64_MAX;
            for (uint64_t i = 0; body != nullptr && i + 11 <= reach; ++i) {
                if (std::memcmp(body + i, "LYRICSBEGIN", 11) == 0) {
                    found = from + i;
                    break;
                }
            }
            if (found != UINT64_MAX) {
                end = found;
                continue;
            }
        }
        if (room >= 10 && (t = w.at(end - 10, 10)) != nullptr && std::memcmp(t, "3DI", 3) == 0 &&
            !((t[6] | t[7] | t[8] | t[9]) & 0x80)) {
            const uint64_t size = 20 + ((static_cast<uint64_t>(t[6]) * 128 + t[7]) * 128 + t[8]) * 128 + t[9];
            if (size <= room) {
                end -= size;
                continue;
            }
        }
        return end;
    }
}

// Whether `count` frames of one stream follow one another from `pos`, the
// last ending at or before `end`; reaching `end` sooner also counts.
bool chainAt(FileWindow& w, uint64_t pos, uint64_t end, int count, MpegHeader& first) {
    const uint8_t* h = w.at(pos, 4);
    if (h == nullptr || !parseMpegHeader(h, first) || first.frameBytes > end - pos) return false;
    uint64_t next = pos + first.frameBytes;
    for (int i = 1; i < count; ++i) {
        if (end - next < 4) return true;
        MpegHeader more;
        h = w.at(next, 4);
        if (h == nullptr || !parseMpegHeader(h, more) || !sameStream(first, more) || more.frameBytes > end - next)
            return false;
        next += more.frameBytes;
    }
    return true;
}

// The first position from `pos` on where a chain of `count` frames starts,
// skipping any ID3v2 tag met on the way by its size when `skipTags`; `end`
// when there is none.
uint64_t findChain(FileWindow& w, uint64_t pos, uint64_t end, int count, bool skipTags, MpegHeader& header) {
    while (pos + 4 <= end) {
        const uint8_t* here = w.at(pos, 4);
        if (here == nullptr) return end;
        if (skipTags && pos + 10 <= end && here[0] == 'I') {
            const uint8_t* tag = w.at(pos, 10);
            const uint64_t size = tag != nullptr ? id3v2TagBytes(tag) : 0;
            if (size != 0 && size <= end - pos) {
                pos += size;
                continue;
            }
        }
        if (here[0] == 0xFF && chainAt(w, pos, end, count, header)) return pos;
        // Straight on to the next 0xFF (or ID3 tag) in what the window holds.
        const size_t span = w.heldFrom(pos + 1);
        const uint8_t* from = span != 0 ? w.at(pos + 1, 1) : nullptr;
        uint64_t step = 1;
        if (from != nullptr) {
            const size_t look = static_cast<size_t>(std::min<uint64_t>(span, end - pos - 1));
            step = look + 1;
            for (size_t i = 0; i < look; ++i) {
                if (from[i] == 0xFF || (skipTags && from[i] == 'I')) {
                    step = i + 1;
                    break;
                }
            }
        }
        pos += step;
    }
    return end;
}

// Whether `frame` (kVbrHeaderBytes long) is a Xing, Info or VBRI frame, with
// the frame count it gives (0 when none) and its byte count (0 when none).
bool vbrHeader(const uint8_t* frame, const MpegHeader& h, uint32_t& frames, uint32_t& bytes) {
    frames = 0;
    bytes = 0;
    if (std::memcmp(frame + 36, "VBRI", 4) == 0) {
        bytes = readBe32(frame + 46);
        frames = readBe32(frame + 50);
        return true;
    }
    // Xing and Info follow the side information, whose size depends on the
    // version and the channels; the usual offsets are tried as well.
    const size_t side = h.versionBits == 3 ? (h.mode == 3 ? 17 : 32) : (h.mode == 3 ? 9 : 17);
    const size_t offsets[] = {4 + side, 36, 21, 13};
    for (size_t at : offsets) {
        if (std::memcmp(frame + at, "Xing", 4) != 0 && std::memcmp(frame + at, "Info", 4) != 0) continue;
        const uint32_t flags = readBe32(frame + at + 4);
        if ((flags & 1) != 0) frames = readBe32(frame + at + 8);
        if ((flags & 2) != 0) bytes = readBe32(frame + at + ((flags & 1) != 0 ? 12 : 8));
        return true;
    }
    return false;
}

// Whether the header frame's count fits the audio that follows it.
bool countAgrees(const Mp3Layout& l, uint32_t frames, uint32_t bytes) {
    if (frames == 0) return false;
    const uint64_t audio = l.audioEnd - l.audioStart - l.first.frameBytes;
    const MpegHeader& h = l.firstAudio;
    // Its frames cannot need more bytes than the file holds, nor far fewer.
    if (static_cast<uint64_t>(frames) * smallestFrame(h) > audio + largestFrame(h)) return false;
    if (static_cast<uint64_t>(frames) * largestFrame(h) + largestFrame(h) < audio) return false;
    if (bytes != 0) {
        // The count of bytes covers the header frame as well as the audio.
        const double whole = static_cast<double>(l.audioEnd - l.audioStart);
        const double off = static_cast<double>(bytes) - whole;
        if ((off < 0 ? -off : off) > whole * kByteCountTolerance + largestFrame(h)) return false;
    }
    return true;
}

// Counts the frames from `pos` to `end` and their samples, as a decoder
// finds them: each frame that follows the one before, whatever its rate (a
// stream may change it mid-way; the decoder goes on), and where one does not
// follow, on from the next two frames in a row.
void walkFrames(FileWindow& w, uint64_t pos, uint64_t end, uint64_t& frames, uint64_t& samples) {
    frames = 0;
    samples = 0;
    while (end - pos >= 4) {
        const uint8_t* h = w.at(pos, 4);
        if (h == nullptr) break;
        MpegHeader f;
        if (parseMpegHeader(h, f)) {
            if (f.frameBytes > end - pos) break;  // cut short: nothing decodes of it
            ++frames;
            samples += f.samples;
            pos += f.frameBytes;
            continue;
        }
        MpegHeader found;
        pos = findChain(w, pos + 1, end, kResyncFrames, false, found);
    }
}

bool locate(FileWindow& w, uint64_t fileSize, Mp3Layout& out) {
    out = Mp3Layout{};
    // The tags before the audio, one after the other.
    uint64_t start = 0;
    for (;;) {
        const uint8_t* h = fileSize - start >= 10 ? w.at(start, 10) : nullptr;
        const uint64_t size = h != nullptr ? id3v2TagBytes(h) : 0;
        if (size == 0 || size > fileSize - start) break;
        start += size;
    }
    out.audioStart = start;
    out.audioEnd = audioEndOf(w, start, fileSize);
    if (w.failed()) return false;
    uint64_t first = findChain(w, start, out.audioEnd, kChainFrames, true, out.first);
    if (first >= out.audioEnd && start != 0 && !w.failed()) {
        // A tag that declares more than it holds: the audio may start inside it.
        first = findChain(w, 0, out.audioEnd, kChainFrames, false, out.first);
    }
    if (first >= out.audioEnd && !w.failed()) {
        // A song of fewer frames than a chain, or frames followed by bytes
        // that are none: two in a row will do.
        first = findChain(w, start, out.audioEnd, kResyncFrames, true, out.first);
    }
    if (w.failed() || first >= out.audioEnd) return false;
    out.found = true;
    out.audioStart = first;
    out.firstAudio = out.first;
    const uint8_t* frame = w.at(first, kVbrHeaderBytes);
    uint32_t frames = 0;
    uint32_t bytes = 0;
    out.vbrHeaderFrame = frame != nullptr && out.first.layer == 3 && vbrHeader(frame, out.first, frames, bytes);
    if (out.vbrHeaderFrame) {
        const uint64_t next = first + out.first.frameBytes;
        const uint8_t* h = out.audioEnd - next >= 4 ? w.at(next, 4) : nullptr;
        MpegHeader audio;
        if (h != nullptr && parseMpegHeader(h, audio) && sameStream(audio, out.first)) out.firstAudio = audio;
    }
    return true;
}

}  // namespace

bool parseMpegHeader(const uint8_t* h, MpegHeader& out) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    const unsigned version = (h[1] >> 3) & 3;
    const unsigned layerBits = (h[1] >> 1) & 3;
    const unsigned rateIndex = h[2] >> 4;
    const unsigned hzIndex = (h[2] >> 2) & 3;
    if (version == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || hzIndex == 3 || (h[3] & 3) == 2)
        return false;
    MpegHeader m;
    m.versionBits = version;
    m.layer = 4 - layerBits;
    m.bitRate = kRates[version == 3 ? 0 : 1][m.layer - 1][rateIndex] * 1000u;
    m.sampleRate = kMpeg1Hz[hzIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    m.padding = (h[2] >> 1) & 1;
    m.mode = h[3] >> 6;
    m.crc = (h[1] & 1) == 0;
    m.frameBytes = frameBytesOf(m.layer, version, m.bitRate, m.sampleRate, m.padding);
    m.samples = m.layer == 1 ? 384 : (m.layer == 3 && version != 3) ? 576 : 1152;
    out = m;
    return true;
}

bool locateMp3Audio(std::FILE* f, uint64_t fileSize, Mp3Layout& out) {
    FileWindow w(f, fileSize);
    return locate(w, fileSize, out);
}

bool measureMp3Frames(std::FILE* f, uint64_t fileSize, Mp3Layout& out) {
    FileWindow w(f, fileSize);
    if (!locate(w, fileSize, out)) return false;
    if (out.vbrHeaderFrame) {
        uint32_t frames = 0;
        uint32_t bytes = 0;
        const uint8_t* frame = w.at(out.audioStart, kVbrHeaderBytes);
        if (frame != nullptr && vbrHeader(frame, out.first, frames, bytes) && countAgrees(out, frames, bytes)) {
            out.frames = frames;
            out.samples = static_cast<uint64_t>(frames) * out.firstAudio.samples;
            out.countFromVbrHeader = true;
            return true;
        }
    }
    const uint64_t from = out.audioStart + (out.vbrHeaderFrame ? out.first.frameBytes : 0);
    uint64_t frames = 0;
    walkFrames(w, from, out.audioEnd, frames, out.samples);
    out.frames = frames > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(frames);
    return !w.failed();
}

}  // namespace velmo
