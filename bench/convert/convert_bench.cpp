// convert_bench START_DIR QUALITY STORAGE_KB SONG...
//
// Converts the songs START_DIR/dat/SONG (working copies already made) with the
// conversion job, as a Download does, and prints the wall time, the end
// event and the peak resident memory of the whole process.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "convert_job.h"
#include "storage_layout.h"
#include "work_context.h"

namespace {

// Counts the progress events and keeps the end event, and prints notices at once.
class CountingSink : public velmo::EventSink {
  public:
    void post(velmo::Event event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::holds_alternative<velmo::EncodeProgress>(event)) {
            ++progress;
        } else if (std::holds_alternative<velmo::SongStarted>(event) ||
                   std::holds_alternative<velmo::SongPlaced>(event)) {
            // where the job is, not how it ended
        } else if (const auto* notice = std::get_if<velmo::ConvertNotice>(&event)) {
            std::fprintf(stderr, "notice: %s\n", notice->text.c_str());
        } else {
            end = std::move(event);
        }
    }
    std::mutex mutex_;
    unsigned long progress = 0;
    std::optional<velmo::Event> end;
};

const char* endName(const std::optional<velmo::Event>& end) {
    if (!end) return "none";
    if (std::holds_alternative<velmo::ConvertDone>(*end)) return "ConvertDone";
    if (std::holds_alternative<velmo::ConvertFailed>(*end)) return "ConvertFailed";
    if (std::holds_alternative<velmo::ConvertAborted>(*end)) return "ConvertAborted";
    if (std::holds_alternative<velmo::JobStopped>(*end)) return "JobStopped";
    return "other";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s START_DIR QUALITY STORAGE_KB SONG...\n", argv[0]);
        return 2;
    }
    velmo::WorkContext ctx;
    ctx.startDir = argv[1];
    ctx.storageKB = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const int count = argc - 4;
    if (count > static_cast<int>(velmo::kMaxHeaderSongs)) {
        std::fprintf(stderr, "at most %zu songs\n", velmo::kMaxHeaderSongs);
        return 2;
    }
    std::vector<velmo::Song> songs(velmo::kMaxHeaderSongs);
    for (int i = 0; i < count; ++i) {
        velmo::Song& s = songs[i];
        std::snprintf(s.workPath, sizeof s.workPath, "./dat/%s", argv[4 + i]);
        std::snprintf(s.sourcePath, sizeof s.sourcePath, "./dat/%s", argv[4 + i]);
        s.cutLimit = 0xFFFFFFFFu;
    }
    CountingSink sink;
    velmo::ConvertJob job;
    job.quality = static_cast<uint16_t>(std::atoi(argv[2]));
    job.songs.assign(songs.begin(), songs.begin() + count);
    job.events = &sink;
    const std::atomic<bool> stop{false};

    const auto start = std::chrono::steady_clock::now();
    velmo::runConvertJob(job, ctx, stop);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    uint64_t kept = 0;
    if (const auto* done = sink.end ? std::get_if<velmo::ConvertDone>(&*sink.end) : nullptr)
        for (const velmo::SongPlacement& p : done->placements) kept += p.dataSize;
    const auto* done = sink.end ? std::get_if<velmo::ConvertDone>(&*sink.end) : nullptr;
    std::printf(
        "songs %d  wall %.3f s  end %s image %u bytes  kept %llu bytes  progress events %lu  peak RSS %.1f MiB\n",
        count, seconds, endName(sink.end), done ? done->imageBytes : 0u, static_cast<unsigned long long>(kept),
        sink.progress, ru.ru_maxrss / 1024.0);
    return done ? 0 : 1;
}
