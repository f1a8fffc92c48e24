// Reload and Upgrade Firmware: the two commands that read from the clock, and
// the reactions that chain their workers.
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "firmware.h"
#include "reload.h"
#include "songlist.h"
#include "velmo_core.h"

namespace velmo {

// The read jobs change only these fields; the others keep what the last job left.
void VelmoCore::startReadWorker(uint32_t address, const char* path, uint32_t count, ReadWorkerFn worker) {
    deviceJob_.handle = conn_.deviceHandle;
    deviceJob_.window = &window_;
    deviceJob_.address = address;
    deviceJob_.path = path;
    deviceJob_.blockSize = count;
    // The worker keeps its own copy of the job, as the write worker does.
    const SharedState* shared = shared_.get();
    const DeviceLibrary* lib = &lib_;
    startWorker(true, [job = deviceJob_, shared, lib, worker] { worker(&job, shared, lib); });
}

void VelmoCore::onReload() {
    if (conn_.deviceHandle == 0) {
        view_.messageBox(noClockText("Please plug-in USB again !"), kCaptionError, MessageIcon::Error,
                         MessageButtons::Ok);
        refuse(Operation::Reload, noClockText("Please plug-in USB again !"));
        return;
    }
    if (view_.messageBox("Reload song data into P.C ?", "Warning", MessageIcon::None, MessageButtons::OkCancel) !=
        MessageResult::Ok) {
        refuse(Operation::Reload, "Reload song data into P.C ? Cancel");
        return;
    }
    if (conn_.deviceHandle == 0) {
        view_.messageBox(noClockText("Please plug-in USB again !"), kCaptionError, MessageIcon::Error,
                         MessageButtons::Ok);
        refuse(Operation::Reload, noClockText("Please plug-in USB again !"));
        return;
    }
    beginOperation(Operation::Reload);
    view_.setProgressBar(1);
    if (!startAgentForCommand(
            {"USB connection error ! Please plug-in USB again.", kCaptionError, MessageIcon::Error,
             BoxAt::AfterReEnable},
            {"Storage is not found !", kCaptionError, MessageIcon::Error, BoxAt::BeforeProgressReset}))
        return;
    view_.setStopAvailable(true);
    view_.setProgressCaption("Progress:checking music data...");
    startReadWorker(kStorageHeaderAddress, kReloadTableFile, kStorageHeaderBytes, tableReadWorker);
}

void VelmoCore::onTableReadDone() {
    reapWorkers();
    const uint32_t n = reloadDataLength(shared_->startDir, dataAreaCapacity(shared_->storageKB));
    if (n == 0) {
        view_.messageBox("Storage has no music data.", kCaptionInformation, MessageIcon::Information,
                         MessageButtons::Ok);
        noteOutcome(OutcomeKind::Failed, "Storage has no music data.");
        endOfOperation();
        return;
    }
    view_.setProgressCaption("Progress:Reloading music data...");
    reloadLength_ = n;
    startReadWorker(kDataAreaAddress, kReloadDataFile, n, dataReadWorker);
}

void VelmoCore::onDataReadDone() {
    reapWorkers();
    uint16_t count = 0;
    uint16_t quality = quality_;
    // Read into records of their own: the list is replaced only by songs that
    // are really there.
    std::vector<SongRecord> loaded(kMaxSongs);
    if (loadReloadedTable(shared_->startDir, reloadLength_, loaded.data(), count, quality) != 0) {
        view_.messageBox("Reload music data failed.", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Failed, "Reload music data failed.");
        removeFile(kReloadTableFile);
        removeFile(kReloadDataFile);
        endOfOperation();
        return;
    }
    splitReloadedData(shared_->startDir, loaded.data(), count);
    // Songs whose bytes are erased or are no MP3 (a download cut short by an
    // earlier version, a damaged clock) would reach the next download as songs
    // of size 0: they are left out and named.
    const std::vector<uint16_t> damaged = damagedReloadedSongs(shared_->startDir, loaded.data(), count);
    std::string warning;
    for (auto it = damaged.rbegin(); it != damaged.rend(); ++it) {
        removeFile(fieldText(loaded[*it].workPath));
        warning.insert(0, "Song " + std::to_string(*it + 1) + " on the clock is damaged and was not reloaded\n");
        removeSongRecord(loaded.data(), count, *it);
    }
    if (!warning.empty()) warning.pop_back();
    if (count == 0) {
        view_.setProgressCaption("Progress:");
        view_.setProgressBar(0);
        view_.messageBox(warning, kCaptionWarning, MessageIcon::Warning, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Failed, warning);
        endOfOperation();
        return;
    }
    std::copy(loaded.begin(), loaded.begin() + count, shared_->songs);
    songCount_ = count;
    quality_ = quality;
    totalEstimate_ = reEstimate(EstimateSource::WorkPath);
    view_.resetLines();
    fillLines(0, songCount_);
    showStatus(totalEstimate_);
    view_.setProgressCaption("Progress:");
    view_.setProgressBar(0);
    view_.messageBox("Reloading songs finished !", kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
    if (!warning.empty()) view_.messageBox(warning, kCaptionWarning, MessageIcon::Warning, MessageButtons::Ok);
    noteOutcome(OutcomeKind::Finished);
    finishOperation();
}

void VelmoCore::onUpgradeFirmware() {
    if (conn_.deviceHandle == 0) {
        view_.messageBox(noClockText("Please plug-in USB again !"), kCaptionError, MessageIcon::Error,
                         MessageButtons::Ok);
        refuse(Operation::Firmware, noClockText("Please plug-in USB again !"));
        return;
    }
    std::string path;
    if (!view_.chooseFirmwareFile(path)) {
        refuse(Operation::Firmware, "No firmware file was chosen.");
        return;
    }
    chosenPath_ = path;
    if (view_.messageBox("Upgrade Firmware ?", "Warning", MessageIcon::None, MessageButtons::OkCancel) !=
        MessageResult::Ok) {
        refuse(Operation::Firmware, "Upgrade Firmware ? Cancel");
        return;
    }
    // The size is known before a byte is read: a huge file, a device or a
    // FIFO chosen as firmware ends here at once.
    const std::optional<uint64_t> size = firmwareFileSize(chosenPath_);
    if (!size) {
        view_.messageBox("Firmware code format error !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        refuse(Operation::Firmware, "Firmware code format error !");
        return;
    }
    // The framed image (the file and 8 bytes) must not run into the song header.
    if (*size > kMaxFirmwareFileBytes) {
        view_.messageBox("Firmware code file size is over limitation !", kCaptionError, MessageIcon::Error,
                         MessageButtons::Ok);
        refuse(Operation::Firmware, "Firmware code file size is over limitation !");
        return;
    }
    if (checkFirmwareFormat(chosenPath_) != 0) {
        view_.messageBox("Firmware code format error !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        refuse(Operation::Firmware, "Firmware code format error !");
        return;
    }
    const auto n = static_cast<uint32_t>(*size);
    if (frameFirmware(chosenPath_, shared_->startDir) != 0) {
        view_.messageBox("Binary code file reading error!", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        refuse(Operation::Firmware, "Binary code file reading error!");
        return;
    }
    if (conn_.deviceHandle == 0) {
        view_.messageBox(noClockText("Please plug-in USB again !"), kCaptionError, MessageIcon::Error,
                         MessageButtons::Ok);
        refuse(Operation::Firmware, noClockText("Please plug-in USB again !"));
        return;
    }
    beginOperation(Operation::Firmware);
    view_.setProgressBar(1);
    if (!startAgentForCommand(
            {"Please plug-in USB again !", kCaptionError, MessageIcon::Error, BoxAt::BeforeReEnable},
            {"Storage format reading error !\n", kCaptionError, MessageIcon::Error, BoxAt::BeforeReEnable}))
        return;
    startWriteWorkerJob(kFirmwareCodeFile, kFirmwareAddress, n, WriteMode::FirmwareCode, WriteStart::AfterPause);
}

void VelmoCore::onFirmwareStepDone(uint32_t wParam) {
    reapWorkers();
    const std::string code = shared_->path(kFirmwareCodeFile);
    const std::string check = shared_->path(kFirmwareCheckFile);
    if (wParam == 0) {
        view_.setProgressCaption("Progress:Verifying firmware code...");
        view_.setProgressBar(0);
        const std::optional<uint64_t> framed = firmwareFileSize(code);
        const uint32_t size = framed && *framed <= kFirmwareAreaBytes ? static_cast<uint32_t>(*framed) : 0;
        startReadWorker(kFirmwareAddress, kFirmwareCheckFile, size, firmwareReadWorker);
        return;
    }
    // Byte for byte: a read-back with a different byte but an equal sum, or
    // two missing files, is not a verified firmware.
    const bool same = sameFileContents(code, check);
    ::unlink(code.c_str());
    ::unlink(check.c_str());
    if (same) {
        view_.messageBox("Writing code O.K !", kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Finished);
    } else {
        invalidateFirmware(lib_, conn_.deviceHandle);
        view_.messageBox("Writing code failed !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Failed, "Writing code failed !");
    }
    endOfOperation();
}

}  // namespace velmo
