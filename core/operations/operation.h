// One long operation of the core (Download, the conversion alone, Reload,
// Upgrade Firmware, Verify): it owns its worker threads, its state and one
// cancellation, and ends exactly once with an Outcome.
//
// The core creates it once the operation's questions have been answered,
// calls start(), hands it every event its workers post (deliver) and the
// user's stop, and ends it when over(): its outcome is decided and every
// worker it started has posted its end event. The destructor cancels what
// still runs and joins every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cancellation.h"
#include "core_state.h"
#include "event_queue.h"
#include "image_record.h"
#include "events.h"
#include "outcome.h"

namespace velmo {

class RunningOperation {
  public:
    RunningOperation(Operation kind, CoreState& core, uint64_t serial);
    virtual ~RunningOperation();
    RunningOperation(const RunningOperation&) = delete;
    RunningOperation& operator=(const RunningOperation&) = delete;

    Operation kind() const { return kind_; }
    uint64_t serial() const { return serial_; }

    // Begins the work; the controls are disabled already. The operation may
    // be over when it returns (a clock that does not answer).
    virtual void start() = 0;
    // An event of this operation's workers, on the user-interface thread.
    void deliver(const Event& event);
    // The user asks to stop. False when this operation cannot be stopped;
    // it then says so itself.
    virtual bool stop();
    // What the user is asked before a close stops this operation; empty when
    // a close needs no question.
    virtual std::string stopQuestion() const { return {}; }
    // The window closes: everything stops that may.
    virtual void cancel() { cancellation_.cancel(); }

    bool over() const { return outcomeNoted_ && endsAwaited_ == 0; }
    const Outcome& outcome() const { return outcome_; }
    // A worker that uses the clock's handle has not ended yet.
    bool deviceWorkerRunning() const;
    // A thread of this operation has not returned yet.
    bool workersRunning() const;
    // Waits for every thread this operation started (the close, the terminal).
    void joinWorkers();

    // Once every worker has ended (at the operation's end, after the
    // controls are enabled again, or at the close): the list takes what the
    // operation's copy of it holds, and files it leaves are tidied.
    virtual void settle() {}
    // At the end, after settle(): a box that belongs after the re-enable.
    void afterControlsEnabled();

  protected:
    virtual void onEvent(const Event& event) = 0;

    // Starts a worker; `body` gets the sink its events go to and must post
    // exactly one end event as its last act.
    void startWorker(bool device, std::function<void(EventSink&)> body);
    // How the operation ends; the first one noted counts.
    void noteOutcome(OutcomeKind kind, const std::string& reason = {});
    bool outcomeNoted() const { return outcomeNoted_; }
    Outcome& outcomeToFill() { return outcome_; }

    // Steps every operation ends with.
    void resetProgress();
    void showError(const std::string& text, const std::string& caption = kCaptionError,
                   MessageIcon icon = MessageIcon::Error);
    // Starts the agent for the operation (the bar is at 1). True when it runs
    // and found the storage; otherwise the bar goes back to 0, the connection
    // is dropped when it was lost (`lost`) and the box of the failure is shown
    // at its place; the operation is then over.
    // `box` is shown before the bar goes back, before the controls are
    // enabled, or after, as each operation has it.
    enum class BoxAt { BeforeProgressReset, BeforeReEnable, AfterReEnable };
    struct AgentFailureBox {
        const char* text;
        const char* caption;
        MessageIcon icon;
        BoxAt at;
    };
    bool startAgent(const AgentFailureBox& lost, const AgentFailureBox& noStorage);
    // The message of a failed write of `file` (a name in the working folder);
    // a lost connection is dropped here.
    std::string writeFailureText(const WriteFailed& failed, const std::string& file);
    // Reads the clock back from the song header on and compares it with the
    // image "./dat/tmp.bin" on a worker: ReadProgress, then VerifyDone.
    // `spans` not empty: only the header and these spans of the image.
    void startReadBack(std::vector<ImageSpan> spans = {});

    CoreState& core_;
    Cancellation cancellation_;

  private:
    Operation kind_;
    uint64_t serial_;
    OperationEvents events_;
    Outcome outcome_;
    bool outcomeNoted_ = false;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
        bool device;
    };
    int endsAwaited_ = 0;  // workers started whose end event has not been delivered
    std::vector<Worker> workers_;
    std::function<void()> boxAfterControls_;
};

}  // namespace velmo
