#include "clock_session.h"

namespace velmo {

ClockSession::ClockSession() { fillStorageSizeTable(storageSizeTable_); }

ClockSession::~ClockSession() = default;

bool ClockSession::load(const std::string& path) {
    conn_ = DeviceConnection{};
    loaded_ = (path.empty() ? loadDeviceLibrary(lib_) : loadDeviceLibraryFrom(lib_, path)) == 0;
    return loaded_;
}

bool ClockSession::open() {
    OpenFailure why = OpenFailure::None;
    conn_.deviceHandle = openDevice(lib_, &why);
    conn_.clockBusy = why == OpenFailure::Busy;
    if (conn_.deviceHandle == 0) {
        closeDevice(lib_, 0);
        return false;
    }
    conn_.connectState = static_cast<int32_t>(ConnectionState::Connected);
    return true;
}

int ClockSession::startAgent(const std::string& startDir) {
    uint16_t code = kNoStorageCode;
    const int result = velmo::startAgent(lib_, conn_.deviceHandle, startDir, code);
    if (result == kDeviceOk) storageCode_ = code;
    return result;
}

uint32_t ClockSession::reportedStorageKB() const {
    return storageCode_ ? storageSizeLookup(storageSizeTable_, *storageCode_) >> 10 : 0;
}

void ClockSession::poll(bool workerRunning) { pollConnectionStep(lib_, conn_, workerRunning); }

void ClockSession::drop(bool workerRunning) { dropConnection(lib_, conn_, workerRunning); }

void ClockSession::closeDeferred() { closeDeferredHandle(lib_, conn_); }

void ClockSession::shutdown() {
    closeDeferredHandle(lib_, conn_);
    shutdownDevice(lib_, conn_.deviceHandle);
    conn_.deviceHandle = 0;
}

uint32_t ClockSession::attachedStorageKB(const std::string& libraryPath, const std::string& startDir) {
    ClockSession probe;
    if (!probe.load(libraryPath)) return 0;
    const bool answered = probe.open() && probe.startAgent(startDir) == kDeviceOk;
    probe.shutdown();
    return answered ? probe.reportedStorageKB() : 0;
}

}  // namespace velmo
