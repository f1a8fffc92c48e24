// The simulated clock itself: its agent checks, NOR flash rules, plugging,
// persistence and fault injection, seen through the library's own calls.
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "bytes.h"
#include "controller_map.h"
#include "device_fixture.h"
#include "usb_dll.h"

namespace velmo::test {
namespace {

// The binding's table and the library's exports must agree call for call.
static_assert(std::is_same_v<decltype(UsbFunctions::usb_lib_load), decltype(&usb_lib_load)>);
static_assert(std::is_same_v<decltype(UsbFunctions::usb_lib_unload), decltype(&usb_lib_unload)>);
static_assert(std::is_same_v<decltype(UsbFunctions::usb_Lib_DMCUGetDeviceNum), decltype(&usb_Lib_DMCUGetDeviceNum)>);
static_assert(std::is_same_v<decltype(UsbFunctions::usb_Lib_OpenDevice), decltype(&usb_Lib_OpenDevice)>);
static_assert(std::is_same_v<decltype(UsbFunctions::usb_Lib_CloseDevice), decltype(&usb_Lib_CloseDevice)>);
static_assert(std::is_same_v<decltype(UsbFunctions::usb_Lib_DMCUWriteData), decltype(&usb_Lib_DMCUWriteData)>);
static_assert(std::is_same_v<decltype(UsbFunctions::usb_Lib_DMCUReadData), decltype(&usb_Lib_DMCUReadData)>);
static_assert(std::is_same_v<decltype(UsbFunctions::usb_Lib_DMCUProgramStart), decltype(&usb_Lib_DMCUProgramStart)>);
static_assert(std::is_same_v<decltype(UsbFunctions::usb_Lib_DMCUCall), decltype(&usb_Lib_DMCUCall)>);

using SimulatorTest = DeviceFixture;

TEST_F(SimulatorTest, LoadsFromTheExecutablesFolderAsTheLinkedSimulator) {
    EXPECT_EQ(lib.fileName(), std::string(VELMO_BIN_DIR) + "/libusb_dll.so");
    // The control functions and the bound library are one simulator.
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_LOAD), 1u);
    EXPECT_EQ(lib.usb().usb_lib_load, &usb_lib_load);
}

TEST(DeviceLibraryLoad, ReportsAMissingFileOrSymbol) {
    DeviceLibrary missing;
    EXPECT_EQ(loadDeviceLibraryFrom(missing, "/nonexistent/libusb_dll.so"), -1);
    EXPECT_TRUE(missing.libraryLoadFailed);
    EXPECT_FALSE(missing.bound());
    EXPECT_FALSE(missing.error().empty());

    DeviceLibrary wrong;  // a real library that lacks the device functions
    EXPECT_EQ(loadDeviceLibraryFrom(wrong, "libm.so.6"), -1);
    EXPECT_EQ(wrong.error(), "missing symbol usb_lib_load");
    EXPECT_TRUE(wrong.libraryLoadFailed);
}

TEST_F(SimulatorTest, DriverThatFailsToLoadIsNeverUnloaded) {
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_LOAD_FAIL, ZENTRO_TRIGGER_EVERY, 0, 0), 0);
    DeviceLibrary failing;
    EXPECT_EQ(loadDeviceLibrary(failing), -1);
    EXPECT_TRUE(failing.libraryLoadFailed);
    EXPECT_EQ(failing.error(), "usb_lib_load returned 1");
    shutdownDevice(failing, 0);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_UNLOAD), 0u);
}

struct StartRow {
    const char* name;
    uint32_t address;
    bool damageImage;  // flip a byte past the part that startAgent verifies
    bool runs;
};

TEST_F(SimulatorTest, StartsOnlyAValidAgentAtItsEntries) {
    const StartRow rows[] = {
        {"probe entry", kProbeStorageEntry, false, true},
        {"erase entry", kEraseStorageEntry, false, true},
        {"not an entry", kProbeStorageEntry + 4, false, false},
        {"the load address", kAgentLoadAddress, false, false},
        {"probe of a damaged image", kProbeStorageEntry, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const uint32_t h = openWithAgent();
        if (row.damageImage) {
            uint8_t b = 0;
            ASSERT_EQ(usb_Lib_DMCUReadData(h, 1, kAgentLoadAddress + 0x1000, &b), 1u);
            b ^= 0x01;
            ASSERT_EQ(usb_Lib_DMCUWriteData(h, 1, kAgentLoadAddress + 0x1000, &b), 1u);
        }
        // An erase of length 0 does nothing, so the erase entry can run safely.
        const uint8_t zeros[8] = {};
        usb_Lib_DMCUWriteData(h, 8, kParameterBlockAddress, zeros);
        EXPECT_EQ(usb_Lib_DMCUProgramStart(h, row.address) == 0, row.runs);
        uint32_t block[2] = {0, 0};
        usb_Lib_DMCUCall(h, block, 8);
        EXPECT_EQ(block[0] == 0, row.runs) << std::hex << block[0];
        closeDevice(lib, h);
    }
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CRASHED_START), 3u);
}

