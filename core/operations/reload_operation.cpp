#include "reload_operation.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "reload.h"
#include "songlist.h"
#include "storage_layout.h"
#include "transfer.h"

namespace velmo {

bool ReloadOperation::checks(CoreState& core, std::string& reason) {
    const auto noClock = [&] {
        reason = core.noClockText("Please plug-in USB again !");
        core.view.messageBox(reason, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        return false;
    };
    if (core.session.handle() == 0) return noClock();
    if (core.view.messageBox("Reload song data into P.C ?", "Warning", MessageIcon::None, MessageButtons::OkCancel) !=
        MessageResult::Ok) {
        reason = "Reload song data into P.C ? Cancel";
        return false;
    }
    // The clock may have gone while the question was open.
    if (core.session.handle() == 0) return noClock();
    return true;
}

void ReloadOperation::start() {
    core_.view.setProgressBar(1);
    if (!startAgent({"USB connection error ! Please plug-in USB again.", kCaptionError, MessageIcon::Error,
                     BoxAt::AfterReEnable},
                    {"Storage is not found !", kCaptionError, MessageIcon::Error, BoxAt::BeforeProgressReset}))
        return;
    core_.view.setStopAvailable(true);
    core_.view.setProgressCaption("Progress:checking music data...");
    startRead(kStorageHeaderAddress, kReloadTableFile, kStorageHeaderBytes, true);
}

void ReloadOperation::startRead(uint32_t address, const char* path, uint32_t count, bool table) {
    DeviceJob job;
    job.handle = core_.session.handle();
    job.address = address;
    job.path = path;
    job.blockSize = count;
    startWorker(true, [job, table, work = core_.work(), lib = &core_.session.library(),
                       stop = &cancellation_.flag()](EventSink& events) {
        if (table)
            tableReadWorker(job, work, *lib, events, stop);
        else
            dataReadWorker(job, work, *lib, events, stop);
    });
}

void ReloadOperation::fail(const std::string& text, const char* caption, MessageIcon icon) {
    core_.view.messageBox(text, caption, icon, MessageButtons::Ok);
    noteOutcome(OutcomeKind::Failed, text);
}

void ReloadOperation::onEvent(const Event& event) {
    View& view = core_.view;
    if (const auto* e = std::get_if<ReadProgress>(&event)) {
        view.setProgressBar(e->percent);
    } else if (std::holds_alternative<TableReadDone>(event)) {
        onTableRead();
    } else if (std::holds_alternative<DataReadDone>(event)) {
        onDataRead();
    } else if (const auto* e = std::get_if<ReadFailed>(&event)) {
        const bool data = e->stage == ReadStage::Data;
        if (e->errorNumber != 0) {
            // A file of this computer failed: the clock is not at fault.
            fail("Cannot write " + core_.path(data ? kReloadDataFile : kReloadTableFile) + ": " +
                 std::strerror(e->errorNumber));
            if (data) {
                core_.removeFile(kReloadTableFile);
                core_.removeFile(kReloadDataFile);
            }
        } else {
            core_.session.drop(deviceWorkerRunning());
            // The partly read files are of no use to anyone.
            core_.removeFile(kReloadTableFile);
            if (data) core_.removeFile(kReloadDataFile);
            fail("USB connection error !");
        }
        resetProgress();
    } else if (std::holds_alternative<JobStopped>(event)) {
        core_.removeFile(kReloadTableFile);
        core_.removeFile(kReloadDataFile);
        view.setProgressBar(0);
        view.messageBox(kReloadStoppedText, kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Stopped, kReloadStoppedText);
        resetProgress();
    }
}

void ReloadOperation::onTableRead() {
    const uint32_t n = reloadDataLength(core_.startDir, dataAreaCapacity(core_.session.storageKB()));
    if (n == 0) {
        fail("Storage has no music data.", kCaptionInformation, MessageIcon::Information);
        resetProgress();
        return;
    }
    core_.view.setProgressCaption("Progress:Reloading music data...");
    dataLength_ = n;
    startRead(kDataAreaAddress, kReloadDataFile, n, false);
}

void ReloadOperation::onDataRead() {
    View& view = core_.view;
    uint16_t count = 0;
    uint16_t quality = core_.quality;
    // Read into records of their own: the list is replaced only by songs that
    // are really there.
    std::vector<Song> loaded(kMaxSongs);
    if (loadReloadedTable(core_.startDir, dataLength_, loaded.data(), count, quality) != 0) {
        fail("Reload music data failed.");
        core_.removeFile(kReloadTableFile);
        core_.removeFile(kReloadDataFile);
        resetProgress();
        return;
    }
    splitReloadedData(core_.startDir, loaded.data(), count);
    // Songs whose bytes are erased or are no MP3 (a download cut short by an
    // earlier version, a damaged clock) would reach the next download as songs
    // of size 0: they are left out and named.
    const std::vector<uint16_t> damaged = damagedReloadedSongs(core_.startDir, loaded.data(), count);
    std::string warning;
    for (auto it = damaged.rbegin(); it != damaged.rend(); ++it) {
        core_.removeFile(fieldText(loaded[*it].workPath));
        warning.insert(0, "Song " + std::to_string(*it + 1) + " on the clock is damaged and was not reloaded\n");
        removeSong(loaded.data(), count, *it);
    }
    if (!warning.empty()) warning.pop_back();
    if (count == 0) {
        view.setProgressCaption("Progress:");
        view.setProgressBar(0);
        fail(warning, kCaptionWarning, MessageIcon::Warning);
        resetProgress();
        return;
    }
    std::copy(loaded.begin(), loaded.begin() + count, core_.songs.begin());
    core_.songCount = count;
    core_.quality = quality;
    // The buttons show the quality the reloaded songs were written at, which
    // the next Download uses.
    view.setQualityButtons(quality == kQualityBest, quality == kQualityGood, quality == kQualityNormal);
    const std::vector<Song> listed(core_.songs.begin(), core_.songs.begin() + count);
    const std::vector<uint32_t> estimates =
        estimateSongs(listed, core_.startDir, quality, EstimateSource::WorkPath, nullptr);
    uint32_t total = 0;
    for (uint16_t i = 0; i < count; ++i) {
        core_.songs[i].sizeEstimate = estimates[i];
        total += estimates[i];
    }
    core_.totalEstimate = total;
    view.resetLines();
    core_.fillLines(0, count);
    core_.showStatus(total);
    view.setProgressCaption("Progress:");
    view.setProgressBar(0);
    view.messageBox("Reloading songs finished !", kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
    if (!warning.empty()) view.messageBox(warning, kCaptionWarning, MessageIcon::Warning, MessageButtons::Ok);
    noteOutcome(OutcomeKind::Finished);
}

}  // namespace velmo
