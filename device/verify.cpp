#include "verify.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "fileio.h"
#include "reload_record.h"
#include "storage_layout.h"

namespace velmo {

namespace {

// Reads the whole image, never more than the storage could hold: a larger
// file (or a device that never ends) cannot be what was written. 0 on
// success, else the error number to report.
int readImage(const std::string& path, uint32_t limit, std::vector<uint8_t>& image) {
    errno = 0;
    if (!readWholeFile(path, image, limit)) {
        const int openError = errno;
        const std::optional<uint64_t> size = fileSize(path);
        if (size && *size > limit) return EFBIG;
        return openError != 0 ? openError : EIO;
    }
    return image.empty() ? ENODATA : 0;
}

}  // namespace

void verifyWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                  const std::atomic<bool>* stop) {
    std::vector<uint8_t> image;
    if (const int e = readImage(ctx.path(job.path), imageCapacity(ctx.storageKB), image); e != 0) {
        events.post(ReadFailed{ReadStage::Verify, e});
        return;
    }
    const auto total = static_cast<uint32_t>(image.size());
    std::vector<uint8_t> block(kTransferBlockBytes);
    for (uint32_t done = 0; done < total;) {
        if (stop != nullptr && stop->load()) {
            events.post(JobStopped{StoppedWorker::Read, false});
            return;
        }
        const uint32_t n = std::min(total - done, kTransferBlockBytes);
        if (readBlock(lib, job.handle, job.address + done, n, block.data()) != kDeviceOk) {
            events.post(ReadFailed{ReadStage::Verify, 0});
            return;
        }
        const auto from = image.begin() + done;
        const auto differs = std::mismatch(block.begin(), block.begin() + n, from);
        if (differs.first != block.begin() + n) {
            const auto at = static_cast<uint32_t>(differs.first - block.begin());
            events.post(VerifyDone{false, job.address + done + at, *differs.first, *differs.second});
            return;
        }
        done += n;
        reportProgress(&events, ProgressBar::Read, done, total);
    }
    // What the clock now holds is known for sure: a Reload can check its
    // reads against it. Without the record it reads twice instead.
    ReloadRecord record;
    if (recordOfImage(image.data(), image.size(), record)) saveReloadRecord(ctx.startDir, record);
    events.post(VerifyDone{true});
}

}  // namespace velmo
