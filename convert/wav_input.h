// WAV songs: reading the audio into the encoder's PCM input, and the length
// probe that song admission uses. Both read the RIFF structure the same way:
// the 12-byte RIFF header is skipped unchecked; the format is the chunk named
// "fmt " before the data chunk (any case), or the first chunk whatever its name
// when there is none; the chunks after it are walked until one named "data"
// (any case). A chunk of odd size is followed by RIFF's pad byte (or not, as
// some writers leave it out). The data chunk ends at the file's end whatever
// its size claims. All numbers in the file are little-endian.
//
// Paths are full paths: callers resolve "./dat/..." names against the start
// folder first.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "pcm_stream.h"

namespace velmo {

// The format chunk's fields, and the data chunk's size in 4-byte frames.
struct WavInfo {
    uint16_t formatTag = 0;  // 1 is PCM
    uint16_t channels = 0;
    uint32_t sampleRate = 0;  // samples per second per channel
    uint32_t byteRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint32_t frameCount = 0;  // data chunk size / 4 (16-bit stereo frames)
};

struct WavLength {
    uint16_t measured = 0;  // 1 when a data chunk was found and the duration computed
    double duration = 0.0;  // seconds; 0 until measured
};

// Results of readWav.
constexpr int kWavReadOk = 1;
constexpr int kWavReadFailed = 0;  // also when the stop request was seen between two blocks

// Copies the data chunk of `wavPath` into `pcmPath` (created or replaced): a
// 2-channel file gives the mean of its two channels, (L + R) / 2 truncated
// toward zero as the MP3 path mixes (a trailing part frame is dropped); any
// other channel count is copied unchanged. The format is not checked: only
// files that wavReaderTakes() accepts are given to it. Streams through a fixed
// buffer: memory does not grow with the song. Fills every field of `info` when
// the format chunk was read; they are 0 otherwise.
int readWav(const std::string& wavPath, const std::string& pcmPath, WavInfo& info,
            const std::atomic<bool>* stop = nullptr);
// The same into `sink`, told the file's rate before the first block.
int readWav(const std::string& wavPath, PcmSink& sink, WavInfo& info, const std::atomic<bool>* stop = nullptr);

// Results of probeWavLength.
constexpr int kWavProbeOk = 0;        // measured or not: see WavLength::measured
constexpr int kWavProbeRefused = -1;  // the file does not open, or is not 16-bit PCM

// Play time = data chunk size / (channels x sample rate x 2) seconds. A format
// with channels x sample rate of 0 gives duration 0 (measured stays 0).
int probeWavLength(const std::string& wavPath, WavLength& length);

// True for the WAV files this reader converts: 16-bit PCM (format tag 1), one
// or two channels, a sample rate and a data chunk. Every other WAV is left to
// the FFmpeg decoder.
bool wavReaderTakes(const std::string& wavPath);

}  // namespace velmo
