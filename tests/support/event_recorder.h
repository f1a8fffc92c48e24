// Records what workers post, for the test thread to look at while they run or
// after joining them. Events are compared through describe(), which names
// every field, so an unexpected event shows in full in the failure.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "events.h"

namespace velmo::test {

inline std::string describe(const Event& event) {
    return std::visit(
        [](const auto& e) -> std::string {
            using T = std::decay_t<decltype(e)>;
            const auto n = [](auto v) { return std::to_string(+v); };
            if constexpr (std::is_same_v<T, WriteProgress>) return "WriteProgress{" + n(e.percent) + "}";
            if constexpr (std::is_same_v<T, EncodeProgress>) return "EncodeProgress{" + n(e.percent) + "}";
            if constexpr (std::is_same_v<T, ReadProgress>) return "ReadProgress{" + n(e.percent) + "}";
            if constexpr (std::is_same_v<T, WriteFailed>)
                return "WriteFailed{" + n(static_cast<int>(e.kind)) + ", " + n(e.errorNumber) + "}";
            if constexpr (std::is_same_v<T, StorageErasing>) return "StorageErasing";
            if constexpr (std::is_same_v<T, DownloadDone>) return "DownloadDone";
            if constexpr (std::is_same_v<T, WriteAbandoned>) return "WriteAbandoned";
            if constexpr (std::is_same_v<T, SongStarted>)
                return "SongStarted{" + n(e.position) + ", " + n(e.started) + ", " + n(e.count) + "}";
            if constexpr (std::is_same_v<T, SongPlaced>)
                return "SongPlaced{" + n(e.position) + ", " + n(e.dataOffset) + ", " + n(e.dataSize) + "}";
            if constexpr (std::is_same_v<T, ConvertNotice>) return "ConvertNotice{" + e.text + "}";
            if constexpr (std::is_same_v<T, ConvertDone>) {
                std::string s = "ConvertDone{" + n(e.imageBytes) + ", [";
                for (uint16_t u : e.unconverted) s += " " + n(u);
                s += " ], errors [";
                for (int u : e.unconvertedErrors) s += " " + n(u);
                s += " ], didNotFit [";
                for (uint16_t u : e.didNotFit) s += " " + n(u);
                return s + " ]}";
            }
            if constexpr (std::is_same_v<T, ConvertFailed>) return "ConvertFailed{" + n(e.errorNumber) + "}";
            if constexpr (std::is_same_v<T, ConvertAborted>) return "ConvertAborted{" + e.text + "}";
            if constexpr (std::is_same_v<T, TableReadDone>) return "TableReadDone";
            if constexpr (std::is_same_v<T, DataReadDone>) return "DataReadDone";
            if constexpr (std::is_same_v<T, FirmwareStepDone>)
                return "FirmwareStepDone{" + n(static_cast<int>(e.step)) + "}";
            if constexpr (std::is_same_v<T, ReadFailed>)
                return "ReadFailed{" + n(static_cast<int>(e.stage)) + ", " + n(e.errorNumber) + "}";
            if constexpr (std::is_same_v<T, VerifyDone>)
                return "VerifyDone{" + n(e.same) + ", " + n(e.address) + ", " + n(e.clockByte) + ", " + n(e.imageByte) +
                       "}";
            if constexpr (std::is_same_v<T, EstimatesDone>) {
                std::string s = "EstimatesDone{[";
                for (uint32_t v : e.estimates) s += " " + n(v);
                s += " ], [";
                for (const UnreadableSong& u : e.unreadable) s += " " + u.path + ": " + u.reason;
                return s + " ]}";
            }
            if constexpr (std::is_same_v<T, ReloadParsed>) {
                std::string s =
                    "ReloadParsed{" + n(static_cast<int>(e.failure)) + ", " + e.file + ", " + n(e.errorNumber) + ", [";
                for (const Song& song : e.songs) s += " " + std::string(song.workPath) + ":" + n(song.dataSize);
                s += " ], " + n(e.quality) + ", [";
                for (uint16_t d : e.damaged) s += " " + n(d);
                s += " ], [";
                for (uint32_t v : e.estimates) s += " " + n(v);
                return s + " ]}";
            }
            if constexpr (std::is_same_v<T, JobStopped>)
                return "JobStopped{" + n(static_cast<int>(e.worker)) + ", " + n(e.erased) + "}";
        },
        event);
}

inline bool isProgress(const Event& e) {
    return std::holds_alternative<WriteProgress>(e) || std::holds_alternative<EncodeProgress>(e) ||
           std::holds_alternative<ReadProgress>(e) || std::holds_alternative<SongStarted>(e) ||
           std::holds_alternative<SongPlaced>(e);
}

class EventRecorder : public EventSink {
  public:
    void post(Event event) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(std::move(event));
        }
        cv_.notify_all();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }
    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // The percents of one kind of progress event, in the order posted.
    template <class Progress>
    std::vector<int> progress() const {
        std::vector<int> out;
        for (const Event& e : events())
            if (const auto* p = std::get_if<Progress>(&e)) out.push_back(p->percent);
        return out;
    }
    // Every event, described, in the order posted.
    std::vector<std::string> log() const {
        std::vector<std::string> out;
        for (const Event& e : events()) out.push_back(describe(e));
        return out;
    }
    // Every event but progress, described, in the order posted.
    std::vector<std::string> ends() const {
        std::vector<std::string> out;
        for (const Event& e : events())
            if (!isProgress(e) && !std::holds_alternative<StorageErasing>(e)) out.push_back(describe(e));
        return out;
    }
    // The events of one type, in the order posted.
    template <class T>
    std::vector<T> all() const {
        std::vector<T> out;
        for (const Event& e : events())
            if (const auto* p = std::get_if<T>(&e)) out.push_back(*p);
        return out;
    }
    // Waits until an event of type T has been posted; false when none came in time.
    template <class T>
    bool waitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] {
            for (const Event& e : events_)
                if (std::holds_alternative<T>(e)) return true;
            return false;
        });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// The descriptions of the given events, for comparing with EventRecorder::ends().
template <class... E>
std::vector<std::string> described(const E&... events) {
    return {describe(Event{events})...};
}

}  // namespace velmo::test
