// What makes velmo-cli behave as a Linux tool beside the window: the start
// folder it takes without --dir, the command nearest to a mistyped one, and
// the lines that the option commands and `status` print of the options.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace velmo::cli {

// An installed velmo-cli (its private folder, lib/velmo/ beside bin/,
// exists) and a build tree's (build/bin/, which has none).
bool runsInstalled();

// The start folder without --dir. An installed velmo-cli uses the folder the
// menu's window keeps its list in, the user's data folder, made when missing,
// so that both see one list; a build tree's uses the current folder.
// False with `error` set when the data folder cannot be made.
bool defaultStartFolder(std::string& folder, std::string& error);

// The command of `commands` that `typed` most likely meant: one letter
// wrong, missing, extra or two swapped (two such slips in a word of more
// than five letters), or the start of only that command. Empty when none is
// that near.
std::string nearestCommand(const std::string& typed, const std::vector<std::string>& commands);

// The line of each option, translated, with its newline.
const char* volumeLine(bool even);
const char* namesLine(bool fromTags);
const char* verifyLine(bool on);

// "on" or "off": the folder's "Verify after Download" option, kept for the
// downloads from now on (the window's context menu sets the same); empty:
// print which is in force.
int runVerify(const Options& options, const std::string& how);

}  // namespace velmo::cli
