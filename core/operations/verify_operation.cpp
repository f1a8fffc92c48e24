#include "verify_operation.h"

#include <cstdio>
#include <cstring>

#include "convert_job.h"
#include "fileio.h"
#include "storage_layout.h"
#include "transfer.h"
#include "verify.h"

namespace velmo {

bool VerifyOperation::checks(const CoreState& core, std::string& reason) {
    if (core.session.handle() == 0) {
        reason = "verify: the clock is no longer connected";
        return false;
    }
    const std::optional<uint64_t> size = fileSize(core.path(kImageFile));
    if (!size || *size == 0) {
        reason = "verify: the image " + core.path(kImageFile) + " is gone; nothing to compare";
        return false;
    }
    return true;
}

void VerifyOperation::start() {
    core_.view.setProgressCaption("Progress: verifying music data...");
    startReadBack();
}

void VerifyOperation::onEvent(const Event& event) {
    if (const auto* e = std::get_if<ReadProgress>(&event)) {
        core_.view.setProgressBar(e->percent);
        return;
    }
    if (const auto* e = std::get_if<VerifyDone>(&event)) {
        if (e->same) {
            noteOutcome(OutcomeKind::Finished);
        } else {
            char text[160];
            std::snprintf(text, sizeof text,
                          "verify failed: the clock holds 0x%02X at storage address 0x%X where the image has 0x%02X",
                          e->clockByte, e->address, e->imageByte);
            noteOutcome(OutcomeKind::Failed, text);
        }
    } else if (const auto* e = std::get_if<ReadFailed>(&event)) {
        if (e->errorNumber != 0) {
            noteOutcome(OutcomeKind::Failed, "verify: cannot read the image " + core_.path(kImageFile) + ": " +
                                                 std::strerror(e->errorNumber));
        } else {
            core_.session.drop(deviceWorkerRunning());
            noteOutcome(OutcomeKind::Failed, "verify: reading the clock's storage failed");
        }
    } else if (std::holds_alternative<JobStopped>(event)) {
        noteOutcome(OutcomeKind::Stopped, "Verify stopped: the clock was not changed.");
    }
    resetProgress();
}

}  // namespace velmo
