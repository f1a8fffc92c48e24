// The main window's view over a terminal, and the pump that stands in for
// the window's message loop on the core's event queue.
//
// Standard output carries what a command was asked to print (the list, the
// status, JSON); everything the window would show while it works goes to
// standard error: a message box is one line "Caption: text", the progress bar
// is one line redrawn in place on a terminal and printed as plain lines when
// standard error is a file or a pipe. With --json, every line on standard
// error is one JSON object instead (docs/json.md) and no progress is shown.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "event_queue.h"
#include "presenter.h"
#include "view.h"

namespace velmo {

class VelmoCore;

namespace cli {

// One message box as it was shown, with the answer it got.
struct ShownBox {
    std::string text;
    std::string caption;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
    MessageResult answer = MessageResult::Ok;
};

// How questions (OK and Cancel boxes) are answered: OK with --yes; otherwise
// asked on the terminal when standard input is one, else Cancel.
enum class QuestionPolicy { AssumeYes, Ask, Cancel };

class TerminalView : public View {
  public:
    // `err`: where boxes and progress go (standard error); `errIsTerminal`
    // chooses between redrawing the progress line and printing plain lines.
    TerminalView(QuestionPolicy policy, std::FILE* err, bool errIsTerminal);

    void setProgressStage(ProgressStage stage) override;
    void setProgressBar(int percent) override;
    // The song at work and the time left, beside the caption and the bar;
    // printed as plain lines only when the song changes.
    void setProgressDetail(const ProgressDetail& detail) override;
    void setSpaceUsage(uint32_t total, uint32_t capacity) override;
    void appendLine(const std::string& text) override { lines_.push_back(text); }
    void insertLine(int index, const std::string& text) override;
    void removeLine(int index) override;
    void resetLines() override { lines_.clear(); }
    void selectLine(int) override {}
    void setHorizontalExtent(int) override {}
    void enableControls(bool enable) override { enabled_ = enable; }
    void setQualityButtons(bool, bool, bool) override {}
    void setWindowTitle(const std::string& title) override { title_ = title; }
    // Prints what the core tells as the window would show it: one line
    // "Caption: text", or a JSON line.
    void tell(const Message& message) override;
    // Asks a Yes/No question by the policy: Yes with --yes, on the terminal
    // when standard input is one, else No.
    bool ask(const Question& question);
    void startTimer(int) override { timerRunning_ = true; }
    void stopTimer() override { timerRunning_ = false; }
    void closeWindow() override { closed_ = true; }

    const std::vector<std::string>& lines() const { return lines_; }
    const std::string& statusLine() const { return statusLine_; }
    const std::string& title() const { return title_; }
    bool timerRunning() const { return timerRunning_; }
    const std::vector<ShownBox>& boxes() const { return boxes_; }

    // True when a box with exactly this text was shown.
    bool shown(const std::string& text) const;
    // True when the core told of a refusal or a failure, or a question was
    // answered No.
    bool failureTold() const { return failureTold_; }

    // Ends a progress line that is being redrawn in place, so that the next
    // output starts on a line of its own.
    void endProgressLine();

    // The text of a box as one line: trailing line breaks dropped, inner ones
    // turned into spaces.
    static std::string oneLine(const std::string& text);

  private:
    void drawProgress(bool barMoved);
    MessageResult show(const present::Box& box, bool failure);

    QuestionPolicy policy_;
    std::FILE* err_;
    bool errIsTerminal_;

    ProgressStage stage_ = ProgressStage::Idle;
    std::string caption_ = "Progress:";
    int percent_ = 0;
    bool lineOpen_ = false;       // a redrawn line is on the screen, without its line break
    std::string printedCaption_;  // plain lines: what was printed last
    int printedStep_ = -1;
    ProgressDetail detail_;
    std::string printedSong_;  // plain lines: the caption and song printed last

    std::vector<std::string> lines_;
    std::string statusLine_;
    std::string title_;
    bool failureTold_ = false;
    bool enabled_ = true;
    bool timerRunning_ = false;
    bool closed_ = false;
    std::vector<ShownBox> boxes_;
};

// --json: the lines on standard error are JSON objects. Set once, before
// the command runs.
void setJsonMessages(bool on);
bool jsonMessages();

// One line on `err` as JSON: {"format": 1, "message", "caption", "error",
// "answer"}; a null `caption` for the program's own lines, an empty
// `answer` for no question.
void writeJsonMessage(std::FILE* err, const std::string& message, const char* caption, bool error,
                      const std::string& answer);

// Turns SIGINT and SIGTERM into a stop request for the operation under way,
// from now on in this process. The handler only records the signal; the pump
// below hands it to the core.
void installStopSignals();
// The signal that asked for a stop (SIGINT or SIGTERM), or 0 when none came.
int stopSignal();

// Hands the queued events to the core, in order, on the calling thread, and
// runs the core's timer every 300 ms while the view's timer runs, until the
// operation has ended and every worker has finished; then delivers what was
// still queued and joins the workers. A stop signal is passed to the core
// within 50 ms; a firmware write, which cannot stop, is waited for with a
// line that says so.
void pumpUntilIdle(VelmoCore& core, EventQueue& queue, TerminalView& view);

}  // namespace cli
}  // namespace velmo
