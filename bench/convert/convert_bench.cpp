// convert_bench START_DIR QUALITY STORAGE_KB SONG...
//
// Converts the songs START_DIR/dat/SONG (working copies already made) with the
// conversion job, as a Download does, and prints the wall time, the end
// message and the peak resident memory of the whole process.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "convert_job.h"

namespace {

class CountingTarget : public velmo::MessageTarget {
  public:
    void post(uint32_t code, uint32_t wParam, uint32_t lParam) override {
        if (code == velmo::WM_ENCODE_PROGRESS) {
            ++progress;
        } else {
            endCode = code;
            endParam = lParam;
        }
        (void)wParam;
    }
    unsigned long progress = 0;
    uint32_t endCode = 0, endParam = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s START_DIR QUALITY STORAGE_KB SONG...\n", argv[0]);
        return 2;
    }
    auto shared = std::make_unique<velmo::SharedState>();
    shared->startDir = argv[1];
    shared->storageKB = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const int count = argc - 4;
    if (count > static_cast<int>(velmo::kMaxHeaderSongs)) {
        std::fprintf(stderr, "at most %zu songs\n", velmo::kMaxHeaderSongs);
        return 2;
    }
    std::memset(shared->songs, 0, sizeof shared->songs);
    for (int i = 0; i < count; ++i) {
        velmo::SongRecord& s = shared->songs[i];
        std::snprintf(s.workPath, sizeof s.workPath, "./dat/%s", argv[4 + i]);
        std::snprintf(s.sourcePath, sizeof s.sourcePath, "./dat/%s", argv[4 + i]);
        s.cutLimit = 0xFFFFFFFFu;
    }
    CountingTarget target;
    velmo::ConvertJob job;
    job.quality = static_cast<uint16_t>(std::atoi(argv[2]));
    job.songs = shared->songs;
    job.count = static_cast<uint16_t>(count);
    job.window = &target;

    const auto start = std::chrono::steady_clock::now();
    std::thread worker = velmo::startConvertJob(
        job, shared.get(), [](const std::string& text) { std::fprintf(stderr, "message box: %s\n", text.c_str()); });
    worker.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    uint64_t kept = 0;
    for (int i = 0; i < count; ++i) kept += shared->songs[i].dataSize;
    std::printf(
        "songs %d  wall %.3f s  end 0x%04X lParam %u  kept %llu bytes  progress messages %lu  peak RSS %.1f MiB\n",
        count, seconds, target.endCode, target.endParam, static_cast<unsigned long long>(kept), target.progress,
        ru.ru_maxrss / 1024.0);
    return target.endCode == velmo::WM_CONVERT_DONE ? 0 : 1;
}
