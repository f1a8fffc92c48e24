// device_bench [--delay]: erase, write and read back a whole 4 MiB storage
// (storage code 7) through the device layer and the simulated clock, in a
// scratch sim folder. Without --delay the simulator's link delay is off, so
// the figures measure the device layer and the simulator themselves; with it,
// they estimate a USB 1.1 full-speed link.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device.h"
#include "fileio.h"
#include "transfer.h"
#include "usb_library.h"
#include "zentro_sim_control.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kStorageCode = 7;
constexpr uint32_t kStorageBytes = 4u * 1024 * 1024;

struct ScratchDir {
    std::string path;
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmo-bench-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) != nullptr) path = buf.data();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

struct Calls {
    uint32_t write, paramWrite, bufferWrite, read, start, call;
};

Calls calls() {
    return Calls{zentroSimCount(ZENTRO_COUNT_WRITE),        zentroSimCount(ZENTRO_COUNT_PARAM_WRITE),
                 zentroSimCount(ZENTRO_COUNT_BUFFER_WRITE), zentroSimCount(ZENTRO_COUNT_READ),
                 zentroSimCount(ZENTRO_COUNT_START),        zentroSimCount(ZENTRO_COUNT_CALL)};
}

void report(const char* what, double seconds, uint32_t blocks) {
    const Calls c = calls();
    const double total = c.write + c.read + c.start + c.call;
    std::printf(
        "%-6s %8.3f s  %8.2f MiB/s  %4u blocks  calls/block %.2f "
        "(data writes %.2f, parameter writes %.2f, reads %.2f, starts %.2f, results %.2f)\n",
        what, seconds, kStorageBytes / (1024.0 * 1024.0) / seconds, blocks, total / blocks,
        double(c.bufferWrite) / blocks, double(c.paramWrite) / blocks, double(c.read) / blocks,
        double(c.start) / blocks, double(c.call) / blocks);
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
    const bool delay = argc > 1 && std::strcmp(argv[1], "--delay") == 0;
    ScratchDir sim, start;
    if (sim.path.empty() || start.path.empty()) {
        std::fprintf(stderr, "device_bench: cannot make scratch folders\n");
        return 1;
    }
    std::error_code ec;
    std::filesystem::copy_file(velmo::executableFolder() + "/spn.bin", start.path + "/spn.bin", ec);
    if (ec || zentroSimSetDir(sim.path.c_str()) != 0 || zentroSimReset() != 0 ||
        zentroSimSetStorageCode(kStorageCode) != 0 || zentroSimSetDelay(delay ? 1 : 0) != 0) {
        std::fprintf(stderr, "device_bench: cannot set up the simulated clock\n");
        return 1;
    }

    velmo::DeviceLibrary lib;
    if (velmo::loadDeviceLibrary(lib) != 0) {
        std::fprintf(stderr, "device_bench: %s\n", lib.error().c_str());
        return 1;
    }
    const uint32_t handle = velmo::openDevice(lib);
    uint16_t code = 0;
    if (handle == 0 || velmo::startAgent(lib, handle, start.path, code) != 0 || code != kStorageCode) {
        std::fprintf(stderr, "device_bench: the clock does not answer\n");
        velmo::shutdownDevice(lib, handle);
        return 1;
    }

    std::vector<uint8_t> image(kStorageBytes);
    uint32_t s = 12345;
    for (auto& b : image) {
        s = s * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(s >> 24);
    }
    const std::string imagePath = start.path + "/image.bin";
    std::ofstream(imagePath, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), kStorageBytes);
    const uint32_t blocks = kStorageBytes / velmo::kTransferBlockBytes;

    std::printf("device_bench: %u KiB storage, blocks of %u bytes, link delay %s\n", kStorageBytes / 1024,
                velmo::kTransferBlockBytes, delay ? "on (USB 1.1 estimate)" : "off");
    zentroSimResetCounts();
    auto t = Clock::now();
    int result = velmo::eraseStorage(lib, handle, 0, kStorageBytes);
    std::printf("erase  %8.3f s\n", since(t));

    zentroSimResetCounts();
    t = Clock::now();
    if (result == 0) result = velmo::writeFileToStorage(lib, nullptr, handle, imagePath, 4096, 0);
    if (result == 0) report("write", since(t), blocks);

    zentroSimResetCounts();
    const velmo::DeviceJob read{velmo::WriteMode::SongImage, handle, 0, "./back.bin", kStorageBytes, 0};
    t = Clock::now();
    if (result == 0) result = velmo::readStorageToFile(read, start.path, lib);
    if (result == 0) report("read", since(t), blocks);

    std::vector<uint8_t> back(kStorageBytes);
    std::ifstream(start.path + "/back.bin", std::ios::binary).read(reinterpret_cast<char*>(back.data()), kStorageBytes);
    const bool same = result == 0 && back == image;
    velmo::shutdownDevice(lib, handle);
    std::printf("read-back %s\n", same ? "identical" : "DIFFERS");
    return same ? 0 : 1;
}
