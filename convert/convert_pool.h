// The conversion workers of one job. Each worker takes a song no worker has
// started, makes its working copy (when it is still to be made), converts it
// into an MP3 file of its own (convertSong: decoding and encoding at once)
// and leaves the result for the job, which takes the results in list order.
//
// Which song a free worker starts: the head song (the one the job waits for)
// when no worker has it yet, else the longest song waiting, by its size
// estimate. The head song is the one the clock is written from, and the
// longest songs started first leave no long song running alone at the end.
//
// A worker starts no song once the job has kept as much data as the data
// area holds (setKeptTotal), nor once the operation's stop flag is set or
// cancel() was called, nor past a song whose working copy could not be made;
// it reports such a song as not started. A song under way stops at its next
// PCM block or encoder chunk when the stop flag is set.
//
// The pool owns its threads: the destructor cancels the songs not yet
// started, joins every worker and removes every song's working files.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert_job.h"
#include "songrecord.h"
#include "work_context.h"

namespace velmo {

// The number of workers when none is chosen: one for each core.
unsigned defaultConversionWorkers();

class ConvertPool {
  public:
    struct Result {
        bool started = false;     // false: passed over or cancelled before it began
        bool copied = false;      // its working copy was made by this job
        std::string copyFailure;  // not empty: the copy could not be made, nothing was converted
        SongConversionResult song;
    };
    // Song `position` as the job looks at it while it converts.
    struct Output {
        bool done = false;     // take() has its result
        uint32_t written = 0;  // MP3 bytes in the song's own file so far
    };

    // Starts min(workers, count) threads (at least one when count > 0) on
    // songs[0, count). `songs`, `ctx` and `stop` must outlive the pool; the
    // records' paths, cut flags, limits and estimates must not change while
    // it runs. `capacity` is the data area's size in bytes. `watchOutput`:
    // the job follows the head song's output (waitForOutput). `evenVolume`:
    // each song is converted with even volume (convertSong).
    // `onStart` (may be empty) is called on the worker's thread as it
    // begins to convert song `position`, the `started`-th song begun.
    using StartWatch = std::function<void(size_t position, size_t started)>;
    ConvertPool(const Song* songs, size_t count, uint16_t quality, const WorkContext& ctx,
                const std::atomic<bool>& stop, unsigned workers, uint32_t capacity, std::string encoderLibrary,
                bool watchOutput, bool evenVolume, StartWatch onStart = {});
    ~ConvertPool();
    ConvertPool(const ConvertPool&) = delete;
    ConvertPool& operator=(const ConvertPool&) = delete;

    // Waits for song `position`'s result. Each position is taken once, in
    // list order.
    Result take(size_t position);
    // Waits until song `position` is done or has more than `written` bytes
    // of MP3 in its file; makes it the head song.
    Output waitForOutput(size_t position, uint32_t written);
    // The data kept by the songs taken so far.
    void setKeptTotal(uint32_t bytes) { keptTotal_.store(bytes); }
    // No further song starts; songs under way are finished.
    void cancel();

  private:
    void work();
    // The next song to start, or count_ for none; under mutex_.
    size_t pick();

    const Song* songs_;
    size_t count_;
    uint16_t quality_;
    const WorkContext& ctx_;
    const std::atomic<bool>& stop_;
    uint32_t capacity_;
    std::string encoderLibrary_;
    bool watchOutput_;
    bool evenVolume_;
    StartWatch onStart_;
    size_t started_ = 0;  // songs begun, under mutex_
    // Holds the encoder library loaded while the workers run, so that their
    // encoders never unload and load it again under each other.
    Encoder keeper_;
    std::atomic<uint32_t> keptTotal_{0};

    std::mutex mutex_;
    std::condition_variable ready_;
    size_t head_ = 0;    // the song the job waits for
    size_t startLimit_;  // songs from here on start no more (a copy failed before them)
    size_t remaining_;   // songs no worker has taken
    bool cancelled_ = false;
    std::vector<bool> taken_;  // by a worker
    std::vector<Result> results_;
    std::vector<bool> done_;
    std::vector<uint32_t> written_;
    std::vector<std::thread> threads_;
};

}  // namespace velmo
