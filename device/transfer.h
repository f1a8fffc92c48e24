// Block transfers between files and the clock's storage, and the write worker
// of a song download or firmware write.
//
// Workers are std::threads owned and joined by the operation; they report only
// by posting events (events.h) to the EventSink they are given, and end right
// after their one end event. The job, the context, the library, the sink, the
// cancellation and the hand-over must outlive the worker.
//
// A Download (after startAgent returned 0), on the operation's side:
//     Cancellation cancel;  ImageHandOver handOver;
//     cancel.setWakeUp([&] { handOver.wake(); });      // before any worker starts
//     DeviceJob job{WriteMode::SongImage, handle, kStorageHeaderAddress, "./dat/tmp.bin", 4096,
//                   imageCapacity(ctx.storageKB), expected};
//     std::thread writer(writeWorker, std::cref(job), std::cref(ctx), std::cref(lib), std::ref(events),
//                        &cancel, &handOver);
//     ... the conversion (convert_job.h) with the same handOver and cancel.flag() ...
//     join both once each has posted its end event.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cancellation.h"
#include "device.h"
#include "events.h"
#include "image_handover.h"
#include "image_record.h"
#include "work_context.h"

namespace velmo {

// What a write worker writes, which decides its end event.
enum class WriteMode : uint32_t { SongImage = 0, FirmwareCode = 1 };

struct DeviceJob {
    WriteMode mode = WriteMode::SongImage;
    uint32_t handle = 0;       // deviceHandle when the job starts
    uint32_t address = 0;      // storage address of the transfer
    std::string path;          // working file, relative to the start folder ("./dat/tmp.bin") or absolute
    uint32_t blockSize = 0;    // writes: largest block, 4096; reads: bytes to read
    uint32_t eraseLength = 0;  // bytes erased before writing
    // A download's image size as the list's estimates expect it; the write
    // progress is measured against it until the image's real size is known.
    uint32_t expectedBytes = 0;
    // A download's: the record of the last verified Download in this folder
    // (image_record.h), or null. When the clock's header is that record's,
    // only the sectors that differ are erased and written.
    std::shared_ptr<const ImageRecord> record = nullptr;
    // A read-back's: only these spans of the image are compared (empty: all).
    std::vector<ImageSpan> verifySpans = {};
};

constexpr uint32_t kReadStagingBytes = 262144;

// Which bar a transfer's progress moves: WriteProgress or ReadProgress.
enum class ProgressBar { Write, Read };

// Posts the bar's event with percent = done * 100 / total (32-bit unsigned,
// truncated, taken to 16 bits), only when that percent is not 0. Nothing for
// total 0 or a null sink.
void reportProgress(EventSink* events, ProgressBar bar, uint32_t done, uint32_t total);

// What a transfer that ended with kDeviceLocalFileFailed knows of the cause.
struct TransferError {
    int fileError = 0;  // the system's error number (errno)
};

// Writes the whole file at `filePath` (already resolved) to storage from
// `address` on, in blocks of min(blockSize, 4096) bytes, posting `bar`'s
// progress to `events` (may be null) after each block is read and before it
// is programmed. Results: kDeviceOk; kDeviceConnectionFailed when the block
// size is 0 or a block fails to program (stops at the first); kDeviceStopped
// when `stop` was seen set before a block; kDeviceLocalFileFailed
// (error->fileError set) when the file cannot be opened, is empty, or yields
// fewer bytes than its size. The size taken at the start bounds the transfer.
int writeFileToStorage(const DeviceLibrary& lib, EventSink* events, uint32_t handle, const std::string& filePath,
                       uint32_t blockSize, uint32_t address, ProgressBar bar = ProgressBar::Write,
                       const std::atomic<bool>* stop = nullptr, TransferError* error = nullptr);

// Writes a storage image (the 8480-byte header, then the songs' data) to
// storage from `address` (0x4000), in 4096-byte blocks, in the order that
// keeps the clock consistent at every moment: first the data (image bytes
// from 8480 on, storage from 0x6120 on), then the header's blocks from the
// last to the first, so that the block holding the signature and the song
// count is the very last write. Until then the erased header names no songs.
// WriteProgress counts the bytes sent against the image's size. Results as
// writeFileToStorage.
int writeImageToStorage(const DeviceLibrary& lib, EventSink* events, uint32_t handle, const std::string& imagePath,
                        uint32_t address, const std::atomic<bool>* stop = nullptr, TransferError* error = nullptr);

// Reads job.blockSize bytes of storage from job.address into the file
// job.path (resolved against `startDir`, created or replaced), in blocks of at
// most 4096 bytes, posting ReadProgress to `events` (may be null) after each
// block. Stages up to 256 KiB before each file write. Results: kDeviceOk;
// kDeviceConnectionFailed when the count is 0 (no file is created) or a block
// read fails; kDeviceStopped when `stop` was seen set before a block;
// kDeviceLocalFileFailed (error->fileError set) when the file cannot be
// created or written. The part written so far stays.
int readStorageToFile(const DeviceJob& job, const std::string& startDir, const DeviceLibrary& lib,
                      EventSink* events = nullptr, const std::atomic<bool>* stop = nullptr,
                      TransferError* error = nullptr);

// The write worker's thread body. Looks at `cancellation` (null: never stops,
// as a firmware write, which must not leave half a firmware) before its erase
// and between blocks. Erases [address, address + eraseLength), then:
//   `handOver` set (a download): sends the image job.path while the
//     conversion makes it. Each 4096-byte block of song data goes to the clock
//     as soon as the hand-over says it is final; once the conversion finished
//     with an image, the rest of the data and then the header's blocks from
//     the last to the first: the blocks, addresses and order of
//     writeImageToStorage, the signature block last. WriteProgress after every block (from 1 on
//     at the first block) counts the bytes placed against job.expectedBytes,
//     then against the image's size. Between blocks it sleeps in
//     handOver->waitFor(), so the operation's cancellation must wake the
//     hand-over (Cancellation::setWakeUp).
//   `handOver` set and job.record given: first reads the clock's header
//     (one read of its 8480 bytes). When it is byte for byte the record's,
//     nothing is erased before the image is whole; then only the sectors
//     whose content differs from the record's are erased and written (and
//     the old image's sectors past the new end erased), the signature's
//     sector erased before all of them and written after all of them. Any
//     other header: the whole write above.
//   `handOver` null: pauses 100 ms for the agent and writes the file as it
//     stands (SongImage: writeImageToStorage; FirmwareCode: writeFileToStorage).
// End events:
//   stopped before the erase         -> JobStopped{Write, erased = false}
//   stopped after the erase          -> JobStopped{Write, erased = true}
//   erase could not start            -> WriteFailed{Connection}
//   erase refused by the agent       -> WriteFailed{Erase}
//   a block failed to program        -> WriteFailed{Connection}
//   a file failed to open or read    -> WriteFailed{LocalFile, errno}
//   written, SongImage               -> DownloadDone
//   written, FirmwareCode            -> FirmwareStepDone{Written}
//   the conversion finished NoImage  -> JobStopped{Write, true} when the
//                                       cancellation is set, else WriteAbandoned
// After posting WriteFailed it cancels `cancellation`, so that the songs still
// converting stop at once: they could no longer reach the clock.
void writeWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                 Cancellation* cancellation, ImageHandOver* handOver);

}  // namespace velmo
