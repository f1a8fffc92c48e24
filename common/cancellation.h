// One operation's cancellation: asked for by the user (Stop, Ctrl-C), by the
// close, or by a worker whose failure makes the others' work useless (a
// Download's write that failed). Every worker of the operation looks at it
// between songs, PCM chunks, encoder chunks and device blocks.
#pragma once

#include <atomic>
#include <functional>

namespace velmo {

class Cancellation {
  public:
    // Any thread; the first call counts. Runs the wake-up after the flag is set.
    void cancel() {
        if (!flag_.exchange(true) && wakeUp_) wakeUp_();
    }
    bool cancelled() const { return flag_.load(); }
    // For the readers and the encoder, which take a stop flag.
    const std::atomic<bool>& flag() const { return flag_; }
    // Wakes a worker that waits on something other than the flag (the write
    // waiting for the conversion). Set before any worker starts.
    void setWakeUp(std::function<void()> wakeUp) { wakeUp_ = std::move(wakeUp); }

  private:
    std::atomic<bool> flag_{false};
    std::function<void()> wakeUp_;
};

}  // namespace velmo
