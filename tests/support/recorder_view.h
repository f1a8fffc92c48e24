// A View that records every call as a line of text and answers message boxes
// and file dialogs from queues that a test fills.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "view.h"

namespace velmo::test {

struct ShownMessage {
    std::string text;
    std::string caption;
    MessageIcon icon;
    MessageButtons buttons;
};

class RecorderView : public View {
  public:
    // The state the screen would show.
    std::string progressCaption = "Progress:";
    int progressBar = 0;
    std::string statusLine;
    std::vector<std::string> lines;
    int selected = -1;
    int extent = 0;
    bool enabled = true;
    bool best = false, good = false, normal = false;
    std::string title;
    bool timerRunning = false;
    bool closed = false;

    std::vector<ShownMessage> messages;
    std::vector<int> progressHistory;
    std::deque<MessageResult> answers;        // default: Ok
    std::deque<std::string> firmwareChoices;  // empty: the dialog is cancelled
    std::vector<Outcome> outcomes;            // every operation's end, in order

    void setProgressCaption(const std::string& text) override { progressCaption = text; }
    void setProgressBar(int percent) override {
        progressBar = percent;
        progressHistory.push_back(percent);
    }
    void setStatusLine(const std::string& text) override { statusLine = text; }
    void operationEnded(const Outcome& outcome) override { outcomes.push_back(outcome); }
    void appendLine(const std::string& text) override { lines.push_back(text); }
    void insertLine(int index, const std::string& text) override { lines.insert(lines.begin() + index, text); }
    void removeLine(int index) override { lines.erase(lines.begin() + index); }
    void resetLines() override {
        lines.clear();
        selected = -1;
    }
    void selectLine(int index) override { selected = index; }
    void setHorizontalExtent(int pixels) override { extent = pixels; }
    void enableControls(bool enable) override { enabled = enable; }
    void setQualityButtons(bool b, bool g, bool n) override {
        best = b;
        good = g;
        normal = n;
    }
    void setWindowTitle(const std::string& t) override { title = t; }
    MessageResult messageBox(const std::string& text, const std::string& caption, MessageIcon icon,
                             MessageButtons buttons) override {
        messages.push_back({text, caption, icon, buttons});
        if (answers.empty()) return MessageResult::Ok;
        MessageResult r = answers.front();
        answers.pop_front();
        return r;
    }
    bool chooseFirmwareFile(std::string& path) override {
        if (firmwareChoices.empty()) return false;
        path = firmwareChoices.front();
        firmwareChoices.pop_front();
        return true;
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
