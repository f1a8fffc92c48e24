#include "download_operation.h"

#include <algorithm>
#include <cstring>

#include <cstdio>
#include <optional>

#include "admission.h"
#include "convert_job.h"
#include "dat_space.h"
#include "image_record.h"
#include "reload_record.h"
#include "storage_layout.h"
#include "transfer.h"
#include "translation.h"
#include "songlist.h"
#include "verify.h"

namespace velmo {

DownloadOperation::DownloadOperation(CoreState& core, uint64_t serial, bool listWasCut, bool verify)
    : ConvertingOperation(Operation::Download, core, serial), listWasCut_(listWasCut), verify_(verify) {
    // A write waiting for the next song looks at the cancellation at once.
    cancellation_.setWakeUp([this] { handOver_.wake(); });
}

Admission DownloadOperation::admit(CoreState& core, bool needsClock, const Answers& answers) {
    // A clock that another program holds is no unplugged clock.
    if (needsClock && core.session.handle() == 0) return Admission::refuse(core.noClock(Say::NoClockForDownload));
    if (core.songCount == 0) return Admission::refuse({Say::NoSongs});
    // The clock's header describes 32 songs; a longer list is refused whole.
    if (core.songCount > kMaxHeaderSongs) return Admission::refuse({Say::SongCountOverLimit});
    if (core.totalEstimate >= core.capacityNow()) return Admission::confirm(answers, QuestionKind::AutoCut);
    return Admission::go();
}

void DownloadOperation::start() {
    // The Download shows itself at once, and can be stopped from the start.
    core_.view.setProgressBar(1);
    core_.view.setStopAvailable(true);
    core_.view.setProgressStage(ProgressStage::Converting);
    startEstimates(std::vector<Song>(core_.songs.begin(), core_.songs.begin() + core_.songCount), true);
}

void DownloadOperation::onEstimates(uint32_t total, const std::vector<UnreadableSong>& unreadable) {
    if (cancellation_.cancelled()) {
        stopped(Say::DownloadStoppedUntouched);
        return;
    }
    // The clock is erased only for songs that can all be read: a song gone
    // since it was added would otherwise leave the clock empty.
    if (!unreadable.empty()) {
        Message m{Say::SongsUnreadable};
        for (const UnreadableSong& u : unreadable) {
            m.items.push_back(u.path);
            m.reasons.push_back(u.reason);
        }
        resetProgress();
        fail(m);
        return;
    }
    for (size_t i = 0; i < songs_.size(); ++i) core_.songs[i].sizeEstimate = songs_[i].sizeEstimate;
    core_.totalEstimate = total;
    if (!enoughDatSpace()) return;
    if (listWasCut_) {
        core_.view.resetLines();
        core_.fillLines(0, core_.songCount);
        core_.showStatus(total);
    }
    if (!startAgent({Say::ReplugClock, BoxAt::AfterReEnable}, {Say::StorageNotFoundForDownload, BoxAt::BeforeReEnable}))
        return;

    DeviceJob job = songImageJob();
    job.expectedBytes = total + kStorageHeaderBytes;
    // The clock changes now: the digests of its last verified Download
    // describe it no longer.
    removeReloadRecord(core_.startDir);
    job.record = loadImageRecord(core_.startDir);
    removeImageRecord(core_.startDir);
    startWorker(true,
                [job, work = core_.work(), lib = &core_.session.library(), cancel = &cancellation_,
                 handOver = &handOver_](EventSink& events) { writeWorker(job, work, *lib, events, cancel, handOver); });
    startConversion(&handOver_);
}

// The working files a Download makes while the clock is being written must
// fit: a disk that fills after the erase leaves the clock without songs.
bool DownloadOperation::enoughDatSpace() {
    const uint64_t needed = datSpaceNeeded(songs_, core_.startDir, core_.quality, core_.session.storageKB(),
                                           core_.settings.flag(kEvenVolumeKey, false), core_.conversionWorkers);
    const std::optional<uint64_t> free = datSpaceFree(core_.startDir);
    if (!free || *free >= needed) return true;
    Message m{Say::NotEnoughSpace};
    m.file = core_.path("./dat");
    m.needed = wholeMegabytes(needed, true);
    m.free = wholeMegabytes(*free, false);
    resetProgress();
    fail(m);
    return false;
}

void DownloadOperation::cancel() {
    ConvertingOperation::cancel();
    handOver_.wake();
}

std::optional<Question> DownloadOperation::stopQuestion() const {
    Question q{QuestionKind::StopOperation};
    q.operation = static_cast<int>(Operation::Download);
    q.leaves = phase_ == Phase::Verifying ? StopLeaves::ClockUnverified
               : phase_ == Phase::Erasing ? StopLeaves::ClockEmpty
                                          : StopLeaves::ClockUnchanged;
    return q;
}

bool DownloadOperation::stop() {
    cancel();
    return true;
}


void DownloadOperation::stopped(Say say) {
    core_.view.setProgressBar(0);
    tellEnd({say});
    noteOutcome(OutcomeKind::Stopped, Message{say});
    resetProgress();
}

void DownloadOperation::onEvent(const Event& event) {
    keepResults(event);
    std::visit([this](const auto& e) { on(e); }, event);
}

void DownloadOperation::on(const ConvertDone& e) {
    ConvertingOperation::on(e);
    keepSongFates();
}

void DownloadOperation::on(const StorageErasing&) { phase_ = Phase::Erasing; }

void DownloadOperation::on(const WriteProgress& e) {
    // One bar for the whole download: the caption says the songs are
    // being written once the first block goes to the clock.
    if (!writeCaptionShown_) {
        writeCaptionShown_ = true;
        core_.view.setProgressStage(ProgressStage::Downloading);
    }
    // A write by the record begins once the image is whole, with a bar of
    // its own; the streamed write's bar goes on from the conversion's.
    if (SongProgress* p = songProgress()) p->written(e);
    barShown_ = e.byRecord ? e.percent : std::max(barShown_, e.percent);
    core_.view.setProgressBar(barShown_);
}

// Until the write begins (a write by the record waits for the whole image)
// the bar follows the songs converted.
void DownloadOperation::onConversionPercent(int percent) {
    if (writeCaptionShown_ || percent <= barShown_) return;
    barShown_ = percent;
    core_.view.setProgressBar(percent);
}

void DownloadOperation::on(const WriteFailed& e) {
    Message m = writeFailure(e, kImageFile);
    if (m.say == Say::UsbConnectionError) m.holds = clockHolds();
    if (!outcomeNoted()) fail(m);
    resetProgress();
}

void DownloadOperation::on(const DownloadDone& e) {
    written_ = e;
    if (cancellation_.cancelled()) {
        stoppedAfterLastBlock();
        return;
    }
    if (verify_) {
        startVerify();
        return;
    }
    finished(false);
    resetProgress();
}

// The stop came once the last block was on its way: the clock holds the new
// songs, but the read-back the user was promised did not run, so this is no
// plain finish.
void DownloadOperation::stoppedAfterLastBlock() {
    if (outcomeNoted()) {
        resetProgress();
        return;
    }
    stopped(Say::DownloadStoppedUnverified);
}

void DownloadOperation::on(const JobStopped& e) {
    if (phase_ == Phase::Verifying) {
        stopped(Say::DownloadStoppedUnverified);
        return;
    }
    if (e.worker == StoppedWorker::Conversion) return;
    // The worker that touched the clock says what it holds.
    if (!outcomeNoted()) {
        stopped(e.erased ? Say::DownloadStoppedErased : Say::DownloadStoppedUntouched);
    } else {
        resetProgress();
    }
}

void DownloadOperation::finished(bool verified) {
    // Songs that are not whole on the clock are named, not left to be found
    // silent: those that could not be converted, and those whose real size
    // did not fit.
    Message m{Say::DownloadFinished};
    m.leftOff = leftOff();
    m.written.imageBytes = written_.imageBytes;
    m.written.bytesWritten = written_.bytesWritten;
    m.written.songsUnchanged = written_.songsUnchanged;
    m.verified = verified;
    tellEnd(m);
    noteImageOutcome(m);
    outcomeToFill().imageBytes = m.written.imageBytes;
    outcomeToFill().bytesWritten = m.written.bytesWritten;
    outcomeToFill().songsUnchanged = m.written.songsUnchanged;
}

// Flash tools read back what they wrote: a clock that acknowledged a block
// it did not program would otherwise pass for a finished Download.
void DownloadOperation::startVerify() {
    phase_ = Phase::Verifying;
    core_.view.setProgressStage(ProgressStage::Verifying);
    std::vector<ImageSpan> spans;
    if (written_.byRecord && !fullVerify_)
        for (const auto& [offset, length] : written_.written) spans.push_back(ImageSpan{offset, length});
    // Nothing written: the header alone is read back.
    if (written_.byRecord && !fullVerify_ && spans.empty()) spans.push_back(ImageSpan{0, 0});
    startReadBack(std::move(spans));
}

// What a write cut short leaves on the clock, by the write order: nothing
// is changed before the erase; the song header is erased before any song
// is written and written last, so from the erase on the clock names no songs
// (unless the cut came after the header's last block); once the read-back
// runs, the clock holds the new songs.
ClockHolds DownloadOperation::clockHolds() const {
    switch (phase_) {
        case Phase::Converting:
            return ClockHolds::Unchanged;
        case Phase::Erasing:
            return ClockHolds::NoSongs;
        case Phase::Verifying:
            break;
    }
    return ClockHolds::NewSongsUnverified;
}

void DownloadOperation::placeOf(uint32_t address, Message& m) const {
    m.place = Place::Header;
    if (address < kDataAreaAddress) return;
    const uint32_t offset = address - kDataAreaAddress;
    for (size_t i = 0; i < songs_.size() && i < kMaxHeaderSongs; ++i) {
        const SongPlacement* p = placement(i);
        if (p && p->placed && offset >= p->dataOffset && offset - p->dataOffset < p->dataSize) {
            m.place = Place::Song;
            m.song = static_cast<uint32_t>(i + 1);
            m.name = songName(songs_[i]);
            return;
        }
    }
    m.place = Place::PastSongs;
}

void DownloadOperation::on(const ReadProgress& e) {
    if (SongProgress* p = songProgress()) p->readBack(e.percent);
    core_.view.setProgressBar(e.percent);
}

void DownloadOperation::on(const VerifyDone& e) {
    if (e.same) {
        finished(true);
        outcomeToFill().verified = true;
    } else {
        Message m{Say::VerifyMismatch};
        m.address = e.address;
        m.clockByte = e.clockByte;
        m.imageByte = e.imageByte;
        placeOf(e.address, m);
        fail(m);
    }
    resetProgress();
}

void DownloadOperation::on(const ReadFailed& e) {
    Message m{Say::UsbConnectionError};
    if (e.errorNumber != 0) {
        m = Message{Say::CannotReadFile};
        m.file = core_.path(kImageFile);
        m.errorNumber = e.errorNumber;
    } else {
        core_.session.drop(deviceWorkerRunning());
        m.holds = clockHolds();
    }
    fail(m);
    resetProgress();
}

void DownloadOperation::notPosted() {
    // An end none of this Download's workers posts: what the clock holds is not known.
    if (!outcomeNoted()) fail({Say::StorageWriteError});
    resetProgress();
}

void DownloadOperation::settle() {
    // What the conversion did to each song (working copies made, where each
    // song's data lies): the list keeps it, whatever the end.
    applyPlacements();
    // An image that did not reach the clock whole goes.
    // An image that did not reach the clock whole goes; one with songs left
    // off is still what the clock holds.
    if (!outcomeNoted() || (outcome().kind != OutcomeKind::Finished && outcome().kind != OutcomeKind::Incomplete))
        core_.removeFile(kImageFile);
}

extern const OperationEntry kDownloadOperation;
const OperationEntry kDownloadOperation{
    {Operation::Download, true, false, false, nullptr},
    [](CoreState& core, const Answers& answers, Launch&) { return DownloadOperation::admit(core, true, answers); },
    [](CoreState& core, uint64_t serial, const Launch& launch) -> std::unique_ptr<RunningOperation> {
        const bool cut = cutToFit(core.songs.data(), core.songCount, core.capacityNow()) != 0;
        auto download = std::make_unique<DownloadOperation>(core, serial, cut, launch.verify);
        download->setFullVerify(launch.fullVerify);
        return download;
    }};

}  // namespace velmo
