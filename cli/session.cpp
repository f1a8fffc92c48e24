#include "session.h"

#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <filesystem>

#include "json_text.h"

namespace velmo::cli {

namespace fs = std::filesystem;


void note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[4096];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // Every note tells why a command is refused or fails.
    if (jsonMessages())
        writeJsonMessage(stderr, text, nullptr, true, "");
    else
        std::fprintf(stderr, "%s: %s\n", kProgramName, text);
}

QuestionPolicy questionPolicy(const Options& options) {
    if (options.yes) return QuestionPolicy::AssumeYes;
    // A program reading JSON lines cannot answer a prompt.
    if (options.json) return QuestionPolicy::Cancel;
    return ::isatty(STDIN_FILENO) ? QuestionPolicy::Ask : QuestionPolicy::Cancel;
}

// The name `quality` takes on the command line; null for another code.
json qualityJson(uint16_t code) {
    switch (code) {
        case kQualityBest:
            return "best";
        case kQualityGood:
            return "good";
        case kQualityNormal:
            return "normal";
        default:
            return nullptr;
    }
}

// The status line's two facts as numbers: the percentage of the capacity
// the total fills (as the status line computes it) and whether that is full.
void addSpaceUsage(json& out, uint32_t total, uint32_t cap) {
    const double usage = static_cast<double>(total) * 100.0 / static_cast<double>(cap);
    // A capacity of 0 (no usable storage) is full whatever the total.
    out["spaceUsage"] = std::isfinite(usage) ? usage : 100.0;
    out["storageFull"] = !std::isfinite(usage) || usage >= 100.0;
}

std::string qualityName(uint16_t code) {
    switch (code) {
        case kQualityBest:
            return tr_("Best");
        case kQualityGood:
            return tr_("Good");
        case kQualityNormal:
            return tr_("Normal");
        default:
            return format(tr_("code %u"), code);
    }
}

std::string trimLeft(const std::string& text) {
    const size_t at = text.find_first_not_of(' ');
    return at == std::string::npos ? std::string() : text.substr(at);
}

// Names from files and the clock may hold any bytes: jsonText escapes what
// is not UTF-8 so that it can be turned back into the same bytes.
void printJson(const json& value) { std::printf("%s\n", jsonText(value, 2).c_str()); }


void printLines(const std::vector<std::string>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) std::printf("%3zu  %s\n", i + 1, terminalText(lines[i]).c_str());
}

// The exit status of a command that a signal stopped: 128 + the signal, as
// the shell reports a program that the signal ended.
int stoppedStatus() { return 128 + stopSignal(); }

// The exit status of an operation of the core, from how it ended.
int exitStatus(const Outcome& outcome) {
    switch (outcome.kind) {
        case OutcomeKind::Finished:
            return kExitOk;
        case OutcomeKind::Incomplete:
            return kExitIncomplete;
        case OutcomeKind::Stopped:
            // Only a signal stops an operation here.
            return stopSignal() != 0 ? stoppedStatus() : kExitFailed;
        case OutcomeKind::Refused:
        case OutcomeKind::Failed:
            break;
    }
    return kExitFailed;
}

// Names, one line each, the songs of a finished conversion that reached the
// image without data: scripts find them as error lines.
void noteLeftOff(const Outcome& outcome) {
    const LeftOff& off = outcome.leftOff;
    for (size_t k = 0; k < off.unconverted.size(); ++k) {
        const char* name = off.unconverted[k].c_str();
        const int cause = k < off.causes.size() ? off.causes[k] : 0;
        if (cause == 0)
            note(tr_("%s could not be converted; it has no data"), name);
        else
            note(tr_("%s could not be converted (%s); it has no data"), name, present::causeText(cause).c_str());
    }
    for (const std::string& name : off.didNotFit)
        note(tr_("%s did not fit on the clock and is not on it"), name.c_str());
}

bool Session::startWithClock(bool changesList) {
        std::error_code ec;
        const std::string programs = executableFolder();
        const std::string installed = installedPrivateFolder(programs);
        if (!fs::exists(agentImagePath(options_.startDir, programs, kAgentFileName), ec)) {
            // Installed: the copy in the private folder is gone too. A build
            // tree: the agent lies beside the program, to be copied.
            if (!installed.empty() && fs::is_directory(installed, ec))
                note(tr_("%s/%s (the clock's agent program) is missing, and so is the installed copy in %s"),
                     terminalText(options_.startDir).c_str(), kAgentFileName,
                     terminalText(fs::path(installed).lexically_normal().string()).c_str());
            else
                note(tr_("%s/%s (the clock's agent program) is missing; it lies beside the program in %s"),
                     terminalText(options_.startDir).c_str(), kAgentFileName, terminalText(programs).c_str());
        }
        core.start();
        return !core.isClosed() && (!changesList || editable());
}

}  // namespace velmo::cli
