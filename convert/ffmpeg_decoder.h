// Songs in every other format that FFmpeg's libraries read (FLAC, Ogg Vorbis,
// Opus, AAC and ALAC in MP4, AIFF, WMA, WAV that the 16-bit reader does not
// take ...): the length probe that admission uses, and decoding to the
// encoder's PCM input.
//
// The file is read through our own handle (a regular file only) and the
// container is recognised by its content alone; a container that would open
// further files or URLs (playlists, HLS, concat) is refused. One audio stream
// is used, the one FFmpeg rates best (av_find_best_stream: the default stream
// first, among those it has a decoder for), not simply the first. Each call
// has its own FFmpeg state, so calls on different threads share nothing.
// Paths are full paths.
//
// A read of the file that fails is told from its end: the song is not taken
// (kFfmpegReadFailed), never taken short. A file cut short or damaged is read
// as far as the demuxer can go, and what is there is the song.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "pcm_stream.h"

namespace velmo {

// Highest input rate the encoder takes; above it the PCM is resampled.
constexpr uint32_t kMaxEncoderRate = 48000;

// The rate the PCM of a song at `sourceRate` is written at: the source's own
// rate up to 48000 Hz; above it 44100 Hz for multiples of 44100 (88200,
// 176400 ...) and 48000 Hz for everything else. 0 stays 0.
uint32_t ffmpegPcmRate(uint32_t sourceRate);

struct FfmpegInfo {
    uint32_t sourceRate = 0;  // the audio stream's sample rate
    uint32_t sampleRate = 0;  // the rate of the PCM written: ffmpegPcmRate(sourceRate)
    uint16_t channels = 0;    // the stream's channel count
    double duration = 0.0;    // probe only: play time in seconds
    const char* codec = "";   // probe only: FFmpeg's name of the stream's codec ("flac", "vorbis" ...)
};

// Results of both operations.
constexpr int kFfmpegOk = 0;
constexpr int kFfmpegNoFile = -1;  // the file does not open (or is not a regular file)
constexpr int kFfmpegRefused =
    -2;  // no container, no audio stream, no decoder, a rate above 768 kHz, or no frame decodes
constexpr int kFfmpegWriteFailed = 1;  // decode only: the PCM file could not be written in full
constexpr int kFfmpegStopped = 2;      // decode only: the stop request was seen between two packets
// Both: the song could not be read to its end for a reason other than its
// content: a read of the file failed (whatever the demuxer made of it), memory
// ran out, the resampler failed, or the decoder took no more input with no
// frame left to give. A damaged packet is no such reason: the decoder's
// verdict on it, whatever its code, passes the packet over.
constexpr int kFfmpegReadFailed = 3;

// Opens the file, chooses its audio stream and decodes packets until one
// gives samples (a file of which no frame decodes is refused). The play time
// is the container's duration where the container states one (not one guessed
// from the bit rate) and the file can hold it: a duration whose audio would
// need more than three times the file's bytes, at the bytes a second of the
// packets read up to the first frame, is not believed, and the samples of
// every frame that decodes are added up instead (without resampling; after
// 10 s of counting the rest is reckoned from the bytes not yet read).
// Otherwise every packet of the stream is read (not
// decoded) and their time span taken. The probe reads no further than that,
// and a read that fails in what it reads gives kFfmpegReadFailed, not a
// length (a failure further on is found by decodeFfmpeg). Fills every field
// of `info` on success; they are 0 otherwise.
int probeFfmpegLength(const std::string& path, FfmpegInfo& info);

// The title and artist the container's own tags give, as FFmpeg reads them
// (Matroska and WebM tags, AIFF NAME and AUTH chunks, ID3v2 at the start of
// any file ...): only the container's header is read, as far as the opening
// of the other two operations goes. The values of an artist given more than
// once are joined with ", "; "author" stands in where no artist is named.
// Gives kFfmpegOk, kFfmpegNoFile, kFfmpegRefused (no container FFmpeg
// opens) or kFfmpegReadFailed; `tags` is empty unless kFfmpegOk.
struct FfmpegTags {
    std::string title;   // as the tag holds it; FFmpeg's text is meant to be UTF-8
    std::string artist;  //
};
int readFfmpegTags(const std::string& path, FfmpegTags& tags);

// Decodes the audio stream (the probe's) into `pcmPath` (created or
// truncated): 16-bit signed little-endian samples, one channel (the sum of
// all channels divided by their count, truncated toward zero; for two
// channels (L + R) / 2 as the MP3 path mixes), at ffmpegPcmRate(source rate).
// Packets that do not decode are passed over. At the end the decoder's held
// frames and the resampler's last samples are written; where the stream
// changes its rate, sample format or channel count mid-way, the samples the
// resampler holds for the old format are written before the new format's.
// Streams one packet at a time (memory does not grow with the song) and
// returns kFfmpegStopped as soon as `*stop` is found true between two packets
// (nullptr: never stop). A read of the file that fails gives
// kFfmpegReadFailed wherever it happens. Sets sourceRate, sampleRate and
// channels of `info`; duration is left as it is. Whatever was written before
// a failure or a stop stays in the file.
int decodeFfmpeg(const std::string& path, const std::string& pcmPath, FfmpegInfo& info,
                 const std::atomic<bool>* stop = nullptr);
// The same into `sink`, told the PCM rate once the stream is open.
int decodeFfmpeg(const std::string& path, PcmSink& sink, FfmpegInfo& info, const std::atomic<bool>* stop = nullptr);

}  // namespace velmo
