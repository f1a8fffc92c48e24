#include "usb_library.h"

#include "install_paths.h"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "fileio.h"

namespace velmo {

namespace {

// The driver needs a moment after loading before it answers.
constexpr std::chrono::milliseconds kDriverSettle{100};

template <typename F>
bool bindSymbol(void* module, const char* name, F& slot, std::string& error) {
    void* p = ::dlsym(module, name);
    if (p == nullptr) {
        error = std::string("missing symbol ") + name;
        return false;
    }
    slot = reinterpret_cast<F>(p);
    return true;
}

}  // namespace

DeviceLibrary::~DeviceLibrary() { release(); }

void DeviceLibrary::release() {
    if (module_ != nullptr) ::dlclose(module_);
    module_ = nullptr;
    usb_ = UsbFunctions{};
    fileName_.clear();
}

int loadDeviceLibraryFrom(DeviceLibrary& lib, const std::string& fileName) {
    lib.release();
    lib.error_.clear();
    lib.libraryLoadFailed = false;
    void* module = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = ::dlerror();
        lib.error_ = why != nullptr ? why : ("cannot load " + fileName);
        lib.libraryLoadFailed = true;
        return -1;
    }
    UsbFunctions usb;
    std::string error;
    const bool all = bindSymbol(module, "usb_lib_load", usb.usb_lib_load, error) &&
                     bindSymbol(module, "usb_lib_unload", usb.usb_lib_unload, error) &&
                     bindSymbol(module, "usb_Lib_DMCUGetDeviceNum", usb.usb_Lib_DMCUGetDeviceNum, error) &&
                     bindSymbol(module, "usb_Lib_OpenDevice", usb.usb_Lib_OpenDevice, error) &&
                     bindSymbol(module, "usb_Lib_CloseDevice", usb.usb_Lib_CloseDevice, error) &&
                     bindSymbol(module, "usb_Lib_DMCUWriteData", usb.usb_Lib_DMCUWriteData, error) &&
                     bindSymbol(module, "usb_Lib_DMCUReadData", usb.usb_Lib_DMCUReadData, error) &&
                     bindSymbol(module, "usb_Lib_DMCUProgramStart", usb.usb_Lib_DMCUProgramStart, error) &&
                     bindSymbol(module, "usb_Lib_DMCUCall", usb.usb_Lib_DMCUCall, error);
    if (!all) {
        ::dlclose(module);
        lib.error_ = error;
        lib.libraryLoadFailed = true;
        return -1;
    }
    const uint32_t loaded = usb.usb_lib_load();
    if (loaded != 0) {
        // The driver is not ready: the library must not be unloaded at exit.
        ::dlclose(module);
        lib.error_ = "usb_lib_load returned " + std::to_string(loaded);
        lib.libraryLoadFailed = true;
        return -1;
    }
    lib.module_ = module;
    lib.usb_ = usb;
    lib.fileName_ = fileName;
    std::this_thread::sleep_for(kDriverSettle);
    return 0;
}

int loadDeviceLibrary(DeviceLibrary& lib) {
    const std::string found = findPrivateFile(executableFolder(), kDeviceLibraryName);
    if (!found.empty()) return loadDeviceLibraryFrom(lib, found);
    return loadDeviceLibraryFrom(lib, kDeviceLibraryName);
}

}  // namespace velmo
