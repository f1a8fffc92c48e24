// WAV songs: reading the audio into the encoder's PCM input, and the length
// probe that song admission uses. Both read the RIFF structure the simple way:
// the 12-byte RIFF header is skipped unchecked, the first chunk is taken as the
// format chunk whatever its name, and the chunks after it are walked until one
// named "data" (any case). All numbers in the file are little-endian.
//
// Paths are full paths: callers resolve "./dat/..." names against the start
// folder first.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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
// 2-channel file gives its left channel only (the first 16-bit sample of each
// 4-byte frame; a trailing part frame is dropped), any other channel count is
// copied unchanged. The format is not checked (admission lets only 16-bit PCM
// in). A data chunk longer than the file is written to its claimed size, the
// missing part as silence. Streams through a fixed buffer: memory does not grow
// with the song. Fills every field of `info` when the format chunk was read;
// they are 0 otherwise.
int readWav(const std::string& wavPath, const std::string& pcmPath, WavInfo& info,
            const std::atomic<bool>* stop = nullptr);

// Results of probeWavLength.
constexpr int kWavProbeOk = 0;        // measured or not: see WavLength::measured
constexpr int kWavProbeRefused = -1;  // the file does not open, or is not 16-bit PCM

// Play time = data chunk size / (channels x sample rate x 2) seconds. A format
// with channels x sample rate of 0 gives duration 0 (measured stays 0).
int probeWavLength(const std::string& wavPath, WavLength& length);

}  // namespace velmo
