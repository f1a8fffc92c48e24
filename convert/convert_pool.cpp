#include "convert_pool.h"

#include <unistd.h>

#include <algorithm>

namespace velmo {

unsigned defaultConversionWorkers() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

ConvertPool::ConvertPool(const Song* songs, size_t count, uint16_t quality, const WorkContext& ctx,
                         const std::atomic<bool>& stop, unsigned workers, uint32_t capacity, std::string encoderLibrary)
    : songs_(songs),
      count_(count),
      quality_(quality),
      ctx_(ctx),
      stop_(stop),
      capacity_(capacity),
      encoderLibrary_(std::move(encoderLibrary)),
      keeper_(encoderLibrary_),
      results_(count),
      done_(count, false) {
    // A library that does not load is reported by each song's own encoder.
    if (count > 0) keeper_.load();
    const size_t n = std::min<size_t>(std::max(workers, 1u), count);
    threads_.reserve(n);
    for (size_t i = 0; i < n; ++i) threads_.emplace_back([this] { work(); });
}

ConvertPool::~ConvertPool() {
    cancel();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    for (size_t i = 0; i < count_; ++i) {
        ::unlink(ctx_.path(songPcmWorkFile(i)).c_str());
        ::unlink(ctx_.path(songMp3WorkFile(i)).c_str());
    }
}

void ConvertPool::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
}

ConvertPool::Result ConvertPool::take(size_t position) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return done_[position]; });
    return std::move(results_[position]);
}

void ConvertPool::work() {
    // An encoder of this worker's own: a stream belongs to one thread.
    Encoder encoder(encoderLibrary_);
    for (;;) {
        size_t i;
        bool cancelled;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (next_ >= count_) return;
            i = next_++;
            cancelled = cancelled_;
        }
        Result r;
        // Once the songs taken so far fill the data area, a later song could
        // only be dropped: it is not worth converting.
        const bool start = !cancelled && !stop_.load() && keptTotal_.load() < capacity_;
        if (start) {
            r.started = true;
            r.song = convertSong(songs_[i], quality_, ctx_, encoder, ctx_.path(songPcmWorkFile(i)),
                                 ctx_.path(songMp3WorkFile(i)), stop_);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            results_[i] = std::move(r);
            done_[i] = true;
        }
        ready_.notify_all();
    }
}

}  // namespace velmo
