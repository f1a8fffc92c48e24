// The conversion alone, for front ends that make an image without a clock:
// Download's checks (all but the clock's), its cut question and its
// conversion, into "./dat/tmp.bin" (removed at close). It works on a copy of
// the list, cut to fit: the list itself stays as it is.
#pragma once

#include "converting_operation.h"

namespace velmo {


class ImageOperation : public ConvertingOperation {
  public:
    ImageOperation(CoreState& core, uint64_t serial) : ConvertingOperation(Operation::Image, core, serial) {}

    void start() override;
    void settle() override;

  protected:
    void onEvent(const Event& event) override;
    void onEstimates(uint32_t total, const std::vector<UnreadableSong>& unreadable) override;

  private:
    using ConvertingOperation::on;
    void on(const ConvertDone& e);
    void on(const JobStopped& e);
    template <class Other>
    void on(const Other&) {
        static_assert(!isWorkerEvent<Other>({Worker::Estimates, Worker::Conversion}),
                      "every event of the estimates and the conversion is handled");
    }
};

}  // namespace velmo
