// What every command of velmo-cli shares: the window and its message loop
// for one command (Session), the lines it writes of its own, and how an
// outcome becomes an exit status.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "folder_lock.h"
#include "install_paths.h"
#include "outcome.h"
#include "paths.h"
#include "presenter.h"
#include "terminal_text.h"
#include "terminal_view.h"
#include "translation.h"
#include "velmo_core.h"

namespace velmo::cli {

using nlohmann::json;

// A line of the front end's own (not one of the window's boxes) on standard error.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
QuestionPolicy questionPolicy(const Options& options);
// The name `quality` takes on the command line; null for another code.
json qualityJson(uint16_t code);
// The status line's two facts as numbers: the percentage of the capacity
// the total fills (as the status line computes it) and whether that is full.
void addSpaceUsage(json& out, uint32_t total, uint32_t cap);
std::string qualityName(uint16_t code);
std::string trimLeft(const std::string& text);
// Names from files and the clock may hold any bytes: jsonText escapes what
// is not UTF-8 so that it can be turned back into the same bytes.
void printJson(const json& value);
void printLines(const std::vector<std::string>& lines);
// The exit status of a command that a signal stopped: 128 + the signal, as
// the shell reports a program that the signal ended.
int stoppedStatus();
// The exit status of an operation of the core, from how it ended.
int exitStatus(const Outcome& outcome);
// Names, one line each, the songs of a finished conversion that reached the
// image without data: scripts find them as error lines.
void noteLeftOff(const Outcome& outcome);

// The window and its message loop for one command.
class Session {
  public:
    // Takes the start folder's lock first: `access` Shared for the commands
    // that only look at the list. Check locked() before anything else.
    Session(const Options& options, FolderAccess access)
        : options_(options),
          view(questionPolicy(options), stderr, ::isatty(STDERR_FILENO) != 0),
          core(view, queue, options.startDir),
          exclusive_(access == FolderAccess::Exclusive) {
        core.setApplicationName(kProgramName);
        core.setFolderReadOnly(access == FolderAccess::Shared);
        const FolderLockResult locked = lock_.acquire(options.startDir, access);
        inUse_ = locked == FolderLockResult::InUse;
        if (inUse_) note(tr_("%s (%s)"), tr_(kFolderInUseText), terminalText(options.startDir).c_str());
        // A folder that cannot hold the lock file cannot hold a saved list
        // either: the command runs as it did before there was a lock.
        if (locked == FolderLockResult::Failed)
            note(tr_("%s cannot be locked against a second Velmo"),
                 terminalText(resolvePath(options.startDir, kFolderLockName)).c_str());
        core.setConversionWorkers(options.jobs);
    }
    // False when another Velmo uses the folder: the command then ends with
    // kExitFailed, and the folder is left untouched.
    bool locked() const { return !inUse_; }
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The window's start, with the device library and the connection check.
    // False when the start failed (the core has said why and closed).
    // `changesList`: false for a command that leaves the list alone (the
    // firmware), which a table that cannot be saved does not stop.
    bool startWithClock(bool changesList = true);
    // The start without the clock, for work that does not need it. The list's
    // limits still follow the storage of a clock that happens to be attached,
    // as they do in the window.
    // False when the command would change a list that cannot be saved (the
    // start has said why).
    bool startOffline() {
        core.startOfflineForAttachedClock();
        return editable();
    }
    void pump() { pumpUntilIdle(core, queue, view); }
    // The window's close: joins the workers, saves the table, removes the working files.
    void close() {
        view.endProgressLine();
        // Without the lock the folder belongs to another Velmo: nothing is saved.
        if (locked() && !core.isClosed()) core.close();
    }
    // Closes and gives the command's exit status: a failure when the close
    // could not save the list or the options.
    int finish(int status) {
        close();
        return core.saveFailures().empty() || status != kExitOk ? status : kExitFailed;
    }
    bool failed() const { return view.failureTold(); }
    // Answers the core's questions, one after another, until the operation
    // has started or ended. The firmware file is given with the request.
    void answer(std::optional<Question> question) {
        while (question)
            question = question->wantsPath() ? core.answerPath({}) : core.answer(view.ask(*question));
    }
    const Outcome& outcome() const { return core.lastOutcome(); }
    std::string imagePath() const { return core.path("./dat/tmp.bin"); }
    void printStatusLine() const {
        std::printf("%s\n", trimLeft(present::spaceUsage(core.totalEstimate(), core.capacity())).c_str());
    }

  private:
    bool editable() const { return !exclusive_ || core.listSavable(); }
    Options options_;
    FolderLock lock_;
    bool inUse_ = false;

  public:
    EventQueue queue;
    TerminalView view;
    VelmoCore core;

  private:
    bool exclusive_;
};

}  // namespace velmo::cli
