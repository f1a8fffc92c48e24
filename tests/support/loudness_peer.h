// The independent judge of even volume: ffmpeg's ebur128 filter, which
// decodes a file with its own decoders and measures its integrated loudness
// and sample peak.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velmo::test {

struct PeerLoudness {
    bool ok = false;
    double lufs = 0;      // integrated loudness; -70 or less for silence
    double peakDbfs = 0;  // sample peak; -inf for digital silence
};

// Parses the summary that `ffmpeg -filter_complex ebur128=peak=sample`
// prints last on standard error ("I: -16.0 LUFS" ... "Peak: -1.2 dBFS").
inline PeerLoudness peerLoudness(const std::string& path) {
    PeerLoudness r;
    std::FILE* p = ::popen(
        ("ffmpeg -nostdin -nostats -hide_banner -i '" + path + "' -filter_complex ebur128=peak=sample -f null - 2>&1")
            .c_str(),
        "r");
    if (!p) return r;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    const size_t summary = out.rfind("Summary:");
    if (summary == std::string::npos) return r;
    const auto number = [&](const char* key, double& into) {
        const size_t at = out.find(key, summary);
        if (at == std::string::npos) return false;
        const std::string text = out.substr(at + std::string(key).size(), 24);
        const size_t first = text.find_first_not_of(' ');
        if (first == std::string::npos) return false;
        if (text.compare(first, 4, "-inf") == 0) {
            into = -INFINITY;
            return true;
        }
        char* end = nullptr;
        into = std::strtod(text.c_str() + first, &end);
        return end != text.c_str() + first;
    };
    r.ok = number("I:", r.lufs) && number("Peak:", r.peakDbfs);
    return r;
}

}  // namespace velmo::test
