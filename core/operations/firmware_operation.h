// Upgrade Firmware: the chosen file framed, written to the clock and read
// back to be compared byte for byte. Once its erase has begun it is never
// stopped: a clock left with half a firmware would not start again.
#pragma once

#include <cstdint>
#include <string>

#include "operation.h"

namespace velmo {

class FirmwareOperation : public RunningOperation {
  public:
    FirmwareOperation(CoreState& core, uint64_t serial, uint32_t fileBytes)
        : RunningOperation(Operation::Firmware, core, serial), fileBytes_(fileBytes) {}
    // The clock check, the file, the question and the file's checks, then
    // the framed copy in "./dat/code.tmp"; once it goes, `fileBytes` is the
    // file's size.
    static Admission admit(CoreState& core, const Answers& answers, uint32_t& fileBytes);

    void start() override;
    bool stop() override;
    void cancel() override {}

  protected:
    void onEvent(const Event& event) override;

  private:
    void on(const WriteProgress& e) { core_.view.setProgressBar(e.percent); }
    void on(const ReadProgress& e) { core_.view.setProgressBar(e.percent); }
    void on(const FirmwareStepDone& e);
    void on(const WriteFailed& e);
    void on(const ReadFailed& e);
    // What a write of a song image, or a stoppable one, posts: never seen
    // here, since a firmware write is neither.
    void on(const StorageErasing&) {}
    void on(const DownloadDone&) { notPosted(); }
    void on(const WriteAbandoned&) { notPosted(); }
    void on(const JobStopped&) { notPosted(); }
    void on(const TableReadDone&) { notPosted(); }
    void on(const DataReadDone&) { notPosted(); }
    void on(const VerifyDone&) { notPosted(); }
    void notPosted();
    template <class Other>
    void on(const Other&) {
        static_assert(!isWorkerEvent<Other>({Worker::Write, Worker::Firmware, Worker::Read}),
                      "every event of the firmware's write and read-back is handled");
    }

    uint32_t fileBytes_;
};

}  // namespace velmo
