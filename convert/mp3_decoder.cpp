#include "mp3_decoder.h"

#include <mad.h>

#include <cstring>
#include <type_traits>
#include <vector>

#include "buffered_reader.h"
#include "bytes.h"
#include "fileio.h"
#include "mp3_frames.h"
#include "pcm_output.h"

namespace velmo {
namespace {

static_assert(std::is_same<mad_fixed_t, FixedSample>::value, "libmad samples are 32-bit");

// Input blocks are large so that file operations are few; the guard after the
// last block lets libmad decode a frame that ends exactly at the end of the file.
constexpr size_t kInputBytes = 524288;
constexpr size_t kGuardBytes = MAD_BUFFER_GUARD;

// libmad's stream, frame and synthesis state for one call.
struct MadState {
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    MadState() {
        mad_stream_init(&stream);
        mad_frame_init(&frame);
        mad_synth_init(&synth);
    }
    ~MadState() {
        mad_synth_finish(&synth);
        mad_frame_finish(&frame);
        mad_stream_finish(&stream);
    }
    MadState(const MadState&) = delete;
    MadState& operator=(const MadState&) = delete;
};

enum class Feed { Frame, End, ReadError, DecodeError };

// Feeds the file to libmad in blocks, carrying the unconsumed tail of a block
// over to the next, and decodes up to the next good frame.
class FrameFeeder {
  public:
    FrameFeeder(std::FILE* file, BufferedReader& reader, uint8_t* input, MadState& mad)
        : file_(file), reader_(reader), input_(input), mad_(mad) {}

    Feed next() {
        mad_stream& s = mad_.stream;
        for (;;) {
            if (s.buffer == nullptr || s.error == MAD_ERROR_BUFLEN) {
                size_t carry = 0;
                if (s.next_frame != nullptr) {
                    carry = static_cast<size_t>(s.bufend - s.next_frame);
                    std::memmove(input_, s.next_frame, carry);
                }
                // carry never exceeds the block: libmad keeps no more than one
                // frame's bytes, and after the guard the reader has nothing left.
                const size_t room = carry < kInputBytes ? kInputBytes - carry : 0;
                const size_t got = reader_.read(input_ + carry, 1, room);
                if (got == 0) {
                    return reader_.error() != 0 || std::ferror(file_) ? Feed::ReadError : Feed::End;
                }
                size_t length = carry + got;
                if (reader_.atEnd()) {
                    std::memset(input_ + length, 0, kGuardBytes);
                    length += kGuardBytes;
                }
                mad_stream_buffer(&s, input_, length);
                s.error = MAD_ERROR_NONE;
            }
            if (mad_frame_decode(&mad_.frame, &s) == 0) return Feed::Frame;
            // Lost sync at the guard (the normal end), bytes before the first
            // frame and damaged frames are all passed over without samples.
            if (MAD_RECOVERABLE(s.error) || s.error == MAD_ERROR_BUFLEN) continue;
            return Feed::DecodeError;
        }
    }

