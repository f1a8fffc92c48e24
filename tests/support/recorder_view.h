// A View that records every call as a line of text and answers message boxes
// and file dialogs from queues that a test fills.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "presenter.h"
#include "velmo_core.h"
#include "view.h"

namespace velmo::test {

struct ShownMessage {
    std::string text;
    std::string caption;
    MessageIcon icon;
    MessageButtons buttons;
    bool stopAvailable = false;  // the Download button read Stop while it was shown
};

// The end of a Download that read the clock back (Verify after Download,
// on by default), as the window shows it.
inline const std::string kDownloadFinishedVerified =
    "Downloading songs finished !\nVerified: what was written was read back from the clock and matches.";

// What an outcome's message says, as the user was told it; empty for none.
inline std::string reasonOf(const Outcome& outcome) {
    return outcome.message ? present::text(*outcome.message) : std::string();
}

class RecorderView : public View {
  public:
    // The state the screen would show.
    std::string progressCaption = "Progress:";
    int progressBar = 0;
    std::string statusLine;
    std::vector<std::string> lines;
    int selected = -1;
    std::vector<int> selectedLines;
    int extent = 0;
    bool enabled = true;
    bool best = false, good = false, normal = false;
    std::string title;
    bool timerRunning = false;
    bool closed = false;
    bool stopAvailable = false;

    std::vector<ShownMessage> messages;
    std::vector<int> progressHistory;
    std::deque<MessageResult> answers;        // default: Ok
    std::deque<std::string> firmwareChoices;  // empty: the dialog is cancelled
    std::vector<Outcome> outcomes;            // every operation's end, in order
    std::vector<Message> told;                // every message, as data
    // Every detail shown beside the caption, with the caption it was shown under.
    struct DetailShown {
        std::string caption;
        ProgressDetail detail;
    };
    std::vector<DetailShown> details;

    void setProgressStage(ProgressStage stage) override { progressCaption = present::caption(stage); }
    void setProgressDetail(const ProgressDetail& detail) override { details.push_back({progressCaption, detail}); }
    void setProgressBar(int percent) override {
        progressBar = percent;
        progressHistory.push_back(percent);
    }
    void setSpaceUsage(uint32_t total, uint32_t capacity) override { statusLine = present::spaceUsage(total, capacity); }
    void operationEnded(const Outcome& outcome) override { outcomes.push_back(outcome); }
    void appendLine(const std::string& text) override { lines.push_back(text); }
    void insertLine(int index, const std::string& text) override { lines.insert(lines.begin() + index, text); }
    void removeLine(int index) override { lines.erase(lines.begin() + index); }
    void resetLines() override {
        lines.clear();
        selected = -1;
        selectedLines.clear();
    }
    void selectLine(int index) override {
        selected = index;
        selectedLines = index < 0 ? std::vector<int>{} : std::vector<int>{index};
    }
    void selectLines(const std::vector<int>& lines) override {
        selected = lines.empty() ? -1 : lines.front();
        selectedLines = lines;
    }
    void setHorizontalExtent(int pixels) override { extent = pixels; }
    void enableControls(bool enable) override { enabled = enable; }
    void setQualityButtons(bool b, bool g, bool n) override {
        best = b;
        good = g;
        normal = n;
    }
    void setWindowTitle(const std::string& t) override { title = t; }
    void tell(const Message& message) override {
        const present::Box box = present::box(message, "velmo");
        messages.push_back({box.text, box.caption, box.icon, box.buttons, stopAvailable});
        told.push_back(message);
    }
    void setStopAvailable(bool available) override { stopAvailable = available; }
    // Answers the core's questions as the window would: each Yes/No one is
    // recorded as a box and answered from `answers` (Ok when empty), the
    // firmware file from `firmwareChoices` (cancelled when empty).
    void answer(VelmoCore& core, std::optional<Question> question) {
        while (question) {
            if (question->wantsPath()) {
                std::string path;
                if (!firmwareChoices.empty()) {
                    path = firmwareChoices.front();
                    firmwareChoices.pop_front();
                }
                question = core.answerPath(path);
                continue;
            }
            const present::Box box = present::box(*question);
            messages.push_back({box.text, box.caption, box.icon, box.buttons});
            MessageResult r = MessageResult::Ok;
            if (!answers.empty()) {
                r = answers.front();
                answers.pop_front();
            }
            question = core.answer(r == MessageResult::Ok);
        }
    }
    void startTimer(int) override { timerRunning = true; }
    void stopTimer() override { timerRunning = false; }
    void closeWindow() override { closed = true; }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& m : messages) out.push_back(m.text);
        return out;
    }
};

}  // namespace velmo::test
