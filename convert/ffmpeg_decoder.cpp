#include "ffmpeg_decoder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "bytes.h"
#include "ffmpeg_decoder_file.h"
#include "fileio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace velmo {
namespace {

constexpr int kIoBufferBytes = 65536;
// A probe gives up on a stream when this many of its packets have come and
// none has decoded: a damaged file is refused without reading all of it.
constexpr int kProbePacketsWithoutFrame = 256;
// Bytes read from the file without audio coming out of it: a decoded frame,
// or once one has been, a packet of the song's stream with a duration. A
// parser that finds no frame in what it is given (gigabytes of zeros behind a
// header that claims 4 GiB) keeps reading to the end of the file; no song has
// this much between two pieces of audio, so the file ends there.
constexpr uint64_t kMaxBytesWithoutAudio = 16u << 20;
// libswresample handles at most this many channels.
constexpr int kMaxChannels = 64;
// The highest rate of real recordings (768 kHz PCM). A damaged header can
// claim billions of samples per second, and the filter that resamples such a
// rate to 48 kHz would take gigabytes.
constexpr int kMaxSourceRate = 768000;
// A container's duration is checked against the bytes its packets up to the
// first that decodes take for their time: a duration whose audio would need
// more than this many times the file's bytes at that rate is not the song's.
constexpr double kImplausibleBytesFactor = 3.0;
// Counting a song's samples by decoding it stops here; what is left is
// reckoned from the bytes not yet read.
constexpr std::chrono::seconds kCountingTime{10};

struct IoDeleter {
    void operator()(AVIOContext* io) const {
        // The buffer may have been replaced by libavformat: free the current one.
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FormatDeleter {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using IoPtr = std::unique_ptr<AVIOContext, IoDeleter>;
using FormatPtr = std::unique_ptr<AVFormatContext, FormatDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// The file, its demuxer and the decoder of the stream chosen. Members are
// released in reverse order: the decoder, the demuxer, our I/O, the file.
struct Input {
    FilePtr file;
    // A read of the file failed. What av_read_frame answers does not tell
    // this reliably: avio marks a failed read as the end of the file too
    // (eof_reached), so a demuxer may answer AVERROR_EOF, others answer
    // AVERROR(EIO), and packets read ahead still come first. Once set it
    // stays set, and the operation fails whatever the demuxer made of it.
    bool readFailed = false;
    // The file's size, taken once when it is opened: demuxers ask for it at
    // every packet, and a stat per packet made a file that claims more than
    // it holds take minutes to be read to its end.
    std::optional<uint64_t> size;
    // Bytes read since the last audio (kMaxBytesWithoutAudio), or since the open.
    uint64_t readSinceAudio = 0;
    IoPtr io;
    FormatPtr format;
    CodecPtr codec;
    int streamIndex = -1;
};

// AVIO's read callback: the bytes read, AVERROR_EOF at the real end of the
// file, and AVERROR(EIO) (recorded in the Input) when the read fails. Bytes
// that arrived before a failure are delivered; the failure is reported by the
// next call, which finds nothing.
int readFromFile(void* opaque, uint8_t* buf, int size) {
    auto* in = static_cast<Input*>(opaque);
    if (in->readFailed) return AVERROR(EIO);
    if (size <= 0) return 0;
    if (in->readSinceAudio >= kMaxBytesWithoutAudio) return AVERROR_EOF;
    std::FILE* f = in->file.get();
    // A flag left by an earlier call must not decide this one.
    std::clearerr(f);
    const size_t got = std::fread(buf, 1, static_cast<size_t>(size), f);
    in->readSinceAudio += got;
    if (got > 0) return static_cast<int>(got);
    if (std::ferror(f)) {
        in->readFailed = true;
        return AVERROR(EIO);
    }
    return AVERROR_EOF;
}

int64_t seekInFile(void* opaque, int64_t offset, int whence) {
    const Input* in = static_cast<Input*>(opaque);
    std::FILE* f = in->file.get();
    if (whence & AVSEEK_SIZE) {
        if (!in->size || *in->size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return AVERROR(EIO);
        return static_cast<int64_t>(*in->size);
    }
    whence &= ~AVSEEK_FORCE;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
    if (::fseeko(f, static_cast<off_t>(offset), whence) != 0) return AVERROR(EIO);
    return static_cast<int64_t>(::ftello(f));
}

// A song is one file: playlists, HLS, concat lists and references inside an
// MP4 must not make the demuxer open other files or reach the network.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

// The demuxers of the audio containers a song file may be (the song
// extensions), by libavformat's names. Anything else a probe recognises is
// refused before its header is read: an SDP text, an RTSP or HLS description
// or a concat list would open sockets or other files on its own, past
// io_open. "mp3" reads MP2 too; "mov" is MP4/M4A, "asf" WMA, "ogg" Opus too.
constexpr const char* kAudioDemuxers = "wav,flac,ogg,mov,aac,aiff,asf,wv,ape,matroska,mp3,ac3,eac3,caf,au";
// No protocol is allowed: our AVIO reader is the only input, and a demuxer
// that tries to open a URL of its own (udp, rtp, tcp, file ...) is refused.
// "none" names no protocol; an empty list would be taken as no list at all
// by some of libavformat's checks.
constexpr const char* kNoProtocols = "none";

void quietLibraries() {
    // Damaged songs are refused with our own message; FFmpeg's notes on
    // standard error would only clutter the terminal.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// The result of an open that did not succeed: a failed read of the file, or
// content that is not a song.
int openFailure(const Input& in) { return in.readFailed ? kFfmpegReadFailed : kFfmpegRefused; }

// Opens `in.file` (already set) as far as the container's header: our I/O
// and the demuxer, which has read the container's own tags by then.
int openContainer(Input& in) {
    quietLibraries();
    in.size = fileSize(in.file.get());
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
    if (buffer == nullptr) return kFfmpegRefused;
    AVIOContext* io = avio_alloc_context(buffer, kIoBufferBytes, 0, &in, readFromFile, nullptr, seekInFile);
    if (io == nullptr) {
        av_free(buffer);
        return kFfmpegRefused;
    }
    in.io.reset(io);
    AVFormatContext* format = avformat_alloc_context();
    if (format == nullptr) return kFfmpegRefused;
    format->pb = io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->io_open = refuseNestedOpen;
    // No file name: the container is told by its content, never by an
    // extension that may lie. On failure the context is freed and nulled.
    AVDictionary* options = nullptr;
    if (av_dict_set(&options, "format_whitelist", kAudioDemuxers, 0) < 0 ||
        av_dict_set(&options, "protocol_whitelist", kNoProtocols, 0) < 0) {
        av_dict_free(&options);
        avformat_free_context(format);
        return kFfmpegRefused;
    }
    const int opened = avformat_open_input(&format, "", nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) return openFailure(in);
    in.format.reset(format);
    return kFfmpegOk;
}

// Opens `in.file` (already set): the container (openContainer), and the
// decoder of the audio stream FFmpeg rates best, chosen as FFmpeg's
// demux_decode example does (av_find_best_stream: the default stream first,
// then the one with more frames seen while the file was analysed, then the
// higher bit rate; audio streams without a decoder, a rate or channels are
// passed over). Every other stream is discarded.
int openInput(Input& in) {
    if (const int opened = openContainer(in); opened != kFfmpegOk) return opened;
    AVFormatContext* format = in.format.get();
    if (avformat_find_stream_info(format, nullptr) < 0 || in.readFailed) return openFailure(in);

    const AVCodec* decoder = nullptr;
    const int best = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (best < 0 || decoder == nullptr) return kFfmpegRefused;
    in.streamIndex = best;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != in.streamIndex) format->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVCodecParameters* par = format->streams[in.streamIndex]->codecpar;
    in.codec.reset(avcodec_alloc_context3(decoder));
    if (!in.codec) return kFfmpegRefused;
    if (avcodec_parameters_to_context(in.codec.get(), par) < 0) return kFfmpegRefused;
    if (avcodec_open2(in.codec.get(), decoder, nullptr) < 0) return kFfmpegRefused;
    if (in.codec->sample_rate <= 0 || in.codec->sample_rate > kMaxSourceRate) return kFfmpegRefused;
    return kFfmpegOk;
}

enum class NextPacket { Packet, End, Failed };

// The next packet of the file (of any stream). A failed read of the file is a
// failure whatever av_read_frame answered; so is memory running out. Every
// other end is the end of the song: AVERROR_EOF, and the codes with which a
// demuxer stops at data it cannot go past (a file cut short or damaged), as
// the ffmpeg program without -xerror does; what came before is the song.
NextPacket readPacket(Input& in, AVPacket* packet) {
    const int r = av_read_frame(in.format.get(), packet);
    if (in.readFailed || r == AVERROR(ENOMEM)) return NextPacket::Failed;
    return r >= 0 ? NextPacket::Packet : NextPacket::End;
}

bool frameIsUsable(const AVFrame* f) {
    return f->nb_samples > 0 && f->sample_rate > 0 && f->sample_rate <= kMaxSourceRate &&
           f->ch_layout.nb_channels > 0 && f->ch_layout.nb_channels <= kMaxChannels;
}

// Turns decoded frames of any sample format, channel count and rate into mono
// 16-bit PCM at one fixed rate, written to the output file as it comes. Its
// operations return kFfmpegOk, kFfmpegWriteFailed when the file cannot be
// written, or kFfmpegReadFailed when the resampler fails; after a failure
// every call returns it.
class MonoWriter {
  public:
    MonoWriter(PcmSink& out, uint32_t outRate) : out_(out), outRate_(outRate) {}

    bool wroteSamples() const { return written_ > 0; }

    // A frame of no use (no samples, a rate or channel count out of range) is passed over.
    int write(const AVFrame* f) {
        if (result_ != kFfmpegOk) return result_;
        if (!frameIsUsable(f)) return kFfmpegOk;
        if (!configuredFor(f)) {
            // The stream changed its rate, sample format or channel count: the
            // samples the old resampler still holds come before the new frame.
            if (swr_ && drain() != kFfmpegOk) return result_;
            if (!configure(f)) return fail(kFfmpegReadFailed);
        }
        const int room = swr_get_out_samples(swr_.get(), f->nb_samples);
        if (room < 0) return fail(kFfmpegReadFailed);
        return convert(const_cast<const uint8_t**>(reinterpret_cast<uint8_t* const*>(f->extended_data)), f->nb_samples,
                       room);
    }

    // The end of the song: the samples the resampler still holds.
    int finish() { return swr_ && result_ == kFfmpegOk ? drain() : result_; }

  private:
    int fail(int result) {
        result_ = result;
        return result_;
    }

    // Flushes the resampler (swr_convert without input) into the file.
    int drain() {
        for (;;) {
            const int room = swr_get_out_samples(swr_.get(), 0);
            if (room < 0) return fail(kFfmpegReadFailed);
            if (room == 0) return kFfmpegOk;
            const int64_t before = written_;
            if (convert(nullptr, 0, room) != kFfmpegOk) return result_;
            if (written_ == before) return kFfmpegOk;
        }
    }

    bool configuredFor(const AVFrame* f) const {
        return swr_ && f->format == inFormat_ && f->sample_rate == inRate_ && f->ch_layout.nb_channels == channels_;
    }

    bool configure(const AVFrame* f) {
        // Only the count of channels matters (every channel is mixed in with
        // the same weight), so the plain layout of that count serves both
        // sides and the resampler never remixes.
        AVChannelLayout layout;
        av_channel_layout_default(&layout, f->ch_layout.nb_channels);
        SwrContext* raw = nullptr;
        const int r = swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_S16, static_cast<int>(outRate_), &layout,
                                          static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&layout);
        swr_.reset(raw);
        if (r < 0 || !swr_ || swr_init(swr_.get()) < 0) {
            swr_.reset();
            return false;
        }
        inFormat_ = f->format;
        inRate_ = f->sample_rate;
        channels_ = f->ch_layout.nb_channels;
        return true;
    }

    int convert(const uint8_t** in, int inSamples, int room) {
        const size_t values = static_cast<size_t>(room) * static_cast<size_t>(channels_);
        if (interleaved_.size() < values) interleaved_.resize(values);
        uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(interleaved_.data())};
        const int got = swr_convert(swr_.get(), outPlanes, room, in, inSamples);
        if (got < 0) return fail(kFfmpegReadFailed);
        const size_t n = static_cast<size_t>(got);
        bytes_.resize(2 * n);
        const int16_t* s = interleaved_.data();
        for (size_t i = 0; i < n; ++i) {
            int sum = 0;
            for (int c = 0; c < channels_; ++c) sum += s[i * static_cast<size_t>(channels_) + static_cast<size_t>(c)];
            // Integer division truncates toward zero, as the MP3 path's mix does.
            writeLe16(&bytes_[2 * i], static_cast<uint16_t>(static_cast<int16_t>(sum / channels_)));
        }
        if (n != 0 && !out_.write(bytes_.data(), bytes_.size())) return fail(kFfmpegWriteFailed);
        written_ += got;
        return kFfmpegOk;
    }

    PcmSink& out_;
    uint32_t outRate_;
    SwrPtr swr_;
    int inFormat_ = -1;
    int inRate_ = 0;
    int channels_ = 0;
    int64_t written_ = 0;
    int result_ = kFfmpegOk;
    std::vector<int16_t> interleaved_;
    std::vector<uint8_t> bytes_;
};

// Whether a decoder's error says that decoding cannot go on (memory ran out)
// rather than that one packet is damaged. Decoders report damaged data with
// several codes, not only AVERROR_INVALIDDATA: AVERROR_PATCHWELCOME for a
// feature a damaged header seems to ask for, -1 from older decoders, and
// others; so every other error passes the packet over, as the ffmpeg program
// does without -xerror.
bool decoderCannotGoOn(int error) { return error == AVERROR(ENOMEM); }

// Hands every frame the decoder has ready to `onFrame` (which returns a
// result: anything but kFfmpegOk ends the decoding) until the decoder wants
// the next packet (AVERROR(EAGAIN)) or, after the end was sent, has given its
// last frame (AVERROR_EOF); `drained` says whether it got that far. A damaged
// packet ends the frames taken this time, as in the ffmpeg program.
template <typename OnFrame>
int receiveFrames(AVCodecContext* codec, AVFrame* frame, OnFrame& onFrame, bool& drained) {
    drained = false;
    for (;;) {
        const int r = avcodec_receive_frame(codec, frame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) {
            drained = true;
            return kFfmpegOk;
        }
        if (r < 0) return decoderCannotGoOn(r) ? kFfmpegReadFailed : kFfmpegOk;
        const int result = onFrame(frame);
        av_frame_unref(frame);
        if (result != kFfmpegOk) return result;
    }
}

// Sends one packet (null: the end, after which the decoder gives the frames it
// still holds) and hands every frame that comes to `onFrame`. A packet that
// does not decode is passed over.
template <typename OnFrame>
int decodePacket(AVCodecContext* codec, const AVPacket* packet, AVFrame* frame, OnFrame&& onFrame) {
    bool drained = false;
    int sent = avcodec_send_packet(codec, packet);
    while (sent == AVERROR(EAGAIN)) {
        // The decoder holds frames not yet taken: take them, then send the
        // packet again. Once every frame is taken it must accept the packet.
        const int r = receiveFrames(codec, frame, onFrame, drained);
        if (r != kFfmpegOk) return r;
        sent = avcodec_send_packet(codec, packet);
        if (sent == AVERROR(EAGAIN) && drained) return kFfmpegReadFailed;
    }
    if (sent < 0 && decoderCannotGoOn(sent)) return kFfmpegReadFailed;
    // Frames are taken after a packet passed over too: at the end, the
    // decoder's last frames may follow a damaged one.
    return receiveFrames(codec, frame, onFrame, drained);
}

double secondsOf(int64_t ticks, AVRational timeBase) { return static_cast<double>(ticks) * av_q2d(timeBase); }

}  // namespace

uint32_t ffmpegPcmRate(uint32_t sourceRate) {
    if (sourceRate <= kMaxEncoderRate) return sourceRate;
    return sourceRate % 44100 == 0 ? 44100 : kMaxEncoderRate;
}

int readFfmpegTags(const std::string& path, FfmpegTags& tags) {
    tags = FfmpegTags{};
    FilePtr file = openRegularFileForReading(path);
    if (!file) return kFfmpegNoFile;
    Input in;
    in.file = std::move(file);
    if (const int opened = openContainer(in); opened != kFfmpegOk) return opened;
    if (in.readFailed) return kFfmpegReadFailed;
    const AVDictionary* metadata = in.format->metadata;
    // Keys are matched without regard to case: Matroska's are upper case.
    if (const AVDictionaryEntry* title = av_dict_get(metadata, "title", nullptr, 0)) tags.title = title->value;
    for (const char* key : {"artist", "author"}) {
        // A key given more than once (ID3v2.4's values) is one value each.
        for (const AVDictionaryEntry* e = av_dict_get(metadata, key, nullptr, 0); e != nullptr;
             e = av_dict_get(metadata, key, e, 0)) {
            if (e->value[0] == '\0') continue;
            if (!tags.artist.empty()) tags.artist += ", ";
            tags.artist += e->value;
        }
        if (!tags.artist.empty()) break;
    }
    return kFfmpegOk;
}

int probeFfmpegLength(const std::string& path, FfmpegInfo& info) {
    return probeFfmpegFile(openRegularFileForReading(path), info);
}

int probeFfmpegFile(FilePtr file, FfmpegInfo& info) {
    info = FfmpegInfo{};
    if (!file) return kFfmpegNoFile;
    Input in;
    in.file = std::move(file);
    const int opened = openInput(in);
    if (opened != kFfmpegOk) return opened;
    AVFormatContext* format = in.format.get();
    const AVStream* st = format->streams[in.streamIndex];

    // A duration guessed from the bit rate is no length; a scan of the packets is.
    bool containerKnows = format->duration != AV_NOPTS_VALUE && format->duration > 0 &&
                          format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
    const double claimed = containerKnows ? static_cast<double>(format->duration) / AV_TIME_BASE : 0.0;
    const int64_t fileBytes = avio_size(format->pb);
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) return kFfmpegRefused;
    bool decoded = false;
    int packetsWithoutFrame = 0;
    int64_t packetBytes = 0;
    int64_t first = std::numeric_limits<int64_t>::max();
    int64_t end = std::numeric_limits<int64_t>::min();
    int64_t summed = 0;
    // Counting: the container's duration was not believed, and the samples
    // that decode are added up instead (as they come, without resampling);
    // `countedBefore` holds the time of the packets read before counting began.
    bool counting = false;
    double countedBefore = 0.0;
    double counted = 0.0;
    bool cutShort = false;
    const auto deadline = std::chrono::steady_clock::now() + kCountingTime;
    auto onFrame = [&decoded, &counting, &counted, &in](const AVFrame* f) {
        if (frameIsUsable(f)) {
            decoded = true;
            in.readSinceAudio = 0;
            if (counting) counted += static_cast<double>(f->nb_samples) / f->sample_rate;
        }
        return kFfmpegOk;
    };
    for (;;) {
        const NextPacket next = readPacket(in, packet.get());
        // No length from a stream whose read failed (as far as the probe read it).
        if (next == NextPacket::Failed) return kFfmpegReadFailed;
        if (next == NextPacket::End) break;
        if (packet->stream_index == in.streamIndex) {
            packetBytes += packet->size;
            if (decoded && packet->duration > 0) in.readSinceAudio = 0;
            const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (packet->duration > 0 && summed <= std::numeric_limits<int64_t>::max() - packet->duration)
                summed += packet->duration;
            if (start != AV_NOPTS_VALUE) {
                first = std::min(first, start);
                if (packet->duration > 0 && start <= std::numeric_limits<int64_t>::max() - packet->duration)
                    end = std::max(end, start + packet->duration);
            }
            if (!decoded || counting) {
                const int r = decodePacket(in.codec.get(), packet.get(), frame.get(), onFrame);
                if (r != kFfmpegOk) return r;
                if (!decoded && ++packetsWithoutFrame >= kProbePacketsWithoutFrame) break;
            }
        }
        av_packet_unref(packet.get());
        if (counting && std::chrono::steady_clock::now() > deadline) {
            cutShort = true;
            break;
        }
        const double sampled = secondsOf(summed, st->time_base);
        if (decoded && containerKnows && !counting) {
            // The first packets' bytes for their time, over the whole claimed
            // duration: a header that claims more than the file's bytes can
            // hold (a damaged or lying one) is not the song's length. No more
            // of the file is read for it than for the first frame.
            const bool holds = !(sampled > 0.0) || fileBytes <= 0 ||
                               static_cast<double>(packetBytes) / sampled * claimed <=
                                   kImplausibleBytesFactor * static_cast<double>(fileBytes);
            if (holds) break;
            containerKnows = false;
            counting = true;
            countedBefore = sampled;
        }
    }
    av_packet_unref(packet.get());
    if (!decoded || counting) {
        // Decoders that need several packets before their first frame give it at the end.
        const int r = decodePacket(in.codec.get(), nullptr, frame.get(), onFrame);
        if (r != kFfmpegOk) return r;
    }
    if (!decoded) return kFfmpegRefused;

