// The core against a clock pulled at any call, and against input files that
// are not what they claim to be.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "core_fixture.h"
#include "fileio.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

// The clock's header for two songs and their bytes, as a download leaves them.
std::vector<uint8_t> writeTwoSongClock() {
    StorageHeader h;
    h.songCount = 2;
    std::memcpy(h.signature, kSignature, sizeof kSignature);
    h.quality = kQualityGood;
    const uint32_t sizes[2] = {5000, 2300};
    const char* names[2] = {"first", "second"};
    uint32_t offset = 0;
    for (int i = 0; i < 2; ++i) {
        h.entries[i].dataOffset = offset;
        h.entries[i].dataSize = sizes[i];
        std::memcpy(h.entries[i].songName, names[i], std::strlen(names[i]));
        offset += sizes[i];
    }
    std::vector<uint8_t> header(kStorageHeaderBytes);
    encodeStorageHeader(h, header.data());
    EXPECT_EQ(0, zentroSimWriteFlash(kStorageHeaderAddress, kStorageHeaderBytes, header.data()));
    std::vector<uint8_t> data(offset);
    for (uint32_t i = 0; i < offset; ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
    EXPECT_EQ(0, zentroSimWriteFlash(kDataAreaAddress, offset, data.data()));
    return data;
}

}  // namespace

// startAgent makes 4 calls with the handle, each block read 6 (three parameter
// writes, the start, the result, the copy out of the transfer buffer): the
// header takes 3 blocks and the 7300 bytes of data 2, 34 calls in all. The
// clock is pulled at each of them in turn, and once not at all.
TEST_F(CoreTest, ReloadPulledAtEveryCallFailsWithItsMessageOrGivesTheSongsBack) {
    constexpr uint32_t kCalls = 4 + 6 * (3 + 2);
    int finished = 0;
    for (uint32_t n = 0; n <= kCalls; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(0, zentroSimReset());
        const std::vector<uint8_t> data = writeTwoSongClock();
        writeTable({1234}, kQualityBest);
        startCore();
        ASSERT_EQ(1, core->songCount());
        if (n < kCalls) {
            ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, n, 0));
        }
        view.answers = {MessageResult::Ok};
        core->onReload();
        ASSERT_TRUE(pumpToEnd());
        const std::vector<std::string> texts = view.texts();
        ASSERT_EQ(2u, texts.size());
        if (texts[1] == "Reloading songs finished !") {
            ++finished;
            ASSERT_EQ(2, core->songCount());
            std::vector<uint8_t> first, second;
            ASSERT_TRUE(readWholeFile(start + "/dat/first.mp3", first));
            ASSERT_TRUE(readWholeFile(start + "/dat/second.mp3", second));
            EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 5000), first);
            EXPECT_EQ(std::vector<uint8_t>(data.begin() + 5000, data.end()), second);
        } else {
            // Pulled while the agent starts, or during a read: the list stays.
            EXPECT_TRUE(texts[1] == "USB connection error ! Please plug-in USB again." ||
                        texts[1] == "USB connection error !")
                << texts[1];
            EXPECT_EQ(1, core->songCount());
            EXPECT_EQ(0u, core->deviceHandle());
            EXPECT_FALSE(fs::exists(start + "/dat/tmp.ztd"));
        }
        EXPECT_TRUE(view.enabled);
        core->onClose();
        EXPECT_EQ(0u, zentroSimCount(ZENTRO_COUNT_BAD_HANDLE));
    }
    // Only the run without a fault gets that far.
    EXPECT_EQ(1, finished);
}
