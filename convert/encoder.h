// MP3 encoding through the encoder library (liblame_enc.so, LAME's six be...
// entry points): one song's raw PCM in, constant-bit-rate mono MP3 appended to
// a file, progress posted as EncodeProgress events.
//
// The library is loaded by name for every song by prepare() (the executable's
// own folder first, then the system's library search) and released after a
// successful encode(); after a failed encode it stays loaded until the next
// successful one, releaseLibrary() or the Encoder's destruction. Calls come in
// pairs, prepare() then encode(), one song at a time, on one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "events.h"
#include "pcm_stream.h"

namespace velmo {

constexpr const char* kEncoderLibraryName = "liblame_enc.so";

// Results of Encoder::prepare.
constexpr int kPrepareOk = 0;
constexpr int kPrepareFailed = -1;  // no library, an entry point missing, or beInitStream refused

// Results of Encoder::encode.
constexpr int kEncodeOk = 0;
constexpr int kEncodeNoResources = -1;       // no open stream, a buffer, a file or a PCM read
constexpr int kEncodeChunkFailed = -2;       // beEncodeChunk failed
constexpr int kEncodeWriteFailed = -3;       // a chunk's output was not written in full
constexpr int kEncodeFlushFailed = -4;       // beDeinitStream failed
constexpr int kEncodeFinalWriteFailed = -5;  // the final output was not written in full
constexpr int kEncodeStopped = -6;           // the stop request was seen between two chunks

// The output sample rate the encoder is given for a song, by its input rate and
// the quality code (8 Best, 4 Good, 2 Normal); 0 lets the encoder choose.
uint32_t outputSampleRate(uint32_t inputRate, uint16_t quality);

// Percent of `limit` that `written` bytes make, capped at 100 (0 for a limit of 0).
uint32_t encodePercent(uint32_t written, uint32_t limit);

class Encoder {
  public:
    // `libraryPath` empty: find kEncoderLibraryName in the executable's folder
    // or the installation's private folder, else through the system's search. Otherwise exactly that file.
    explicit Encoder(std::string libraryPath = {});
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Loads the library, finds its six entry points and opens a stream: mono,
    // constant `bitrateKbps`, from `inputRate` Hz to `outputRate` Hz (0 = the
    // encoder's choice), reservoir off. A stream left open by an earlier
    // prepare() without encode() is closed first.
    int prepare(uint32_t inputRate, uint32_t bitrateKbps, uint32_t outputRate);

    // Encodes the PCM file (16-bit signed little-endian mono samples) in chunks
    // of the size the library asks for, the last one padded with silence, and
    // appends the MP3 data to `mp3Path` (created if missing). With `cutFlag`
    // set, the song ends at the first chunk that finds `limit` or more bytes
    // already written: that chunk's output is dropped and the final output
    // follows. Posts EncodeProgress (encodePercent(written, limit), when not 0)
    // to `events` (may be null) after every write, and 100 at the end. Sets
    // `bytesWritten` only on success. Always closes the stream; what a failed
    // call appended stays in the file.
    int encode(EventSink* events, uint8_t cutFlag, uint32_t limit, const std::string& pcmPath,
               const std::string& mp3Path, uint32_t& bytesWritten, const std::atomic<bool>* stop = nullptr);

    // Told the bytes written so far each time a chunk's output is in the
    // file (the file is unbuffered, so a reader may take them at once).
    using OutputWatch = std::function<void(uint32_t written)>;
    // The same with the PCM from `pcm`, which may be filled while this runs.
    int encode(EventSink* events, uint8_t cutFlag, uint32_t limit, PcmSource& pcm, const std::string& mp3Path,
               uint32_t& bytesWritten, const std::atomic<bool>* stop = nullptr, const OutputWatch& onOutput = {});

    // Loads the library and finds its entry points now, without opening a
    // stream; it stays loaded until released as above. False (loadError()
    // says why) when it cannot be loaded.
    bool load();
    bool libraryLoaded() const;
    // Why the last prepare() could not load the library: the loader's message
    // for a missing or unloadable file, or "missing symbol <name>". Empty when
    // it loaded.
    const std::string& loadError() const { return loadError_; }
    // The system's error number (errno) of the MP3 file's open or write that
    // ended the last encode(); 0 when it ended otherwise.
    int writeError() const { return writeError_; }
    // Forgets it, before a song whose encode() may not be reached.
    void clearWriteError() { writeError_ = 0; }
    void releaseLibrary();

  private:
    struct Binding;
    std::string libraryPath_;
    std::unique_ptr<Binding> lib_;
    std::string loadError_;
    int writeError_ = 0;
    uintptr_t stream_ = 0;
    bool streamOpen_ = false;
    uint32_t samplesPerChunk_ = 0;
    uint32_t outputBufferSize_ = 0;

    void closeStream();
};

}  // namespace velmo
