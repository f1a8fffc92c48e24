#include "operation.h"

#include <cassert>
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
    // The owner has called shutdown(): a thread still running here would use
    // members of the derived operation, already destroyed.
    assert(workers_.empty() && "RunningOperation destroyed before shutdown()");
    // Without assertions, waiting is still better than a thread left behind
    // (std::thread's destructor would end the program).
    joinWorkers();
}

void RunningOperation::shutdown() {
    // An operation that is over has no worker left to stop: its threads
    // return once they have posted their end.
    if (!over()) cancel();
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
    for (WorkerThread& w : workers_)
        if (w.thread.joinable()) w.thread.join();
    workers_.clear();
}

bool RunningOperation::workersRunning() const {
    for (const WorkerThread& w : workers_)
        if (!w.done->load()) return true;
    return false;
}

bool RunningOperation::deviceWorkerRunning() const {
    for (const WorkerThread& w : workers_)
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
    workers_.push_back(WorkerThread{std::move(t), done, device});
}

void RunningOperation::noteOutcome(OutcomeKind kind, std::optional<Message> message) {
    if (outcomeNoted_) return;
    outcomeNoted_ = true;
    outcome_.operation = kind_;
    outcome_.kind = kind;
    outcome_.message = std::move(message);
}

void RunningOperation::tellEnd(const Message& message) {
    // The Download button reads Download again before the end is told: only
    // the controls' enabling waits for the box.
    core_.view.setStopAvailable(false);
    core_.tell(message);
}

void RunningOperation::fail(Message message) {
    tellEnd(message);
    noteOutcome(OutcomeKind::Failed, std::move(message));
}

Message RunningOperation::writeFailure(const WriteFailed& failed, const std::string& file) {
    switch (failed.kind) {
        case WriteFailure::LocalFile: {
            // A file of this computer failed: the clock is not at fault.
            Message m{Say::CannotReadFile};
            m.file = core_.path(file);
            m.errorNumber = failed.errorNumber;
            return m;
        }
        case WriteFailure::Connection:
            core_.session.drop(deviceWorkerRunning());
            return {Say::UsbConnectionError};
        case WriteFailure::Program:
            return {Say::StorageWriteError};
        case WriteFailure::Erase:
            break;
    }
    return {Say::StorageEraseError};
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
    core_.view.setProgressStage(ProgressStage::Idle);
    core_.view.setProgressBar(0);
}

void RunningOperation::afterControlsEnabled() {
    if (boxAfterControls_) boxAfterControls_();
}

DeviceJob RunningOperation::songImageJob() const {
    DeviceJob job;
    job.mode = WriteMode::SongImage;
    job.handle = core_.session.handle();
    job.address = kStorageHeaderAddress;
    job.path = kImageFile;
    job.blockSize = kTransferBlockBytes;
    job.eraseLength = core_.session.storageKB() * 1024u - kStorageHeaderAddress;
    return job;
}

bool RunningOperation::startAgent(const AgentFailureBox& lost, const AgentFailureBox& noStorage) {
    const int result = core_.session.startAgent(core_.startDir);
    if (result >= 0 && result != kDeviceAgentFailed) return true;
    const AgentFailureBox box = result < 0 ? lost : noStorage;
    View& view = core_.view;
    view.setProgressStage(ProgressStage::Idle);
    const Message message = result < 0 ? core_.agentLost(box.say) : Message{box.say};
    const auto show = [&view, message] {
        view.setStopAvailable(false);
        view.tell(message);
    };
    if (box.at == BoxAt::BeforeProgressReset) show();
    view.setProgressBar(0);
    if (result < 0) core_.session.drop(deviceWorkerRunning());
    if (box.at == BoxAt::BeforeReEnable) show();
    if (box.at == BoxAt::AfterReEnable) boxAfterControls_ = show;
    noteOutcome(OutcomeKind::Failed, message);
    return false;
}

}  // namespace velmo
