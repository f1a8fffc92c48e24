// The conversion workers of one job: each takes the next song of the list that
// no worker has started, converts it into files of its own (convertSong) and
// leaves the result for the job, which takes the results in list order.
//
// A worker starts no song once the job has kept as much data as the data
// area holds (setKeptTotal), nor once the operation's stop flag is set or
// cancel() was called; it reports such a song as not started. A song under
// way stops at its next PCM block or encoder chunk when the stop flag is set.
//
// The pool owns its threads: the destructor cancels the songs not yet
// started, joins every worker and removes every song's working files.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
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
        bool started = false;  // false: passed over or cancelled before it began
        SongConversionResult song;
    };

    // Starts min(workers, count) threads (at least one when count > 0) on
    // songs[0, count). `songs`, `ctx` and `stop` must outlive the pool; the
    // records' working paths, cut flags and limits must not change while it
    // runs. `capacity` is the data area's size in bytes.
    ConvertPool(const Song* songs, size_t count, uint16_t quality, const WorkContext& ctx,
                const std::atomic<bool>& stop, unsigned workers, uint32_t capacity, std::string encoderLibrary);
    ~ConvertPool();
    ConvertPool(const ConvertPool&) = delete;
    ConvertPool& operator=(const ConvertPool&) = delete;

    // Waits for song `position`'s result. Each position is taken once.
    Result take(size_t position);
    // The data kept by the songs taken so far.
    void setKeptTotal(uint32_t bytes) { keptTotal_.store(bytes); }
    // No further song starts; songs under way are finished.
    void cancel();

  private:
    void work();

    const Song* songs_;
    size_t count_;
    uint16_t quality_;
    const WorkContext& ctx_;
    const std::atomic<bool>& stop_;
    uint32_t capacity_;
    std::string encoderLibrary_;
    // Holds the encoder library loaded while the workers run, so that their
    // encoders never unload and load it again under each other.
    Encoder keeper_;
    std::atomic<uint32_t> keptTotal_{0};

    std::mutex mutex_;
    std::condition_variable ready_;
    size_t next_ = 0;  // the next song no worker has taken
    bool cancelled_ = false;
    std::vector<Result> results_;
    std::vector<bool> done_;
    std::vector<std::thread> threads_;
};

}  // namespace velmo
