// Where the programs find their private files. A build tree keeps every
// program, library and the agent image side by side in build/bin/; an
// installed Velmo has its programs in <prefix>/bin/ and the device library,
// the encoder library and spn.bin in <prefix>/lib/velmo/. Both layouts are
// found from the executable's own folder, so an installation can be moved
// (a package unpacked into a scratch root works as well as /usr).
#pragma once

#include <string>

namespace velmo {

// The private folder of an installation, from the folder of an executable
// in its bin/: "/usr/bin" gives "/usr/lib/velmo". Empty for an empty folder.
std::string installedPrivateFolder(const std::string& executableFolder);

// The folder of the translations (<lang>/LC_MESSAGES/velmo.mo) from the
// folder of an executable in bin/: "/usr/bin" gives "/usr/share/locale", and
// a build tree's build/bin gives build/share/locale, where the build puts them.
std::string localeFolder(const std::string& executableFolder);

// The first existing file `name` in the executable's own folder (a build
// tree) or in the installation's private folder; empty when neither has it.
std::string findPrivateFile(const std::string& executableFolder, const std::string& name);

// The agent image `name` (spn.bin) that a start-up in `startDir` loads into
// the clock: the start folder's own copy when it has one, else the installed copy, else
// the start folder's name all the same (so that the missing file is reported
// where the user keeps it). Only the private folder counts as installed: a
// build tree's build/bin/spn.bin still has to be copied into the start folder.
std::string agentImagePath(const std::string& startDir, const std::string& executableFolder, const std::string& name);

// The folder a window started from the desktop menu keeps its list in:
// $XDG_DATA_HOME/velmo, or $HOME/.local/share/velmo when XDG_DATA_HOME is
// unset, empty or relative (the base directory rules ignore a relative one).
// Empty when neither gives an absolute folder. Either argument may be null.
std::string userDataFolder(const char* xdgDataHome, const char* home);

// Creates `folder` and its missing parents (mode 0700 for the ones it makes,
// as the base directory rules ask). False with `error` set when it cannot.
bool makeFolders(const std::string& folder, std::string& error);

// The user's data folder from the environment, made when missing: where the
// menu's window and the installed velmo-cli both keep their list. False with
// `error` set when the environment names none or it cannot be made.
bool makeUserDataFolder(std::string& folder, std::string& error);

}  // namespace velmo
