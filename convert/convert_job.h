// The conversion job of a Download: makes the songs' working copies, converts
// every song to the clock's MP3 form in list order, packs the storage image
// "./dat/tmp.bin" and tells the main window and the write worker how it went.
//
// It ends in exactly one of four ways, each with one message posted to the
// job's window: WM_CONVERT_ABORTED (a working copy could not be made, after
// the message box), WM_CONVERT_FAILED (no MP3 data was kept, or the image could
// not be made), WM_JOB_STOPPED (wParam kStoppedConversion: SharedState's stop
// request was seen between copies, songs, PCM blocks or encoder chunks) or
// WM_CONVERT_DONE (lParam = image bytes to transfer). At every
// end SharedState::imageProduced is set (true only with WM_CONVERT_DONE), then
// convertEvent is set, exactly once; "./dat/mp3.tmp" and "./dat/raw.tmp" no
// longer exist, nor do the raw PCM files. All "./dat/" names are resolved against SharedState::startDir.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "messages.h"
#include "shared_state.h"
#include "songrecord.h"

namespace velmo {

constexpr const char* kRawWorkFile = "./dat/raw.tmp";
constexpr const char* kRawNextWorkFile = "./dat/raw2.tmp";  // the next song's PCM, decoded ahead
constexpr const char* kMp3WorkFile = "./dat/mp3.tmp";
constexpr const char* kImageFile = "./dat/tmp.bin";
constexpr const char* kCopyFailedFormat = "Path name of '%s' is too long !";

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

// The song loop alone: converts songs 0 to min(count, 32) - 1 in list order,
// appends their data to "./dat/mp3.tmp" and sets their dataOffset and
// dataSize. Returns the bytes kept (0 when keepConverting was found 0 or
// nothing was kept). A song that cannot be converted, or that would pass the
// data-area capacity, keeps nothing: size 0 at the running offset, and its
// bytes are cut back out of "./dat/mp3.tmp". The next song is decoded on a
// second thread while the current one is encoded (songs alternate between
// "./dat/raw.tmp" and "./dat/raw2.tmp"); both are deleted at the end.
// `showMessage` (may be empty) is told once when the encoder library cannot
// be loaded, naming the file or entry point that is missing.
uint32_t convertAllSongs(const ConvertJob& job, SharedState& shared, const std::string& encoderLibrary = {},
                         const ShowMessageFn& showMessage = {});

}  // namespace velmo
