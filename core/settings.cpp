#include "settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileio.h"
#include "paths.h"
#include "terminal_text.h"
#include "translation.h"

namespace velmo {

namespace {

// A settings file is a few lines; anything larger is not ours.
constexpr size_t kMaxSettingsBytes = 64 * 1024;

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

SettingsLoadResult Settings::load(const std::string& startDir, DamagedFile damaged) {
    lines_.clear();
    changed_ = false;
    savable_ = true;
    blockedBy_ = 0;
    SettingsLoadResult result;
    const std::string path = resolvePath(startDir, kSettingsFileName);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        result.status = errno == ENOENT ? SettingsLoad::Missing : SettingsLoad::Unreadable;
        result.errorNumber = errno;
    } else if (!S_ISREG(st.st_mode)) {
        result.status = SettingsLoad::NotAFile;
        result.errorNumber = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else {
        std::vector<uint8_t> bytes;
        errno = 0;
        if (!readFileHead(path, bytes, kMaxSettingsBytes + 1)) {
            result.status = SettingsLoad::Unreadable;
            result.errorNumber = errno != 0 ? errno : EIO;
        } else if (bytes.size() > kMaxSettingsBytes || std::find(bytes.begin(), bytes.end(), 0) != bytes.end()) {
            result.status = SettingsLoad::Damaged;
            if (damaged == DamagedFile::SetAside) {
                result.setAsideAs = setDamagedFileAside(path);
                if (result.setAsideAs.empty()) result.errorNumber = errno;
            }
        } else {
            result.status = SettingsLoad::Loaded;
            parse(std::string(bytes.begin(), bytes.end()));
        }
    }
    // A file that is there but was neither read nor moved away is the
    // user's options all the same: it is not replaced by the defaults.
    if (result.status != SettingsLoad::Loaded && result.status != SettingsLoad::Missing &&
        result.setAsideAs.empty()) {
        savable_ = false;
        blockedBy_ = result.errorNumber != 0 ? result.errorNumber : EINVAL;
    }
    return result;
}

void Settings::parse(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? std::string() : trimmed(line.substr(0, eq));
        if (key.empty() || key[0] == '#')
            lines_.emplace_back(std::string(), line);
        else
            lines_.emplace_back(key, trimmed(line.substr(eq + 1)));
    }
}

bool Settings::save(const std::string& startDir, FileWriteError* failure) const {
    const std::string path = resolvePath(startDir, kSettingsFileName);
    if (!savable_) {
        if (failure != nullptr) *failure = FileWriteError{blockedBy_, path};
        return false;
    }
    std::string text;
    for (const auto& [key, value] : lines_) text += key.empty() ? value + "\n" : key + "=" + value + "\n";
    return writeFileSafely(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(), failure);
}

std::string SettingsLoadResult::text(const std::string& startDir) const {
    const std::string path = messageName(resolvePath(startDir, kSettingsFileName));
    switch (status) {
        case SettingsLoad::Loaded:
        case SettingsLoad::Missing:
            return {};
        case SettingsLoad::Unreadable:
            return format(tr_("%s cannot be read (%s): the options are neither loaded nor saved"), path.c_str(),
                          std::strerror(errorNumber));
        case SettingsLoad::NotAFile:
            return format(tr_("%s: %s; the options are neither loaded nor saved"), path.c_str(),
                          fileProblemText(errorNumber));
        case SettingsLoad::Damaged:
            break;
    }
    if (!setAsideAs.empty())
        return format(tr_("The options file %s is damaged (it is not text). It was renamed %s, and every option "
                          "starts at its default."),
                      path.c_str(), messageName(setAsideAs).c_str());
    if (errorNumber != 0)
        return format(tr_("The options file %s is damaged (it is not text) and cannot be renamed aside (%s): the "
                          "options are neither loaded nor saved."),
                      path.c_str(), std::strerror(errorNumber));
    return format(tr_("The options file %s is damaged (it is not text). It was left as it is; the next command that "
                      "changes an option renames it aside."),
                  path.c_str());
}

std::optional<std::string> Settings::get(const std::string& key) const {
    for (const auto& [k, v] : lines_)
        if (k == key) return v;
    return std::nullopt;
}

void Settings::set(const std::string& key, const std::string& value) {
    for (auto& [k, v] : lines_) {
        if (k == key) {
            changed_ = changed_ || v != value;
            v = value;
            return;
        }
    }
    lines_.emplace_back(key, value);
    changed_ = true;
}

bool Settings::flag(const std::string& key, bool byDefault) const {
    const std::optional<std::string> v = get(key);
    if (!v) return byDefault;
    if (*v == "1" || *v == "true" || *v == "on" || *v == "yes") return true;
    if (*v == "0" || *v == "false" || *v == "off" || *v == "no") return false;
    return byDefault;
}

long Settings::number(const std::string& key, long byDefault, long low, long high) const {
    const std::optional<std::string> v = get(key);
    if (!v || v->empty()) return byDefault;
    errno = 0;
    char* end = nullptr;
    const long n = std::strtol(v->c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || n < low || n > high) return byDefault;
    return n;
}

}  // namespace velmo
