// Writing a firmware file into the clock and verifying it: the format check,
// the framed image "./dat/code.tmp", the read-back worker and the comparison.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "events.h"
#include "storage_layout.h"
#include "transfer.h"
#include "work_context.h"

namespace velmo {

constexpr const char* kFirmwareCodeFile = "./dat/code.tmp";
constexpr const char* kFirmwareCheckFile = "./dat/check.tmp";
// "BOOT", the 16-bit length and "At" around the file's bytes.
constexpr uint32_t kFirmwareFrameBytes = 8;
// The framed image must stay inside the firmware area, below the song header.
constexpr uint32_t kMaxFirmwareFileBytes = kFirmwareAreaBytes - kFirmwareFrameBytes;

// The size of a firmware file the user chose, taken before any of its bytes
// is read; nothing when it is not a regular file that can be opened (a
// folder, a FIFO, a device such as /dev/zero). The open never blocks.
std::optional<uint64_t> firmwareFileSize(const std::string& path);

// 0 when the file holds the bytes 28 38 47 24 ("(8G$") somewhere; -1 when it
// does not, cannot be read, or holds more than kMaxFirmwareFileBytes.
int checkFirmwareFormat(const std::string& path);

// Writes `startDir`/dat/code.tmp: "BOOT", the file's length big-endian in two
// bytes, the file's bytes, "At". 0 written; -1 the file cannot be read, is
// longer than kMaxFirmwareFileBytes, or the frame cannot be written.
int frameFirmware(const std::string& path, const std::string& startDir);

// The sum of all bytes of a file as unsigned values, in 32 bits; -1 when the
// file cannot be opened or is larger than the firmware area.
int64_t fileByteSum(const std::string& path);

// True when both files exist, are no larger than the firmware area, and hold
// the same bytes.
bool sameFileContents(const std::string& a, const std::string& b);

// Thread body: reads job.blockSize bytes from job.address into job.path
// (resolved against ctx.startDir), posting ReadProgress. Never stops: the
// read-back is part of a firmware write. End events: FirmwareStepDone{ReadBack};
// ReadFailed{Firmware, errno of the local file, or 0 when the connection failed}.
void firmwareReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events);

}  // namespace velmo
