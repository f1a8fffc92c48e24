// zentro-sim, run as its own process on the test's sim folder, steering the
// simulator that this test process has loaded.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "device_fixture.h"
#include "storage_layout.h"

namespace velmo::test {
namespace {

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

class ZentroSimToolTest : public DeviceFixture {
  protected:
    ToolResult tool(const std::string& args) {
        const std::string errFile = startDir.file("stderr.txt");
        const std::string command = "ZENTRO_SIM_DIR='" + simDir.path() + "' '" + VELMO_BIN_DIR + "/zentro-sim' " +
                                    args + " 2>'" + errFile + "'";
        ToolResult r;
        FILE* p = ::popen(command.c_str(), "r");
        if (p == nullptr) return r;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, n);
        const int raw = ::pclose(p);
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        const auto err = readFileBytes(errFile);
        r.err.assign(err.begin(), err.end());
        return r;
    }
};

TEST_F(ZentroSimToolTest, PlugAndUnplugReachTheRunningProgram) {
    const uint32_t h = openDevice(lib);
    ASSERT_NE(h, 0u);
    auto r = tool("unplug");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "clock unplugged\n");
    EXPECT_EQ(isDevicePresent(lib), 0);
    uint8_t b = 0;
    EXPECT_EQ(lib.usb().usb_Lib_DMCUWriteData(h, 1, 0x100, &b), 0xFFFFFFFFu);

    r = tool("status");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("plugged:      no"), std::string::npos) << r.out;

    EXPECT_EQ(tool("plug").status, 0);
    EXPECT_EQ(isDevicePresent(lib), 1);
    closeDevice(lib, h);
}

TEST_F(ZentroSimToolTest, SettingsAndFaults) {
    EXPECT_EQ(tool("storage-code 7").out, "storage code 7 (4096 KiB)\n");
    EXPECT_EQ(zentroSimStorageCode(), 7u);
    EXPECT_EQ(std::filesystem::file_size(simDir.file("flash.bin")), 4194304u);

    EXPECT_EQ(tool("delay on").status, 0);
    EXPECT_EQ(zentroSimDelay(), 1);
    EXPECT_EQ(tool("delay off").status, 0);
    EXPECT_EQ(zentroSimDelay(), 0);

    EXPECT_EQ(tool("fault program-short at 2 100").out, "fault program-short at 2 100\n");
    int trigger = 0;
    uint32_t n = 0, param = 0;
    ASSERT_EQ(zentroSimGetFault(ZENTRO_FAULT_PROGRAM_SHORT, &trigger, &n, &param), 0);
    EXPECT_EQ(trigger, ZENTRO_TRIGGER_AT);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(param, 100u);
    EXPECT_EQ(tool("fault erase-fail every").status, 0);
    EXPECT_NE(tool("status").out.find("fault:        erase-fail every"), std::string::npos);
    EXPECT_EQ(tool("fault probe 0 0x107").status, 0);
    const uint32_t h = openDevice(lib);
    uint16_t code = 0;
    EXPECT_EQ(startAgent(lib, h, startDir.path(), code), 0);
    EXPECT_EQ(code, 7);
    EXPECT_EQ(eraseStorage(lib, h, 0x4000, 4096), 1);
    closeDevice(lib, h);

    EXPECT_EQ(tool("fault clear").out, "faults cleared\n");
    ASSERT_EQ(zentroSimGetFault(ZENTRO_FAULT_ERASE_FAIL, &trigger, &n, &param), 0);
    EXPECT_EQ(trigger, ZENTRO_TRIGGER_OFF);
}

TEST_F(ZentroSimToolTest, ErrorsGoToStderrWithStatus1) {
    const char* bad[] = {"",
                         "bogus",
                         "storage-code 300",
                         "storage-code x",
                         "delay maybe",
                         "fault nothing at 1",
                         "fault program-fail at",
                         "fault program-fail random 2000",
                         "extract",
                         "plug extra"};
    for (const char* args : bad) {
        const auto r = tool(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_FALSE(r.err.empty()) << args;
        EXPECT_EQ(r.out, "") << args;
    }
}

TEST_F(ZentroSimToolTest, HeaderAndExtractShowWhatTheClockHolds) {
    StorageHeader header;
    header.songCount = 3;
    header.totalEstimate = 1234;
    std::memcpy(header.signature, kSignature, sizeof(kSignature));
    header.quality = 4;
    const auto first = patternBytes(5000, 20);
    const auto second = patternBytes(777, 21);
    header.entries[0] = StorageEntry{0, 5000, {}};
    std::strcpy(header.entries[0].songName, "first song");
    header.entries[1] = StorageEntry{5000, 777, {}};
    std::strcpy(header.entries[1].songName, "../escape");
    header.entries[2] = StorageEntry{5777, 0, {}};  // did not fit
    std::strcpy(header.entries[2].songName, "too big");
    std::vector<uint8_t> bytes(kStorageHeaderBytes);
    encodeStorageHeader(header, bytes.data());
    ASSERT_EQ(zentroSimWriteFlash(kStorageHeaderAddress, kStorageHeaderBytes, bytes.data()), 0);
    ASSERT_EQ(zentroSimWriteFlash(kDataAreaAddress, 5000, first.data()), 0);
    ASSERT_EQ(zentroSimWriteFlash(kDataAreaAddress + 5000, 777, second.data()), 0);

    auto r = tool("header");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("songCount:     3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("signature:     VELMO"), std::string::npos);
    EXPECT_NE(r.out.find(" 0  offset        0  size     5000  first song"), std::string::npos) << r.out;

    const std::string out = startDir.file("songs");
    r = tool("extract '" + out + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFileBytes(out + "/first song.mp3"), first);
    EXPECT_EQ(readFileBytes(out + "/song-2.._escape.mp3"), second);
    EXPECT_FALSE(std::filesystem::exists(startDir.file("escape.mp3")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), std::filesystem::directory_iterator()), 2);

    EXPECT_EQ(tool("erase-all").status, 0);
    EXPECT_EQ(flashBytes(kStorageHeaderAddress, 64), std::vector<uint8_t>(64, 0xFF));
    r = tool("extract '" + out + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no song header"), std::string::npos);
}

}  // namespace
}  // namespace velmo::test
