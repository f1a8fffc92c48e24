#include "image_operation.h"

#include "convert_job.h"
#include "songlist.h"
#include "translation.h"
#include "download_operation.h"

namespace velmo {

void ImageOperation::start() {
    std::vector<Song> copy(core_.songs.begin(), core_.songs.end());
    uint16_t count = core_.songCount;
    cutToFit(copy.data(), count, core_.capacityNow());
    copy.resize(count);
    core_.view.setStopAvailable(true);
    core_.view.setProgressStage(ProgressStage::Converting);
    core_.view.setProgressBar(1);
    startEstimates(copy, false);
}

void ImageOperation::onEstimates(uint32_t, const std::vector<UnreadableSong>&) {
    if (cancellation_.cancelled()) {
        noteOutcome(OutcomeKind::Stopped, Message{Say::ImageStopped});
        resetProgress();
        return;
    }
    startConversion(nullptr);
}

void ImageOperation::onEvent(const Event& event) {
    keepResults(event);
    std::visit([this](const auto& e) { on(e); }, event);
}

void ImageOperation::on(const ConvertDone& e) {
    ConvertingOperation::on(e);
    if (outcomeNoted()) return;
    Message m{Say::ImageMade};
    m.leftOff = leftOff();
    noteImageOutcome(m);
    resetProgress();
}

void ImageOperation::on(const JobStopped& e) {
    if (e.worker != StoppedWorker::Conversion) return;
    noteOutcome(OutcomeKind::Stopped, Message{Say::ImageStopped});
    resetProgress();
}

void ImageOperation::settle() {
    if (!outcomeNoted() || (outcome().kind != OutcomeKind::Finished && outcome().kind != OutcomeKind::Incomplete))
        core_.removeFile(kImageFile);
}

extern const OperationEntry kImageOperation;
const OperationEntry kImageOperation{
    {Operation::Image, false, false, false, nullptr},
    [](CoreState& core, const Answers& answers, Launch&) { return DownloadOperation::admit(core, false, answers); },
    [](CoreState& core, uint64_t serial, const Launch&) -> std::unique_ptr<RunningOperation> {
        return std::make_unique<ImageOperation>(core, serial);
    }};

}  // namespace velmo
