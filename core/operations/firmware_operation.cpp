#include "firmware_operation.h"

#include <unistd.h>

#include <cstring>
#include <optional>

#include "firmware.h"
#include "storage_layout.h"
#include "transfer.h"
#include "terminal_text.h"
#include "translation.h"

namespace velmo {

bool FirmwareOperation::checks(CoreState& core, std::string& chosen, uint32_t& fileBytes, std::string& reason) {
    View& view = core.view;
    const auto refused = [&](const std::string& text) {
        view.messageBox(text, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        reason = text;
        return false;
    };
    if (core.session.handle() == 0) return refused(core.noClockText(tr_("Please plug-in USB again !")));
    std::string path;
    if (!view.chooseFirmwareFile(path)) {
        reason = "No firmware file was chosen.";
        return false;
    }
    chosen = path;
    if (view.messageBox(tr_("Upgrade Firmware ?"), N_("Warning"), MessageIcon::None, MessageButtons::OkCancel) !=
        MessageResult::Ok) {
        reason = "Upgrade Firmware ? Cancel";
        return false;
    }
    // The size is known before a byte is read: a huge file, a device or a
    // FIFO chosen as firmware ends here at once.
    const std::optional<uint64_t> size = firmwareFileSize(path);
    if (!size) return refused(tr_("Firmware code format error !"));
    // The framed image (the file and 8 bytes) must not run into the song header.
    if (*size > kMaxFirmwareFileBytes) return refused(tr_("Firmware code file size is over limitation !"));
    if (checkFirmwareFormat(path) != 0) return refused(tr_("Firmware code format error !"));
    fileBytes = static_cast<uint32_t>(*size);
    if (frameFirmware(path, core.startDir) != 0) return refused(tr_("Binary code file reading error!"));
    if (core.session.handle() == 0) return refused(core.noClockText(tr_("Please plug-in USB again !")));
    return true;
}

void FirmwareOperation::start() {
    core_.view.setProgressBar(1);
    if (!startAgent(
            {tr_("Please plug-in USB again !"), kCaptionError, MessageIcon::Error, BoxAt::BeforeReEnable},
            {tr_("Storage format reading error !\n"), kCaptionError, MessageIcon::Error, BoxAt::BeforeReEnable}))
        return;
    DeviceJob job;
    job.mode = WriteMode::FirmwareCode;
    job.handle = core_.session.handle();
    job.address = kFirmwareAddress;
    job.path = kFirmwareCodeFile;
    job.blockSize = kTransferBlockBytes;
    job.eraseLength = fileBytes_;
    startWorker(true, [job, work = core_.work(), lib = &core_.session.library()](EventSink& events) {
        writeWorker(job, work, *lib, events, nullptr, nullptr);
    });
}

bool FirmwareOperation::stop() {
    core_.view.setProgressCaption(tr_(kFirmwareWaitCaption));
    return false;
}

void FirmwareOperation::onEvent(const Event& event) {
    View& view = core_.view;
    const std::string code = core_.path(kFirmwareCodeFile);
    const std::string check = core_.path(kFirmwareCheckFile);
    if (const auto* e = std::get_if<WriteProgress>(&event)) {
        view.setProgressBar(e->percent);
    } else if (const auto* e = std::get_if<ReadProgress>(&event)) {
        view.setProgressBar(e->percent);
    } else if (const auto* e = std::get_if<FirmwareStepDone>(&event)) {
        if (e->step == FirmwareStep::Written) {
            view.setProgressCaption(tr_("Progress:Verifying firmware code..."));
            view.setProgressBar(0);
            const std::optional<uint64_t> framed = firmwareFileSize(code);
            DeviceJob job;
            job.handle = core_.session.handle();
            job.address = kFirmwareAddress;
            job.path = kFirmwareCheckFile;
            job.blockSize = framed && *framed <= kFirmwareAreaBytes ? static_cast<uint32_t>(*framed) : 0;
            startWorker(true, [job, work = core_.work(), lib = &core_.session.library()](EventSink& events) {
                firmwareReadWorker(job, work, *lib, events);
            });
            return;
        }
        // Byte for byte: a read-back with a different byte but an equal sum, or
        // two missing files, is not a verified firmware.
        const bool same = sameFileContents(code, check);
        ::unlink(code.c_str());
        ::unlink(check.c_str());
        if (same) {
            view.messageBox(tr_("Writing code O.K !"), kCaptionInformation, MessageIcon::Information,
                            MessageButtons::Ok);
            noteOutcome(OutcomeKind::Finished);
        } else {
            invalidateFirmware(core_.session.library(), core_.session.handle());
            showError(tr_("Writing code failed !"));
            noteOutcome(OutcomeKind::Failed, tr_("Writing code failed !"));
        }
        resetProgress();
    } else if (const auto* e = std::get_if<WriteFailed>(&event)) {
        const std::string text = writeFailureText(*e, kFirmwareCodeFile);
        showError(text);
        noteOutcome(OutcomeKind::Failed, text);
        resetProgress();
    } else if (const auto* e = std::get_if<ReadFailed>(&event)) {
        if (e->errorNumber != 0) {
            const std::string text = format(tr_("Cannot write %s: %s"), messageName(check).c_str(), std::strerror(e->errorNumber));
            showError(text);
            noteOutcome(OutcomeKind::Failed, text);
        } else {
            core_.session.drop(deviceWorkerRunning());
            showError(tr_("Verify code failed !"));
            noteOutcome(OutcomeKind::Failed, tr_("Verify code failed !"));
        }
        ::unlink(code.c_str());
        ::unlink(check.c_str());
        resetProgress();
    }
}

}  // namespace velmo
