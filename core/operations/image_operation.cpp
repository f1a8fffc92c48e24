#include "image_operation.h"

#include "convert_job.h"
#include "songlist.h"
#include "translation.h"

namespace velmo {

void ImageOperation::start() {
    std::vector<Song> copy(core_.songs.begin(), core_.songs.end());
    uint16_t count = core_.songCount;
    cutToFit(copy.data(), count, core_.capacityNow());
    copy.resize(count);
    core_.view.setStopAvailable(true);
    core_.view.setProgressCaption(tr_("Progress: converting music data..."));
    core_.view.setProgressBar(1);
    startEstimates(copy, false);
}

void ImageOperation::onEstimates(uint32_t, const std::vector<UnreadableSong>&) {
    if (cancellation_.cancelled()) {
        noteOutcome(OutcomeKind::Stopped, kImageStoppedText);
        resetProgress();
        return;
    }
    startConversion(nullptr);
}

void ImageOperation::onEvent(const Event& event) {
    if (onConversionEvent(event)) {
        if (std::holds_alternative<ConvertDone>(event) && !outcomeNoted()) {
            noteImageOutcome(leftOffText(tr_("The image was made.")));
            resetProgress();
        }
        return;
    }
    if (const auto* e = std::get_if<JobStopped>(&event); e && e->worker == StoppedWorker::Conversion) {
        conversionRunning_ = false;
        noteOutcome(OutcomeKind::Stopped, kImageStoppedText);
        resetProgress();
    }
}

void ImageOperation::settle() {
    if (!outcomeNoted() || (outcome().kind != OutcomeKind::Finished && outcome().kind != OutcomeKind::Incomplete))
        core_.removeFile(kImageFile);
}

}  // namespace velmo
