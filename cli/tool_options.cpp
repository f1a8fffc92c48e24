#include "tool_options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "fileio.h"
#include "install_paths.h"
#include "session.h"
#include "translation.h"

namespace velmo::cli {

namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Letters changed, left out, added, or two neighbours swapped: the slips a
// hand makes on a keyboard, each counted once.
size_t slips(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t changed = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + changed});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

bool runsInstalled() {
    const std::string programs = executableFolder();
    std::error_code ec;
    return !programs.empty() && fs::is_directory(installedPrivateFolder(programs), ec);
}

bool defaultStartFolder(std::string& folder, std::string& error) {
    if (!runsInstalled()) {
        folder = ".";
        return true;
    }
    // As the window started from the menu chooses it.
    return makeUserDataFolder(folder, error);
}

std::string nearestCommand(const std::string& typed, const std::vector<std::string>& commands) {
    if (typed.empty()) return {};
    const std::string word = lower(typed);
    const size_t allowed = word.size() > 5 ? 2 : 1;
    std::string nearest;
    size_t best = allowed + 1;
    std::vector<std::string> startingWith;
    for (const std::string& command : commands) {
        if (command.compare(0, word.size(), word) == 0) startingWith.push_back(command);
        const size_t n = slips(word, command);
        if (n < best) {
            best = n;
            nearest = command;
        }
    }
    if (!nearest.empty()) return nearest;
    return startingWith.size() == 1 ? startingWith.front() : std::string();
}

const char* volumeLine(bool even) { return even ? tr_("Volume: even\n") : tr_("Volume: as-is\n"); }

const char* namesLine(bool fromTags) { return fromTags ? tr_("Names from Tags: on\n") : tr_("Names from Tags: off\n"); }

const char* verifyLine(bool on) {
    return on ? tr_("Verify after Download: on\n") : tr_("Verify after Download: off\n");
}

int runVerify(const Options& options, const std::string& how) {
    if (!how.empty() && how != "on" && how != "off") {
        note("%s", tr_("verify must be on or off"));
        return kExitUsage;
    }
    Session s(options, how.empty() ? FolderAccess::Shared : FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    if (!how.empty() && !s.core.optionsSavable()) return kExitFailed;
    if (!how.empty()) s.core.setVerifyAfterDownload(how == "on");
    std::printf("%s", verifyLine(s.core.verifyAfterDownload()));
    return s.finish(kExitOk);
}

}  // namespace velmo::cli
