// The device command layer: opening, the agent start and its edge cases, the
// agent commands' parameter blocks and results, and the connection poll.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "agent_format.h"
#include "controller_map.h"
#include "device_fixture.h"

namespace velmo::test {
namespace {

using DeviceTest = DeviceFixture;

TEST_F(DeviceTest, NoClockMeansNoOpenCall) {
    ASSERT_EQ(zentroSimSetPlugged(0), 0);
    EXPECT_EQ(isDevicePresent(lib), 0);
    EXPECT_EQ(openDevice(lib), 0u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_OPEN), 0u);
    closeDevice(lib, 0);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CLOSE), 0u);
}

struct AgentRow {
    const char* name;
    std::function<void(const std::string& startDir)> setUp;
    int result;
    uint16_t storageCode;
    uint32_t probes;  // probe commands the agent ran
};

TEST_F(DeviceTest, StartAgentResults) {
    const auto nothing = [](const std::string&) {};
    const auto fault = [](int kind, int trigger, uint32_t n, uint32_t param) {
        return [=](const std::string&) { ASSERT_EQ(zentroSimSetFault(kind, trigger, n, param), 0); };
    };
    const auto probe = [](uint32_t status, uint32_t value) {
        return [=](const std::string&) { ASSERT_EQ(zentroSimSetProbeResult(1, status, value), 0); };
    };
    const auto code = [](uint32_t c) { return [=](const std::string&) { ASSERT_EQ(zentroSimSetStorageCode(c), 0); }; };
    const AgentRow rows[] = {
        {"storage code 0", nothing, 0, 0, 1},
        {"storage code 4", code(4), 0, 4, 1},
        {"storage code 11", code(11), 0, 11, 1},
        {"probe value 0x107", probe(0, 0x107), 0, 7, 1},
        {"probe value 0xFFFFFFFF", probe(0, 0xFFFFFFFF), 1, 0xFF, 1},
        {"probe status 1", probe(1, 0), 1, 0xFF, 1},
        {"storage code 12 has no size", code(12), 1, 12, 1},
        {"storage code 255 has no size", code(255), 1, 255, 1},
        {"spn.bin missing", [](const std::string& d) { std::filesystem::remove(d + "/spn.bin"); }, -1, 0xFF, 0},
        {"spn.bin of 255 bytes", [](const std::string& d) { writeFileBytes(d + "/spn.bin", patternBytes(255, 1)); }, -1,
         0xFF, 0},
        {"one byte of the read-back differs", fault(ZENTRO_FAULT_CORRUPT_READ, ZENTRO_TRIGGER_AT, 1, 255), -1, 0xFF, 0},
        {"an image that is not an agent",
         [](const std::string& d) { writeFileBytes(d + "/spn.bin", patternBytes(6000, 2)); }, -1, 0xFF, 0},
        {"clock gone during the write", fault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 0, 0), -1, 0xFF, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(zentroSimReset(), 0);
        std::filesystem::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", startDir.file("spn.bin"),
                                   std::filesystem::copy_options::overwrite_existing);
        const uint32_t h = openDevice(lib);
        ASSERT_NE(h, 0u);
        row.setUp(startDir.path());
        uint16_t storageCode = 0x1234;
        EXPECT_EQ(startAgent(lib, h, startDir.path(), storageCode), row.result);
        EXPECT_EQ(storageCode, row.storageCode);
        EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROBE), row.probes);
        closeDevice(lib, h);
    }
}

TEST_F(DeviceTest, StartAgentWritesTheWholeImageAt0x2000) {
    const uint32_t h = openWithAgent();
    const auto image = readFileBytes(startDir.file("spn.bin"));
    ASSERT_GE(image.size(), zentro::agent::kAgentMinBytes);
    std::vector<uint8_t> memory(image.size());
    ASSERT_EQ(zentroSimReadMemory(kAgentLoadAddress, static_cast<uint32_t>(memory.size()), memory.data()), 0);
    EXPECT_EQ(memory, image);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_START), 1u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CALL), 1u);
    closeDevice(lib, h);
}

