// The state that the main window and its workers share. The user-interface
// thread leaves it alone while a job runs (the window is disabled then); only
// keepConverting, imageProduced, stopRequested and the event are touched by two
// threads at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "event.h"
#include "paths.h"
#include "songrecord.h"
#include "storage_layout.h"

namespace velmo {

// How much of a download's song data is final in "./dat/tmp.bin" (bytes from
// the data area's start, right behind the header): the conversion publishes
// it as each song is placed in list order, the write worker sends up to it
// while later songs still convert. Only grows during one download.
class ImageDataReady {
  public:
    void reset() { publish(0); }
    void publish(uint32_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bytes_ = bytes;
        }
        cv_.notify_all();
    }
    // Wakes a waiter so that it looks at the conversion's end.
    void wake() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++wakes_;
        }
        cv_.notify_all();
    }
    uint32_t bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    // Waits until at least `want` bytes are final, wake() is called or the
    // time runs out; returns the bytes final then.
    uint32_t waitFor(uint32_t want, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t wakes = wakes_;
        cv_.wait_for(lock, timeout, [&] { return bytes_ >= want || wakes_ != wakes; });
        return bytes_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    uint32_t bytes_ = 0;
    uint64_t wakes_ = 0;
};

struct SharedState {
    std::string startDir;  // the current folder when the window initialised
    uint32_t storageKB = 2048;
    uint32_t storageSizeTable[kStorageCodes] = {};
    SongRecord songs[kMaxSongs] = {};

    // Cleared by the write worker when it fails; the conversion stops at its next step.
    std::atomic<int32_t> keepConverting{1};
    // Set by the conversion when it ends, in every outcome ("CONVERT_EVEVT").
    ManualResetEvent convertEvent;
    // Set beside the event: true only when this download's conversion produced an image.
    std::atomic<bool> imageProduced{false};
    // Set beside the event: true when this download's conversion ended on the
    // stop request, so the write worker reports the stop too.
    std::atomic<bool> conversionStopped{false};
    // The operation's stop request, apart from keepConverting (which the write
    // worker may set again after its erase). Cleared when an operation starts;
    // every worker checks it between songs, chunks and device blocks.
    std::atomic<bool> stopRequested{false};
    // The song data of this download's image that the write worker may send.
    ImageDataReady imageData;

    bool stopping() const { return stopRequested.load(); }

    std::string path(const std::string& name) const { return resolvePath(startDir, name); }
};

}  // namespace velmo
