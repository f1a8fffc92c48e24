// How a Download's conversion hands its image to the write: the conversion
// publishes how many bytes of song data are final in "./dat/tmp.bin" (from
// the data area's start, right behind the header) as each song is placed in
// list order, and finishes once, with or without an image; the write sends
// each block as soon as it is final and waits for the next one or the end.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace velmo {

class ImageHandOver {
  public:
    enum class End {
        Running,  // the conversion still makes the image
        Image,    // the image is whole, header in place
        NoImage,  // the conversion ended without an image (failed or stopped)
    };
    static constexpr uint32_t kNoRewind = UINT32_MAX;
    struct State {
        uint32_t ready = 0;  // song data bytes published in the image
        End end = End::Running;
        // The lowest point bytes were retracted to since the write last
        // looked: what it sent from there on must be sent again.
        uint32_t rewindTo = kNoRewind;
    };

    // The conversion: `bytes` of song data are published (grows, but for retract()).
    void publish(uint32_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.ready = bytes;
        }
        cv_.notify_all();
    }
    // The conversion: the bytes from `bytes` on are withdrawn. `drop` takes
    // them out of the image while the write cannot read them (readPublished).
    void retract(uint32_t bytes, const std::function<void()>& drop) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.ready = bytes;
            state_.rewindTo = std::min(state_.rewindTo, bytes);
            drop();
        }
        cv_.notify_all();
    }
    // The conversion: the image goes (a failure or a stop); `remove` runs
    // while the write cannot read it, and nothing is published any more.
    void withdrawAll(const std::function<void()>& remove) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.ready = 0;
            remove();
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
    // The write: waits until at least `want` bytes are published, bytes are
    // retracted, the conversion has ended or `stop` is set (whoever sets it
    // calls wake()). A retraction is told once.
    State waitFor(uint32_t want, const std::atomic<bool>& stop) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] {
            return state_.ready >= want || state_.rewindTo != kNoRewind || state_.end != End::Running || stop.load();
        });
        return take();
    }
    State state() {
        std::lock_guard<std::mutex> lock(mutex_);
        return take();
    }
    // The write: runs `read` while bytes up to `to` stay published and none
    // below `to` has been retracted untold; false (and `read` not run) otherwise.
    bool readPublished(uint32_t to, const std::function<void()>& read) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_.ready < to || state_.rewindTo < to) return false;
        read();
        return true;
    }
    // Wakes the waiter so that it looks at its stop flag.
    void wake() {
        { std::lock_guard<std::mutex> lock(mutex_); }
        cv_.notify_all();
    }

  private:
    State take() {
        State now = state_;
        state_.rewindTo = kNoRewind;
        return now;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    State state_;
};

}  // namespace velmo
