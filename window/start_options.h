// The window's command line. It takes no options of its own beyond these;
// Qt's own (-platform, -style ...) are left to QApplication.
//
//   --version     print "velmo VERSION" and end
//   --help        print the usage and end
//   --from-menu   start in the user's data folder, $XDG_DATA_HOME/velmo
//                 (~/.local/share/velmo), created when missing: what the
//                 desktop menu entry starts. Without it the start folder is
//                 the current folder, as from a terminal.
//   FILE...       song files or folders, added as Add adds them once the
//                 window is up (what a file manager's "Open with" passes)
#pragma once

#include <string>
#include <vector>

namespace velmo {

struct StartOptions {
    enum class Action { Run, Version, Help, Usage };
    Action action = Action::Run;
    bool fromMenu = false;
    std::string unknown;             // Usage: the argument that was not understood
    std::vector<std::string> files;  // as given, in order
};

// `args` without the program name; arguments starting with "-" that are not
// ours are left for Qt only when `qtTakesRest` (after QApplication has taken
// its own, nothing else may remain).
StartOptions parseStartOptions(const std::vector<std::string>& args, bool qtTakesRest);

std::string startUsage();

// The start folder for these options: the data folder (created) from the
// menu, else `currentFolder`. False with `error` set when the data folder
// cannot be made.
bool chooseStartFolder(const StartOptions& options, const std::string& currentFolder, std::string& folder,
                       std::string& error);

}  // namespace velmo
