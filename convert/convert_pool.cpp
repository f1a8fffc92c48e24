#include "convert_pool.h"

#include <unistd.h>

#include <algorithm>

#include "conversion_cache.h"

namespace velmo {

namespace {

// The head song's bytes go to the clock a block at a time: telling the job of
// fewer would only wake it for nothing.
constexpr uint32_t kOutputStep = 4096;

}  // namespace

unsigned defaultConversionWorkers() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

ConvertPool::ConvertPool(const Song* songs, size_t count, uint16_t quality, const WorkContext& ctx,
                         const std::atomic<bool>& stop, unsigned workers, uint32_t capacity, std::string encoderLibrary,
                         bool watchOutput, bool evenVolume, StartWatch onStart)
    : songs_(songs),
      count_(count),
      quality_(quality),
      ctx_(ctx),
      stop_(stop),
      capacity_(capacity),
      encoderLibrary_(std::move(encoderLibrary)),
      watchOutput_(watchOutput),
      evenVolume_(evenVolume),
      onStart_(std::move(onStart)),
      keeper_(encoderLibrary_),
      startLimit_(count),
      remaining_(count),
      taken_(count, false),
      results_(count),
      done_(count, false),
      written_(count, 0) {
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
    // The cache holds the list's songs only.
    keepOnlyCachedSongs(songs_, count_, ctx_);
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
    head_ = position;
    ready_.wait(lock, [&] { return done_[position]; });
    return std::move(results_[position]);
}

ConvertPool::Output ConvertPool::waitForOutput(size_t position, uint32_t written) {
    std::unique_lock<std::mutex> lock(mutex_);
    head_ = position;
    ready_.wait(lock, [&] { return done_[position] || written_[position] > written; });
    return Output{done_[position], written_[position]};
}

size_t ConvertPool::pick() {
    if (remaining_ == 0) return count_;
    if (head_ < count_ && !taken_[head_]) return head_;
    size_t best = count_;
    for (size_t i = 0; i < count_; ++i)
        if (!taken_[i] && (best == count_ || songs_[i].sizeEstimate > songs_[best].sizeEstimate)) best = i;
    return best;
}

void ConvertPool::work() {
    // An encoder of this worker's own: a stream belongs to one thread.
    Encoder encoder(encoderLibrary_);
    for (;;) {
        size_t i;
        bool start;
        size_t startedAs = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            i = pick();
            if (i == count_) return;
            taken_[i] = true;
            --remaining_;
            // Once the songs taken so far fill the data area, a later song
            // could only be dropped: it is not worth converting. Past a song
            // whose copy failed, the job ends there.
            start = !cancelled_ && !stop_.load() && keptTotal_.load() < capacity_ && i < startLimit_;
            if (start) startedAs = ++started_;
        }
        if (start && onStart_) onStart_(i, startedAs);
        Result r;
        if (start) {
            r.started = true;
            const Song& song = songs_[i];
            if (song.copyPending == 1) {
                r.copyFailure = makeWorkingCopy(song, ctx_, stop_);
                r.copied = r.copyFailure.empty() && !stop_.load();
            }
            if (!r.copyFailure.empty()) {
                std::lock_guard<std::mutex> lock(mutex_);
                startLimit_ = std::min(startLimit_, i);
            } else if (!stop_.load()) {
                uint32_t told = 0;
                const auto onOutput = [this, i, &told](uint32_t written) {
                    if (written - told < kOutputStep) return;
                    told = written;
                    bool wake;
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        written_[i] = written;
                        wake = i == head_;
                    }
                    if (wake) ready_.notify_all();
                };
                // A song converted before from the same working copy, at the
                // same quality and options, gives the same bytes again.
                const ConversionCache cache(ctx_);
                const std::string key = cache.keyOf(song, quality_, evenVolume_);
                const std::string mp3Path = ctx_.path(songMp3WorkFile(i));
                uint32_t cached = 0;
                if (cache.fetch(song, key, mp3Path, cached)) {
                    r.song.result = SongConversion::Converted;
                    r.song.bytes = cached;
                } else {
                    encoder.clearWriteError();
                    r.song = convertSong(song, quality_, ctx_, encoder, mp3Path, stop_,
                                         watchOutput_ ? Encoder::OutputWatch(onOutput) : Encoder::OutputWatch(),
                                         evenVolume_ ? ctx_.path(songPcmWorkFile(i)) : std::string());
                    // A song lost to a write of its own file (a full disk) is told by that cause.
                    if (r.song.result == SongConversion::Unconvertible && r.song.errorNumber == 0)
                        r.song.errorNumber = encoder.writeError();
                    if (r.song.result == SongConversion::Converted) cache.store(song, key, mp3Path, r.song.bytes);
                }
            } else {
                r.song.result = SongConversion::Stopped;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (r.song.result == SongConversion::Converted) written_[i] = r.song.bytes;
            results_[i] = std::move(r);
            done_[i] = true;
        }
        ready_.notify_all();
    }
}

}  // namespace velmo
