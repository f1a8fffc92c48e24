#include "operation.h"

#include <cstring>

#include "convert_job.h"
#include "storage_layout.h"
#include "transfer.h"
#include "terminal_text.h"
#include "translation.h"
#include "verify.h"

namespace velmo {

RunningOperation::RunningOperation(Operation kind, CoreState& core, uint64_t serial)
    : core_(core), kind_(kind), serial_(serial), events_(core.queue, serial) {}

RunningOperation::~RunningOperation() {
    cancel();
    joinWorkers();
}

void RunningOperation::deliver(const Event& event) {
    if (isEndEvent(event) && endsAwaited_ > 0) --endsAwaited_;
    onEvent(event);
}

bool RunningOperation::stop() {
    cancellation_.cancel();
    return true;
}

void RunningOperation::joinWorkers() {
    for (Worker& w : workers_)
        if (w.thread.joinable()) w.thread.join();
    workers_.clear();
}

bool RunningOperation::workersRunning() const {
    for (const Worker& w : workers_)
        if (!w.done->load()) return true;
    return false;
}

bool RunningOperation::deviceWorkerRunning() const {
    for (const Worker& w : workers_)
        if (w.device && !w.done->load()) return true;
    return false;
}

void RunningOperation::startWorker(bool device, std::function<void(EventSink&)> body) {
    // The threads of earlier steps have posted their end: they are done or
    // about to be.
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    ++endsAwaited_;
    std::thread t([body = std::move(body), done, sink = &events_] {
        body(*sink);
        done->store(true);
    });
    workers_.push_back(Worker{std::move(t), done, device});
}

void RunningOperation::noteOutcome(OutcomeKind kind, const std::string& reason) {
    if (outcomeNoted_) return;
    outcomeNoted_ = true;
    outcome_.operation = kind_;
    outcome_.kind = kind;
    outcome_.reason = reason;
}

std::string RunningOperation::writeFailureText(const WriteFailed& failed, const std::string& file) {
    switch (failed.kind) {
        case WriteFailure::LocalFile:
            // A file of this computer failed: the clock is not at fault.
            return format(tr_("Cannot read %s: %s"), messageName(core_.path(file)).c_str(), std::strerror(failed.errorNumber));
        case WriteFailure::Connection:
            core_.session.drop(deviceWorkerRunning());
            return tr_("USB connection error");
        case WriteFailure::Program:
            return tr_(kStorageWriteErrorText);
        case WriteFailure::Erase:
            break;
    }
    return tr_("Storage erase error !");
}

void RunningOperation::startReadBack(std::vector<ImageSpan> spans) {
    DeviceJob job;
    job.verifySpans = std::move(spans);
    job.handle = core_.session.handle();
    job.address = kStorageHeaderAddress;
    job.path = kImageFile;
    startWorker(true, [job, work = core_.work(), lib = &core_.session.library(), stop = &cancellation_.flag()](
                          EventSink& events) { verifyWorker(job, work, *lib, events, stop); });
}

void RunningOperation::resetProgress() {
    core_.view.setProgressCaption(tr_(kProgressIdle));
    core_.view.setProgressBar(0);
}

void RunningOperation::showError(const std::string& text, const std::string& caption, MessageIcon icon) {
    core_.view.messageBox(text, caption, icon, MessageButtons::Ok);
}

void RunningOperation::afterControlsEnabled() {
    if (boxAfterControls_) boxAfterControls_();
}

bool RunningOperation::startAgent(const AgentFailureBox& lost, const AgentFailureBox& noStorage) {
    const int result = core_.session.startAgent(core_.startDir);
    if (result >= 0 && result != kDeviceAgentFailed) return true;
    const AgentFailureBox box = result < 0 ? lost : noStorage;
    View& view = core_.view;
    view.setProgressCaption(tr_(kProgressIdle));
    const auto show = [&view, box] { view.messageBox(box.text, box.caption, box.icon, MessageButtons::Ok); };
    if (box.at == BoxAt::BeforeProgressReset) show();
    view.setProgressBar(0);
    if (result < 0) core_.session.drop(deviceWorkerRunning());
    if (box.at == BoxAt::BeforeReEnable) show();
    if (box.at == BoxAt::AfterReEnable) boxAfterControls_ = show;
    noteOutcome(OutcomeKind::Failed, box.text);
    return false;
}

}  // namespace velmo