  private:
    std::FILE* file_;
    BufferedReader& reader_;
    uint8_t* input_;
    MadState& mad_;
};

bool usableHeader(const mad_header& h) {
    return h.layer >= MAD_LAYER_I && h.layer <= MAD_LAYER_III && static_cast<int>(h.mode) >= 0 &&
           static_cast<int>(h.mode) <= 3;
}

void recordFirstFrame(const mad_header& h, Mp3Info& info) {
    info.sampleRate = h.samplerate;
    info.layer = static_cast<uint16_t>(h.layer);
    info.bitRate = static_cast<uint32_t>(h.bitrate);
}

std::vector<uint8_t> makeInputBuffer() { return std::vector<uint8_t>(kInputBytes + kGuardBytes); }

// The frames of an open MP3 file into `sink`, the rate told at the first good frame.
int decodeFrames(std::FILE* in, PcmSink& sink, Mp3Info& info, const std::atomic<bool>* stop, size_t blockBytes) {
    // libmad is given the audio alone, from its first frame to the tags at
    // the end: a false sync inside a tag (a cover, a chapter frame) would make
    // it start on a frame of another rate. A Xing, Info or VBRI frame holds
    // no audio (libmad would make a frame of silence of it) and is left out,
    // so that the song decodes to the length its probe measures. Without a
    // first frame found libmad gets what lies between the tags, to make of it
    // what it can.
    const std::optional<uint64_t> size = fileSize(in);
    if (!size) return kMp3DecodeReadFailed;
    Mp3Layout layout;
    locateMp3Audio(in, *size, layout);
    uint64_t start = layout.audioStart;
    if (layout.found && layout.vbrHeaderFrame && layout.audioEnd - start > layout.first.frameBytes)
        start += layout.first.frameBytes;
    if (std::ferror(in) || layout.audioEnd < start || ::fseeko(in, static_cast<off_t>(start), SEEK_SET) != 0)
        return kMp3DecodeReadFailed;
    std::unique_ptr<BufferedReader> reader = BufferedReader::make(in, layout.audioEnd - start);
    std::vector<uint8_t> input = makeInputBuffer();
    std::unique_ptr<PcmBlockWriter> writer = PcmBlockWriter::make(sink, blockBytes);
    if (!reader || !writer) return kMp3DecodeReadFailed;

    MadState mad;
    FrameFeeder feeder(in, *reader, input.data(), mad);
    int result = kMp3DecodeOk;
    bool first = true;
    for (;;) {
        if (stop != nullptr && stop->load()) {
            result = kMp3DecodeStopped;
            break;
        }
        const Feed f = feeder.next();
        if (f == Feed::End) break;
        if (f != Feed::Frame) {
            result = kMp3DecodeReadFailed;
            break;
        }
        const mad_header& h = mad.frame.header;
        if (first) {
            if (!usableHeader(h)) {
                result = kMp3DecodeReadFailed;
                break;
            }
            recordFirstFrame(h, info);
            sink.begin(info.sampleRate);
            first = false;
        }
        mad_synth_frame(&mad.synth, &mad.frame);
        const mad_pcm& pcm = mad.synth.pcm;
        const FixedSample* right = h.mode == MAD_MODE_SINGLE_CHANNEL ? nullptr : pcm.samples[1];
        if (!writer->appendFrame(pcm.samples[0], right, pcm.length)) {
            result = kMp3DecodeWriteFailed;
            break;
        }
    }
    if (result == kMp3DecodeStopped) return result;
    if (result != kMp3DecodeWriteFailed && !writer->finish()) result = kMp3DecodeWriteFailed;
    return result;
}

// Into a sink that an encoder reads at once: a few frames at a time.
constexpr size_t kStreamBlockBytes = 16384;

// A record reused from an earlier song must not lend this one its rate.
void forgetFirstFrame(Mp3Info& info) {
    info.sampleRate = 0;
    info.layer = 0;
    info.bitRate = 0;
}

}  // namespace

int decodeMp3(const std::string& mp3Path, const std::string& pcmPath, Mp3Info& info, const std::atomic<bool>* stop) {
    forgetFirstFrame(info);
    FilePtr in = openRegularFileForReading(mp3Path);
    if (!in) return kMp3DecodeReadFailed;
    FilePtr out = createFileForWriting(pcmPath);
    if (!out) return kMp3DecodeReadFailed;
    FilePcmSink sink(out.get());
    int result = decodeFrames(in.get(), sink, info, stop, PcmBlockWriter::kBlockBytes);
    if (result == kMp3DecodeStopped) return result;
    if (std::fflush(out.get()) != 0 && result == kMp3DecodeOk) result = kMp3DecodeWriteFailed;
    return result;
}

int decodeMp3(const std::string& mp3Path, PcmSink& sink, Mp3Info& info, const std::atomic<bool>* stop) {
    forgetFirstFrame(info);
    FilePtr in = openRegularFileForReading(mp3Path);
    if (!in) return kMp3DecodeReadFailed;
    return decodeFrames(in.get(), sink, info, stop, kStreamBlockBytes);
}

uint32_t mp3TagSize(const std::string& mp3Path) {
    FilePtr f = openRegularFileForReading(mp3Path);
    if (!f) return 0;
    uint32_t size = 0;
    uint8_t head[10];
    if (std::fread(head, 1, sizeof head, f.get()) == sizeof head && std::memcmp(head, "ID3", 3) == 0) {
        // The size bytes are taken whole, as the clock's software always has:
        // at most 255 x (128^3 + 128^2 + 128 + 1) + 10, which fits 32 bits.
        size = ((static_cast<uint32_t>(head[6]) * 128 + head[7]) * 128 + head[8]) * 128 + head[9] + 10;
    }
    uint8_t tail[10];
    if (fileSize(f.get()).value_or(0) >= 128 && std::fseek(f.get(), -128, SEEK_END) == 0 &&
        std::fread(tail, 1, sizeof tail, f.get()) == sizeof tail && std::memcmp(tail, "TAG", 3) == 0) {
        size += 128;
    }
    return size;
}

int probeMp3Length(const std::string& mp3Path, Mp3Info& info) {
    info = Mp3Info{};
    FilePtr in = openRegularFileForReading(mp3Path);
    if (!in) return kMp3ProbeNoFile;
    const std::optional<uint64_t> size = fileSize(in.get());
    if (!size) return kMp3ProbeFailed;
    Mp3Layout layout;
    const bool measured = measureMp3Frames(in.get(), *size, layout);
    if (!layout.found) return std::ferror(in.get()) ? kMp3ProbeFailed : kMp3ProbeOk;
    // The audio's own header: a Xing or Info frame may be written at another bit rate.
    const MpegHeader& h = layout.firstAudio;
    info.sampleRate = h.sampleRate;
    info.layer = static_cast<uint16_t>(h.layer);
    info.bitRate = h.bitRate;
    if (!measured) return kMp3ProbeFailed;
    info.frameCount = layout.frames;
    // Frames at another rate further on are decoded all the same, and their
    // samples go to the encoder at the first frame's rate.
    info.duration = static_cast<double>(layout.samples) / h.sampleRate;
    return kMp3ProbeOk;
}

}  // namespace velmo
