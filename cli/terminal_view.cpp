#include "terminal_view.h"

#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "json_text.h"
#include "presenter.h"
#include "terminal_text.h"
#include "translation.h"
#include "velmo_core.h"

namespace velmo::cli {

namespace {

constexpr int kBarCells = 30;
// Plain lines are printed at these percentage steps, not at every percent.
constexpr int kPlainLineStep = 10;

const char* buttonsHint(MessageButtons buttons) {
    return buttons == MessageButtons::OkCancel ? tr_(" [OK/Cancel] ") : "";
}

bool saysOk(std::string answer) {
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    answer.erase(0, answer.find_first_not_of(" \t"));
    answer.erase(answer.find_last_not_of(" \t\r") + 1);
    // TRANSLATORS: the word, in lower case, that answers OK besides "ok" and "yes".
    return answer == "ok" || answer == "o" || answer == "y" || answer == "yes" || answer == tr_("yes");
}

bool gJsonMessages = false;

}  // namespace

void setJsonMessages(bool on) { gJsonMessages = on; }

bool jsonMessages() { return gJsonMessages; }

void writeJsonMessage(std::FILE* err, const std::string& message, const char* caption, bool error,
                      const std::string& answer) {
    nlohmann::json line{{"format", kJsonFormat},
                        {"message", message},
                        {"caption", caption != nullptr ? nlohmann::json(caption) : nlohmann::json(nullptr)},
                        {"error", error},
                        {"answer", answer.empty() ? nlohmann::json(nullptr) : nlohmann::json(answer)}};
    std::fprintf(err, "%s\n", jsonText(line, -1).c_str());
    std::fflush(err);
}

TerminalView::TerminalView(QuestionPolicy policy, std::FILE* err, bool errIsTerminal)
    : policy_(policy), err_(err), errIsTerminal_(errIsTerminal) {}

void TerminalView::insertLine(int index, const std::string& text) {
    if (index < 0 || static_cast<size_t>(index) > lines_.size()) return;
    lines_.insert(lines_.begin() + index, text);
}

void TerminalView::removeLine(int index) {
    if (index < 0 || static_cast<size_t>(index) >= lines_.size()) return;
    lines_.erase(lines_.begin() + index);
}

void TerminalView::setProgressStage(ProgressStage stage) {
    stage_ = stage;
    caption_ = present::caption(stage);
    detail_ = ProgressDetail{};
    drawProgress(false);
}

void TerminalView::setProgressDetail(const ProgressDetail& detail) {
    detail_ = detail;
    // A name is cut short so that the redrawn line stays one line.
    constexpr size_t kNameBytes = 40;
    if (detail_.song.size() > kNameBytes) {
        size_t cut = kNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(detail_.song[cut]) & 0xC0) == 0x80) --cut;
        detail_.song = detail_.song.substr(0, cut) + "\u2026";
    }
    if (gJsonMessages) return;
    if (errIsTerminal_) {
        drawProgress(false);
        return;
    }
    // Plain lines: one when the song changes, not one per block.
    const std::string song = present::progressSongText(detail_);
    if (song.empty() || caption_ + song == printedSong_) return;
    printedSong_ = caption_ + song;
    std::fprintf(err_, "%s %s\n", caption_.c_str(), terminalText(song).c_str());
    std::fflush(err_);
}

void TerminalView::setSpaceUsage(uint32_t total, uint32_t capacity) {
    statusLine_ = present::spaceUsage(total, capacity);
}

void TerminalView::setProgressBar(int percent) {
    percent_ = std::clamp(percent, 0, 100);
    drawProgress(true);
}

void TerminalView::drawProgress(bool barMoved) {
    // The idle state ("Progress:" and an empty bar) is the end of a job: the
    // line is finished, nothing new is drawn.
    if (gJsonMessages) return;  // a program reading the lines wants messages only
    const bool idle = stage_ == ProgressStage::Idle && percent_ == 0;
    if (idle) {
        endProgressLine();
        printedCaption_.clear();
        printedStep_ = -1;
        printedSong_.clear();
        return;
    }
    const std::string song = terminalText(present::progressSongText(detail_));
    const std::string beside = present::progressBarText(detail_);
    if (errIsTerminal_) {
        const int filled = percent_ * kBarCells / 100;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kBarCells - filled), '.');
        std::fprintf(err_, "\r\033[K%s%s%s [%s] %3d%%%s%s", caption_.c_str(), song.empty() ? "" : " ", song.c_str(),
                     bar.c_str(), percent_, beside.empty() ? "" : " ", beside.c_str());
        lineOpen_ = true;
    } else {
        // A new caption comes before its job's first percent: the plain line
        // waits for that percent instead of repeating the last job's.
        if (!barMoved) return;
        const int step = percent_ / kPlainLineStep;
        if (caption_ == printedCaption_ && step == printedStep_) return;
        if (beside.empty())
            std::fprintf(err_, "%s %d%%\n", caption_.c_str(), percent_);
        else
            std::fprintf(err_, "%s %d%% (%s)\n", caption_.c_str(), percent_, beside.c_str());
        printedCaption_ = caption_;
        printedStep_ = step;
    }
    std::fflush(err_);
}

