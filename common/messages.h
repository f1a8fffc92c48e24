// What the workers post to the main window: a code and two 32-bit parameters.
#pragma once

#include <cstdint>

namespace velmo {

enum : uint32_t {
    // wParam 0 connection error, 1 erase error, 2 a local file failed (lParam:
    // the system's error number).
    WM_WRITE_FAILED = 0x8001,
    WM_DOWNLOAD_DONE = 0x8002,
    WM_WRITE_PROGRESS = 0x8101,   // wParam percent 1..100
    WM_CONVERT_DONE = 0x8103,     // lParam image bytes to transfer
    WM_ENCODE_PROGRESS = 0x8104,  // wParam percent 1..100
    WM_TABLE_READ_DONE = 0x8105,
    // wParam 0 table, 1 data, 2 firmware read; lParam 0 for a connection
    // failure, else the system's error number of the local file that failed.
    WM_READ_FAILED = 0x8106,
    WM_DATA_READ_DONE = 0x8107,
    WM_READ_PROGRESS = 0x8108,       // wParam percent 1..100
    WM_FIRMWARE_STEP_DONE = 0x8109,  // wParam 0 written, 1 read back
    WM_CONVERT_FAILED = 0x810B,
    WM_CONVERT_ABORTED = 0x810C,
    // A worker ended early because the operation was asked to stop. wParam:
    // which worker (StoppedWorker); lParam, from the write worker: 1 when the
    // clock's song storage had been erased, 0 when it was left untouched.
    WM_JOB_STOPPED = 0x810D,
};

enum StoppedWorker : uint32_t {
    kStoppedConversion = 0,
    kStoppedWrite = 1,
    kStoppedRead = 2,
};

// The receiver of a worker's messages. post() is called from worker threads
// and must only queue the message; the main window handles it on its own thread.
class MessageTarget {
  public:
    virtual ~MessageTarget() = default;
    virtual void post(uint32_t code, uint32_t wParam, uint32_t lParam) = 0;
};

}  // namespace velmo
