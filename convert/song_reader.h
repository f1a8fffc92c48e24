// Which reader takes a song, decided by the file's content: the one place that
// knows the three readers. ".mp3" files stay with libmad (its decoder and its
// length probe), a WAV that the 16-bit reader takes stays with it, and every
// other file goes to the FFmpeg decoder.
//
// Paths are full paths: callers resolve "./dat/..." names against the start
// folder first. Calls share nothing and may run on several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "pcm_stream.h"

namespace velmo {

enum class SongReader { Mp3, Wav, Ffmpeg };

// The reader for the file at `path`: Mp3 for a name ending in ".mp3" (any
// case), Wav when wavReaderTakes() accepts the file, Ffmpeg otherwise.
SongReader songReaderFor(const std::string& path);

// The song's play time in seconds from its reader's probe; 0 when the reader
// cannot open the file, finds no audio in it, or cannot tell its length.
double songDuration(const std::string& path);

// The same probe, with the name the reader gives the audio: "mp3" (libmad),
// "pcm_s16le" (the 16-bit WAV reader), FFmpeg's codec name for the rest;
// empty, with a duration of 0, when the probe fails.
struct SongProbe {
    double duration = 0.0;
    std::string format;
};
SongProbe probeSong(const std::string& path);

// The per-song entry point of the conversion. Converts one song into the
// encoder's input: writes `pcmPath` (created or replaced) with 16-bit signed
// little-endian mono samples and returns their sample rate; 0 when the song
// has nothing to encode (it could not be read, the PCM could not be written,
// or `*stop` was found true between two chunks; nullptr never stops). Every
// reader looks at `stop` between its chunks: MP3 frames, WAV blocks, FFmpeg
// packets. Whatever was written before a failure stays.
uint32_t convertSongToPcm(const std::string& path, const std::string& pcmPath, const std::atomic<bool>* stop = nullptr);

// The same into `sink`, which is told the rate before the first samples (the
// encoder can start on them while the rest decodes); the returned rate is
// what counts: 0 still means the song has nothing to encode, whatever was
// given to the sink.
uint32_t decodeSong(const std::string& path, PcmSink& sink, const std::atomic<bool>* stop = nullptr);

}  // namespace velmo
