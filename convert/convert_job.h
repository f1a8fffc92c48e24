// The conversion job of a Download: makes the songs' working copies, converts
// the songs to the clock's MP3 form on a pool of workers (convert_pool.h),
// places each one in the storage image "./dat/tmp.bin" as soon as it is final
// in list order, and tells the main window and the write worker how it went.
//
// It ends in exactly one of four ways, each with one message posted to the
// job's window: WM_CONVERT_ABORTED (a working copy could not be made, after
// the message box), WM_CONVERT_FAILED (no MP3 data was kept, or the image could
// not be made), WM_JOB_STOPPED (wParam kStoppedConversion: SharedState's stop
// request was seen between copies, songs, PCM blocks or encoder chunks) or
// WM_CONVERT_DONE (lParam = image bytes to transfer). At every
// end SharedState::imageProduced is set (true only with WM_CONVERT_DONE), then
// convertEvent is set, exactly once; no per-song working file is left in
// "./dat/", nor "./dat/mp3.tmp". All "./dat/" names are resolved against
// SharedState::startDir.
//
// While it runs, "./dat/tmp.bin" holds a header of zeros followed by the data
// of the songs that are final so far; SharedState::imageData says how many
// data bytes that is, so that the write worker can send them at once. The
// header is written in place last, once every song is placed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "encoder.h"
#include "messages.h"
#include "shared_state.h"
#include "songrecord.h"

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

// What the job found out about single songs, for the end message. Filled
// before the end message is posted; read by the receiver of that message.
struct ConvertReport {
    // List positions of the songs that could not be converted (a working copy
    // gone or unreadable, audio that does not decode, an encoder failure);
    // they keep an entry of size 0 in the image. Songs passed over for want
    // of space are not among them.
    std::vector<uint16_t> unconverted;
};

// `convertJob`: filled by Download just before the start, unchanged while the
// job runs. The job keeps a copy of the record; `songs` and `window` must
// outlive the job's thread.
struct ConvertJob {
    uint32_t startOffset = 0;     // data offset of the first song; always 0
    uint32_t totalEstimate = 0;   // the list's size estimate, bytes; goes into the image header
    uint16_t quality = 0;         // 8 Best, 4 Good, 2 Normal
    SongRecord* songs = nullptr;  // the shared song records (not copied)
    uint16_t count = 0;           // songs to convert; only the first 32 are (the header's room)
    MessageTarget* window = nullptr;
    // Conversion workers; 0 is taken as 1. The image does not depend on it.
    unsigned workers = 1;
    // True when a write worker sends each song as it becomes final and
    // reports the progress itself; otherwise the job posts WM_ENCODE_PROGRESS
    // for the bytes placed in the image against `totalEstimate`.
    bool streamed = false;
    ConvertReport* report = nullptr;  // may be null; must outlive the job
};

// Shows the blocking message box (no owner, the system's default caption, OK)
// and returns when the user has closed it. Called on the job's thread with no
// lock held.
using ShowMessageFn = std::function<void(const std::string& text)>;

// The message box text for a working copy that could not be made.
std::string copyFailedText(const SongRecord& song);

// Runs the whole job on the calling thread. `encoderLibrary` empty: the
// encoder library is found as Encoder does by default.
void runConvertJob(const ConvertJob& job, SharedState& shared, const ShowMessageFn& showMessage,
                   const std::string& encoderLibrary = {});

// Starts runConvertJob on a new thread and returns it; the caller owns the
// thread and joins it once the job's end message has been handled (or at
// close: the job always ends on its own, it never waits for the window).
// `shared` must outlive the thread.
std::thread startConvertJob(const ConvertJob& job, SharedState* shared, ShowMessageFn showMessage,
                            std::string encoderLibrary = {});

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
// working copy is decoded (MP3) or read (WAV) into `rawPath`, which is then
// encoded at `quality` with the song's cutFlag and cutLimit into `mp3Path`
// (created anew). Posts no message. Both files are full paths; `rawPath` is
// removed before returning, `mp3Path` is left to the caller in every case.
// Stops within one PCM block or encoder chunk once `stop` is set. Safe to
// call on several threads at once with different files and encoders.
SongConversionResult convertSong(const SongRecord& song, uint16_t quality, const SharedState& shared, Encoder& encoder,
                                 const std::string& rawPath, const std::string& mp3Path, const std::atomic<bool>& stop);

// The song loop alone: converts songs 0 to min(count, 32) - 1 on the job's
// workers and takes their results in list order: each song's data is
// appended to `imagePath` (which must exist, holding the header's place) and
// its dataOffset and dataSize are set. Returns the bytes kept (0 when
// keepConverting was found 0, the stop was requested, or nothing was kept).
// A song that cannot be converted, or that would pass the data-area capacity,
// keeps nothing: size 0 at the running offset. `showMessage` (may be empty)
// is told once when the encoder library cannot be loaded, naming the file or
// entry point that is missing. `unconverted` (may be null) receives the
// positions of the songs that could not be converted.
uint32_t convertAllSongs(const ConvertJob& job, SharedState& shared, const std::string& imagePath,
                         const std::string& encoderLibrary = {}, const ShowMessageFn& showMessage = {},
                         std::vector<uint16_t>* unconverted = nullptr);

}  // namespace velmo
