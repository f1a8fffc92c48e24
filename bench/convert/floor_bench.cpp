// floor_bench pcm OUT_DIR SONG...           decodes each song to OUT_DIR/<n>.raw
//                                            and prints "<rate> <raw path>" lines
// floor_bench encode QUALITY JOBS LIST_FILE  encodes those PCM files as the
//                                            conversion does (the same library
//                                            and settings), on JOBS threads, the
//                                            longest first
//
// The second step alone is the floor of a conversion with our encoder: the
// encoding work without any decoding, copying or waiting.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "encoder.h"
#include "fileio.h"
#include "song_reader.h"

namespace {

struct Pcm {
    uint32_t rate = 0;
    std::string path;
    uint64_t bytes = 0;
};

int decodeAll(const std::string& outDir, char** songs, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string raw = outDir + "/" + std::to_string(i) + ".raw";
        const uint32_t rate = velmo::convertSongToPcm(songs[i], raw);
        if (rate == 0) {
            std::fprintf(stderr, "floor_bench: %s does not decode\n", songs[i]);
            return 1;
        }
        std::printf("%u %s\n", rate, raw.c_str());
    }
    return 0;
}

int encodeAll(uint16_t quality, unsigned jobs, const std::string& listFile) {
    std::vector<Pcm> list;
    std::ifstream in(listFile);
    Pcm p;
    while (in >> p.rate >> p.path) {
        p.bytes = velmo::fileSize(p.path).value_or(0);
        list.push_back(p);
    }
    std::sort(list.begin(), list.end(), [](const Pcm& a, const Pcm& b) { return a.bytes > b.bytes; });
    std::atomic<size_t> next{0};
    std::atomic<int> failures{0};
    // Held loaded, as the conversion's pool does, so that no song pays for loading it.
    velmo::Encoder keeper;
    if (!keeper.load()) {
        std::fprintf(stderr, "floor_bench: %s\n", keeper.loadError().c_str());
        return 1;
    }
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < std::max(jobs, 1u); ++t)
        threads.emplace_back([&] {
            velmo::Encoder encoder;
            for (size_t i = next++; i < list.size(); i = next++) {
                const std::string mp3 = list[i].path + ".mp3";
                std::remove(mp3.c_str());
                uint32_t written = 0;
                const uint32_t rate = list[i].rate;
                if (encoder.prepare(rate, quality * 8u, velmo::outputSampleRate(rate, quality)) != velmo::kPrepareOk ||
                    encoder.encode(nullptr, 0, 0, list[i].path, mp3, written) != velmo::kEncodeOk)
                    ++failures;
            }
        });
    for (std::thread& t : threads) t.join();
    if (failures != 0) std::fprintf(stderr, "floor_bench: %d songs did not encode\n", failures.load());
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "pcm" && argc >= 4) return decodeAll(argv[2], argv + 3, argc - 3);
    if (mode == "encode" && argc == 5)
        return encodeAll(static_cast<uint16_t>(std::atoi(argv[2])), static_cast<unsigned>(std::atoi(argv[3])), argv[4]);
    std::fprintf(stderr, "usage: %s pcm OUT_DIR SONG... | encode QUALITY JOBS LIST_FILE\n", argv[0]);
    return 2;
}
