#include "admission.h"

#include <cmath>
#include <vector>

#include "mp3_decoder.h"
#include "paths.h"
#include "songrecord.h"
#include "wav_input.h"

namespace velmo {
namespace {

constexpr size_t kExtensionChars = 4;

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool endsWithIgnoringCase(std::string_view text, std::string_view tail) {
    if (text.size() < tail.size()) return false;
    const std::string_view end = text.substr(text.size() - tail.size());
    for (size_t i = 0; i < tail.size(); ++i) {
        if (lowerAscii(end[i]) != lowerAscii(tail[i])) return false;
    }
    return true;
}

bool namesSong(std::string_view component) {
    return component.size() > kExtensionChars &&
           (endsWithIgnoringCase(component, kMp3Extension) || endsWithIgnoringCase(component, kWavExtension));
}

}  // namespace

bool hasExtension(std::string_view path, std::string_view extension) {
    if (path.size() < kExtensionChars || extension.size() != kExtensionChars) return false;
    return endsWithIgnoringCase(path, extension);
}

std::string songComponent(std::string_view path) {
    bool skipFirst = path.empty() || path.front() != '/';
    size_t pos = 0;
    while (pos < path.size()) {
        if (path[pos] == '/') {
            ++pos;
            continue;
        }
        const size_t slash = path.find('/', pos);
        const size_t end = slash == std::string_view::npos ? path.size() : slash;
        const std::string_view component = path.substr(pos, end - pos);
        pos = end;
        if (skipFirst) {
            skipFirst = false;
            continue;
        }
        if (namesSong(component)) return std::string(component);
    }
    return std::string();
}

bool songWorkPath(std::string_view path, std::string& out) {
    const std::string name = songComponent(path);
    if (name.empty()) return false;
    std::string work = std::string(kWorkDir) + name;
    if (work.size() >= kPathBytes) return false;
    out = std::move(work);
    return true;
}

std::string songDisplayName(std::string_view path) {
    std::string name = songComponent(path);
    if (name.size() >= kPathBytes) name.resize(kPathBytes - 1);
    return name;
}

uint32_t estimateSongSize(const std::string& path, uint16_t quality) {
    double duration = 0.0;
    if (hasExtension(path, kMp3Extension)) {
        Mp3Info info;
        // The duration counts whatever the probe reports: it is 0 whenever the
        // probe found no usable frame.
        probeMp3Length(path, info);
        duration = info.duration;
    } else if (hasExtension(path, kWavExtension)) {
        WavLength length;
        if (probeWavLength(path, length) != kWavProbeOk) return 0;
        duration = length.duration;
    } else {
        return 0;
    }
    const double bytes = static_cast<double>(quality) * 1000.0 * duration;
    // A play time whose size does not fit 32 bits comes only from a damaged
    // header (it could never fit the clock) and would overflow the list's total.
    if (!(bytes >= 0.0) || bytes >= 4294967296.0) return 0;
    return static_cast<uint32_t>(bytes);
}

}  // namespace velmo