TEST_F(SimulatorTest, NothingRunsBeforeTheAgentIsWritten) {
    const uint32_t h = openDevice(lib);
    ASSERT_NE(h, 0u);
    EXPECT_NE(usb_Lib_DMCUProgramStart(h, kProbeStorageEntry), 0u);
    EXPECT_EQ(collectAgentResult(lib, h), -1);
    closeDevice(lib, h);
}

TEST_F(SimulatorTest, ControllerMemoryIs64KiB) {
    const uint32_t h = openDevice(lib);
    uint8_t buf[16] = {};
    EXPECT_EQ(usb_Lib_DMCUWriteData(h, 16, 0xFFF0, buf), 16u);
    EXPECT_EQ(usb_Lib_DMCUWriteData(h, 16, 0xFFF1, buf), 0xFFFFFFFFu);
    EXPECT_EQ(usb_Lib_DMCUReadData(h, 16, 0x10000, buf), 0xFFFFFFFFu);
    closeDevice(lib, h);
}

TEST_F(SimulatorTest, FlashProgrammingOnlyClearsBitsAndEraseWorksInSectors) {
    const uint32_t h = openWithAgent();
    const uint8_t first[4] = {0xF0, 0x0F, 0xFF, 0x00};
    const uint8_t second[4] = {0x3C, 0x3C, 0x00, 0xFF};
    ASSERT_EQ(programBlock(lib, h, 0x4FFE, first, 4), 0);
    ASSERT_EQ(programBlock(lib, h, 0x4FFE, second, 4), 0);
    EXPECT_EQ(flashBytes(0x4FFE, 4), (std::vector<uint8_t>{0x30, 0x0C, 0x00, 0x00}));

    // One byte at 0x4010 erases the whole sector 0x4000..0x4FFF, not the next.
    ASSERT_EQ(eraseStorage(lib, h, 0x4010, 1), 0);
    EXPECT_EQ(flashBytes(0x4000, 4096), std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(flashBytes(0x5000, 2), (std::vector<uint8_t>{0x00, 0x00}));
    closeDevice(lib, h);
}

TEST_F(SimulatorTest, StorageEndsAtTheSizeOfTheStorageCode) {
    ASSERT_EQ(zentroSimSetStorageCode(4), 0);  // 128 KiB
    const uint32_t h = openWithAgent();
    const uint8_t bytes[4] = {1, 2, 3, 4};
    uint8_t back[4] = {};
    EXPECT_EQ(programBlock(lib, h, 0x20000 - 4, bytes, 4), 0);
    EXPECT_EQ(readBlock(lib, h, 0x20000 - 4, 4, back), 0);
    EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
    EXPECT_EQ(programBlock(lib, h, 0x20000 - 3, bytes, 4), kDeviceAgentFailed);
    EXPECT_EQ(readBlock(lib, h, 0x20000, 1, back), -1);
    EXPECT_EQ(eraseStorage(lib, h, 0x4000, 0x20000 - 0x4000), 0);
    EXPECT_EQ(eraseStorage(lib, h, 0x4000, 0x20000 - 0x4000 + 1), 1);
    closeDevice(lib, h);
}

TEST_F(SimulatorTest, StorageSurvivesInFlashBinAcrossRuns) {
    const uint32_t h = openWithAgent();
    const auto data = patternBytes(4096, 3);
    ASSERT_EQ(programBlock(lib, h, 0x7000, data.data(), 4096), 0);
    closeDevice(lib, h);
    // A new run on the same folder: the process state is gone, the flash is not.
    ASSERT_EQ(zentroSimSetDir(simDir.path().c_str()), 0);
    EXPECT_EQ(flashBytes(0x7000, 4096), data);
    const auto file = readFileBytes(simDir.file("flash.bin"));
    ASSERT_EQ(file.size(), 2097152u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + 0x7000));
}

TEST_F(SimulatorTest, UnplugEndsTheHandleAndTheAgent) {
    const uint32_t h = openWithAgent();
    ASSERT_EQ(zentroSimSetPlugged(0), 0);
    EXPECT_EQ(usb_Lib_DMCUGetDeviceNum(), 0u);
    uint8_t b = 0;
    EXPECT_EQ(usb_Lib_DMCUReadData(h, 1, kAgentLoadAddress, &b), 0xFFFFFFFFu);
    EXPECT_EQ(openDevice(lib), 0u);
    ASSERT_EQ(zentroSimSetPlugged(1), 0);
    // Still the old handle: it died with the unplug.
    EXPECT_EQ(usb_Lib_DMCUReadData(h, 1, kAgentLoadAddress, &b), 0xFFFFFFFFu);
    closeDevice(lib, h);
    const uint32_t again = openDevice(lib);
    ASSERT_NE(again, 0u);
    EXPECT_NE(again, h);
    // The controller lost power: the agent has to be written again.
    EXPECT_NE(usb_Lib_DMCUProgramStart(again, kProbeStorageEntry), 0u);
    collectAgentResult(lib, again);
    uint16_t code = 0;
    EXPECT_EQ(startAgent(lib, again, startDir.path(), code), 0);
    closeDevice(lib, again);
}

