// The conversion job of a Download (or of the conversion alone): converts the
// songs to the clock's MP3 form on a pool of workers (convert_pool.h), each
// song's working copy made by the worker that converts it, places each one in
// the storage image "./dat/tmp.bin" in list order, and says how it went.
//
// It ends in exactly one of four ways, each with one end event posted to the
// job's sink: ConvertAborted (a working copy could not be made), ConvertFailed
// (no MP3 data was kept, or the image could not be made), JobStopped{Conversion}
// (the stop flag was seen between copies, songs, PCM blocks or encoder chunks)
// or ConvertDone (the image's size and the songs that could not be converted).
// Each of them carries what the job did to each song so far (its working copy
// made, where its data lies in the image and its real size).
// No per-song working file is left in "./dat/", nor "./dat/mp3.tmp"; no image
// is left but a finished one. The converted songs stay in the conversion
// cache ("./dat/cache/", conversion_cache.h), which then holds the job's
// songs only. All "./dat/" names are resolved against
// WorkContext::startDir.
//
// While it runs, "./dat/tmp.bin" holds a header of zeros followed by the data
// of the songs placed so far and, for a Download, the bytes the song at the
// head of the list has encoded so far; the job publishes how many data bytes
// that is on its ImageHandOver, so that the write worker can send them at
// once. Should the head song then not be kept (it fails to decode further on,
// or passes the data area's end), its bytes leave the image and are
// retracted from the write, which goes back over them. The header is written
// in place last, once every song is placed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "encoder.h"
#include "events.h"
#include "image_handover.h"
#include "songrecord.h"
#include "translation.h"
#include "work_context.h"

namespace velmo {

// Working files of earlier versions' song loop; removed at the job's start
// and end, so that nothing an interrupted run left behind stays.
constexpr const char* kRawWorkFile = "./dat/raw.tmp";
constexpr const char* kRawNextWorkFile = "./dat/raw2.tmp";
constexpr const char* kMp3WorkFile = "./dat/mp3.tmp";
constexpr const char* kImageFile = "./dat/tmp.bin";
constexpr const char* kCopyFailedFormat = N_("Path name of '%s' is too long !");

// The working files of the song at list position `position` while a worker
// converts it: its MP3 data and, with even volume only, its whole PCM (the
// gain is known only once the whole song is measured). No two songs share one.
std::string songPcmWorkFile(size_t position);  // "./dat/raw-<position>.tmp"
std::string songMp3WorkFile(size_t position);  // "./dat/mp3-<position>.tmp"

// The PCM a song's decoder may be ahead of its encoder.
constexpr size_t kPcmQueueBytes = 1 << 18;

// Filled by the operation just before the start, unchanged while the job
// runs. `events` and `handOver` must outlive the job.
struct ConvertJob {
    uint32_t startOffset = 0;    // data offset of the first song; always 0
    uint32_t totalEstimate = 0;  // the list's size estimate, bytes; goes into the image header
    uint16_t quality = 0;        // 8 Best, 4 Good, 2 Normal
    // The songs to convert, in list order; only the first 32 are (the
    // header's room). The job's own copy, which it only reads: what it did to
    // each song comes back in its end event (SongPlacement).
    std::vector<Song> songs;
    // Conversion workers; 0 is taken as 1. The image does not depend on it.
    unsigned workers = 1;
    // Every song brought to one loudness (loudness.h). Off: each song's
    // samples reach the encoder exactly as they are decoded.
    bool evenVolume = false;
    EventSink* events = nullptr;  // may be null (tests, the bench)
    // A Download's: the write worker sends each song as it becomes final and
    // reports the progress itself. Null: the job posts EncodeProgress for the
    // bytes placed in the image against `totalEstimate`.
    ImageHandOver* handOver = nullptr;
};

// Gives `song` what the job did to it: copyPending cleared when its working
// copy was made, its data offset and size when it was placed. A song the job
// did not reach keeps its fields.
void applyPlacement(const SongPlacement& placement, Song& song);

// The message for a working copy that could not be made.
std::string copyFailedText(const Song& song);

// Copies the song's source file to its working copy through a fixed buffer
// (a long WAV would not fit in memory whole). Empty when made (or when the
// source is its own copy, or `stop` ended it: a partial copy is removed);
// otherwise the message that names the file and the system's reason: the
// source is missing or not a plain file, gives fewer bytes than its size, or
// the copy cannot be created or written in full.
std::string makeWorkingCopy(const Song& song, const WorkContext& ctx, const std::atomic<bool>& stop);

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
    // Unconvertible because a working file (its MP3 data, even volume's
    // PCM) could not be written: the system's error number (errno).
    int errorNumber = 0;
};

// Converts one song from its working copy into an MP3 file of its own: the
// working copy (resolved against ctx.startDir) is decoded on a thread of its
// own into a bounded queue of PCM (kPcmQueueBytes), which the encoder takes
// at once, at `quality` with the song's cutFlag and cutLimit, into `mp3Path`
// (created anew; `onOutput` is told the bytes in it as they grow). The song
// is Converted only when its decoding, to the end, and its encoding both
// succeed. Posts no event; `mp3Path` is left to the caller in every case.
// Stops within one PCM block or encoder chunk once `stop` is set. Safe to
// call on several threads at once with different files and encoders.
//
// `evenVolumePcm` not empty: even volume. The song is first decoded whole
// into that file (created anew, full path), measured on the way, and is then
// encoded from it with its gain (loudness.h); the file is removed at the end.
// Its output then starts only once it has decoded to the end.
SongConversionResult convertSong(const Song& song, uint16_t quality, const WorkContext& ctx, Encoder& encoder,
                                 const std::string& mp3Path, const std::atomic<bool>& stop,
                                 const Encoder::OutputWatch& onOutput = {}, const std::string& evenVolumePcm = {});

}  // namespace velmo
