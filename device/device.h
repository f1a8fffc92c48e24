// The device command layer: finding, opening and polling the clock, and
// driving its storage through the agent program "spn.bin".
//
// Two address spaces stay apart: controller memory (what the library's write,
// read and start take) and storage (the clock's flash, only ever passed to the
// agent as an argument). The agent lives at kAgentLoadAddress and is driven by
// writing its arguments big-endian into the parameter block, starting one of
// its four entries, and collecting its result. All storage data passes through
// the transfer buffer, kTransferBlockBytes at a time. The addresses are in
// controller_map.h.
//
// Result codes: 0 success, -1 connection failure (library call failed, file
// missing), 1 the agent ran and reported failure. Every function here runs on
// one thread at a time per handle; only isDevicePresent may run beside them.
#pragma once

#include <cstdint>
#include <string>

#include "controller_map.h"
#include "usb_library.h"

namespace velmo {

constexpr const char* kAgentFileName = "spn.bin";
// startAgent compares this many bytes read back from the controller.
constexpr uint32_t kAgentVerifyBytes = 256;

constexpr uint16_t kNoStorageCode = 0xFF;  // storage code before the agent reports one
constexpr uint32_t kFirmwareInvalidateBytes = 0x1000;

enum DeviceResult : int {
    kDeviceOk = 0,
    kDeviceConnectionFailed = -1,
    kDeviceAgentFailed = 1,  // startAgent: the agent found no usable storage
    // Transfers only: the stop request was seen between two blocks.
    kDeviceStopped = 2,
    // Transfers only: a file on this computer could not be opened, read or
    // written; the clock and its connection are not at fault.
    kDeviceLocalFileFailed = 3,
    // Transfers only: the agent refused to program a block; the clock is
    // still connected.
    kDeviceProgramRefused = 4,
};

// Why openDevice gave no handle.
enum class OpenFailure {
    None,     // a handle was opened
    NoClock,  // no clock attached (or no library)
    Busy,     // a clock is attached but its open failed: another program holds it
};

// Handle of an opened clock, or 0 when none is attached (usb_Lib_OpenDevice is
// then not called) or the open failed; `why`, when given, says which.
uint32_t openDevice(const DeviceLibrary& lib, OpenFailure* why = nullptr);
// Closes a non-zero handle; does nothing for 0. Close each handle once.
void closeDevice(const DeviceLibrary& lib, uint32_t handle);
// At exit: closes the handle (if not 0), then calls usb_lib_unload(0) unless
// loading failed. The DeviceLibrary itself is released by its destructor.
void shutdownDevice(DeviceLibrary& lib, uint32_t handle);
// 1 when at least one clock is attached, else 0. Safe beside a running worker.
int isDevicePresent(const DeviceLibrary& lib);

// Writes `startDir`/spn.bin (the installed copy when the start folder has
// none, agentImagePath) to kAgentLoadAddress, verifies its first 256 bytes
// read back, starts the probe and collects the storage code.
// storageCode is 0xFF unless the agent reported one (then the value's low 8
// bits). -1: spn.bin missing, shorter than 256 bytes or longer than
// kAgentMaxBytes, a write/read/start or the collection of the probe's result
// failed, or the read-back differs (the agent is then not started). 1: the agent ran but reported no storage (status
// not 0 or value 0xFFFFFFFF), or the reported code has no storage size (12 to 255). 0: success.
int startAgent(const DeviceLibrary& lib, uint32_t handle, const std::string& startDir, uint16_t& storageCode);

// The result of the code last started: -1 when it could not be collected or
// the status word is not 0 (or the value word is 0xFFFFFFFF), otherwise the
// value word.
int32_t collectAgentResult(const DeviceLibrary& lib, uint32_t handle);

// Erases the whole 4 KiB sectors covering [address, address + length).
// -1 a parameter write or the start failed; 1 the agent reported failure; 0 erased.
int eraseStorage(const DeviceLibrary& lib, uint32_t handle, uint32_t address, uint32_t length);
// Programs `count` (1 to kTransferBlockBytes) bytes at a storage address: one
// data write to the transfer buffer, three parameter writes, one start, one
// result.
// Flash programming only clears bits: erase first. -1 when a call failed (the
// connection); 1 when the agent ran and reported that it could not program
// the block; 0 written.
int programBlock(const DeviceLibrary& lib, uint32_t handle, uint32_t address, const uint8_t* bytes, uint32_t count);
// Reads `count` (1 to kTransferBlockBytes) storage bytes into `buffer`. -1 on
// any failure (a parameter write, the start, the agent's result, or the copy
// out of the transfer buffer); 0 read.
int readBlock(const DeviceLibrary& lib, uint32_t handle, uint32_t address, uint32_t count, uint8_t* buffer);
// Erases the firmware's first sector (storage 0x2000, 4096 bytes): as eraseStorage.
int invalidateFirmware(const DeviceLibrary& lib, uint32_t handle);

// The connection as the main window keeps it.
struct DeviceConnection {
    int32_t connectState = 0;   // 0 library not loaded, 1 waiting for a clock, 2 connected
    uint32_t deviceHandle = 0;  // 0 = none; set to 0 whenever its handle is closed
    // A handle whose clock vanished while a worker was using it: closed by the
    // first closeDeferredHandle/pollConnectionStep after the worker has ended.
    uint32_t deferredClose = 0;
    // The last open found the clock attached but held by another program.
    bool clockBusy = false;
};

// One step of the connection poll (the 300 ms timer). `workerRunning`: a
// device worker is using deviceHandle right now.
//  - state 1: unless a lost handle still waits to be closed, openDevice; the
//    result goes to deviceHandle (and whether the clock was busy to
//    clockBusy), and a non-zero handle makes the state 2.
//  - state 2: when no clock is present, the state becomes 1 and deviceHandle 0;
//    the handle is closed at once, or, while a worker runs, deferred.
//  - state 0: nothing.
// A deferred handle is closed here first once no worker runs.
void pollConnectionStep(const DeviceLibrary& lib, DeviceConnection& conn, bool workerRunning);

// Ends the connection after a connection failure (startAgent -1 in a command,
// a worker's connection-failure message): closes deviceHandle once (deferred
// while a worker runs), sets it to 0, and makes state 2 into 1.
void dropConnection(const DeviceLibrary& lib, DeviceConnection& conn, bool workerRunning);

// Closes a deferred handle; call after joining the worker (the poll also does it).
void closeDeferredHandle(const DeviceLibrary& lib, DeviceConnection& conn);

}  // namespace velmo
