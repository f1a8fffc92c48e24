#include "download_operation.h"

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
#include "verify.h"
#include "written_summary.h"

namespace velmo {

DownloadOperation::DownloadOperation(CoreState& core, uint64_t serial, bool listWasCut, bool verify)
    : ConvertingOperation(Operation::Download, core, serial), listWasCut_(listWasCut), verify_(verify) {
    // A write waiting for the next song looks at the cancellation at once.
    cancellation_.setWakeUp([this] { handOver_.wake(); });
}

bool DownloadOperation::checks(CoreState& core, bool needsClock, std::string& reason) {
    View& view = core.view;
    const auto refused = [&](const std::string& text, const char* caption, MessageIcon icon) {
        view.messageBox(text, caption, icon, MessageButtons::Ok);
        reason = text;
        return false;
    };
    // A clock that another program holds is no unplugged clock.
    if (needsClock && core.session.handle() == 0)
        return refused(core.noClockText(tr_("Please plug-in USB to download songs !")), kCaptionError,
                       MessageIcon::Error);
    if (core.songCount == 0)
        return refused(tr_("No song files are in list box !"), kCaptionInformation, MessageIcon::Information);
    // The clock's header describes 32 songs; a longer list is refused whole.
    if (core.songCount > kMaxHeaderSongs)
        return refused(tr_("Song counts are over than limit !"), kCaptionError, MessageIcon::Error);
    if (core.totalEstimate >= core.capacityNow() &&
        view.messageBox(tr_("Auto cut songs to fit storage size ?"), N_("Warning !"), MessageIcon::None,
                        MessageButtons::OkCancel) != MessageResult::Ok) {
        reason = "Auto cut songs to fit storage size ? Cancel";
        return false;
    }
    return true;
}

void DownloadOperation::start() {
    // The Download shows itself at once, and can be stopped from the start.
    core_.view.setProgressBar(1);
    core_.view.setStopAvailable(true);
    core_.view.setProgressCaption(tr_("Progress: converting music data..."));
    startEstimates(std::vector<Song>(core_.songs.begin(), core_.songs.begin() + core_.songCount), true);
}

void DownloadOperation::onEstimates(uint32_t total, const std::vector<UnreadableSong>& unreadable) {
    if (cancellation_.cancelled()) {
        stopped(kDownloadStoppedUntouchedText);
        return;
    }
    // The clock is erased only for songs that can all be read: a song gone
    // since it was added would otherwise leave the clock empty.
    if (!unreadable.empty()) {
        std::string text;
        for (const UnreadableSong& u : unreadable)
            text += (text.empty() ? "" : "\n") + format(tr_("Cannot read %s: %s"), u.path.c_str(), u.reason.c_str());
        resetProgress();
        core_.view.messageBox(text, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Failed, text);
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
    if (!startAgent(
            {tr_("Please plug-out & plug-in USB again !"), kCaptionError, MessageIcon::Error, BoxAt::AfterReEnable},
            {tr_("Storage is not found !"), kCaptionInformation, MessageIcon::Information, BoxAt::BeforeReEnable}))
        return;

    DeviceJob job;
    job.mode = WriteMode::SongImage;
    job.handle = core_.session.handle();
    job.address = kStorageHeaderAddress;
    job.path = kImageFile;
    job.blockSize = kTransferBlockBytes;
    job.eraseLength = core_.session.storageKB() * 1024u - kStorageHeaderAddress;
    job.expectedBytes = total + kStorageHeaderBytes;
    writeRunning_ = true;
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
    const std::string text =
        format(tr_("Not enough space in %s: %llu MB needed, %llu MB free"), core_.path("./dat").c_str(),
               static_cast<unsigned long long>(wholeMegabytes(needed, true)),
               static_cast<unsigned long long>(wholeMegabytes(*free, false)));
    resetProgress();
    core_.view.messageBox(text, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
    noteOutcome(OutcomeKind::Failed, text);
    return false;
}

void DownloadOperation::cancel() {
    ConvertingOperation::cancel();
    handOver_.wake();
}

std::string DownloadOperation::stopQuestion() const {
    const char* leaves = verifying_ ? tr_("The clock will keep the new songs, but they will not be verified.")
                         : erasing_ ? tr_("The clock will then hold no songs.")
                                    : tr_("The clock will not be changed.");
    return std::string(tr_("A download is under way. Stop it?")) + "\n" + leaves;
}

bool DownloadOperation::stop() {
    cancel();
    return true;
}

void DownloadOperation::writeEnded() {
    writeRunning_ = false;
    resetProgress();
}

void DownloadOperation::stopped(const char* english) {
    const char* text = tr_(english);
    core_.view.setProgressBar(0);
    core_.view.messageBox(text, kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
    noteOutcome(OutcomeKind::Stopped, text);
    resetProgress();
}

void DownloadOperation::onEvent(const Event& event) {
    if (verifying_) {
        onVerifyEvent(event);
        return;
    }
    if (onConversionEvent(event)) return;
    View& view = core_.view;
    if (std::holds_alternative<StorageErasing>(event)) {
        erasing_ = true;
    } else if (const auto* e = std::get_if<WriteProgress>(&event)) {
        // One bar for the whole download: the caption says the songs are
        // being written once the first block goes to the clock.
        if (!writeCaptionShown_) {
            writeCaptionShown_ = true;
            view.setProgressCaption(tr_("Progress: downloading music data..."));
        }
        view.setProgressBar(e->percent);
    } else if (const auto* e = std::get_if<WriteFailed>(&event)) {
        const std::string text = writeFailureText(*e, kImageFile);
        if (!outcomeNoted()) {
            view.messageBox(text, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
            noteOutcome(OutcomeKind::Failed, text);
        }
        writeEnded();
    } else if (const auto* e = std::get_if<DownloadDone>(&event)) {
        writeRunning_ = false;
        written_ = *e;
        if (verify_ && !cancellation_.cancelled()) {
            startVerify();
            return;
        }
        finished();
        resetProgress();
    } else if (const auto* e = std::get_if<JobStopped>(&event)) {
        if (e->worker == StoppedWorker::Conversion) {
            conversionRunning_ = false;
            return;
        }
        writeRunning_ = false;
        // The worker that touched the clock says what it holds.
        if (!outcomeNoted()) {
            stopped(e->erased ? kDownloadStoppedErasedText : kDownloadStoppedUntouchedText);
        } else {
            resetProgress();
        }
    } else if (std::holds_alternative<WriteAbandoned>(event)) {
        writeRunning_ = false;
    }
}

void DownloadOperation::finished() {
    // Songs that are not whole on the clock are named, not left to be found
    // silent: those that could not be converted, and those whose real size
    // did not fit.
    Outcome facts;
    facts.imageBytes = written_.imageBytes;
    facts.bytesWritten = written_.bytesWritten;
    facts.songsUnchanged = written_.songsUnchanged;
    const std::string text = leftOffText(tr_(kDownloadFinishedText)) + writtenSummaryLine(facts);
    core_.view.messageBox(text, kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
    noteImageOutcome(text);
    outcomeToFill().imageBytes = facts.imageBytes;
    outcomeToFill().bytesWritten = facts.bytesWritten;
    outcomeToFill().songsUnchanged = facts.songsUnchanged;
}

// Flash tools read back what they wrote: a clock that acknowledged a block
// it did not program would otherwise pass for a finished Download.
void DownloadOperation::startVerify() {
    verifying_ = true;
    core_.view.setProgressCaption(tr_("Progress: verifying music data..."));
    std::vector<ImageSpan> spans;
    if (written_.byRecord && !fullVerify_)
        for (const auto& [offset, length] : written_.written) spans.push_back(ImageSpan{offset, length});
    // Nothing written: the header alone is read back.
    if (written_.byRecord && !fullVerify_ && spans.empty()) spans.push_back(ImageSpan{0, 0});
    startReadBack(std::move(spans));
}

std::string DownloadOperation::placeOf(uint32_t address) const {
    if (address < kDataAreaAddress) return tr_("in the song header");
    const uint32_t offset = address - kDataAreaAddress;
    for (size_t i = 0; i < songs_.size() && i < kMaxHeaderSongs; ++i) {
        const Song& s = songs_[i];
        if (offset >= s.dataOffset && offset - s.dataOffset < s.dataSize)
            return format(tr_("in song %zu (%s)"), i + 1, songName(s).c_str());
    }
    return tr_("past the songs");
}

void DownloadOperation::onVerifyEvent(const Event& event) {
    View& view = core_.view;
    if (const auto* e = std::get_if<ReadProgress>(&event)) {
        view.setProgressBar(e->percent);
        return;
    }
    if (const auto* e = std::get_if<VerifyDone>(&event)) {
        if (e->same) {
            finished();
            outcomeToFill().verified = true;
        } else {
            // TRANSLATORS: the last %s is where the address lies, e.g. "in song 2 (Name)".
            const std::string message = format(
                tr_("Verify failed: the clock holds 0x%02X at storage address 0x%X where the image has 0x%02X, %s"),
                e->clockByte, e->address, e->imageByte, placeOf(e->address).c_str());
            view.messageBox(message, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
            noteOutcome(OutcomeKind::Failed, message);
        }
    } else if (const auto* e = std::get_if<ReadFailed>(&event)) {
        std::string text;
        if (e->errorNumber != 0) {
            text = format(tr_("Cannot read %s: %s"), core_.path(kImageFile).c_str(), std::strerror(e->errorNumber));
        } else {
            core_.session.drop(deviceWorkerRunning());
            text = tr_("USB connection error");
        }
        view.messageBox(text, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Failed, text);
    } else if (std::holds_alternative<JobStopped>(event)) {
        view.setProgressBar(0);
        view.messageBox(tr_(kDownloadStoppedUnverifiedText), kCaptionInformation, MessageIcon::Information,
                        MessageButtons::Ok);
        noteOutcome(OutcomeKind::Stopped, tr_(kDownloadStoppedUnverifiedText));
    }
    resetProgress();
}

void DownloadOperation::settle() {
    // The conversion's copy carries what it did to each song (working copies
    // made, where each song's data lies): the list keeps it, whatever the end.
    for (size_t i = 0; i < songs_.size() && i < core_.songs.size(); ++i) {
        core_.songs[i].copyPending = songs_[i].copyPending;
        core_.songs[i].dataOffset = songs_[i].dataOffset;
        core_.songs[i].dataSize = songs_[i].dataSize;
    }
    // An image that did not reach the clock whole goes.
    // An image that did not reach the clock whole goes; one with songs left
    // off is still what the clock holds.
    if (!outcomeNoted() || (outcome().kind != OutcomeKind::Finished && outcome().kind != OutcomeKind::Incomplete))
        core_.removeFile(kImageFile);
}

}  // namespace velmo
