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

Admission FirmwareOperation::admit(CoreState& core, const Answers& answers, uint32_t& fileBytes) {
    if (core.session.handle() == 0) return Admission::refuse(core.noClock(Say::NoClockForFirmware));
    if (!answers.path) {
        Admission ask;
        ask.verdict = Admission::Verdict::Ask;
        ask.question = Question{QuestionKind::FirmwareFile};
        return ask;
    }
    if (answers.path->empty()) {
        Admission none;
        none.verdict = Admission::Verdict::Declined;
        none.question = Question{QuestionKind::FirmwareFile};
        return none;
    }
    const Admission confirmed = Admission::confirm(answers, QuestionKind::UpgradeFirmware);
    if (!confirmed.goes()) return confirmed;
    const std::string& path = *answers.path;
    // The size is known before a byte is read: a huge file, a device or a
    // FIFO chosen as firmware ends here at once.
    const std::optional<uint64_t> size = firmwareFileSize(path);
    if (!size) return Admission::refuse({Say::FirmwareFormatError});
    // The framed image (the file and 8 bytes) must not run into the song header.
    if (*size > kMaxFirmwareFileBytes) return Admission::refuse({Say::FirmwareTooLarge});
    if (checkFirmwareFormat(path) != 0) return Admission::refuse({Say::FirmwareFormatError});
    fileBytes = static_cast<uint32_t>(*size);
    if (frameFirmware(path, core.startDir) != 0) return Admission::refuse({Say::FirmwareUnreadable});
    if (core.session.handle() == 0) return Admission::refuse(core.noClock(Say::NoClockForFirmware));
    return Admission::go();
}

void FirmwareOperation::start() {
    core_.view.setProgressBar(1);
    if (!startAgent({Say::FirmwareAgentLost, BoxAt::BeforeReEnable}, {Say::StorageFormatError, BoxAt::BeforeReEnable}))
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
    core_.view.setProgressStage(ProgressStage::FirmwareWait);
    return false;
}

void FirmwareOperation::onEvent(const Event& event) {
    std::visit([this](const auto& e) { on(e); }, event);
}

void FirmwareOperation::on(const FirmwareStepDone& e) {
    View& view = core_.view;
    const std::string code = core_.path(kFirmwareCodeFile);
    const std::string check = core_.path(kFirmwareCheckFile);
    if (e.step == FirmwareStep::Written) {
        view.setProgressStage(ProgressStage::VerifyingFirmware);
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
        core_.tell({Say::FirmwareWritten});
        noteOutcome(OutcomeKind::Finished);
    } else {
        invalidateFirmware(core_.session.library(), core_.session.handle());
        fail({Say::FirmwareWriteFailed});
    }
    resetProgress();
}

void FirmwareOperation::on(const WriteFailed& e) {
    fail(writeFailure(e, kFirmwareCodeFile));
    resetProgress();
}

void FirmwareOperation::on(const ReadFailed& e) {
    const std::string code = core_.path(kFirmwareCodeFile);
    const std::string check = core_.path(kFirmwareCheckFile);
    if (e.errorNumber != 0) {
        Message m{Say::CannotWriteFile};
        m.file = check;
        m.errorNumber = e.errorNumber;
        fail(m);
    } else {
        core_.session.drop(deviceWorkerRunning());
        fail({Say::FirmwareVerifyFailed});
    }
    ::unlink(code.c_str());
    ::unlink(check.c_str());
    resetProgress();
}

void FirmwareOperation::notPosted() {
    // An end no firmware write posts: the firmware is not known to be whole.
    fail({Say::FirmwareWriteFailed});
    resetProgress();
}

extern const OperationEntry kFirmwareOperation;
const OperationEntry kFirmwareOperation{
    {Operation::Firmware, true, true, false, nullptr},
    [](CoreState& core, const Answers& answers, Launch& launch) {
        return FirmwareOperation::admit(core, answers, launch.fileBytes);
    },
    [](CoreState& core, uint64_t serial, const Launch& launch) -> std::unique_ptr<RunningOperation> {
        return std::make_unique<FirmwareOperation>(core, serial, launch.fileBytes);
    }};

}  // namespace velmo
