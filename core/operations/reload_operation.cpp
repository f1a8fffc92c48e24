#include "reload_operation.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "paths.h"
#include "reload.h"
#include "songlist.h"
#include "storage_layout.h"
#include "transfer.h"
#include "translation.h"

namespace velmo {

bool ReloadOperation::checks(CoreState& core, std::string& reason) {
    const auto noClock = [&] {
        reason = core.noClockText(tr_("Please plug-in USB again !"));
        core.view.messageBox(reason, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        return false;
    };
    if (core.session.handle() == 0) return noClock();
    if (core.view.messageBox(tr_("Reload song data into P.C ?"), N_("Warning"), MessageIcon::None,
                             MessageButtons::OkCancel) != MessageResult::Ok) {
        reason = "Reload song data into P.C ? Cancel";
        return false;
    }
    // The clock may have gone while the question was open.
    if (core.session.handle() == 0) return noClock();
    return true;
}

void ReloadOperation::start() {
    core_.view.setProgressBar(1);
    if (!startAgent({tr_("USB connection error ! Please plug-in USB again."), kCaptionError, MessageIcon::Error,
                     BoxAt::AfterReEnable},
                    {tr_("Storage is not found !"), kCaptionError, MessageIcon::Error, BoxAt::BeforeProgressReset}))
        return;
    core_.view.setStopAvailable(true);
    core_.view.setProgressCaption(tr_("Progress:checking music data..."));
    startRead(kStorageHeaderAddress, kReloadTableFile, kStorageHeaderBytes, true);
}

void ReloadOperation::startRead(uint32_t address, const char* path, uint32_t count, bool table) {
    DeviceJob job;
    job.handle = core_.session.handle();
    job.address = address;
    job.path = path;
    job.blockSize = count;
    const bool readTwice = core_.settings.flag(kReloadReadTwiceKey, true);
    startWorker(true, [job, table, readTwice, work = core_.work(), lib = &core_.session.library(),
                       stop = &cancellation_.flag()](EventSink& events) {
        if (table)
            tableReadWorker(job, work, *lib, events, stop);
        else
            dataReadWorker(job, work, *lib, events, stop, readTwice);
    });
}

std::string ReloadOperation::readCheckText(const ReadFailed& failed) {
    switch (failed.check) {
        case ReadCheck::HeaderDiffers:
            return tr_("Read error: the clock's song header read differently at every read. Try the Reload again.");
        case ReadCheck::SongDiffers:
            return format(tr_("Read error: song %u (%s) read differently at every read. Try the Reload again."),
                          unsigned{failed.song}, failed.name.c_str());
        case ReadCheck::SongNotAsDownloaded:
            return format(tr_("Read error: song %u (%s) did not read as it was downloaded. Try the Reload again."),
                          unsigned{failed.song}, failed.name.c_str());
        case ReadCheck::None:
            break;
    }
    return tr_("USB connection error !");
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
        startParse();
    } else if (const auto* e = std::get_if<ReloadParsed>(&event)) {
        onParsed(*e);
    } else if (const auto* e = std::get_if<ReadFailed>(&event)) {
        const bool data = e->stage == ReadStage::Data;
        if (e->check != ReadCheck::None) {
            // The clock answered every read, but never twice alike: the
            // connection is sound enough to try again, nothing is kept.
            fail(readCheckText(*e));
            core_.removeFile(kReloadTableFile);
            core_.removeFile(kReloadDataFile);
        } else if (e->errorNumber != 0) {
            // A file of this computer failed: the clock is not at fault.
            fail(format(tr_("Cannot write %s: %s"), core_.path(data ? kReloadDataFile : kReloadTableFile).c_str(),
                        std::strerror(e->errorNumber)));
            // Neither file is of use, the one cut short least of all.
            core_.removeFile(kReloadTableFile);
            core_.removeFile(kReloadDataFile);
        } else {
            core_.session.drop(deviceWorkerRunning());
            // The partly read files are of no use to anyone.
            core_.removeFile(kReloadTableFile);
            if (data) core_.removeFile(kReloadDataFile);
            fail(tr_("USB connection error !"));
        }
        resetProgress();
    } else if (std::holds_alternative<JobStopped>(event)) {
        core_.removeFile(kReloadTableFile);
        core_.removeFile(kReloadDataFile);
        view.setProgressBar(0);
        view.messageBox(tr_(kReloadStoppedText), kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Stopped, tr_(kReloadStoppedText));
        resetProgress();
    }
}

void ReloadOperation::onTableRead() {
    uint32_t n = 0;
    const ReloadHeader header = checkReloadedHeader(core_.startDir, dataAreaCapacity(core_.session.storageKB()), n);
    if (header == ReloadHeader::Damaged) {
        // Songs read by a header that lies would replace the list with
        // nonsense: none is read.
        fail(tr_(kHeaderDamagedText));
        core_.removeFile(kReloadTableFile);
        resetProgress();
        return;
    }
    if (n == 0) {
        fail(tr_("Storage has no music data."), kCaptionInformation, MessageIcon::Information);
        resetProgress();
        return;
    }
    core_.view.setProgressCaption(tr_("Progress:Reloading music data..."));
    startRead(kDataAreaAddress, kReloadDataFile, n, false);
}

void ReloadOperation::startParse() {
    // Walking every song, writing the song files and probing them for their
    // estimates takes long on a large clock: the window goes on answering
    // meanwhile, and a stop ends it between two songs.
    startWorker(false, [startDir = core_.startDir, capacity = dataAreaCapacity(core_.session.storageKB()),
                        stop = &cancellation_.flag()](EventSink& events) {
        bool stopped = false;
        ReloadParsed parsed = reloadSongs(startDir, capacity, stop, stopped);
        if (!stopped && parsed.failure == ReloadFailure::None) {
            // Estimated from the staged files, which are the songs' bytes.
            std::vector<Song> staged = parsed.songs;
            for (size_t i = 0; i < staged.size() && i < parsed.staged.size(); ++i)
                std::snprintf(staged[i].workPath, sizeof staged[i].workPath, "%s", parsed.staged[i].c_str());
            parsed.estimates = estimateSongs(staged, startDir, parsed.quality, EstimateSource::WorkPath, stop);
        }
        if (stopped || stop->load()) {
            // Songs read before the stop are no list's: they go, and
            // dat/ is as it was.
            discardStagedSongs(startDir, parsed.staged);
            events.post(JobStopped{StoppedWorker::Read, false});
            return;
        }
        events.post(std::move(parsed));
    });
}

void ReloadOperation::onParsed(const ReloadParsed& given) {
    View& view = core_.view;
    ReloadParsed parsed = given;
    // Only now, with every song read and checked, do the songs take their
    // names in dat/, where a working copy of the list shown may be one.
    if (parsed.failure == ReloadFailure::None && !parsed.songs.empty() &&
        !commitReloadedSongs(core_.startDir, parsed, parsed.file, parsed.errorNumber))
        parsed.failure = ReloadFailure::WriteFailed;
    discardStagedSongs(core_.startDir, parsed.staged);
    if (parsed.failure != ReloadFailure::None) {
        if (parsed.failure == ReloadFailure::WriteFailed)
            fail(format(tr_("Cannot write %s: %s"), parsed.file.c_str(), std::strerror(parsed.errorNumber)));
        else
            fail(tr_(parsed.failure == ReloadFailure::HeaderDamaged ? kHeaderDamagedText
                                                                    : N_("Reload music data failed.")));
        core_.removeFile(kReloadTableFile);
        core_.removeFile(kReloadDataFile);
        resetProgress();
        return;
    }
    // Songs whose bytes are erased or are no chain of MP3 frames (a download
    // cut short by an earlier version, a damaged clock, a failed read) would
    // reach the next download as songs of size 0 or as noise: they are left
    // out and named.
    std::string warning;
    for (uint16_t d : parsed.damaged)
        warning += format(tr_("Song %d on the clock is damaged and was not reloaded"), d + 1) + "\n";
    if (!warning.empty()) warning.pop_back();
    const auto count = static_cast<uint16_t>(parsed.songs.size());
    if (count == 0) {
        view.setProgressCaption(tr_(kProgressIdle));
        view.setProgressBar(0);
        fail(warning, kCaptionWarning, MessageIcon::Warning);
        resetProgress();
        return;
    }
    std::copy(parsed.songs.begin(), parsed.songs.end(), core_.songs.begin());
    core_.songCount = count;
    core_.quality = parsed.quality;
    // The buttons show the quality the reloaded songs were written at, which
    // the next Download uses.
    view.setQualityButtons(parsed.quality == kQualityBest, parsed.quality == kQualityGood,
                           parsed.quality == kQualityNormal);
    uint32_t total = 0;
    for (uint16_t i = 0; i < count; ++i) {
        core_.songs[i].sizeEstimate = parsed.estimates[i];
        total += parsed.estimates[i];
    }
    core_.totalEstimate = total;
    view.resetLines();
    core_.fillLines(0, count);
    core_.showStatus(total);
    view.setProgressCaption(tr_(kProgressIdle));
    view.setProgressBar(0);
    view.messageBox(tr_("Reloading songs finished !"), kCaptionInformation, MessageIcon::Information,
                    MessageButtons::Ok);
    if (!warning.empty()) view.messageBox(warning, kCaptionWarning, MessageIcon::Warning, MessageButtons::Ok);
    noteOutcome(OutcomeKind::Finished);
}

}  // namespace velmo