    double seconds = 0.0;
    if (containerKnows) {
        seconds = claimed;
    } else if (counting) {
        seconds = countedBefore + counted;
        // Out of time: the bytes not yet read are taken to hold as much a byte.
        const int64_t at = avio_tell(format->pb);
        if (cutShort && at > 0 && fileBytes > at) seconds *= static_cast<double>(fileBytes) / static_cast<double>(at);
    } else if (end > first) {
        seconds = secondsOf(end - first, st->time_base);
    } else {
        seconds = secondsOf(summed, st->time_base);
    }
    if (!(seconds > 0.0)) return kFfmpegRefused;
    info.sourceRate = static_cast<uint32_t>(in.codec->sample_rate);
    info.sampleRate = ffmpegPcmRate(info.sourceRate);
    info.channels = static_cast<uint16_t>(std::clamp(in.codec->ch_layout.nb_channels, 0, 0xFFFF));
    info.duration = seconds;
    info.codec = avcodec_get_name(in.codec->codec_id);
    return kFfmpegOk;
}

int decodeFfmpeg(const std::string& path, const std::string& pcmPath, FfmpegInfo& info, const std::atomic<bool>* stop) {
    return decodeFfmpegFile(openRegularFileForReading(path), pcmPath, info, stop);
}

int decodeFfmpeg(const std::string& path, PcmSink& sink, FfmpegInfo& info, const std::atomic<bool>* stop) {
    return decodeFfmpegFile(openRegularFileForReading(path), sink, info, stop);
}

int decodeFfmpegFile(FilePtr file, const std::string& pcmPath, FfmpegInfo& info, const std::atomic<bool>* stop) {
    info.sourceRate = 0;
    info.sampleRate = 0;
    info.channels = 0;
    FilePtr out = createFileForWriting(pcmPath);
    if (!out) return kFfmpegWriteFailed;
    FilePcmSink sink(out.get());
    const int r = decodeFfmpegFile(std::move(file), sink, info, stop);
    if (r != kFfmpegOk) return r;
    if (std::fflush(out.get()) != 0) return kFfmpegWriteFailed;
    return r;
}

int decodeFfmpegFile(FilePtr file, PcmSink& sink, FfmpegInfo& info, const std::atomic<bool>* stop) {
    info.sourceRate = 0;
    info.sampleRate = 0;
    info.channels = 0;
    if (!file) return kFfmpegNoFile;
    Input in;
    in.file = std::move(file);
    const int opened = openInput(in);
    if (opened != kFfmpegOk) return opened;
    const uint32_t sourceRate = static_cast<uint32_t>(in.codec->sample_rate);
    // One rate for the whole song, the encoder's: frames at another rate
    // (a stream that changes mid-way) are resampled to it.
    MonoWriter writer(sink, ffmpegPcmRate(sourceRate));
    sink.begin(ffmpegPcmRate(sourceRate));
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) return kFfmpegRefused;
    auto onFrame = [&writer, &in](const AVFrame* f) {
        if (frameIsUsable(f)) in.readSinceAudio = 0;
        return writer.write(f);
    };
    for (;;) {
        if (stop != nullptr && stop->load()) return kFfmpegStopped;
        const NextPacket next = readPacket(in, packet.get());
        if (next == NextPacket::Failed) return kFfmpegReadFailed;
        if (next == NextPacket::End) break;
        int r = kFfmpegOk;
        if (packet->stream_index == in.streamIndex)
            r = decodePacket(in.codec.get(), packet.get(), frame.get(), onFrame);
        av_packet_unref(packet.get());
        if (r != kFfmpegOk) return r;
    }
    // The end: the frames the decoder still holds, then the resampler's tail.
    int r = decodePacket(in.codec.get(), nullptr, frame.get(), onFrame);
    if (r == kFfmpegOk) r = writer.finish();
    if (r != kFfmpegOk) return r;
    // Not a single frame decoded: there is no song in the file.
    if (!writer.wroteSamples()) return kFfmpegRefused;
    info.sourceRate = sourceRate;
    info.sampleRate = ffmpegPcmRate(sourceRate);
    info.channels = static_cast<uint16_t>(std::clamp(in.codec->ch_layout.nb_channels, 0, 0xFFFF));
    return kFfmpegOk;
}

}  // namespace velmo
