#include "core_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "admission.h"
#include "device.h"
#include "fileio.h"
#include "install_paths.h"
#include "storage_layout.h"
#include "translation.h"

namespace velmo {

std::string factsKey(const Song& song) {
    return fieldText(song.sourcePath) + std::string(1, '\0') + fieldText(song.workPath);
}




Message CoreState::agentLost(Say say) const {
    Message m{say};
    const std::string programs = executableFolder();
    const std::string found = agentImagePath(startDir, programs, kAgentFileName);
    errno = 0;
    const int fd = ::open(found.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        // A file that opens but is no regular file fails the read all the same.
        struct stat st {};
        const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        ::close(fd);
        if (regular) return m;
        errno = EISDIR;
    }
    AgentLookup agent;
    agent.errorNumber = errno;
    agent.startFolder = startDir;
    agent.name = kAgentFileName;
    agent.programFolder = programs;
    const std::string installed = installedPrivateFolder(programs);
    std::error_code ec;
    if (!installed.empty() && std::filesystem::is_directory(installed, ec))
        agent.installedFolder = std::filesystem::path(installed).lexically_normal().string();
    if (agent.errorNumber != ENOENT) agent.path = found;
    m.agent = agent;
    return m;
}

void CoreState::removeFile(const std::string& name) const { ::unlink(path(name).c_str()); }

uint32_t CoreState::capacityNow() const { return capacity(session.storageKB()); }

void CoreState::fillLines(uint16_t first, uint16_t end) {
    for (uint16_t i = first; i < end; ++i) view.appendLine(songName(songs[i]));
}

void CoreState::removeStrayWorkingCopies(const std::vector<std::string>& keep) const {
    namespace fs = std::filesystem;
    std::set<std::string> named;
    for (const std::string& name : keep) named.insert(fs::path(path(name)).lexically_normal().string());
    for (uint16_t i = 0; i < songCount; ++i) {
        named.insert(fs::path(path(fieldText(songs[i].workPath))).lexically_normal().string());
        named.insert(fs::path(path(fieldText(songs[i].sourcePath))).lexically_normal().string());
    }
    std::error_code ec;
    const fs::path folder = fs::path(path(kWorkDir)).lexically_normal();
    std::vector<fs::path> stray;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status st = it->symlink_status(ec);
        if (ec || !(fs::is_regular_file(st) || fs::is_symlink(st))) continue;
        if (named.count(it->path().lexically_normal().string()) == 0) stray.push_back(it->path());
    }
    for (const fs::path& p : stray) fs::remove(p, ec);
}

Message CoreState::noClock(Say say) const {
    Message m{say};
    m.busy = session.busy();
    return m;
}

std::string unreadableReason(const std::string& path) {
    // Non-blocking, so that a named pipe cannot stall the check.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    const int statError = errno;
    ::close(fd);
    if (!stated) return std::strerror(statError);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(st.st_mode)) return tr_("not a regular file");
    return {};
}

std::vector<uint32_t> estimateSongs(const std::vector<Song>& songs, const std::string& startDir, uint16_t quality,
                                    EstimateSource source, const std::atomic<bool>* stop) {
    std::vector<uint32_t> estimates(songs.size(), 0);
    for (size_t i = 0; i < songs.size(); ++i) {
        if (stop != nullptr && stop->load()) break;
        const Song& rec = songs[i];
        // A reloaded song's source is "./dat/..." below the start folder, which
        // need not be the process's current folder.
        const std::string name =
            source == EstimateSource::SourcePath ? fieldText(rec.sourcePath) : fieldText(rec.workPath);
        estimates[i] = estimateSongSize(resolvePath(startDir, name), quality);
    }
    return estimates;
}

}  // namespace velmo
