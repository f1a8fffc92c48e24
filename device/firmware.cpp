#include "firmware.h"

#include <algorithm>

#include <vector>

#include "bytes.h"
#include "fileio.h"
#include "storage_layout.h"

namespace velmo {

namespace {

constexpr uint8_t kMarker[4] = {0x28, 0x38, 0x47, 0x24};

}  // namespace

std::optional<uint64_t> firmwareFileSize(const std::string& path) {
    const FilePtr f = openRegularFileForReading(path);
    return f ? fileSize(f.get()) : std::nullopt;
}

int checkFirmwareFormat(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, bytes, kMaxFirmwareFileBytes) || bytes.size() < sizeof(kMarker)) return -1;
    for (size_t i = 0; i + sizeof(kMarker) <= bytes.size(); ++i)
        if (std::equal(kMarker, kMarker + sizeof(kMarker), bytes.begin() + static_cast<std::ptrdiff_t>(i))) return 0;
    return -1;
}

int frameFirmware(const std::string& path, const std::string& startDir) {
    std::vector<uint8_t> code;
    if (!readWholeFile(path, code, kMaxFirmwareFileBytes)) return -1;
    std::vector<uint8_t> frame(code.size() + kFirmwareFrameBytes);
    std::copy_n("BOOT", 4, frame.begin());
    writeBe16(frame.data() + 4, static_cast<uint16_t>(code.size()));
    std::copy(code.begin(), code.end(), frame.begin() + 6);
    frame[6 + code.size()] = 'A';
    frame[7 + code.size()] = 't';

    return writeWholeFile(resolvePath(startDir, kFirmwareCodeFile), frame.data(), frame.size()) ? 0 : -1;
}

int64_t fileByteSum(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, bytes, kFirmwareAreaBytes)) return -1;
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return sum;
}

bool sameFileContents(const std::string& a, const std::string& b) {
    std::vector<uint8_t> x, y;
    return readWholeFile(a, x, kFirmwareAreaBytes) && readWholeFile(b, y, kFirmwareAreaBytes) && x == y;
}

void firmwareReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events) {
    TransferError error;
    const int result = readStorageToFile(job, ctx.startDir, lib, &events, nullptr, &error);
    if (result == kDeviceOk)
        events.post(FirmwareStepDone{FirmwareStep::ReadBack});
    else
        events.post(ReadFailed{ReadStage::Firmware, result == kDeviceLocalFileFailed ? error.fileError : 0});
}

}  // namespace velmo
