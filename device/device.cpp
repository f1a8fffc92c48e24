#include "device.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bytes.h"
#include "controller_map.h"
#include "fileio.h"
#include "install_paths.h"
#include "paths.h"
#include "storage_layout.h"

namespace velmo {

namespace {

// The library reports success as the byte count or 0.
bool transferred(uint32_t result, uint32_t count) { return result == count || result == 0; }

// Parameter fields go out most significant byte first, each with its own
// write. A write that failed leaves the agent with the last command's
// arguments, so the command is not started at all.
bool writeParam32(const DeviceLibrary& lib, uint32_t handle, uint32_t address, uint32_t value) {
    const uint32_t be = toBigEndian32(value);
    return transferred(lib.usb().usb_Lib_DMCUWriteData(handle, 4, address, &be), 4);
}

bool writeParam16(const DeviceLibrary& lib, uint32_t handle, uint32_t address, uint16_t value) {
    const uint16_t be = toBigEndian16(value);
    return transferred(lib.usb().usb_Lib_DMCUWriteData(handle, 2, address, &be), 2);
}

// The agent's result block: -1 when the status word is not 0, else the value word.
int32_t agentValue(const uint8_t (&block)[8]) {
    uint32_t status = 0, value = 0;
    std::memcpy(&status, block, 4);  // both words in host byte order
    std::memcpy(&value, block + 4, 4);
    if (status != 0) return -1;
    return static_cast<int32_t>(value);
}

// Fetches the result of the code last started. False when the call itself
// failed (the clock is gone): that is a lost connection, not the agent's
// answer. A library that fails without filling the block reads as -1.
bool fetchAgentResult(const DeviceLibrary& lib, uint32_t handle, int32_t& value) {
    uint8_t block[8];
    std::memset(block, 0xFF, sizeof(block));
    const bool fetched = lib.usb().usb_Lib_DMCUCall(handle, block, sizeof(block)) == 0;
    value = agentValue(block);
    return fetched;
}

// Starts an agent entry and collects its result. `reached` is false when the
// start or the collection failed, and the result is then -1.
int32_t runEntry(const DeviceLibrary& lib, uint32_t handle, uint32_t entry, bool& reached) {
    reached = lib.usb().usb_Lib_DMCUProgramStart(handle, entry) == 0;
    if (!reached) return -1;
    int32_t value = -1;
    reached = fetchAgentResult(lib, handle, value);
    return reached ? value : -1;
}

}  // namespace

uint32_t openDevice(const DeviceLibrary& lib, OpenFailure* why) {
    OpenFailure failure = OpenFailure::NoClock;
    uint32_t handle = 0;
    if (lib.bound() && lib.usb().usb_Lib_DMCUGetDeviceNum() != 0) {
        handle = lib.usb().usb_Lib_OpenDevice();
        // Present but not opened: the device is claimed by another program.
        failure = handle != 0 ? OpenFailure::None : OpenFailure::Busy;
    }
    if (why != nullptr) *why = failure;
    return handle;
}

void closeDevice(const DeviceLibrary& lib, uint32_t handle) {
    if (handle != 0 && lib.bound()) lib.usb().usb_Lib_CloseDevice(handle);
}

void shutdownDevice(DeviceLibrary& lib, uint32_t handle) {
    closeDevice(lib, handle);
    if (!lib.libraryLoadFailed && lib.bound()) lib.usb().usb_lib_unload(0);
}

int isDevicePresent(const DeviceLibrary& lib) {
    return lib.bound() && lib.usb().usb_Lib_DMCUGetDeviceNum() != 0 ? 1 : 0;
}

int32_t collectAgentResult(const DeviceLibrary& lib, uint32_t handle) {
    int32_t value = -1;
    return fetchAgentResult(lib, handle, value) ? value : -1;
}

int startAgent(const DeviceLibrary& lib, uint32_t handle, const std::string& startDir, uint16_t& storageCode) {
    storageCode = kNoStorageCode;
    if (!lib.bound() || handle == 0) return kDeviceConnectionFailed;
    std::vector<uint8_t> image;
    if (!readWholeFile(agentImagePath(startDir, executableFolder(), kAgentFileName), image, kAgentMaxBytes))
        return kDeviceConnectionFailed;
    // The read-back check needs 256 bytes, and the image must stay clear of
    // the transfer buffer.
    if (image.size() < kAgentVerifyBytes || image.size() > kAgentMaxBytes) return kDeviceConnectionFailed;

    const auto size = static_cast<uint32_t>(image.size());
    if (!transferred(lib.usb().usb_Lib_DMCUWriteData(handle, size, kAgentLoadAddress, image.data()), size))
        return kDeviceConnectionFailed;
    uint8_t back[kAgentVerifyBytes] = {};
    if (!transferred(lib.usb().usb_Lib_DMCUReadData(handle, kAgentVerifyBytes, kAgentLoadAddress, back),
                     kAgentVerifyBytes))
        return kDeviceConnectionFailed;
    if (std::memcmp(back, image.data(), kAgentVerifyBytes) != 0) return kDeviceConnectionFailed;

    bool reached = false;
    const int32_t value = runEntry(lib, handle, kProbeStorageEntry, reached);
    if (!reached) return kDeviceConnectionFailed;
    if (value == -1) return kDeviceAgentFailed;
    storageCode = static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFF);
    // A code without a storage size would make every capacity wrap around.
    if (storageSizeLookup(kStorageSizeTable, storageCode) == 0) return kDeviceAgentFailed;
    return kDeviceOk;
}

