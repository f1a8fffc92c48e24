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
    uint32_t fileBytes_;
};

}  // namespace velmo
