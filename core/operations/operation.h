// One long operation of the core (Download, the conversion alone, Reload,
// Upgrade Firmware, Verify): it owns its worker threads, its state and one
// cancellation, and ends exactly once with an Outcome.
//
// The core creates it once the operation's questions have been answered,
// calls start(), hands it every event its workers post (deliver) and the
// user's stop, and ends it when over(): its outcome is decided and every
// worker it started has posted its end event. Whoever owns it calls
// shutdown() before letting it go, on every path: the workers use members of
// the derived operation, which are gone by the time the base destructor runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cancellation.h"
#include "core_state.h"
#include "event_queue.h"
#include "image_record.h"
#include "events.h"
#include "outcome.h"
#include "question.h"
#include "transfer.h"

namespace velmo {

// Whether a requested operation may start, decided before it is made: it
// goes, it is refused (with the message the user is told), or a question
// must be answered first (or was answered No).
struct Admission {
    enum class Verdict { Go, Refused, Ask, Declined };
    Verdict verdict = Verdict::Go;
    std::optional<Message> refusal;  // Refused
    bool told = true;                // ... and the user is told the refusal
    Question question;               // Ask, Declined

    static Admission go() { return {}; }
    static Admission refuse(Message message) {
        Admission a;
        a.verdict = Verdict::Refused;
        a.refusal = std::move(message);
        return a;
    }
    // Refused with nothing shown: the outcome alone says why.
    static Admission refuseQuietly(Message message) {
        Admission a = refuse(std::move(message));
        a.told = false;
        return a;
    }
    // Goes on when `kind` was answered Yes; asks it when not answered yet.
    static Admission confirm(const Answers& answers, QuestionKind kind) {
        Admission a;
        a.question = Question{kind};
        const std::optional<bool> yes = answers.about(kind);
        a.verdict = !yes ? Verdict::Ask : *yes ? Verdict::Go : Verdict::Declined;
        return a;
    }
    bool goes() const { return verdict == Verdict::Go; }
};

class RunningOperation;

// What the core knows of an operation of one kind, declared by the operation
// itself: nothing outside it switches on its kind.
struct OperationTraits {
    Operation kind = Operation::None;
    bool needsClock = true;
    // The close waits until it has ended instead of stopping it (a firmware
    // write, which a stop would leave half done).
    bool closeWaits = false;
    // Its end may replace the list: the copies of the songs it replaced are tidied.
    bool replacesList = false;
    // The terminal's command that runs it with nothing more than its
    // questions answered, and the window's context menu entry; null for an
    // operation that has a command and a control of its own.
    const char* command = nullptr;
};

// What the decision to start gives the operation it starts.
struct Launch {
    bool verify = false;      // a Download reads the clock back (Verify after Download) ...
    bool fullVerify = false;  // ... every byte of it, not only what it wrote
    uint32_t fileBytes = 0;  // Upgrade Firmware: the file's size
};

// One row of the table of operations (VelmoCore::begin): its traits, the
// checks and questions before it starts, and how it is made.
struct OperationEntry {
    OperationTraits traits;
    Admission (*admit)(CoreState& core, const Answers& answers, Launch& launch);
    std::unique_ptr<RunningOperation> (*make)(CoreState& core, uint64_t serial, const Launch& launch);
};

// Every operation there is, in the order front ends offer them.
const std::vector<const OperationEntry*>& operationTable();
const OperationEntry* findOperation(Operation kind);

class RunningOperation {
  public:
    RunningOperation(Operation kind, CoreState& core, uint64_t serial);
    // The traits of this operation's kind.
    const OperationTraits& traits() const { return findOperation(kind_)->traits; }
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
    virtual std::optional<Question> stopQuestion() const { return std::nullopt; }
    // The window closes: everything stops that may.
    virtual void cancel() { cancellation_.cancel(); }
    // Ends the operation's threads before anything they use goes: cancels
    // what still runs (unless the operation is over) through the most derived
    // cancel(), so that a worker waiting on the operation's own state is
    // woken, then joins every thread. Safe to call more than once.
    void shutdown();

    bool over() const { return outcomeNoted_ && endsAwaited_ == 0; }
    const Outcome& outcome() const { return outcome_; }
    // A worker that uses the clock's handle has not ended yet.
    bool deviceWorkerRunning() const;
    // A thread of this operation has not returned yet.
    bool workersRunning() const;
    // Waits for every thread this operation started (the close, the terminal).
    void joinWorkers();

    // An event of this operation's workers that will not be delivered: the
    // operation ends without it (the close, the core's end). What it says of
    // the list is kept for settle(); nothing is shown.
    virtual void keepResults(const Event& event) { (void)event; }
    // Once every worker has ended (at the operation's end, after the
    // controls are enabled again, or at the close): the list takes what the
    // operation's copy of it holds, and files it leaves are tidied. Shows
    // nothing: the core's destructor settles too, when the screen may be gone.
    virtual void settle() {}
    // At the end, after settle(): a box that belongs after the re-enable.
    void afterControlsEnabled();

  protected:
    virtual void onEvent(const Event& event) = 0;

    // Starts a worker; `body` gets the sink its events go to and must post
    // exactly one end event as its last act.
    void startWorker(bool device, std::function<void(EventSink&)> body);
    // How the operation ends; the first one noted counts.
    void noteOutcome(OutcomeKind kind, std::optional<Message> message = std::nullopt);
    bool outcomeNoted() const { return outcomeNoted_; }
    Outcome& outcomeToFill() { return outcome_; }

    // Steps every operation ends with.
    void resetProgress();
    // Tells the message that ends the operation (the Stop button is given
    // back first).
    void tellEnd(const Message& message);
    // Tells the user and notes the outcome the message says.
    void fail(Message message);
    // Starts the agent for the operation (the bar is at 1). True when it runs
    // and found the storage; otherwise the bar goes back to 0, the connection
    // is dropped when it was lost (`lost`) and the box of the failure is shown
    // at its place; the operation is then over.
    // `box` is shown before the bar goes back, before the controls are
    // enabled, or after, as each operation has it.
    enum class BoxAt { BeforeProgressReset, BeforeReEnable, AfterReEnable };
    struct AgentFailureBox {
        Say say;
        BoxAt at;
    };
    bool startAgent(const AgentFailureBox& lost, const AgentFailureBox& noStorage);
    // The write of the song image "./dat/tmp.bin" from the song header on,
    // over the whole storage past it, on the clock's open handle.
    DeviceJob songImageJob() const;
    // The message of a failed write of `file` (a name in the working folder);
    // a lost connection is dropped here.
    Message writeFailure(const WriteFailed& failed, const std::string& file);
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
    struct WorkerThread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
        bool device;
    };
    int endsAwaited_ = 0;  // workers started whose end event has not been delivered
    std::vector<WorkerThread> workers_;
    std::function<void()> boxAfterControls_;
};

}  // namespace velmo
