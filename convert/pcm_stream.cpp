#include "pcm_stream.h"

#include <algorithm>
#include <cstring>

namespace velmo {

void PcmPipe::begin(uint32_t sampleRate) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rate_ = sampleRate;
    }
    changed_.notify_all();
}

bool PcmPipe::write(const uint8_t* bytes, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (count > 0) {
        changed_.wait(lock, [&] { return readerEnded_ || discarding_ || size_ < ring_.size(); });
        if (readerEnded_) return false;
        if (discarding_) return true;
        // Into the free space after the held bytes, wrapping at the end.
        const size_t tail = (head_ + size_) % ring_.size();
        const size_t n = std::min({count, ring_.size() - size_, ring_.size() - tail});
        std::memcpy(ring_.data() + tail, bytes, n);
        size_ += n;
        bytes += n;
        count -= n;
        changed_.notify_all();
    }
    return true;
}

void PcmPipe::endWriting() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writerEnded_ = true;
    }
    changed_.notify_all();
}

uint32_t PcmPipe::waitForRate() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return rate_ != 0 || writerEnded_; });
    return rate_;
}

size_t PcmPipe::read(uint8_t* into, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t done = 0;
    while (done < count) {
        changed_.wait(lock, [&] { return size_ > 0 || writerEnded_; });
        if (size_ == 0) break;
        const size_t n = std::min({count - done, size_, ring_.size() - head_});
        std::memcpy(into + done, ring_.data() + head_, n);
        head_ = (head_ + n) % ring_.size();
        size_ -= n;
        done += n;
        changed_.notify_all();
    }
    return done;
}

void PcmPipe::discardFromNowOn() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        discarding_ = true;
        size_ = 0;
    }
    changed_.notify_all();
}

void PcmPipe::endReading() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        readerEnded_ = true;
    }
    changed_.notify_all();
}

}  // namespace velmo
