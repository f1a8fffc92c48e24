#include "converting_operation.h"

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
    core_.view.setProgressCaption(tr_("Progress: converting music data..."));
    core_.view.setProgressBar(1);
    ConvertJob job;
    job.totalEstimate = total_;
    job.quality = core_.quality;
    job.songs = songs_.data();
    job.count = static_cast<uint16_t>(songs_.size());
    job.workers = core_.conversionWorkers;
    job.evenVolume = core_.settings.flag(kEvenVolumeKey, false);
    job.handOver = handOver;
    conversionRunning_ = true;
    startWorker(false, [job, work = core_.work(), stop = &cancellation_.flag()](EventSink& events) mutable {
        job.events = &events;
        runConvertJob(job, work, *stop);
    });
}

bool ConvertingOperation::onConversionEvent(const Event& event) {
    View& view = core_.view;
    if (const auto* e = std::get_if<EstimatesDone>(&event)) {
        uint32_t total = 0;
        for (size_t i = 0; i < songs_.size() && i < e->estimates.size(); ++i) {
            songs_[i].sizeEstimate = e->estimates[i];
            total += e->estimates[i];
        }
        total_ = total;
        onEstimates(total, e->unreadable);
        return true;
    }
    if (const auto* e = std::get_if<EncodeProgress>(&event)) {
        view.setProgressBar(e->percent);
        return true;
    }
    if (const auto* e = std::get_if<ConvertNotice>(&event)) {
        // No owner and no caption of its own: the system's default caption.
        view.messageBox(e->text, kCaptionError, MessageIcon::None, MessageButtons::Ok);
        return true;
    }
    if (const auto* e = std::get_if<ConvertDone>(&event)) {
        conversionRunning_ = false;
        unconverted_ = e->unconverted;
        onConversionEnded();
        return true;
    }
    if (std::holds_alternative<ConvertFailed>(event)) {
        conversionRunning_ = false;
        // A write that failed first has said why: one message is enough.
        if (!outcomeNoted()) {
            view.messageBox(kConvertFailedText, core_.appName, MessageIcon::None, MessageButtons::Ok);
            noteOutcome(OutcomeKind::Failed, kConvertFailedText);
            view.setProgressBar(0);
            view.setProgressCaption(tr_(kProgressIdle));
        }
        onConversionEnded();
        return true;
    }
    if (const auto* e = std::get_if<ConvertAborted>(&event)) {
        conversionRunning_ = false;
        if (!outcomeNoted()) {
            view.messageBox(e->text, kCaptionError, MessageIcon::None, MessageButtons::Ok);
            noteOutcome(OutcomeKind::Failed, e->text);
            view.setProgressBar(0);
            view.setProgressCaption(tr_(kProgressIdle));
        }
        onConversionEnded();
        return true;
    }
    return false;
}

std::vector<std::string> ConvertingOperation::unconvertedNames() const {
    std::vector<std::string> names;
    for (uint16_t i : unconverted_)
        if (i < songs_.size()) names.push_back(songName(songs_[i]));
    return names;
}

}  // namespace velmo
