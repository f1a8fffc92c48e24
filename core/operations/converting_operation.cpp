#include "converting_operation.h"

#include <cerrno>
#include <cstring>
#include <type_traits>
#include <variant>

#include "admission.h"
#include "convert_job.h"
#include "translation.h"

namespace velmo {

void ConvertingOperation::startEstimates(const std::vector<Song>& songs, bool checkFiles) {
    songs_ = songs;
    const uint16_t quality = core_.quality;
    startWorker(false,
                [songs, dir = core_.startDir, quality, checkFiles, stop = &cancellation_.flag()](EventSink& events) {
                    EstimatesDone done;
                    done.estimates = estimateSongs(songs, dir, quality, EstimateSource::SourcePath, stop);
                    for (size_t i = 0; checkFiles && i < songs.size() && !stop->load(); ++i) {
                        const std::string name =
                            songs[i].copyPending ? fieldText(songs[i].sourcePath) : fieldText(songs[i].workPath);
                        const std::string path = resolvePath(dir, name);
                        std::string reason = unreadableReason(path);
                        if (!reason.empty()) done.unreadable.push_back(UnreadableSong{path, std::move(reason)});
                    }
                    events.post(std::move(done));
                });
}

void ConvertingOperation::startConversion(ImageHandOver* handOver) {
    core_.view.setProgressStage(ProgressStage::Converting);
    core_.view.setProgressBar(1);
    songProgress_ = std::make_unique<SongProgress>(core_.view, songs_);
    ConvertJob job;
    job.totalEstimate = total_;
    job.quality = core_.quality;
    job.songs = songs_;
    job.workers = core_.conversionWorkers;
    job.evenVolume = core_.settings.flag(kEvenVolumeKey, false);
    job.handOver = handOver;
    startWorker(false, [job, work = core_.work(), stop = &cancellation_.flag()](EventSink& events) mutable {
        job.events = &events;
        runConvertJob(job, work, *stop);
    });
}

void ConvertingOperation::on(const EstimatesDone& e) {
    uint32_t total = 0;
    for (size_t i = 0; i < songs_.size() && i < e.estimates.size(); ++i) {
        songs_[i].sizeEstimate = e.estimates[i];
        total += e.estimates[i];
    }
    total_ = total;
    onEstimates(total, e.unreadable);
}

void ConvertingOperation::on(const EncodeProgress& e) { core_.view.setProgressBar(e.percent); }

void ConvertingOperation::on(const SongStarted& e) {
    if (songProgress_) songProgress_->started(e);
}

void ConvertingOperation::on(const SongPlaced& e) {
    if (songProgress_) onConversionPercent(songProgress_->placed(e));
}

void ConvertingOperation::on(const ConvertNotice& e) {
    Message m{Say::ConvertNotice};
    m.detail = e.text;
    core_.tell(m);
}

void ConvertingOperation::on(const ConvertDone& e) {
    fate_ = e;
    onConversionEnded();
}

void ConvertingOperation::on(const ConvertFailed& e) {
    // A write that failed first has said why: one message is enough.
    if (!outcomeNoted()) {
        Message m{Say::ConvertFailed};
        m.errorNumber = e.errorNumber;
        fail(m);
        core_.view.setProgressBar(0);
        core_.view.setProgressStage(ProgressStage::Idle);
    }
    onConversionEnded();
}

void ConvertingOperation::on(const ConvertAborted& e) {
    if (!outcomeNoted()) {
        Message m{Say::ConvertAborted};
        m.detail = e.text;
        fail(m);
        core_.view.setProgressBar(0);
        core_.view.setProgressStage(ProgressStage::Idle);
    }
    onConversionEnded();
}

void ConvertingOperation::keepResults(const Event& event) {
    // Each end of the conversion says what it did to the songs so far.
    std::visit(
        [this](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, ConvertDone> || std::is_same_v<T, ConvertFailed> ||
                          std::is_same_v<T, ConvertAborted>)
                placements_ = e.placements;
            if constexpr (std::is_same_v<T, JobStopped>)
                if (e.worker == StoppedWorker::Conversion) placements_ = e.placements;
        },
        event);
}

void ConvertingOperation::applyPlacements() {
    for (size_t i = 0; i < placements_.size() && i < core_.songs.size(); ++i)
        applyPlacement(placements_[i], core_.songs[i]);
}

const SongPlacement* ConvertingOperation::placement(size_t i) const {
    return i < placements_.size() ? &placements_[i] : nullptr;
}

std::vector<std::string> ConvertingOperation::namesOf(const std::vector<uint16_t>& positions) const {
    std::vector<std::string> names;
    for (uint16_t i : positions)
        if (i < songs_.size()) names.push_back(songName(songs_[i]));
    return names;
}

std::string writeErrorText(int errorNumber) {
    if (errorNumber == ENOSPC) return tr_("the disk is full");
    return std::strerror(errorNumber);
}

LeftOff ConvertingOperation::leftOff() const {
    LeftOff off;
    off.unconverted = namesOf(fate_.unconverted);
    for (size_t k = 0; k < fate_.unconverted.size(); ++k)
        off.causes.push_back(k < fate_.unconvertedErrors.size() ? fate_.unconvertedErrors[k] : 0);
    off.didNotFit = namesOf(fate_.didNotFit);
    return off;
}

void ConvertingOperation::noteImageOutcome(const Message& message) {
    if (!songsLeftOff()) {
        noteOutcome(OutcomeKind::Finished);
        return;
    }
    noteOutcome(OutcomeKind::Incomplete, message);
    outcomeToFill().leftOff = leftOff();
}

void ConvertingOperation::keepSongFates() const {
    using Fate = SongFactsStore::Fate;
    std::map<std::string, Fate> fates;
    for (size_t i = 0; i < songs_.size() && i < fate_.convertedBytes.size(); ++i) {
        Fate& f = fates[factsKey(songs_[i])];
        f.quality = core_.quality;
        f.convertedBytes = fate_.convertedBytes[i];
    }
    for (size_t k = 0; k < fate_.unconverted.size(); ++k) {
        if (fate_.unconverted[k] >= songs_.size()) continue;
        Fate& f = fates[factsKey(songs_[fate_.unconverted[k]])];
        f.leftOff = Fate::LeftOff::NotConverted;
        f.errorNumber = k < fate_.unconvertedErrors.size() ? fate_.unconvertedErrors[k] : 0;
    }
    for (uint16_t i : fate_.didNotFit)
        if (i < songs_.size()) fates[factsKey(songs_[i])].leftOff = Fate::LeftOff::DidNotFit;
    core_.facts.setFates(std::move(fates));
}

}  // namespace velmo
