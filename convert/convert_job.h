// The conversion job of a Download (or of the conversion alone): makes the
// songs' working copies, converts the songs to the clock's MP3 form on a pool
// of workers (convert_pool.h), places each one in the storage image
// "./dat/tmp.bin" as soon as it is final in list order, and says how it went.
//
// It ends in exactly one of four ways, each with one end event posted to the
// job's sink: ConvertAborted (a working copy could not be made), ConvertFailed
// (no MP3 data was kept, or the image could not be made), JobStopped{Conversion}
// (the stop flag was seen between copies, songs, PCM blocks or encoder chunks)
// or ConvertDone (the image's size and the songs that could not be converted).
// No per-song working file is left in "./dat/", nor "./dat/mp3.tmp"; no image
// is left but a finished one. All "./dat/" names are resolved against
// WorkContext::startDir.
//
// While it runs, "./dat/tmp.bin" holds a header of zeros followed by the data
// of the songs that are final so far; the job publishes how many data bytes
// that is on its ImageHandOver, so that the write worker can send them at
// once. The header is written in place last, once every song is placed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "encoder.h"
#include "events.h"
#include "image_handover.h"
#include "songrecord.h"
#include "work_context.h"

namespace velmo {

// Working files of earlier versions' song loop; removed at the job's start
// and end, so that nothing an interrupted run left behind stays.
constexpr const char* kRawWorkFile = "./dat/raw.tmp";
constexpr const char* kRawNextWorkFile = "./dat/raw2.tmp";
constexpr const char* kMp3WorkFile = "./dat/mp3.tmp";
constexpr const char* kImageFile = "./dat/tmp.bin";
constexpr const char* kCopyFailedFormat = "Path name of '%s' is too long !";

// The working files of the song at list position `position` while a worker
// converts it: its raw PCM and its MP3 data. No two songs share one.
std::string songPcmWorkFile(size_t position);  // "./dat/raw-<position>.tmp"
std::string songMp3WorkFile(size_t position);  // "./dat/mp3-<position>.tmp"

// Filled by the operation just before the start, unchanged while the job
// runs. `songs`, `events` and `handOver` must outlive the job.
struct ConvertJob {
    uint32_t startOffset = 0;    // data offset of the first song; always 0
    uint32_t totalEstimate = 0;  // the list's size estimate, bytes; goes into the image header
    uint16_t quality = 0;        // 8 Best, 4 Good, 2 Normal
    // The operation's own copy of the list: the job sets copyPending,
    // dataOffset and dataSize there. Nobody else touches it while the job runs.
    Song* songs = nullptr;
    uint16_t count = 0;  // songs to convert; only the first 32 are (the header's room)
    // Conversion workers; 0 is taken as 1. The image does not depend on it.
    unsigned workers = 1;
    EventSink* events = nullptr;  // may be null (tests, the bench)
    // A Download's: the write worker sends each song as it becomes final and
    // reports the progress itself. Null: the job posts EncodeProgress for the
    // bytes placed in the image against `totalEstimate`.
    ImageHandOver* handOver = nullptr;
};

// The message for a working copy that could not be made.
std::string copyFailedText(const Song& song);

// Runs the whole job on the calling thread and returns after its end event.
// The end event is posted first, then handOver->finish(Image or NoImage) is
// called, so the receiver has ConvertDone before the write can post
// DownloadDone. `stop` is the operation's cancellation flag (a write that
// failed sets it too). An encoder library that does not load is told once as a
// ConvertNotice, without waiting for anyone. `encoderLibrary` empty: the
// library is found as Encoder does by default.
void runConvertJob(const ConvertJob& job, const WorkContext& ctx, const std::atomic<bool>& stop,
                   const std::string& encoderLibrary = {});

// How one song's conversion ended.
enum class SongConversion {
    Converted,      // `bytes` of MP3 data are in the song's own file
    Unconvertible,  // nothing usable: no audio, a decode or encoder failure
    Stopped,        // the stop flag was seen; the song's file is incomplete
};

struct SongConversionResult {
    SongConversion result = SongConversion::Unconvertible;
    uint32_t bytes = 0;
    // The encoder library could not be loaded: the loader's reason.
    std::string encoderLoadError;
};

// Converts one song from its working copy into an MP3 file of its own: the
// working copy (resolved against ctx.startDir) is decoded into `rawPath`,
// which is then encoded at `quality` with the song's cutFlag and cutLimit into
// `mp3Path` (created anew). Posts no event. Both files are full paths;
// `rawPath` is removed before returning, `mp3Path` is left to the caller in
// every case. Stops within one PCM block or encoder chunk once `stop` is set.
// Safe to call on several threads at once with different files and encoders.
SongConversionResult convertSong(const Song& song, uint16_t quality, const WorkContext& ctx, Encoder& encoder,
                                 const std::string& rawPath, const std::string& mp3Path, const std::atomic<bool>& stop);

}  // namespace velmo