void TerminalView::endProgressLine() {
    if (!lineOpen_) return;
    std::fputc('\n', err_);
    std::fflush(err_);
    lineOpen_ = false;
}

std::string TerminalView::oneLine(const std::string& text) {
    std::string out = text;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    for (char& c : out)
        if (c == '\n' || c == '\r') c = ' ';
    return out;
}

void TerminalView::tell(const Message& message) {
    // The terminal says some things on lines of its own: several refused
    // files one line each, as a script reads them, in place of the window's
    // closing box of an Add or Drop (editList notes the count that joined);
    // "Verified: ..." with the image's bytes; and a missing agent program,
    // noted before the start.
    if (message.say == Say::ListJoined) {
        if (message.refused.size() > 1)
            for (const Message& refused : message.refused) tell(refused);
        return;
    }
    Message shown = message;
    shown.verified = false;
    shown.agent.reset();
    show(present::box(shown, kProgramName), isFailure(shown));
}

bool TerminalView::ask(const Question& question) {
    return show(present::box(question), false) == MessageResult::Ok;
}

MessageResult TerminalView::show(const present::Box& shown, bool failure) {
    endProgressLine();
    const std::string& text = shown.text;
    const std::string& caption = shown.caption;
    const MessageButtons buttons = shown.buttons;
    ShownBox box{text, caption, shown.icon, buttons, MessageResult::Ok};
    // Box texts name files and songs, whose bytes came from the disk or the clock.
    // The core gives the captions in English, for the JSON lines; people read them translated.
    // TRANSLATORS: a message box on the terminal: its caption, then its text.
    const std::string line =
        format(tr_("%s: %s"), terminalText(tr_(caption.c_str())).c_str(), terminalText(oneLine(text)).c_str());
    if (gJsonMessages) {
        // Never asked on the terminal: a question takes --yes or Cancel.
        if (buttons == MessageButtons::OkCancel && policy_ != QuestionPolicy::AssumeYes)
            box.answer = MessageResult::Cancel;
        const std::string answer =
            buttons == MessageButtons::Ok ? "" : (box.answer == MessageResult::Ok ? "ok" : "cancel");
        const bool declined = buttons == MessageButtons::OkCancel && box.answer == MessageResult::Cancel;
        failureTold_ = failureTold_ || failure || declined;
        writeJsonMessage(err_, oneLine(text), caption.c_str(), failure || declined, answer);
        boxes_.push_back(box);
        return box.answer;
    }
    if (buttons == MessageButtons::Ok) {
        std::fprintf(err_, "%s\n", line.c_str());
    } else if (policy_ == QuestionPolicy::AssumeYes) {
        std::fprintf(err_, tr_("%s OK (--yes)\n"), line.c_str());
    } else if (policy_ == QuestionPolicy::Cancel) {
        std::fprintf(err_, tr_("%s Cancel (no terminal to ask; --yes answers OK)\n"), line.c_str());
        box.answer = MessageResult::Cancel;
    } else {
        std::fprintf(err_, "%s%s", line.c_str(), buttonsHint(buttons));
        std::fflush(err_);
        std::string answer;
        if (!std::getline(std::cin, answer) || !saysOk(answer)) box.answer = MessageResult::Cancel;
    }
    std::fflush(err_);
    failureTold_ = failureTold_ || failure || box.answer == MessageResult::Cancel;
    boxes_.push_back(box);
    return box.answer;
}

bool TerminalView::shown(const std::string& text) const {
    return std::any_of(boxes_.begin(), boxes_.end(), [&](const ShownBox& b) { return b.text == text; });
}

namespace {

volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void recordStopSignal(int signal) { gStopSignal = signal; }

}  // namespace

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = recordStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int stopSignal() { return gStopSignal; }

void pumpUntilIdle(VelmoCore& core, EventQueue& queue, TerminalView& view) {
    using Clock = std::chrono::steady_clock;
    const auto tick = std::chrono::milliseconds(kTimerMilliseconds);
    // How long a stop signal may wait before the core hears of it.
    constexpr std::chrono::milliseconds kSignalLatency{50};
    auto nextTick = Clock::now() + tick;
    bool stopPassed = false;
    PostedEvent m;
    while (core.operationRunning() || core.workersRunning()) {
        if (!stopPassed && stopSignal() != 0 && core.operationRunning()) {
            stopPassed = true;
            if (!core.stop()) {
                view.endProgressLine();
                std::fprintf(
                    stderr, "%s: %s\n", kProgramName,
                    format(tr_("%s; waiting until it is written and verified"),
                           present::caption(ProgressStage::FirmwareWait).c_str())
                        .c_str());
            }
        }
        const auto now = Clock::now();
        if (now >= nextTick) {
            if (view.timerRunning()) core.tick();
            nextTick = now + tick;
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        if (queue.take(m, std::clamp(wait, std::chrono::milliseconds(1), kSignalLatency))) core.handle(m);
    }
    // Every worker has ended: whatever it posted last is already queued.
    while (queue.take(m, std::chrono::milliseconds(0))) core.handle(m);
    core.joinWorkers();
}

}  // namespace velmo::cli
