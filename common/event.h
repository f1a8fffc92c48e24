// A manual-reset event: once set it stays set, releasing every waiter, until
// it is reset. Orders the two workers of a download.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velmo {

constexpr const char* kConvertEventName = "CONVERT_EVEVT";

class ManualResetEvent {
  public:
    void set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }
    bool isSet() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return signalled_;
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return signalled_; });
    }
    // True when the event was set within the time.
    bool waitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return signalled_; });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace velmo
