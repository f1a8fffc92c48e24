// The clock as the core holds it between operations: the device library, the
// open handle, the state of the connection, the agent and the storage it
// reported. The one caller of the device layer outside an operation's workers;
// the workers get the library and the handle from here when they start.
//
// Calls come from the user-interface thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "device.h"
#include "storage_layout.h"
#include "usb_library.h"

namespace velmo {

enum class ConnectionState : int32_t {
    NotLoaded = 0,  // no device library: nothing is polled
    Waiting = 1,    // the library is loaded, no clock is open
    Connected = 2,  // a clock is open
};

class ClockSession {
  public:
    ClockSession();
    ~ClockSession();
    ClockSession(const ClockSession&) = delete;
    ClockSession& operator=(const ClockSession&) = delete;

    // Loads the device library from `path`, or from the program's folder
    // when it is empty; false when it does not load.
    bool load(const std::string& path);
    // Opens the clock; false when none is open (busy() tells a clock held by
    // another program apart from none).
    bool open();
    // Loads the agent and asks it for the storage: startAgent's result. With
    // 0 the storage code is kept (storageCode()).
    int startAgent(const std::string& startDir);
    // The storage size in KiB of the code the agent reported last; 0 for
    // none, or for a code without a size.
    uint32_t reportedStorageKB() const;
    // One step of the 300 ms poll. `workerRunning`: a device worker uses the handle now.
    void poll(bool workerRunning);
    // After a connection failure: the handle goes (deferred while a worker uses it).
    void drop(bool workerRunning);
    // Closes a handle whose clock vanished under a worker, once no worker runs.
    void closeDeferred();
    // At exit: the handle closed and the library told to unload.
    void shutdown();
    // Loads the library, opens the clock, asks its agent for the storage and
    // lets it go again: the storage size in KiB of the clock attached now, or
    // 0 (no library, no clock, no answer). For work that needs no clock but
    // plans for the one attached.
    static uint32_t attachedStorageKB(const std::string& libraryPath, const std::string& startDir);

    const DeviceLibrary& library() const { return lib_; }
    uint32_t handle() const { return conn_.deviceHandle; }
    ConnectionState state() const { return static_cast<ConnectionState>(conn_.connectState); }
    void setState(ConnectionState state) { conn_.connectState = static_cast<int32_t>(state); }
    bool busy() const { return conn_.clockBusy; }
    // The storage code the agent reported at the last start, if it did.
    std::optional<uint16_t> storageCode() const { return storageCode_; }
    // The size the list is planned for: 2048 KiB until a start-up takes the
    // clock's own; it does not change while the program runs.
    uint32_t storageKB() const { return storageKB_; }
    void setStorageKB(uint32_t kb) { storageKB_ = kb; }

  private:
    DeviceLibrary lib_;
    DeviceConnection conn_;
    uint32_t storageSizeTable_[kStorageCodes] = {};
    std::optional<uint16_t> storageCode_;
    uint32_t storageKB_ = 2048;
    bool loaded_ = false;
};

}  // namespace velmo
