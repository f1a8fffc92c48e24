#include "event_queue.h"

namespace velmo {

void EventQueue::post(PostedEvent event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(event));
    }
    cv_.notify_all();
    if (wakeUp_) wakeUp_();
}

bool EventQueue::take(PostedEvent& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

std::vector<Event> EventQueue::pending(uint64_t operation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    for (const PostedEvent& e : queue_)
        if (e.operation == operation) out.push_back(e.event);
    return out;
}

}  // namespace velmo
