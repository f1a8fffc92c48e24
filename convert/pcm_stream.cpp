#include "pcm_stream.h"

#include <algorithm>
#include <cstring>

namespace velmo {

// A waiting side is woken only once the other has made enough room or data
// for it to go on with, not after every chunk: the two threads would
// otherwise hand the lock back and forth for each one.
size_t PcmPipe::lowWater() const { return std::max<size_t>(ring_.size() / 4, 1); }

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
        if (!readerEnded_ && !discarding_ && size_ == ring_.size()) {
            writerNeeds_ = std::min(count, lowWater());
            changed_.wait(lock, [&] { return readerEnded_ || discarding_ || ring_.size() - size_ >= writerNeeds_; });
            writerNeeds_ = 0;
        }
        // Discarding outlasts the reader's end: the writer still runs to its own.
        if (discarding_) return true;
        if (readerEnded_) return false;
        // Into the free space after the held bytes, wrapping at the end.
        const size_t tail = (head_ + size_) % ring_.size();
        const size_t n = std::min({count, ring_.size() - size_, ring_.size() - tail});
        std::memcpy(ring_.data() + tail, bytes, n);
        size_ += n;
        bytes += n;
        count -= n;
        if (readerNeeds_ != 0 && size_ >= readerNeeds_) changed_.notify_all();
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
        if (size_ < count - done && !writerEnded_) {
            // Never more than a quarter of the ring: the writer may be waiting
            // for a quarter to be free, and both must never wait at once.
            readerNeeds_ = std::min(count - done, lowWater());
            changed_.wait(lock, [&] { return size_ >= readerNeeds_ || writerEnded_; });
            readerNeeds_ = 0;
        }
        if (size_ == 0) break;
        const size_t n = std::min({count - done, size_, ring_.size() - head_});
        std::memcpy(into + done, ring_.data() + head_, n);
        head_ = (head_ + n) % ring_.size();
        size_ -= n;
        done += n;
        if (writerNeeds_ != 0 && ring_.size() - size_ >= writerNeeds_) changed_.notify_all();
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