int eraseStorage(const DeviceLibrary& lib, uint32_t handle, uint32_t address, uint32_t length) {
    if (!writeParam32(lib, handle, kParameterBlockAddress, address) ||
        !writeParam32(lib, handle, kParameterBlockAddress + 4, length))
        return kDeviceConnectionFailed;
    bool reached = false;
    const int32_t result = runEntry(lib, handle, kEraseStorageEntry, reached);
    if (!reached) return kDeviceConnectionFailed;
    return result == 0 ? kDeviceOk : kDeviceAgentFailed;
}

int programBlock(const DeviceLibrary& lib, uint32_t handle, uint32_t address, const uint8_t* bytes, uint32_t count) {
    if (bytes == nullptr || count == 0 || count > kTransferBlockBytes) return kDeviceConnectionFailed;
    if (!transferred(lib.usb().usb_Lib_DMCUWriteData(handle, count, kTransferBufferAddress, bytes), count))
        return kDeviceConnectionFailed;
    if (!writeParam32(lib, handle, kParameterBlockAddress, address) ||
        !writeParam32(lib, handle, kParameterBlockAddress + 4, kTransferBufferAddress) ||
        !writeParam32(lib, handle, kParameterBlockAddress + 8, count))
        return kDeviceConnectionFailed;
    bool reached = false;
    const int32_t result = runEntry(lib, handle, kProgramBlockEntry, reached);
    if (!reached) return kDeviceConnectionFailed;
    // The agent ran and said no: the clock is there, its storage failed.
    return result == 0 ? kDeviceOk : kDeviceAgentFailed;
}

int readBlock(const DeviceLibrary& lib, uint32_t handle, uint32_t address, uint32_t count, uint8_t* buffer) {
    if (buffer == nullptr || count == 0 || count > kTransferBlockBytes) return kDeviceConnectionFailed;
    if (!writeParam32(lib, handle, kParameterBlockAddress, address) ||
        !writeParam16(lib, handle, kParameterBlockAddress + 4, static_cast<uint16_t>(kTransferBufferAddress)) ||
        !writeParam16(lib, handle, kParameterBlockAddress + 6, static_cast<uint16_t>(count)))
        return kDeviceConnectionFailed;
    bool reached = false;
    const int32_t result = runEntry(lib, handle, kReadBlockEntry, reached);
    if (!reached || result != 0) return kDeviceConnectionFailed;
    // A clock pulled between the agent's copy and this one leaves `buffer` as
    // it was: only a transferred block counts as read.
    if (!transferred(lib.usb().usb_Lib_DMCUReadData(handle, count, kTransferBufferAddress, buffer), count))
        return kDeviceConnectionFailed;
    return kDeviceOk;
}

int invalidateFirmware(const DeviceLibrary& lib, uint32_t handle) {
    return eraseStorage(lib, handle, kFirmwareAddress, kFirmwareInvalidateBytes);
}

void closeDeferredHandle(const DeviceLibrary& lib, DeviceConnection& conn) {
    if (conn.deferredClose == 0) return;
    closeDevice(lib, conn.deferredClose);
    conn.deferredClose = 0;
}

void dropConnection(const DeviceLibrary& lib, DeviceConnection& conn, bool workerRunning) {
    if (conn.deviceHandle != 0) {
        if (workerRunning) {
            closeDeferredHandle(lib, conn);  // an older lost handle cannot be in use any more
            conn.deferredClose = conn.deviceHandle;
        } else {
            closeDevice(lib, conn.deviceHandle);
        }
        conn.deviceHandle = 0;
    }
    if (conn.connectState == 2) conn.connectState = 1;
}

void pollConnectionStep(const DeviceLibrary& lib, DeviceConnection& conn, bool workerRunning) {
    if (!workerRunning) closeDeferredHandle(lib, conn);
    switch (conn.connectState) {
        case 1: {
            // Opening while the worker still holds the lost handle would make two.
            if (conn.deferredClose != 0) return;
            OpenFailure why = OpenFailure::None;
            conn.deviceHandle = openDevice(lib, &why);
            conn.clockBusy = why == OpenFailure::Busy;
            if (conn.deviceHandle != 0) conn.connectState = 2;
            return;
        }
        case 2:
            if (isDevicePresent(lib) == 0) dropConnection(lib, conn, workerRunning);
            return;
        default:
            return;
    }
}

}  // namespace velmo
