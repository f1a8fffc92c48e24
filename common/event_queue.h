// The queue between an operation's workers and the user-interface thread:
// the window, the terminal and the tests all take their events from one of
// these. Each event carries the serial number of the operation that posted
// it, so that the receiver can leave out what a finished operation's workers
// posted last.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "events.h"

namespace velmo {

struct PostedEvent {
    uint64_t operation = 0;
    Event event;
};

class EventQueue {
  public:
    // Any thread. Queues the event, then calls the wake-up, if one is set.
    void post(PostedEvent event);
    // Waits up to `timeout` for the oldest event; false when none came.
    bool take(PostedEvent& out, std::chrono::milliseconds timeout);
    // Copies of the events of `operation` still queued, oldest first; they
    // stay queued. For an operation ended without them (the close).
    std::vector<Event> pending(uint64_t operation) const;
    // Called on the posting thread after each post (the window posts itself
    // a notification there). Set it before any worker starts.
    void setWakeUp(std::function<void()> wakeUp) { wakeUp_ = std::move(wakeUp); }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<PostedEvent> queue_;
    std::function<void()> wakeUp_;
};

// The sink an operation hands its workers: stamps each event with the
// operation's serial number and queues it.
class OperationEvents : public EventSink {
  public:
    OperationEvents(EventQueue& queue, uint64_t operation) : queue_(queue), operation_(operation) {}
    void post(Event event) override { queue_.post(PostedEvent{operation_, std::move(event)}); }

  private:
    EventQueue& queue_;
    uint64_t operation_;
};

}  // namespace velmo
