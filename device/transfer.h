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
//     shared.stopRequested = false;
//     job = DeviceJob{WriteMode::SongImage, handle, kStorageHeaderAddress, "./dat/tmp.bin",
//                     4096, &window, WriteStart::AfterConversion, imageCapacity(shared.storageKB)};
//     std::thread writer = startWriteWorker(job, shared, lib);
//     ... start the conversion, which sets imageProduced when it made the image
//     and then sets convertEvent in every outcome ...
//     on WM_DOWNLOAD_DONE / WM_WRITE_FAILED / WM_JOB_STOPPED (or, when the
//     conversion failed, on its own end message): writer.join();
#pragma once

#include <atomic>
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
    // A download's image size as the list's estimates expect it; the write
    // progress is measured against it until the image's real size is known.
    uint32_t expectedBytes = 0;
};

constexpr uint32_t kReadStagingBytes = 262144;

// Posts `code` with percent = done * 100 / total (32-bit unsigned, truncated,
// taken to 16 bits), only when that percent is not 0. Nothing for total 0.
void reportProgress(MessageTarget* window, uint32_t code, uint32_t done, uint32_t total);

// What a transfer that ended with kDeviceLocalFileFailed knows of the cause.
struct TransferError {
    int fileError = 0;  // the system's error number (errno)
};

// Writes the whole file at `filePath` (already resolved) to storage from
// `address` on, in blocks of min(blockSize, 4096) bytes, posting
// `progressCode` (WM_WRITE_PROGRESS) after each block is read and before it is
// programmed. Results: kDeviceOk; kDeviceConnectionFailed when the block size
// is 0 or a block fails to program (stops at the first); kDeviceStopped when
// `stop` was seen set before a block; kDeviceLocalFileFailed (error->fileError
// set) when the file cannot be opened, is empty, or yields fewer bytes than
// its size. The size taken at the start bounds the transfer.
int writeFileToStorage(const DeviceLibrary& lib, MessageTarget* window, uint32_t handle, const std::string& filePath,
                       uint32_t blockSize, uint32_t address, uint32_t progressCode = WM_WRITE_PROGRESS,
                       const std::atomic<bool>* stop = nullptr, TransferError* error = nullptr);

// Writes a storage image (the 8480-byte header, then the songs' data) to
// storage from `address` (0x4000), in 4096-byte blocks, in the order that
// keeps the clock consistent at every moment: first the data (image bytes
// from 8480 on, storage from 0x6120 on), then the header's blocks from the
// last to the first, so that the block holding the signature and the song
// count is the very last write. Until then the erased header names no songs.
// Progress (WM_WRITE_PROGRESS) counts the bytes sent against the image's size.
// Results as writeFileToStorage.
int writeImageToStorage(const DeviceLibrary& lib, MessageTarget* window, uint32_t handle, const std::string& imagePath,
                        uint32_t address, const std::atomic<bool>* stop = nullptr, TransferError* error = nullptr);

// Reads job.blockSize bytes of storage from job.address into the file
// job.path (resolved against `startDir`, created or replaced), in blocks of at
// most 4096 bytes, posting `progressCode` (WM_READ_PROGRESS) to job.window
// after each block. Stages up to 256 KiB before each file write. Results:
// kDeviceOk; kDeviceConnectionFailed when the count is 0 (no file is created)
// or a block read fails; kDeviceStopped when `stop` was seen set before a
// block; kDeviceLocalFileFailed (error->fileError set) when the file cannot be
// created or written. The part written so far stays.
int readStorageToFile(const DeviceJob& job, const std::string& startDir, const DeviceLibrary& lib,
                      uint32_t progressCode = WM_READ_PROGRESS, const std::atomic<bool>* stop = nullptr,
                      TransferError* error = nullptr);

// The write worker's thread body. A song image (SongImage) checks
// shared->stopRequested before its erase and between blocks; a firmware write
// never stops. Erases [address, address + eraseLength), then:
//   AfterConversion (a download): sends the image job.path while the
//     conversion makes it. Each 4096-byte block of song data goes to the clock
//     as soon as shared->imageData says it is final; once the conversion
//     event is set (it is reset here) and shared->imageProduced was set by
//     this download's conversion (cleared again here), the rest of the data
//     and then the header's blocks from the last to the first: the blocks,
//     addresses and order of writeImageToStorage, the signature block last.
//     Progress (WM_WRITE_PROGRESS, from 1 on at the first block) counts the
//     bytes placed against job.expectedBytes, then against the image's size.
//   AfterPause: pauses 100 ms and writes the file as it stands.
// End messages:
//   stopped before the erase        -> WM_JOB_STOPPED kStoppedWrite, lParam 0
//   stopped after the erase         -> WM_JOB_STOPPED kStoppedWrite, lParam 1
//   erase could not start           -> WM_WRITE_FAILED 0 (connection failure)
//   erase refused by the agent      -> WM_WRITE_FAILED 1
//     (both also reset the event and set keepConverting to 0)
//   a block failed to program       -> WM_WRITE_FAILED 0 (connection failure)
//   the file failed to open or read -> WM_WRITE_FAILED 2, lParam errno
//     (a download's write failures also set keepConverting to 0: songs
//     still converting stop at the next song)
//   written, SongImage              -> WM_DOWNLOAD_DONE 0
//   written, FirmwareCode           -> WM_FIRMWARE_STEP_DONE 0
//   conversion made no image        -> no message: the conversion's own
//                                      failure message ends the operation;
//                                      a stopped one: WM_JOB_STOPPED
//                                      kStoppedWrite, lParam 1.
void writeWorker(const DeviceJob* job, SharedState* shared, const DeviceLibrary* lib);

// Starts writeWorker on a new joinable thread. The caller owns the thread and
// joins it once the end message has arrived (or, when the conversion made no
// image, once the conversion's end message has arrived: the worker ends right
// after the conversion event is set).
std::thread startWriteWorker(const DeviceJob& job, SharedState& shared, const DeviceLibrary& lib);

}  // namespace velmo
