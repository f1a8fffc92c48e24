// How a Download's conversion hands its image to the write: the conversion
// publishes how many bytes of song data are final in "./dat/tmp.bin" (from
// the data area's start, right behind the header) as each song is placed in
// list order, and finishes once, with or without an image; the write sends
// each block as soon as it is final and waits for the next one or the end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace velmo {

class ImageHandOver {
  public:
    enum class End {
        Running,  // the conversion still makes the image
        Image,    // the image is whole, header in place
        NoImage,  // the conversion ended without an image (failed or stopped)
    };
    struct State {
        uint32_t ready = 0;  // song data bytes final in the image
        End end = End::Running;
    };

    // The conversion: `bytes` of song data are final (only grows).
    void publish(uint32_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.ready = bytes;
        }
        cv_.notify_all();
    }
    // The conversion, once, at its end.
    void finish(End end) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.end = end;
        }
        cv_.notify_all();
    }
    // The write: waits until at least `want` bytes are final, the conversion
    // has ended or `stop` is set (whoever sets it calls wake()).
    State waitFor(uint32_t want, const std::atomic<bool>& stop) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return state_.ready >= want || state_.end != End::Running || stop.load(); });
        return state_;
    }
    State state() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_;
    }
    // Wakes the waiter so that it looks at its stop flag.
    void wake() {
        { std::lock_guard<std::mutex> lock(mutex_); }
        cv_.notify_all();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    State state_;
};

}  // namespace velmo
