// Block transfers between files and the clock's storage, and the write worker
// of a song download or firmware write.
//
// Workers are std::threads owned and joined by the caller; they report only by
// posting (code, wParam, lParam) to the job's MessageTarget, and end right
// after their last message. The job, the shared state and the library must
// outlive the worker, and the caller leaves them alone while it runs.
//
// Starting a song download (after startAgent returned 0):
//     shared.convertEvent.reset();
//     shared.imageProduced = false;
//     shared.keepConverting = 1;
//     job = DeviceJob{0, handle, kStorageHeaderAddress, "./dat/tmp.bin", 4096,
//                     &window, 1, imageCapacity(shared.storageKB)};
//     std::thread writer = startWriteWorker(job, shared, lib);
//     ... start the conversion, which sets imageProduced when it made the image
//     and then sets convertEvent in every outcome ...
//     on WM_DOWNLOAD_DONE / WM_WRITE_FAILED (or, when the conversion failed,
//     on its own end message): writer.join();
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "device.h"
#include "messages.h"
#include "shared_state.h"

namespace velmo {

// What a write worker writes, which decides its end message.
enum class WriteMode : uint32_t { SongImage = 0, FirmwareCode = 1 };
// What a write worker waits for between its erase and its first block: a
// download's conversion (the image is made while the clock erases), or a short
// pause for the agent (a firmware file is there from the start).
enum class WriteStart : uint32_t { AfterPause = 0, AfterConversion = 1 };

struct DeviceJob {
    WriteMode mode = WriteMode::SongImage;
    uint32_t handle = 0;              // deviceHandle when the job starts
    uint32_t address = 0;             // storage address of the transfer
    std::string path;                 // working file, relative to startDir ("./dat/tmp.bin") or absolute
    uint32_t blockSize = 0;           // writes: largest block, 4096; reads: bytes to read
    MessageTarget* window = nullptr;  // receives the worker's messages
    WriteStart waitForConversion = WriteStart::AfterPause;
    uint32_t eraseLength = 0;  // bytes erased before writing
};

constexpr uint32_t kReadStagingBytes = 262144;

// Posts `code` with percent = done * 100 / total (32-bit unsigned, truncated,
// taken to 16 bits), only when that percent is not 0. Nothing for total 0.
void reportProgress(MessageTarget* window, uint32_t code, uint32_t done, uint32_t total);

// Writes the whole file at `filePath` (already resolved) to storage from
// `address` on, in blocks of min(blockSize, 4096) bytes, posting
// `progressCode` (WM_WRITE_PROGRESS) after each block is read and before it is
// programmed. 0 written; -1 when the file cannot be opened, is empty, yields
// fewer bytes than its size, or a block fails to program. Stops at the first
// failing block.
int writeFileToStorage(const DeviceLibrary& lib, MessageTarget* window, uint32_t handle, const std::string& filePath,
                       uint32_t blockSize, uint32_t address, uint32_t progressCode = WM_WRITE_PROGRESS);

// Reads job.blockSize bytes from storage job.address into the file job.path
// (resolved against startDir; replaced if it exists), with job.handle,
// posting `progressCode` (WM_READ_PROGRESS) to job.window after each block.
// Stages up to 256 KiB before each file write. 0 read; -1 when the count is 0
// (no file is created), the file cannot be created or written, or a block
// read fails (the part written so far stays). Reuse it from any read worker:
//     int r = readStorageToFile(*job, shared->startDir, *lib);
//     job->window->post(r == 0 ? WM_TABLE_READ_DONE : WM_READ_FAILED, ...);
int readStorageToFile(const DeviceJob& job, const std::string& startDir, const DeviceLibrary& lib,
                      uint32_t progressCode = WM_READ_PROGRESS);

// The write worker's thread body. Erases [address, address + eraseLength),
// then (SongImage, AfterConversion) waits for the conversion event, resets
// it, and writes job.path only when shared->imageProduced was set by this
// download's conversion (it is cleared again here); with AfterPause
// it pauses 100 ms and writes. End messages:
//   erase could not start           -> WM_WRITE_FAILED 0 (connection failure)
//   erase refused by the agent      -> WM_WRITE_FAILED 1
//     (both also reset the event and set keepConverting to 0)
//   any failure while writing       -> WM_WRITE_FAILED 0 (connection failure)
//   written, SongImage                -> WM_DOWNLOAD_DONE 0
//   written, FirmwareCode                -> WM_FIRMWARE_STEP_DONE 0
//   conversion made no image        -> no message: the conversion's own
//                                      failure message ends the operation.
void writeWorker(const DeviceJob* job, SharedState* shared, const DeviceLibrary* lib);

// Starts writeWorker on a new joinable thread. The caller owns the thread and
// joins it once the end message has arrived (or, when the conversion made no
// image, once the conversion's end message has arrived: the worker ends right
// after the conversion event is set).
std::thread startWriteWorker(const DeviceJob& job, SharedState& shared, const DeviceLibrary& lib);

}  // namespace velmo
