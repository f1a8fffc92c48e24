// Verify: the clock's storage read back and compared with the image the
// last Download wrote ("./dat/tmp.bin"), byte for byte. It shows no box of
// its own: its outcome says what it found (the first address that differs).
#pragma once

#include "operation.h"

namespace velmo {

class VerifyOperation : public RunningOperation {
  public:
    VerifyOperation(CoreState& core, uint64_t serial) : RunningOperation(Operation::Verify, core, serial) {}
    // Refused when there is nothing to verify against.
    static Admission admit(const CoreState& core);

    void start() override;

  protected:
    void onEvent(const Event& event) override;

  private:
    void on(const ReadProgress& e);
    void on(const VerifyDone& e);
    void on(const ReadFailed& e);
    void on(const JobStopped& e);
    // The read-back posts no header or data read of a Reload's.
    void on(const TableReadDone&) {}
    void on(const DataReadDone&) {}
    template <class Other>
    void on(const Other&) {
        static_assert(!isWorkerEvent<Other>({Worker::Read}), "every event of the read-back is handled");
    }
};

}  // namespace velmo
