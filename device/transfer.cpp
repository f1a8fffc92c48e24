#include "transfer.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "fileio.h"
#include "paths.h"

namespace velmo {

namespace {

// A firmware write has no conversion to wait for; the agent gets a pause
// between the erase and the first block instead.
constexpr std::chrono::milliseconds kFirmwarePause{100};

bool writeStaged(FILE* f, const uint8_t* data, size_t n) { return n == 0 || std::fwrite(data, 1, n, f) == n; }

}  // namespace

void reportProgress(MessageTarget* window, uint32_t code, uint32_t done, uint32_t total) {
    if (window == nullptr || total == 0) return;
    const auto percent = static_cast<uint16_t>(done * 100u / total);
    if (percent != 0) window->post(code, percent, 0);
}

int writeFileToStorage(const DeviceLibrary& lib, MessageTarget* window, uint32_t handle, const std::string& filePath,
                       uint32_t blockSize, uint32_t address, uint32_t progressCode) {
    const uint32_t block = std::min(blockSize, kTransferBlockBytes);
    if (block == 0) return kDeviceConnectionFailed;
    FilePtr f = openRegularFileForReading(filePath);
    if (!f) return kDeviceConnectionFailed;
    struct stat sb;
    if (::fstat(::fileno(f.get()), &sb) != 0 || sb.st_size <= 0 || static_cast<uint64_t>(sb.st_size) > 0xFFFFFFFFull)
        return kDeviceConnectionFailed;
    const auto total = static_cast<uint32_t>(sb.st_size);

    std::vector<uint8_t> buffer(block);
    uint32_t count = 0;
    do {
        std::fill(buffer.begin(), buffer.end(), 0);
        // Never more than the size taken at the start: the erased range ends there.
        const size_t want = std::min<uint32_t>(block, total - count);
        const size_t n = std::fread(buffer.data(), 1, want, f.get());
        // A file that yields fewer bytes than its size would otherwise never end.
        if (n == 0) return kDeviceConnectionFailed;
        count += static_cast<uint32_t>(n);
        reportProgress(window, progressCode, count, total);
        if (programBlock(lib, handle, address, buffer.data(), static_cast<uint32_t>(n)) != kDeviceOk)
            return kDeviceConnectionFailed;
        address += static_cast<uint32_t>(n);
    } while (count < total);
    return kDeviceOk;
}

int readStorageToFile(const DeviceJob& job, const std::string& startDir, const DeviceLibrary& lib,
                      uint32_t progressCode) {
    const uint32_t total = job.blockSize;
    if (total == 0) return kDeviceConnectionFailed;
    const std::string path = resolvePath(startDir, job.path);
    FilePtr f = createFileForWriting(path);
    if (!f) return kDeviceConnectionFailed;

    std::vector<uint8_t> staging(kReadStagingBytes);
    uint8_t block[kTransferBlockBytes] = {};
    size_t staged = 0;
    uint32_t remaining = total;
    uint32_t count = 0;
    uint32_t address = job.address;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, kTransferBlockBytes);
        if (readBlock(lib, job.handle, address, n, block) != kDeviceOk) return kDeviceConnectionFailed;
        std::memcpy(staging.data() + staged, block, n);
        staged += n;
        count += n;
        reportProgress(job.window, progressCode, count, total);
        address += n;
        if (staging.size() - staged < kTransferBlockBytes) {
            if (!writeStaged(f.get(), staging.data(), staged)) return kDeviceConnectionFailed;
            staged = 0;
        }
        remaining -= n;
    }
    if (!writeStaged(f.get(), staging.data(), staged)) return kDeviceConnectionFailed;
    // A full disk may only show when the file is closed.
    FILE* raw = f.release();
    return std::fclose(raw) == 0 ? kDeviceOk : kDeviceConnectionFailed;
}

void writeWorker(const DeviceJob* job, SharedState* shared, const DeviceLibrary* lib) {
    MessageTarget* const window = job->window;
    const WriteMode mode = job->mode;

    int result = eraseStorage(*lib, job->handle, job->address, job->eraseLength);
    shared->keepConverting = 1;
    if (result != kDeviceOk) {
        // The conversion stops before its next song; its end still sets the event.
        shared->convertEvent.reset();
        shared->keepConverting = 0;
    } else {
        if (job->waitForConversion == WriteStart::AfterConversion) {
            shared->convertEvent.wait();
            shared->convertEvent.reset();
            // Without an image from this very download, ./dat/tmp.bin may be an
            // old one: write nothing, and leave the end to the conversion's message.
            if (!shared->imageProduced.exchange(false)) return;
        } else {
            std::this_thread::sleep_for(kFirmwarePause);
        }
        result = writeFileToStorage(*lib, window, job->handle, shared->path(job->path), job->blockSize, job->address,
                                    WM_WRITE_PROGRESS);
    }

    if (window == nullptr) return;
    if (result == kDeviceAgentFailed) {
        window->post(WM_WRITE_FAILED, 1, 0);
    } else if (result != kDeviceOk) {
        window->post(WM_WRITE_FAILED, 0, 0);
    } else {
        window->post(mode == WriteMode::FirmwareCode ? WM_FIRMWARE_STEP_DONE : WM_DOWNLOAD_DONE, 0, 0);
    }
}

std::thread startWriteWorker(const DeviceJob& job, SharedState& shared, const DeviceLibrary& lib) {
    return std::thread(writeWorker, &job, &shared, &lib);
}

}  // namespace velmo