std::vector<uint8_t> parameterBlock() {
    std::vector<uint8_t> p(kParameterBlockBytes);
    EXPECT_EQ(zentroSimReadMemory(kParameterBlockAddress, kParameterBlockBytes, p.data()), 0);
    return p;
}

TEST_F(DeviceTest, ParameterBlocksAreBigEndian) {
    const uint32_t h = openWithAgent();
    const auto data = patternBytes(288, 4);
    ASSERT_EQ(eraseStorage(lib, h, 0x4000, 0x1FC000), 0);
    const auto erase = parameterBlock();
    EXPECT_EQ(std::vector<uint8_t>(erase.begin(), erase.begin() + 8),
              (std::vector<uint8_t>{0x00, 0x00, 0x40, 0x00, 0x00, 0x1F, 0xC0, 0x00}));
    ASSERT_EQ(programBlock(lib, h, 0x6000, data.data(), 288), 0);
    EXPECT_EQ(parameterBlock(),
              (std::vector<uint8_t>{0x00, 0x00, 0x60, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01, 0x20}));
    std::vector<uint8_t> back(4096);
    ASSERT_EQ(readBlock(lib, h, 0x5000, 4096, back.data()), 0);
    const auto p = parameterBlock();
    EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 8),
              (std::vector<uint8_t>{0x00, 0x00, 0x50, 0x00, 0x80, 0x00, 0x10, 0x00}));
    closeDevice(lib, h);
}

TEST_F(DeviceTest, EraseResults) {
    const uint32_t h = openWithAgent();
    EXPECT_EQ(eraseStorage(lib, h, 0x4000, 0x1000), 0);
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_EVERY, 0, 0), 0);
    EXPECT_EQ(eraseStorage(lib, h, 0x4000, 0x1000), 1);
    EXPECT_EQ(invalidateFirmware(lib, h), 1);
    ASSERT_EQ(zentroSimClearFaults(), 0);
    ASSERT_EQ(zentroSimSetPlugged(0), 0);
    EXPECT_EQ(eraseStorage(lib, h, 0x4000, 0x1000), -1);
    closeDevice(lib, h);
}

TEST_F(DeviceTest, InvalidateFirmwareErasesOnlyTheFirstFirmwareSector) {
    const uint32_t h = openWithAgent();
    const std::vector<uint8_t> zeros(0x3000, 0);
    ASSERT_EQ(zentroSimWriteFlash(0x1000, 0x3000, zeros.data()), 0);
    EXPECT_EQ(invalidateFirmware(lib, h), 0);
    EXPECT_EQ(flashBytes(0x2000, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
    EXPECT_EQ(flashBytes(0x1000, 0x1000), std::vector<uint8_t>(0x1000, 0));
    EXPECT_EQ(flashBytes(0x3000, 0x1000), std::vector<uint8_t>(0x1000, 0));
    closeDevice(lib, h);
}

TEST_F(DeviceTest, BlockCommandsFail) {
    const uint32_t h = openWithAgent();
    uint8_t buf[4097] = {};
    EXPECT_EQ(programBlock(lib, h, 0x4000, buf, 0), -1);
    EXPECT_EQ(programBlock(lib, h, 0x4000, buf, 4097), -1);
    EXPECT_EQ(readBlock(lib, h, 0x4000, 0, buf), -1);
    EXPECT_EQ(readBlock(lib, h, 0x4000, 4097, buf), -1);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROGRAM) + zentroSimCount(ZENTRO_COUNT_READ_BLOCK), 0u);

    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, 1, 0), 0);
    EXPECT_EQ(programBlock(lib, h, 0x4000, buf, 16), kDeviceAgentFailed) << "the agent refused: no lost connection";
    EXPECT_EQ(programBlock(lib, h, 0x4000, buf, 16), 0);
    ASSERT_EQ(zentroSimSetPlugged(0), 0);
    EXPECT_EQ(programBlock(lib, h, 0x4000, buf, 16), -1);
    EXPECT_EQ(readBlock(lib, h, 0x4000, 16, buf), -1);
    closeDevice(lib, h);
}

