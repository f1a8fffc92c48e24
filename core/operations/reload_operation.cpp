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

Admission ReloadOperation::admit(CoreState& core, const Answers& answers) {
    // Checked again once answered: the clock may have gone while the question was open.
    if (core.session.handle() == 0) return Admission::refuse(core.noClock(Say::NoClockForReload));
    return Admission::confirm(answers, QuestionKind::ReloadSongs);
}

void ReloadOperation::start() {
    core_.view.setProgressBar(1);
    if (!startAgent({Say::ReloadAgentLost, BoxAt::AfterReEnable},
                    {Say::StorageNotFoundForReload, BoxAt::BeforeProgressReset}))
        return;
    core_.view.setStopAvailable(true);
    core_.view.setProgressStage(ProgressStage::CheckingClock);
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

Message ReloadOperation::readCheckMessage(const ReadFailed& failed) {
    Message m{Say::UsbConnectionErrorBang};
    switch (failed.check) {
        case ReadCheck::HeaderDiffers:
            m.say = Say::ReadHeaderDiffers;
            break;
        case ReadCheck::SongDiffers:
            m.say = Say::ReadSongDiffers;
            break;
        case ReadCheck::SongNotAsDownloaded:
            m.say = Say::ReadSongNotAsDownloaded;
            break;
        case ReadCheck::None:
            break;
    }
    m.song = failed.song;
    m.name = failed.name;
    return m;
}

void ReloadOperation::onEvent(const Event& event) {
    std::visit([this](const auto& e) { on(e); }, event);
}

void ReloadOperation::on(const ReadFailed& e) {
    const bool data = e.stage == ReadStage::Data;
    if (e.check != ReadCheck::None) {
        // The clock answered every read, but never twice alike: the
        // connection is sound enough to try again, nothing is kept.
        fail(readCheckMessage(e));
        core_.removeFile(kReloadTableFile);
        core_.removeFile(kReloadDataFile);
    } else if (e.errorNumber != 0) {
        // A file of this computer failed: the clock is not at fault.
        Message m{Say::CannotWriteFile};
        m.file = core_.path(data ? kReloadDataFile : kReloadTableFile);
        m.errorNumber = e.errorNumber;
        fail(m);
        // Neither file is of use, the one cut short least of all.
        core_.removeFile(kReloadTableFile);
        core_.removeFile(kReloadDataFile);
    } else {
        core_.session.drop(deviceWorkerRunning());
        // The partly read files are of no use to anyone.
        core_.removeFile(kReloadTableFile);
        if (data) core_.removeFile(kReloadDataFile);
        fail({Say::UsbConnectionErrorBang});
    }
    resetProgress();
}

void ReloadOperation::on(const JobStopped&) {
    core_.removeFile(kReloadTableFile);
    core_.removeFile(kReloadDataFile);
    core_.view.setProgressBar(0);
    tellEnd({Say::ReloadStopped});
    noteOutcome(OutcomeKind::Stopped, Message{Say::ReloadStopped});
    resetProgress();
}

void ReloadOperation::on(const VerifyDone&) {
    // No read of a Reload's posts it: nothing read can be trusted.
    fail({Say::ReloadFailed});
    resetProgress();
}

void ReloadOperation::onTableRead() {
    uint32_t n = 0;
    const ReloadHeader header = checkReloadedHeader(core_.startDir, dataAreaCapacity(core_.session.storageKB()), n);
    if (header == ReloadHeader::Damaged) {
        // Songs read by a header that lies would replace the list with
        // nonsense: none is read.
        fail({Say::HeaderDamaged});
        core_.removeFile(kReloadTableFile);
        resetProgress();
        return;
    }
    if (n == 0) {
        fail({Say::NoMusicData});
        resetProgress();
        return;
    }
    core_.view.setProgressStage(ProgressStage::Reloading);
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
        if (parsed.failure == ReloadFailure::WriteFailed) {
            Message m{Say::CannotWriteFile};
            m.file = parsed.file;
            m.errorNumber = parsed.errorNumber;
            fail(m);
        } else {
            fail({parsed.failure == ReloadFailure::HeaderDamaged ? Say::HeaderDamaged : Say::ReloadFailed});
        }
        core_.removeFile(kReloadTableFile);
        core_.removeFile(kReloadDataFile);
        resetProgress();
        return;
    }
    // Songs whose bytes are erased or are no chain of MP3 frames (a download
    // cut short by an earlier version, a damaged clock, a failed read) would
    // reach the next download as songs of size 0 or as noise: they are left
    // out and named.
    Message damaged{Say::SongsDamaged};
    for (uint16_t d : parsed.damaged) damaged.numbers.push_back(d + 1u);
    const auto count = static_cast<uint16_t>(parsed.songs.size());
    if (count == 0) {
        view.setProgressStage(ProgressStage::Idle);
        view.setProgressBar(0);
        fail(damaged);
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
    view.setProgressStage(ProgressStage::Idle);
    view.setProgressBar(0);
    tellEnd({Say::ReloadFinished});
    if (!damaged.numbers.empty()) core_.tell(damaged);
    noteOutcome(OutcomeKind::Finished);
}

extern const OperationEntry kReloadOperation;
const OperationEntry kReloadOperation{
    {Operation::Reload, true, false, true, nullptr},
    [](CoreState& core, const Answers& answers, Launch&) { return ReloadOperation::admit(core, answers); },
    [](CoreState& core, uint64_t serial, const Launch&) -> std::unique_ptr<RunningOperation> {
        return std::make_unique<ReloadOperation>(core, serial);
    }};

}  // namespace velmo
