// The clock's device library ("libusb_dll.so"), bound at run time by name.
//
// The library is a table of nine C functions, filled once by
// loadDeviceLibrary(). Every address, count and handle is a 32-bit unsigned
// integer; a memory address is an address in the clock controller's memory
// (never a storage address). The system keeps this calling order:
//   1. usb_lib_load once before anything else; usb_lib_unload(0) once at exit,
//      only when the load succeeded (shutdownDevice does both rules).
//   2. usb_Lib_DMCUGetDeviceNum before every usb_Lib_OpenDevice, which is
//      skipped when the count is 0.
//   3. One handle at a time; usb_Lib_CloseDevice once per handle, never for 0.
//   4. Every successful usb_Lib_DMCUProgramStart is followed by one
//      usb_Lib_DMCUCall before the next write, read or start.
//   5. Writes, reads, starts and calls come from one thread at a time; only the
//      device count is also polled from the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

namespace velmo {

constexpr const char* kDeviceLibraryName = "libusb_dll.so";

// The nine operations, in the library's own names and argument orders.
struct UsbFunctions {
    // 0 when the library and its driver are ready.
    uint32_t (*usb_lib_load)() = nullptr;
    // Always called with 0; the result means nothing.
    uint32_t (*usb_lib_unload)(uint32_t zero) = nullptr;
    // Number of clocks attached; 0 means none.
    uint32_t (*usb_Lib_DMCUGetDeviceNum)() = nullptr;
    // Handle of the opened clock; 0 means the open failed.
    uint32_t (*usb_Lib_OpenDevice)() = nullptr;
    uint32_t (*usb_Lib_CloseDevice)(uint32_t handle) = nullptr;
    // Success when the result is the byte count or 0.
    uint32_t (*usb_Lib_DMCUWriteData)(uint32_t handle, uint32_t count, uint32_t address, const void* bytes) = nullptr;
    uint32_t (*usb_Lib_DMCUReadData)(uint32_t handle, uint32_t count, uint32_t address, void* buffer) = nullptr;
    // 0 when the code at `address` was started.
    uint32_t (*usb_Lib_DMCUProgramStart)(uint32_t handle, uint32_t address) = nullptr;
    // Fills 8 bytes with the started code's result: status word (0 success) and
    // value word, both 32-bit in host byte order. 0 when the result was
    // collected; anything else means the clock did not answer.
    uint32_t (*usb_Lib_DMCUCall)(uint32_t handle, void* result, uint32_t size) = nullptr;
};

// Owns the loaded library: the dlopen handle is released by the destructor
// (after shutdownDevice has unloaded the driver). Not copyable; pass it by
// reference or pointer to the workers, which only read it.
class DeviceLibrary {
  public:
    DeviceLibrary() = default;
    ~DeviceLibrary();
    DeviceLibrary(const DeviceLibrary&) = delete;
    DeviceLibrary& operator=(const DeviceLibrary&) = delete;

    // The bound table; every pointer is set once bound() is true.
    const UsbFunctions& usb() const { return usb_; }
    bool bound() const { return module_ != nullptr; }
    // Why the last load failed: the loader's message, "missing symbol NAME"
    // for the first function the library lacks, or "usb_lib_load returned N".
    const std::string& error() const { return error_; }
    // The file that was opened, when bound.
    const std::string& fileName() const { return fileName_; }

    // Set when loading failed; shutdownDevice then leaves usb_lib_unload alone.
    bool libraryLoadFailed = false;

  private:
    friend int loadDeviceLibraryFrom(DeviceLibrary& lib, const std::string& fileName);
    void release();

    void* module_ = nullptr;
    UsbFunctions usb_;
    std::string error_;
    std::string fileName_;
};

// Loads "libusb_dll.so" from the running executable's own folder (the folder
// of /proc/self/exe) or the installation's private folder (findPrivateFile)
// first, then through the loader's default search; binds
// the nine functions; calls usb_lib_load and waits 100 ms for the driver.
// 0 loaded; -1 failed (libraryLoadFailed set, error() says why).
int loadDeviceLibrary(DeviceLibrary& lib);

// As loadDeviceLibrary, from one given file name (a path, or a bare name for
// the loader's default search). Used by loadDeviceLibrary and by tests.
int loadDeviceLibraryFrom(DeviceLibrary& lib, const std::string& fileName);

}  // namespace velmo
