#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "fileio.h"
#include "paths.h"

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

void Settings::load(const std::string& startDir) {
    lines_.clear();
    changed_ = false;
    std::vector<uint8_t> bytes;
    if (!readWholeFile(resolvePath(startDir, kSettingsFileName), bytes, kMaxSettingsBytes)) return;
    const std::string text(bytes.begin(), bytes.end());
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

bool Settings::save(const std::string& startDir) const {
    std::string text;
    for (const auto& [key, value] : lines_) text += key.empty() ? value + "\n" : key + "=" + value + "\n";
    const std::string path = resolvePath(startDir, kSettingsFileName);
    const std::string partial = path + ".new";
    if (!writeWholeFile(partial, reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
        std::remove(partial.c_str());
        return false;
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        return false;
    }
    return true;
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
