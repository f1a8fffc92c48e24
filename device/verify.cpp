#include "verify.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "fileio.h"
#include "image_record.h"
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
    // The spans to compare: the whole image, or what a Download by the
    // record wrote and the header (the rest was the clock's already).
    std::vector<ImageSpan> spans;
    if (job.verifySpans.empty()) {
        spans.push_back(ImageSpan{0, static_cast<uint32_t>(image.size())});
    } else {
        spans.push_back(ImageSpan{0, std::min<uint32_t>(kStorageHeaderBytes, static_cast<uint32_t>(image.size()))});
        for (const ImageSpan& span : job.verifySpans)
            if (span.offset < image.size())
                spans.push_back(ImageSpan{
                    span.offset, static_cast<uint32_t>(std::min<uint64_t>(span.length, image.size() - span.offset))});
    }
    uint32_t total = 0;
    for (const ImageSpan& span : spans) total += span.length;
    std::vector<uint8_t> block(kTransferBlockBytes);
    uint32_t done = 0;
    for (const ImageSpan& span : spans) {
        for (uint32_t at = span.offset; at < span.offset + span.length;) {
            if (stop != nullptr && stop->load()) {
                events.post(JobStopped{StoppedWorker::Read, false});
                return;
            }
            const uint32_t n = std::min(span.offset + span.length - at, kTransferBlockBytes);
            if (readBlock(lib, job.handle, job.address + at, n, block.data()) != kDeviceOk) {
                events.post(ReadFailed{ReadStage::Verify, 0});
                return;
            }
            const auto from = image.begin() + at;
            const auto differs = std::mismatch(block.begin(), block.begin() + n, from);
            if (differs.first != block.begin() + n) {
                const auto off = static_cast<uint32_t>(differs.first - block.begin());
                events.post(VerifyDone{false, job.address + at + off, *differs.first, *differs.second});
                return;
            }
            at += n;
            done += n;
            reportProgress(&events, ProgressBar::Read, done, total);
        }
    }
    // What the clock now holds is known for sure: a Reload can check its
    // reads against it. Without the record it reads twice instead.
    ReloadRecord record;
    if (recordOfImage(image.data(), image.size(), record)) saveReloadRecord(ctx.startDir, record);
    // And the next Download writes only what differs from it.
    ImageRecord sectors;
    if (recordOfStorageImage(image.data(), image.size(), sectors)) saveImageRecord(ctx.startDir, sectors);
    events.post(VerifyDone{true});
}

}  // namespace velmo