TEST_F(SimulatorTest, ClosingTwiceIsCountedAsMisuse) {
    const uint32_t h = openDevice(lib);
    closeDevice(lib, h);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_BAD_HANDLE), 0u);
    usb_Lib_CloseDevice(h);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_BAD_HANDLE), 1u);
    zentroSimResetCounts();  // keep the fixture's own check about the code under test
}

TEST_F(SimulatorTest, DelayIsOnForAFreshFolderAndOffAfterReset) {
    TempDir fresh;
    ASSERT_EQ(zentroSimSetDir(fresh.path().c_str()), 0);
    EXPECT_EQ(zentroSimDelay(), 1);
    EXPECT_EQ(zentroSimIsPlugged(), 1);
    EXPECT_EQ(zentroSimStorageSize(), 2097152u);
    ASSERT_EQ(zentroSimReset(), 0);
    EXPECT_EQ(zentroSimDelay(), 0);
    EXPECT_EQ(readFileBytes(fresh.file("flash.bin")), std::vector<uint8_t>(2097152, 0xFF));
    ASSERT_EQ(zentroSimSetDir(simDir.path().c_str()), 0);
}

TEST_F(SimulatorTest, DisconnectFaultUnplugsAfterNCalls) {
    const uint32_t h = openDevice(lib);
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 3, 0), 0);
    uint8_t b = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(usb_Lib_DMCUWriteData(h, 1, 0x100, &b), 1u) << i;
    EXPECT_EQ(usb_Lib_DMCUWriteData(h, 1, 0x100, &b), 0xFFFFFFFFu);
    EXPECT_EQ(zentroSimIsPlugged(), 0);
    int trigger = -1;
    zentroSimGetFault(ZENTRO_FAULT_DISCONNECT, &trigger, nullptr, nullptr);
    EXPECT_EQ(trigger, ZENTRO_TRIGGER_OFF);  // it happened once
    closeDevice(lib, h);
}

std::vector<int> programOutcomes(const DeviceLibrary& lib, uint32_t h, int n) {
    std::vector<int> out;
    const uint8_t byte = 0xAA;
    for (int i = 0; i < n; ++i) out.push_back(programBlock(lib, h, 0x10000 + static_cast<uint32_t>(i), &byte, 1));
    return out;
}

TEST_F(SimulatorTest, RandomFaultsRepeatWithTheirSeed) {
    const uint32_t h = openWithAgent();
    ASSERT_EQ(zentroSimSetSeed(42), 0);
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_RANDOM, 300, 0), 0);
    const auto first = programOutcomes(lib, h, 60);
    ASSERT_EQ(zentroSimSetSeed(42), 0);  // restarts the sequence
    EXPECT_EQ(programOutcomes(lib, h, 60), first);
    const auto failures = std::count(first.begin(), first.end(), kDeviceAgentFailed);
    EXPECT_GT(failures, 5);
    EXPECT_LT(failures, 40);
    ASSERT_EQ(zentroSimSetSeed(43), 0);
    EXPECT_NE(programOutcomes(lib, h, 60), first);
    closeDevice(lib, h);
}

TEST_F(SimulatorTest, ProgramShortWritesOnlyPartButReportsSuccess) {
    const uint32_t h = openWithAgent();
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_PROGRAM_SHORT, ZENTRO_TRIGGER_AT, 2, 100), 0);
    const auto data = patternBytes(200, 9);
    ASSERT_EQ(programBlock(lib, h, 0x4000, data.data(), 200), 0);
    ASSERT_EQ(programBlock(lib, h, 0x5000, data.data(), 200), 0);
    EXPECT_EQ(flashBytes(0x4000, 200), data);
    const auto second = flashBytes(0x5000, 200);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 100, second.begin()));
    EXPECT_EQ(std::vector<uint8_t>(second.begin() + 100, second.end()), std::vector<uint8_t>(100, 0xFF));
    closeDevice(lib, h);
}

TEST_F(SimulatorTest, ChangesByAnotherProcessReachARunningProgram) {
    const uint32_t h = openDevice(lib);
    ASSERT_NE(h, 0u);
    // What zentro-sim writes: a new state file in the sim folder.
    writeFileBytes(simDir.file("state.new"), std::vector<uint8_t>{'p', 'l', 'u', 'g', 'g', 'e', 'd', ' ', '0', '\n'});
    std::filesystem::rename(simDir.file("state.new"), simDir.file("state"));
    EXPECT_EQ(isDevicePresent(lib), 0);
    uint8_t b = 0;
    EXPECT_EQ(usb_Lib_DMCUReadData(h, 1, 0, &b), 0xFFFFFFFFu);
    closeDevice(lib, h);
}

}  // namespace
}  // namespace velmo::test
