// estimate_check SONG...   for every song and every quality: the play time
//                          the probe measures and the one that decodes, the
//                          size estimate and the size the real conversion
//                          gives (the same encoder library and settings),
//                          then the spread of |estimate / actual - 1|.
//
// A check of the admission's estimate against what the clock really gets,
// for songs of any kind (made ones, conformance streams, a user's folder).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "admission.h"
#include "encoder.h"
#include "fileio.h"
#include "mp3_frames.h"
#include "song_reader.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SONG...\n", argv[0]);
        return 2;
    }
    char tmpl[] = "/tmp/velmo-estimate-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl;
    const std::string raw = dir + "/song.raw";
    const std::string mp3 = dir + "/song.mp3";
    std::vector<double> errors;
    int failures = 0;
    std::printf("%-40s %9s %9s %2s %9s %9s %8s\n", "song", "probed s", "decoded s", "q", "estimate", "actual", "error %");
    for (int i = 1; i < argc; ++i) {
        const std::string song = argv[i];
        const double probed = velmo::songDuration(song);
        const uint32_t rate = velmo::convertSongToPcm(song, raw);
        const double decoded = rate == 0 ? 0.0 : velmo::fileSize(raw).value_or(0) / 2.0 / rate;
        for (uint16_t q : {8, 4, 2}) {
            const uint32_t estimate = velmo::estimateSongSize(song, q);
            velmo::Encoder encoder;
            std::remove(mp3.c_str());
            uint32_t written = 0;
            if (rate == 0 || encoder.prepare(rate, q * 8u, velmo::outputSampleRate(rate, q)) != velmo::kPrepareOk ||
                encoder.encode(nullptr, 0, 0, raw, mp3, written) != velmo::kEncodeOk) {
                std::printf("%-40s does not convert at quality %u\n", song.c_str(), q);
                ++failures;
                continue;
            }
            // The encoder's frames: their rate and count.
            velmo::Mp3Layout out;
            velmo::FilePtr made = velmo::openRegularFileForReading(mp3);
            if (made) velmo::measureMp3Frames(made.get(), written, out);
            const double error = written == 0 ? 0.0 : static_cast<double>(estimate) / written - 1.0;
            errors.push_back(std::fabs(error));
            const std::string name = song.substr(song.find_last_of('/') + 1);
            std::printf("%-40.40s %9.3f %9.3f %2u %9u %9u %+8.3f %6u Hz %6u frames\n", name.c_str(), probed, decoded, q,
                        estimate, written, error * 100.0, out.first.sampleRate, out.frames);
        }
    }
    std::remove(raw.c_str());
    std::remove(mp3.c_str());
    ::rmdir(dir.c_str());
    if (!errors.empty()) {
        std::sort(errors.begin(), errors.end());
        auto at = [&](double p) { return errors[static_cast<size_t>(p * (errors.size() - 1))] * 100.0; };
        std::printf("|estimate/actual - 1| over %zu conversions: median %.3f %%, 90th %.3f %%, max %.3f %%\n",
                    errors.size(), at(0.5), at(0.9), errors.back() * 100.0);
    }
    return failures == 0 ? 0 : 1;
}
