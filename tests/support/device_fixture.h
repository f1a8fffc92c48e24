// A test's own simulated clock: its own sim folder and start folder (holding
// spn.bin), the simulator reset to test defaults (delay off), and the device
// library loaded by name as the program loads it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device.h"
#include "event_recorder.h"
#include "tempdir.h"
#include "usb_library.h"
#include "zentro_sim_control.h"

namespace velmo::test {

inline std::vector<uint8_t> patternBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t s = seed * 2654435761u + 1;
    for (auto& b : out) {
        s = s * 1103515245u + 12345u;
        b = static_cast<uint8_t>(s >> 16);
    }
    return out;
}

inline std::vector<uint8_t> flashBytes(uint32_t address, uint32_t count) {
    std::vector<uint8_t> out(count);
    EXPECT_EQ(zentroSimReadFlash(address, count, out.data()), 0);
    return out;
}

class DeviceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(zentroSimSetDir(simDir.path().c_str()), 0);
        ASSERT_EQ(zentroSimReset(), 0);
        std::filesystem::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", startDir.file("spn.bin"));
        ASSERT_EQ(loadDeviceLibrary(lib), 0) << lib.error();
    }

    void TearDown() override {
        shutdownDevice(lib, 0);
        // Nothing of the test may have used a handle that was not open.
        EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_BAD_HANDLE), 0u);
    }

    // Opens the clock and starts the agent; the test fails when either fails.
    uint32_t openWithAgent() {
        const uint32_t handle = openDevice(lib);
        EXPECT_NE(handle, 0u);
        uint16_t code = 0;
        EXPECT_EQ(startAgent(lib, handle, startDir.path(), code), 0);
        return handle;
    }

    std::vector<ZentroSimAgentCommand> agentLog() {
        std::vector<ZentroSimAgentCommand> log(8192);
        log.resize(static_cast<size_t>(zentroSimAgentLog(log.data(), static_cast<int>(log.size()))));
        return log;
    }

    TempDir simDir;
    TempDir startDir;
    DeviceLibrary lib;
};

}  // namespace velmo::test
