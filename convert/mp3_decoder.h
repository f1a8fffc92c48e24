// MP3 songs: decoding to the encoder's PCM input, and the length probe that
// song admission uses to estimate a song's size without decoding its audio.
//
// Paths are full paths: callers resolve "./dat/..." names against the start
// folder (resolvePath) first. Each call has its own reader, libmad state and
// buffers, so calls on different threads share nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "pcm_stream.h"

namespace velmo {

// What the two operations learn about a song.
struct Mp3Info {
    uint32_t sampleRate = 0;  // samples per second of the first good frame
    uint16_t layer = 0;       // 1, 2 or 3; 0 until a usable frame is seen
    uint32_t bitRate = 0;     // bits per second of the first good frame
    uint32_t frameCount = 0;  // probe only: frames in the song
    double duration = 0.0;    // probe only: play time in seconds
};

// A song in which no good frame was found has nothing to encode and no sample
// rate to encode it at, whatever result the operation gave.
inline bool mp3HasAudio(const Mp3Info& info) { return info.layer != 0 && info.sampleRate != 0; }

// Results of decodeMp3.
constexpr int kMp3DecodeOk = 0;           // also for a file without a single frame: see mp3HasAudio
constexpr int kMp3DecodeReadFailed = 1;   // open, read, unrecoverable decoding error or unusable first frame
constexpr int kMp3DecodeWriteFailed = 2;  // the PCM file could not be written in full
constexpr int kMp3DecodeStopped = 3;      // the stop request was seen between two frames

// Decodes every good frame of `mp3Path` into `pcmPath` (created or truncated):
// 16-bit signed little-endian samples, one channel (the two channels averaged,
// truncated toward zero), at the song's own sample rate. libmad is given the
// audio alone: from the first frame the probe's layout finds (a Xing, Info or
// VBRI frame left out) to the tags at the end. Fills sampleRate,
// layer and bitRate of `info` from the first good frame, and sets them to 0
// when there is none (mp3HasAudio); frameCount and duration are left as they
// are. Whatever was written before a failure stays.
int decodeMp3(const std::string& mp3Path, const std::string& pcmPath, Mp3Info& info,
              const std::atomic<bool>* stop = nullptr);
// The same into `sink`, told the rate at the first good frame; a sink that
// refuses bytes gives kMp3DecodeWriteFailed.
int decodeMp3(const std::string& mp3Path, PcmSink& sink, Mp3Info& info, const std::atomic<bool>* stop = nullptr);

// Results of probeMp3Length.
constexpr int kMp3ProbeOk = 0;
constexpr int kMp3ProbeFailed = 1;   // reader, read error, no usable frame before a fatal error, bad layer/mode
constexpr int kMp3ProbeNoFile = -1;  // the file does not open

// Measures a song's play time from its frames (mp3_frames.h): the tags at
// both ends skipped by their sizes, the first frame found by a chain of frames,
// the count of a Xing, Info or VBRI frame when the file holds its frames,
// otherwise the frames counted by walking their headers (nothing is decoded).
// The duration is their samples over the first audio frame's rate, as the
// decoder gives them to the encoder. sampleRate, layer and bitRate are the
// first audio frame's (a Xing or Info frame may be written at another bit
// rate). Sets every field of `info`; frameCount and duration are 0 when no
// frame is found or the file does not open.
int probeMp3Length(const std::string& mp3Path, Mp3Info& info);

// Bytes taken by an ID3v2 tag at the file's start (its header's size + 10)
// plus 128 for an ID3v1 tag at its end; 0 for a file that does not open. The
// clock's first reckoning of tags; the probe and the decoder skip every tag.
uint32_t mp3TagSize(const std::string& mp3Path);

}  // namespace velmo
