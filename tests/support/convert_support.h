// Shared by the encoding tests: the event recorder, PCM and WAV writers, and
// the independent decoder (ffprobe) that checks what our encoder produced.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "event_recorder.h"
#include "tempdir.h"

namespace velmo::test {

inline std::vector<uint8_t> pcmBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out;
    for (int16_t s : samples) {
        out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s)));
        out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
    }
    return out;
}

inline std::vector<int16_t> tone(uint32_t rate, uint32_t count, double hz = 440.0, int channels = 1) {
    std::vector<int16_t> out;
    for (uint32_t i = 0; i < count; ++i) {
        const auto v = static_cast<int16_t>(9000 * std::sin(2 * M_PI * hz * i / rate));
        for (int c = 0; c < channels; ++c) out.push_back(v);
    }
    return out;
}

// A plain 16-bit PCM WAV file.
inline void writeWav(const std::string& path, uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples) {
    const std::vector<uint8_t> data = pcmBytes(samples);
    std::vector<uint8_t> f;
    auto put32 = [&f](uint32_t v) {
        for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto put16 = [&f](uint16_t v) {
        f.push_back(static_cast<uint8_t>(v));
        f.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto tag = [&f](const char* t) { f.insert(f.end(), t, t + 4); };
    tag("RIFF");
    put32(static_cast<uint32_t>(36 + data.size()));
    tag("WAVE");
    tag("fmt ");
    put32(16);
    put16(1);
    put16(channels);
    put32(rate);
    put32(rate * channels * 2);
    put16(static_cast<uint16_t>(channels * 2));
    put16(16);
    tag("data");
    put32(static_cast<uint32_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    writeFileBytes(path, f);
}

inline std::string runCommand(const std::string& cmd) {
    std::string out;
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

inline bool haveTool(const std::string& name) {
    return runCommand("command -v " + name + " >/dev/null 2>&1 && echo yes").find("yes") != std::string::npos;
}

// What ffprobe says about the first audio stream of a file.
struct Probe {
    bool ok = false;
    std::string codec;
    int channels = 0;
    uint32_t sampleRate = 0;
    uint32_t bitRate = 0;
    double duration = 0;
};

inline std::string probeField(const std::string& text, const std::string& key) {
    const size_t p = text.find(key + "=");
    if (p == std::string::npos) return {};
    const size_t e = text.find('\n', p);
    return text.substr(p + key.size() + 1, e - p - key.size() - 1);
}

inline Probe ffprobe(const std::string& path) {
    Probe r;
    const std::string out = runCommand(
        "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,channels,sample_rate,bit_rate:"
        "format=duration -of default=noprint_wrappers=1 '" +
        path + "' 2>/dev/null");
    r.codec = probeField(out, "codec_name");
    if (r.codec.empty()) return r;
    r.ok = true;
    r.channels = std::atoi(probeField(out, "channels").c_str());
    r.sampleRate = static_cast<uint32_t>(std::atol(probeField(out, "sample_rate").c_str()));
    r.bitRate = static_cast<uint32_t>(std::atol(probeField(out, "bit_rate").c_str()));
    r.duration = std::atof(probeField(out, "duration").c_str());
    return r;
}

// Samples mpg123 decodes from the file (mono output), or -1 when it fails.
inline long mpg123Samples(const std::string& mp3, const std::string& tmpDir) {
    const std::string raw = tmpDir + "/mpg123.raw";
    runCommand("mpg123 -q -m -s '" + mp3 + "' > '" + raw + "' 2>/dev/null");
    const auto bytes = readFileBytes(raw);
    std::remove(raw.c_str());
    return static_cast<long>(bytes.size() / 2);
}

}  // namespace velmo::test
