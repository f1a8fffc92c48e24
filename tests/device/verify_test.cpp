// Verify: the clock's storage compared with the image file, block by block.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>

#include "device_fixture.h"
#include "storage_layout.h"
#include "verify.h"
#include "work_context.h"

namespace velmo::test {
namespace {

class VerifyTest : public DeviceFixture {
  protected:
    void SetUp() override {
        DeviceFixture::SetUp();
        ctx.startDir = startDir.path();
        std::filesystem::create_directory(startDir.file("dat"));
        handle = openWithAgent();
    }
    void TearDown() override {
        closeDevice(lib, handle);
        DeviceFixture::TearDown();
    }

    WorkContext ctx;
    uint32_t handle = 0;
};

TEST_F(VerifyTest, EveryOutcomeEndsWithItsEvent) {
    // Three blocks and a part: the header and 5000 bytes of song data.
    const auto image = patternBytes(kStorageHeaderBytes + 5000, 31);
    const uint32_t changedAt = kStorageHeaderBytes + 4100;  // inside the fourth block
    struct Row {
        const char* name;
        std::function<void(const std::string& imageFile)> setUp;  // after the image went to the file and the clock
        uint32_t storageKB;
        bool stop;
        std::vector<std::string> ends;
        uint32_t blocksRead;
    };
    const auto nothing = [](const std::string&) {};
    const Row rows[] = {
        {"same", nothing, 2048, false, described(VerifyDone{true, 0, 0, 0}), 4},
        {"one byte changed on the clock",
         [&](const std::string&) {
             const uint8_t b = static_cast<uint8_t>(image[changedAt] ^ 0x5A);
             ASSERT_EQ(zentroSimWriteFlash(kStorageHeaderAddress + changedAt, 1, &b), 0);
         },
         2048, false,
         described(VerifyDone{false, kStorageHeaderAddress + changedAt, static_cast<uint8_t>(image[changedAt] ^ 0x5A),
                              image[changedAt]}),
         4},
        {"the last byte differs",
         [&](const std::string& file) {
             auto other = image;
             other.back() ^= 1;
             writeFileBytes(file, other);
         },
         2048, false,
         described(VerifyDone{false, kStorageHeaderAddress + static_cast<uint32_t>(image.size()) - 1, image.back(),
                              static_cast<uint8_t>(image.back() ^ 1)}),
         4},
        {"a block read fails",
         [](const std::string&) { ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 7, 0), 0); },
         2048, false, described(ReadFailed{ReadStage::Verify, 0}), 1},
        {"image missing", [](const std::string& file) { std::filesystem::remove(file); }, 2048, false,
         described(ReadFailed{ReadStage::Verify, ENOENT}), 0},
        {"image empty", [](const std::string& file) { writeFileBytes(file, {}); }, 2048, false,
         described(ReadFailed{ReadStage::Verify, ENODATA}), 0},
        // 25 KiB of storage: an image capacity of 9216 bytes.
        {"image larger than the storage", nothing, 25, false, described(ReadFailed{ReadStage::Verify, EFBIG}), 0},
        {"stopped", nothing, 2048, true, described(JobStopped{StoppedWorker::Read, false}), 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        closeDevice(lib, handle);
        ASSERT_EQ(zentroSimReset(), 0);
        handle = openWithAgent();
        writeFileBytes(startDir.file("dat/tmp.bin"), image);
        ASSERT_EQ(zentroSimWriteFlash(kStorageHeaderAddress, static_cast<uint32_t>(image.size()), image.data()), 0);
        row.setUp(startDir.file("dat/tmp.bin"));
        ctx.storageKB = row.storageKB;
        const DeviceJob job{WriteMode::SongImage, handle, kStorageHeaderAddress, "./dat/tmp.bin", 0, 0};
        const std::atomic<bool> stop{row.stop};
        EventRecorder events;
        zentroSimResetCounts();
        verifyWorker(job, ctx, lib, events, &stop);

        EXPECT_EQ(events.ends(), row.ends);
        EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_READ_BLOCK), row.blocksRead) << "reading ends at the first difference";
        const auto progress = events.progress<ReadProgress>();
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        if (row.ends == described(VerifyDone{true, 0, 0, 0})) {
            EXPECT_EQ(progress, (std::vector<int>{30, 60, 91, 100}));
        }
    }
}

}  // namespace
}  // namespace velmo::test
