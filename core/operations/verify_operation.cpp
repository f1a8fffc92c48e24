#include "verify_operation.h"

#include <cstdio>
#include <cstring>

#include "convert_job.h"
#include "fileio.h"
#include "storage_layout.h"
#include "transfer.h"
#include "verify.h"

namespace velmo {

Admission VerifyOperation::admit(const CoreState& core) {
    if (core.session.handle() == 0) return Admission::refuseQuietly({Say::VerifyNoClock});
    const std::optional<uint64_t> size = fileSize(core.path(kImageFile));
    if (!size || *size == 0) {
        Message m{Say::VerifyImageGone};
        m.file = core.path(kImageFile);
        return Admission::refuseQuietly(m);
    }
    return Admission::go();
}

void VerifyOperation::start() {
    core_.view.setProgressStage(ProgressStage::Verifying);
    startReadBack();
}

void VerifyOperation::onEvent(const Event& event) {
    std::visit([this](const auto& e) { on(e); }, event);
}

void VerifyOperation::on(const ReadProgress& e) { core_.view.setProgressBar(e.percent); }

void VerifyOperation::on(const VerifyDone& e) {
    if (e.same) {
        noteOutcome(OutcomeKind::Finished);
    } else {
        Message m{Say::VerifyFailedAt};
        m.address = e.address;
        m.clockByte = e.clockByte;
        m.imageByte = e.imageByte;
        noteOutcome(OutcomeKind::Failed, m);
    }
    resetProgress();
}

void VerifyOperation::on(const ReadFailed& e) {
    if (e.errorNumber != 0) {
        Message m{Say::VerifyImageUnreadable};
        m.file = core_.path(kImageFile);
        m.errorNumber = e.errorNumber;
        noteOutcome(OutcomeKind::Failed, m);
    } else {
        core_.session.drop(deviceWorkerRunning());
        noteOutcome(OutcomeKind::Failed, Message{Say::VerifyReadFailed});
    }
    resetProgress();
}

void VerifyOperation::on(const JobStopped&) {
    noteOutcome(OutcomeKind::Stopped, Message{Say::VerifyStopped});
    resetProgress();
}

extern const OperationEntry kVerifyOperation;
const OperationEntry kVerifyOperation{
    {Operation::Verify, true, false, false, nullptr},
    [](CoreState& core, const Answers&, Launch&) { return VerifyOperation::admit(core); },
    [](CoreState& core, uint64_t serial, const Launch&) -> std::unique_ptr<RunningOperation> {
        return std::make_unique<VerifyOperation>(core, serial);
    }};

}  // namespace velmo
