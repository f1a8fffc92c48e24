#include "install_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "paths.h"
#include "translation.h"
#include "velmo_build.h"

namespace velmo {

namespace {

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::string installedPrivateFolder(const std::string& executableFolder) {
    if (executableFolder.empty()) return {};
    // The relative path from the programs' folder to the private one, as
    // the build configured them (normally "../lib/velmo").
    return join(executableFolder, kPrivateFolderFromBin);
}

std::string localeFolder(const std::string& executableFolder) {
    if (executableFolder.empty()) return {};
    return join(executableFolder, kLocaleFolderFromBin);
}

std::string findPrivateFile(const std::string& executableFolder, const std::string& name) {
    if (executableFolder.empty()) return {};
    for (const std::string& folder : {executableFolder, installedPrivateFolder(executableFolder)}) {
        const std::string path = join(folder, name);
        if (isFile(path)) return path;
    }
    return {};
}

std::string agentImagePath(const std::string& startDir, const std::string& executableFolder, const std::string& name) {
    const std::string own = resolvePath(startDir, name);
    if (isFile(own)) return own;
    const std::string installed = join(installedPrivateFolder(executableFolder), name);
    if (!executableFolder.empty() && isFile(installed)) return installed;
    return own;
}

std::string userDataFolder(const char* xdgDataHome, const char* home) {
    if (xdgDataHome != nullptr && xdgDataHome[0] == '/') return join(xdgDataHome, "velmo");
    if (home != nullptr && home[0] == '/') return join(home, ".local/share/velmo");
    return {};
}

bool makeFolders(const std::string& folder, std::string& error) {
    if (folder.empty()) {
        error = "no folder";
        return false;
    }
    for (size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
        const std::string part = at == std::string::npos ? folder : folder.substr(0, at);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = part + ": " + std::strerror(errno);
            return false;
        }
        if (at == std::string::npos) break;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = folder + ": not a folder";
        return false;
    }
    return true;
}

bool makeUserDataFolder(std::string& folder, std::string& error) {
    folder = userDataFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    if (folder.empty()) {
        error = tr_("neither XDG_DATA_HOME nor HOME names a folder");
        return false;
    }
    return makeFolders(folder, error);
}

}  // namespace velmo
