// The state that the main window and its workers share. The user-interface
// thread leaves it alone while a job runs (the window is disabled then); only
// keepConverting, imageProduced, stopRequested and the event are touched by two
// threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "event.h"
#include "paths.h"
#include "songrecord.h"
#include "storage_layout.h"

namespace velmo {

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

    bool stopping() const { return stopRequested.load(); }

    std::string path(const std::string& name) const { return resolvePath(startDir, name); }
};

}  // namespace velmo
