#include "start_options.h"

#include <cstdlib>

#include "install_paths.h"
#include "translation.h"

namespace velmo {

StartOptions parseStartOptions(const std::vector<std::string>& args, bool qtTakesRest) {
    StartOptions o;
    for (const std::string& a : args) {
        if (a == "--version") {
            o.action = StartOptions::Action::Version;
            return o;
        }
        if (a == "--help" || a == "-h") {
            o.action = StartOptions::Action::Help;
            return o;
        }
        if (a == "--from-menu") {
            o.fromMenu = true;
        } else if (!a.empty() && a[0] != '-') {
            // Before Qt has taken its own arguments a value of one of its
            // options would pass for a file: only the final parse counts them.
            if (!qtTakesRest) o.files.push_back(a);
        } else if (!qtTakesRest) {
            o.action = StartOptions::Action::Usage;
            o.unknown = a;
            return o;
        }
    }
    return o;
}

std::string startUsage() {
    return tr_(
        // TRANSLATORS: keep the option names and the file names as they are.
        "usage: velmo [--from-menu] [FILE...]\n"
        "       velmo --version | --help\n"
        "The Zentro clock's song manager. Its start folder holds the song list\n"
        "(zt_hdr.tbl) and the working folder dat/: the current folder, or with\n"
        "--from-menu the user's data folder $XDG_DATA_HOME/velmo (by default\n"
        "~/.local/share/velmo), as the desktop menu entry starts it.\n"
        "Each FILE (a song file, or a folder whose songs are taken in name order)\n"
        "is added to the list as the Add button adds it.\n");
}

bool chooseStartFolder(const StartOptions& options, const std::string& currentFolder, std::string& folder,
                       std::string& error) {
    if (!options.fromMenu) {
        folder = currentFolder;
        return true;
    }
    return makeUserDataFolder(folder, error);
}

}  // namespace velmo
