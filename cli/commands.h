// The commands of velmo-cli. Each one starts the core on the start folder as
// the window does, forwards one or more of the window's events to it, runs the
// message loop until the operation has ended, closes as the window does (the
// song table is saved, the working files removed) and gives the exit status.
#pragma once

#include "message.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmo::cli {

enum ExitStatus : int {
    kExitOk = 0,      // the command did what it was asked
    kExitFailed = 1,  // refused or failed; a line on standard error says why
    kExitUsage = 2,   // the command line itself was wrong
    // A download or image that ended with songs left off: songs that did not
    // fit or could not be converted, each named on standard error.
    kExitIncomplete = 3,
};

// The program's name: the caption of "Music files converted error !" and the
// prefix of the front end's own lines on standard error.
constexpr const char* kProgramName = "velmo-cli";

// The version of the JSON that --json prints (docs/json.md). It goes up only
// when a field changes its name, type or meaning or goes away; new fields
// may join without it.
constexpr int kJsonFormat = 1;

struct Options {
    std::string startDir;  // absolute
    bool json = false;     // status, list and inspect print one JSON object; messages are JSON lines
    bool yes = false;      // questions are answered OK
    unsigned jobs = 0;     // songs converted at once; 0: one for each core
};

int runStatus(const Options& options);
int runList(const Options& options);
// `files` absolute, in the order given.
int runAdd(const Options& options, const std::vector<std::string>& files);
int runDrop(const Options& options, const std::vector<std::string>& files);
// `positions`: positions and ranges ("4-6") that parsePositionRange
// (positions.h) reads, counting from 1 as `list` shows them.
int runDelete(const Options& options, const std::vector<std::string>& positions);
// `position` counts from 1, as `list` shows it.
int runUp(const Options& options, long position);
int runDown(const Options& options, long position);
// "best", "good" or "normal".
int runQuality(const Options& options, const std::string& name);
// "even" or "as-is": the folder's "Even Volume" option, kept for the
// conversions from now on; empty: print which is in force.
int runVolume(const Options& options, const std::string& name);
// `verify`: read the clock back after the write (or not) for this download;
// none: as the folder's "Verify after Download" option says (on by default).
// "tags" or "files": how songs joining the list are named from now on;
// empty: say which it is.
int runNames(const Options& options, const std::string& source);
int runDownload(const Options& options, std::optional<bool> verify, bool fullVerify = false);
int runReload(const Options& options);
// "twice" or "once": the folder's "Check Reload by reading twice" option;
// empty: print which is in force.
int runReloadCheck(const Options& options, const std::string& how);
int runFirmware(const Options& options, const std::string& file);
int runImage(const Options& options, const std::string& out);
// Needs no start folder: reads the file only.
int runInspect(const Options& options, const std::string& file);
// An operation of the core's table that needs the clock and nothing but
// the answers to its questions (velmo-cli erase).
int runOperation(const Options& options, Operation kind);

}  // namespace velmo::cli