TEST_F(DeviceTest, PollClosesOnUnplugAndOpensAfreshOnReplug) {
    DeviceConnection conn;
    conn.connectState = 1;
    pollConnectionStep(lib, conn, false);
    ASSERT_EQ(conn.connectState, 2);
    const uint32_t first = conn.deviceHandle;
    ASSERT_NE(first, 0u);

    pollConnectionStep(lib, conn, false);  // still there: nothing happens
    EXPECT_EQ(conn.deviceHandle, first);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_OPEN), 1u);

    ASSERT_EQ(zentroSimSetPlugged(0), 0);
    pollConnectionStep(lib, conn, false);
    EXPECT_EQ(conn.connectState, 1);
    EXPECT_EQ(conn.deviceHandle, 0u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CLOSE), 1u);

    pollConnectionStep(lib, conn, false);  // unplugged: no open is tried
    EXPECT_EQ(conn.connectState, 1);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_OPEN), 1u);

    ASSERT_EQ(zentroSimSetPlugged(1), 0);
    pollConnectionStep(lib, conn, false);
    EXPECT_EQ(conn.connectState, 2);
    EXPECT_NE(conn.deviceHandle, 0u);
    EXPECT_NE(conn.deviceHandle, first);
    // The poll never loads the agent.
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_WRITE), 0u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_START), 0u);

    dropConnection(lib, conn, false);
    dropConnection(lib, conn, false);  // a second report closes nothing more
    EXPECT_EQ(conn.deviceHandle, 0u);
    EXPECT_EQ(conn.connectState, 1);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CLOSE), 2u);
    // TearDown checks that no closed handle was ever used.
}

TEST_F(DeviceTest, PollDefersTheCloseWhileAWorkerRuns) {
    DeviceConnection conn;
    conn.connectState = 1;
    pollConnectionStep(lib, conn, false);
    const uint32_t handle = conn.deviceHandle;
    ASSERT_NE(handle, 0u);

    ASSERT_EQ(zentroSimSetPlugged(0), 0);
    pollConnectionStep(lib, conn, true);
    EXPECT_EQ(conn.connectState, 1);
    EXPECT_EQ(conn.deviceHandle, 0u);
    EXPECT_EQ(conn.deferredClose, handle);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CLOSE), 0u);

    // The worker's own failure report must not close it a second time.
    dropConnection(lib, conn, true);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CLOSE), 0u);

    ASSERT_EQ(zentroSimSetPlugged(1), 0);
    pollConnectionStep(lib, conn, true);  // no second handle while the worker holds one
    EXPECT_EQ(conn.deviceHandle, 0u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_OPEN), 1u);

    closeDeferredHandle(lib, conn);  // the owner joined the worker
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CLOSE), 1u);
    pollConnectionStep(lib, conn, false);
    EXPECT_EQ(conn.connectState, 2);
    EXPECT_NE(conn.deviceHandle, 0u);
    closeDeferredHandle(lib, conn);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CLOSE), 1u);
    closeDevice(lib, conn.deviceHandle);
}

TEST_F(DeviceTest, ShutdownClosesAndUnloads) {
    const uint32_t h = openDevice(lib);
    shutdownDevice(lib, h);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CLOSE), 1u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_UNLOAD), 1u);
}

TEST_F(DeviceTest, PollDoesNothingWithoutTheLibrary) {
    DeviceConnection conn;  // connectState 0
    pollConnectionStep(lib, conn, false);
    EXPECT_EQ(conn.connectState, 0);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_DEVICE_NUM), 0u);
}

}  // namespace
}  // namespace velmo::test
