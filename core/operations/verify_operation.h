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
};

}  // namespace velmo
