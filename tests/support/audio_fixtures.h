// Shared by the tests of the readers: the committed fixtures, ffprobe's
// durations of them (recorded by scripts/make_fixtures.sh), and the power of a
// tone in 16-bit mono PCM, to tell which channels reached a song.
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace velmo::test {

inline std::string dataFile(const std::string& name) { return std::string(VELMO_TEST_DATA) + "/" + name; }

inline std::map<std::string, double> fixtureDurations() {
    std::map<std::string, double> d;
    std::ifstream in(dataFile("durations.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name;
        double seconds = 0;
        if (fields >> name >> seconds) d[name] = seconds;
    }
    return d;
}

inline std::vector<int16_t> le16Samples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    return out;
}

// Mean power of the `hz` component of `samples` at `rate` (Goertzel), in the
// square of sample units: a full-scale sine of amplitude A gives about A^2 / 4.
inline double tonePower(const std::vector<int16_t>& samples, uint32_t rate, double hz) {
    if (samples.empty() || rate == 0) return 0.0;
    const double w = 2.0 * M_PI * hz / rate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0.0, s2 = 0.0;
    for (int16_t x : samples) {
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    const double n = static_cast<double>(samples.size());
    return power / (n * n);
}

}  // namespace velmo::test
