// Block transfers and the write worker against the simulated clock: block
// layout, progress, read-back, the need to erase, and every fault's end.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <thread>

#include "device_fixture.h"
#include "shared_state.h"
#include "storage_layout.h"
#include "transfer.h"

namespace velmo::test {
namespace {

class TransferTest : public DeviceFixture {
  protected:
    void SetUp() override {
        DeviceFixture::SetUp();
        shared.startDir = startDir.path();
        std::filesystem::create_directory(startDir.file("dat"));
        handle = openWithAgent();
    }
    void TearDown() override {
        closeDevice(lib, handle);
        DeviceFixture::TearDown();
    }

    DeviceJob downloadJob() {
        return DeviceJob{WriteMode::SongImage,
                         handle,
                         kStorageHeaderAddress,
                         "./dat/tmp.bin",
                         4096,
                         &window,
                         WriteStart::AfterConversion,
                         imageCapacity(shared.storageKB)};
    }

    SharedState shared;
    RecordingTarget window;
    uint32_t handle = 0;
};

TEST_F(TransferTest, HeaderSizedImageGoesOutAsThreeBlocks) {
    const auto image = patternBytes(kStorageHeaderBytes, 11);
    writeFileBytes(startDir.file("dat/tmp.bin"), image);
    ASSERT_EQ(eraseStorage(lib, handle, 0x4000, imageCapacity(2048)), 0);
    zentroSimResetCounts();

    ASSERT_EQ(writeFileToStorage(lib, &window, handle, startDir.file("dat/tmp.bin"), 4096, 0x4000), 0);

    const auto log = agentLog();
    ASSERT_EQ(log.size(), 3u);
    const uint32_t addresses[] = {0x4000, 0x5000, 0x6000};
    const uint32_t counts[] = {4096, 4096, 288};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].entry, kProgramBlockEntry);
        EXPECT_EQ(log[i].address, addresses[i]);
        EXPECT_EQ(log[i].count, counts[i]);
    }
    EXPECT_EQ(window.progress(WM_WRITE_PROGRESS), (std::vector<uint32_t>{48, 96, 100}));
    // Per block: one data write, three parameter writes, one start, one result.
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_BUFFER_WRITE), 3u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PARAM_WRITE), 9u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_WRITE), 12u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_START), 3u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CALL), 3u);
    EXPECT_EQ(flashBytes(0x4000, kStorageHeaderBytes), image);

    // And back, through the read transfer.
    RecordingTarget readWindow;
    DeviceJob read{WriteMode::SongImage,   handle, 0x4000, "./dat/tmp.tbl", kStorageHeaderBytes, &readWindow,
                   WriteStart::AfterPause, 0};
    zentroSimResetCounts();
    ASSERT_EQ(readStorageToFile(read, startDir.path(), lib), 0);
    EXPECT_EQ(readFileBytes(startDir.file("dat/tmp.tbl")), image);
    EXPECT_EQ(readWindow.progress(WM_READ_PROGRESS), (std::vector<uint32_t>{48, 96, 100}));
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_READ_BLOCK), 3u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_START), 3u);
}

TEST(ProgressRule, PercentIsTruncatedAndZeroIsNotPosted) {
    struct Row {
        uint32_t done, total;
        std::vector<uint32_t> posted;
    };
    const Row rows[] = {
        {1, 1000, {}},       {10, 1000, {1}},     {4096, 8480, {48}},    {8192, 8480, {96}},
        {8480, 8480, {100}}, {4096, 4194304, {}}, {41944, 4194304, {1}}, {5, 0, {}},
    };
    for (const auto& row : rows) {
        RecordingTarget target;
        reportProgress(&target, WM_READ_PROGRESS, row.done, row.total);
        EXPECT_EQ(target.progress(WM_READ_PROGRESS), row.posted) << row.done << "/" << row.total;
    }
}

TEST_F(TransferTest, WritingWithoutAnEraseCorruptsTheData) {
    const auto oldImage = patternBytes(8192, 1);
    const auto newImage = patternBytes(8192, 2);
    writeFileBytes(startDir.file("dat/old.bin"), oldImage);
    writeFileBytes(startDir.file("dat/new.bin"), newImage);
    ASSERT_EQ(eraseStorage(lib, handle, 0x4000, 8192), 0);
    ASSERT_EQ(writeFileToStorage(lib, nullptr, handle, startDir.file("dat/old.bin"), 4096, 0x4000), 0);
    ASSERT_EQ(writeFileToStorage(lib, nullptr, handle, startDir.file("dat/new.bin"), 4096, 0x4000), 0);
    const auto stored = flashBytes(0x4000, 8192);
    EXPECT_NE(stored, newImage);
    for (size_t i = 0; i < stored.size(); ++i) ASSERT_EQ(stored[i], oldImage[i] & newImage[i]) << i;

    ASSERT_EQ(eraseStorage(lib, handle, 0x4000, 8192), 0);
    ASSERT_EQ(writeFileToStorage(lib, nullptr, handle, startDir.file("dat/new.bin"), 4096, 0x4000), 0);
    EXPECT_EQ(flashBytes(0x4000, 8192), newImage);
}

TEST_F(TransferTest, WriteFailures) {
    writeFileBytes(startDir.file("dat/empty.bin"), {});
    writeFileBytes(startDir.file("dat/ok.bin"), patternBytes(10000, 3));
    // A file of this computer that fails is no connection failure, and says why.
    TransferError error;
    EXPECT_EQ(writeFileToStorage(lib, &window, handle, startDir.file("dat/missing.bin"), 4096, 0x4000,
                                 WM_WRITE_PROGRESS, nullptr, &error),
              kDeviceLocalFileFailed);
    EXPECT_EQ(error.fileError, ENOENT);
    EXPECT_EQ(writeFileToStorage(lib, &window, handle, startDir.file("dat/empty.bin"), 4096, 0x4000, WM_WRITE_PROGRESS,
                                 nullptr, &error),
              kDeviceLocalFileFailed);
    EXPECT_NE(error.fileError, 0);
    EXPECT_EQ(writeFileToStorage(lib, &window, handle, startDir.file("dat/ok.bin"), 0, 0x4000), -1);
    EXPECT_TRUE(window.messages().empty());

    // The second block is refused: the transfer stops there, nothing is retried.
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, 2, 0), 0);
    EXPECT_EQ(writeFileToStorage(lib, &window, handle, startDir.file("dat/ok.bin"), 4096, 0x4000), -1);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROGRAM), 2u);
    EXPECT_EQ(window.progress(WM_WRITE_PROGRESS), (std::vector<uint32_t>{40, 81}));
}

// Truncates the file being sent as soon as the first block has been read.
class TruncatingTarget : public MessageTarget {
  public:
    explicit TruncatingTarget(std::string path) : path_(std::move(path)) {}
    void post(uint32_t, uint32_t, uint32_t) override {
        if (!done_) {
            ASSERT_EQ(::truncate(path_.c_str(), 5000), 0);
        }
        done_ = true;
    }

  private:
    std::string path_;
    bool done_ = false;
};

TEST_F(TransferTest, FileThatYieldsLessThanItsSizeEndsTheWrite) {
    const std::string path = startDir.file("dat/tmp.bin");
    writeFileBytes(path, patternBytes(kStorageHeaderBytes, 5));
    TruncatingTarget target(path);
    TransferError error;
    EXPECT_EQ(writeFileToStorage(lib, &target, handle, path, 4096, 0x4000, WM_WRITE_PROGRESS, nullptr, &error),
              kDeviceLocalFileFailed);
    EXPECT_EQ(error.fileError, EIO);
    // The short second block is not sent: the erased range would hold part of a file.
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROGRAM), 1u);
}

TEST_F(TransferTest, ReadOfZeroBytesFailsWithoutAFile) {
    DeviceJob read{WriteMode::SongImage, handle, 0x4000, "./dat/tmp.tbl", 0, &window, WriteStart::AfterPause, 0};
    EXPECT_EQ(readStorageToFile(read, startDir.path(), lib), -1);
    EXPECT_FALSE(std::filesystem::exists(startDir.file("dat/tmp.tbl")));
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_READ_BLOCK), 0u);
}

TEST_F(TransferTest, ReadLargerThanTheStagingBufferComesBackWhole) {
    const uint32_t count = 300 * 1024 + 5;
    const auto data = patternBytes(count, 6);
    ASSERT_EQ(zentroSimWriteFlash(0x6120, count, data.data()), 0);
    DeviceJob read{WriteMode::SongImage, handle, 0x6120, "./dat/tmp.ztd", count, &window, WriteStart::AfterPause, 0};
    writeFileBytes(startDir.file("dat/tmp.ztd"), patternBytes(400 * 1024, 7));  // replaced, not appended
    ASSERT_EQ(readStorageToFile(read, startDir.path(), lib), 0);
    EXPECT_EQ(readFileBytes(startDir.file("dat/tmp.ztd")), data);
    const auto progress = window.progress(WM_READ_PROGRESS);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 1u);
    EXPECT_EQ(progress.back(), 100u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

TEST_F(TransferTest, FailedReadLeavesWhatWasStaged) {
    // Each block read is six calls; the 70th block finds the clock gone. The
    // staging buffer went to the file once, after the 64th block.
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 69 * 6, 0), 0);
    DeviceJob read{WriteMode::SongImage,   handle, 0x4000, "./dat/tmp.ztd", 100 * 4096, &window,
                   WriteStart::AfterPause, 0};
    EXPECT_EQ(readStorageToFile(read, startDir.path(), lib), -1);
    EXPECT_EQ(std::filesystem::file_size(startDir.file("dat/tmp.ztd")), kReadStagingBytes);
}

TEST_F(TransferTest, CorruptedReadBackIsNotHidden) {
    const auto data = patternBytes(8192, 8);
    ASSERT_EQ(zentroSimWriteFlash(0x4000, 8192, data.data()), 0);
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_CORRUPT_READ, ZENTRO_TRIGGER_AT, 2, 100), 0);
    DeviceJob read{WriteMode::SongImage, handle, 0x4000, "./dat/check.tmp", 8192, &window, WriteStart::AfterPause, 0};
    ASSERT_EQ(readStorageToFile(read, startDir.path(), lib), 0);
    auto expected = data;
    expected[4096 + 100] ^= 0xFF;
    EXPECT_EQ(readFileBytes(startDir.file("dat/check.tmp")), expected);
}

// ---- the write worker ----

struct WorkerRow {
    const char* name;
    std::function<void(const std::string& startDir)> setUp;  // faults and files
    WriteMode mode;
    WriteStart waitForConversion;
    bool imageProduced;
    std::vector<Message> ends;  // end messages, in order
    int32_t keepConverting;
    bool imageWritten;
};

class WriteWorkerTest : public TransferTest {
  public:
    void run(const WorkerRow& row) {
        const auto image = patternBytes(kStorageHeaderBytes + 5000, 12);
        writeFileBytes(startDir.file("dat/tmp.bin"), image);
        row.setUp(startDir.path());
        DeviceJob job = downloadJob();
        job.mode = row.mode;
        job.waitForConversion = row.waitForConversion;
        shared.convertEvent.reset();
        shared.imageProduced = false;
        shared.keepConverting = 1;

        std::thread worker = startWriteWorker(job, shared, lib);
        if (row.waitForConversion == WriteStart::AfterConversion) {
            // The conversion ends: sets the flag, then the event, in every outcome.
            shared.imageProduced = row.imageProduced;
            shared.convertEvent.set();
        }
        worker.join();

        std::vector<Message> ends = window.endMessages();
        EXPECT_EQ(ends, row.ends);
        EXPECT_EQ(shared.keepConverting.load(), row.keepConverting);
        // A worker that got past its erase consumed this download's flag.
        if (row.keepConverting == 1 && row.waitForConversion == WriteStart::AfterConversion) {
            EXPECT_FALSE(shared.imageProduced.load());
        }
        EXPECT_EQ(flashBytes(0x4000, static_cast<uint32_t>(image.size())) == image, row.imageWritten);
        const auto progress = window.progress(WM_WRITE_PROGRESS);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        if (row.imageWritten) {
            ASSERT_FALSE(progress.empty());
            EXPECT_EQ(progress.back(), 100u);
        }
    }
};

TEST_F(WriteWorkerTest, EveryOutcomeEndsWithItsMessage) {
    const auto nothing = [](const std::string&) {};
    const auto fault = [](int kind, int trigger, uint32_t n) {
        return [=](const std::string&) { ASSERT_EQ(zentroSimSetFault(kind, trigger, n, 0), 0); };
    };
    const Message done{WM_DOWNLOAD_DONE, 0, 0};
    const Message firmwareDone{WM_FIRMWARE_STEP_DONE, 0, 0};
    const Message connection{WM_WRITE_FAILED, 0, 0};
    const Message eraseError{WM_WRITE_FAILED, 1, 0};
    const Message imageMissing{WM_WRITE_FAILED, 2, ENOENT};
    const WorkerRow rows[] = {
        {"download", nothing, WriteMode::SongImage, WriteStart::AfterConversion, true, {done}, 1, true},
        {"firmware write, no wait",
         nothing,
         WriteMode::FirmwareCode,
         WriteStart::AfterPause,
         false,
         {firmwareDone},
         1,
         true},
        {"conversion made no image", nothing, WriteMode::SongImage, WriteStart::AfterConversion, false, {}, 1, false},
        {"erase refused",
         fault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_EVERY, 0),
         WriteMode::SongImage,
         WriteStart::AfterConversion,
         true,
         {eraseError},
         0,
         false},
        {"clock gone before the erase",
         fault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 0),
         WriteMode::SongImage,
         WriteStart::AfterConversion,
         true,
         {connection},
         0,
         false},
        {"clock gone while writing",
         fault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 10),
         WriteMode::SongImage,
         WriteStart::AfterConversion,
         true,
         {connection},
         1,
         false},
        {"third block refused",
         fault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, 3),
         WriteMode::SongImage,
         WriteStart::AfterConversion,
         true,
         {connection},
         1,
         false},
        {"image file missing",
         [](const std::string& d) { std::filesystem::remove(d + "/dat/tmp.bin"); },
         WriteMode::SongImage,
         WriteStart::AfterConversion,
         true,
         {imageMissing},
         1,
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        closeDevice(lib, handle);
        ASSERT_EQ(zentroSimReset(), 0);
        handle = openWithAgent();
        window.clear();
        run(row);
    }
}

TEST_F(WriteWorkerTest, WaitsForTheConversionBeforeWriting) {
    writeFileBytes(startDir.file("dat/tmp.bin"), patternBytes(5000, 13));
    DeviceJob job = downloadJob();
    shared.convertEvent.reset();
    shared.keepConverting = 0;  // the worker sets it again once the erase is done
    std::thread worker = startWriteWorker(job, shared, lib);
    // The erase is done long before this, but no block may go out yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROGRAM), 0u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_ERASE), 1u);
    shared.imageProduced = true;
    shared.convertEvent.set();
    worker.join();
    EXPECT_EQ(window.endMessages(), (std::vector<Message>{{WM_DOWNLOAD_DONE, 0, 0}}));
    EXPECT_FALSE(shared.convertEvent.isSet());  // reset after the wait
    EXPECT_EQ(shared.keepConverting.load(), 1);
}

TEST_F(WriteWorkerTest, EraseFailureResetsTheEventAndStopsTheConversion) {
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_AT, 1, 0), 0);
    DeviceJob job = downloadJob();
    shared.convertEvent.set();  // a conversion that ended very early
    std::thread worker = startWriteWorker(job, shared, lib);
    worker.join();
    EXPECT_FALSE(shared.convertEvent.isSet());
    EXPECT_EQ(shared.keepConverting.load(), 0);
    EXPECT_EQ(window.endMessages(), (std::vector<Message>{{WM_WRITE_FAILED, 1, 0}}));
}

// Seeded random faults: whatever fails, the worker ends with exactly one end
// message, and the same seed gives the same run.
TEST_F(WriteWorkerTest, RandomFaultsAlwaysEndAndRepeat) {
    writeFileBytes(startDir.file("dat/tmp.bin"), patternBytes(12 * 4096, 14));
    std::vector<Message> firstRun;
    int failures = 0;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        for (int repeat = 0; repeat < 2; ++repeat) {
            closeDevice(lib, handle);
            ASSERT_EQ(zentroSimReset(), 0);
            handle = openWithAgent();
            ASSERT_EQ(zentroSimSetSeed(seed), 0);
            ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_RANDOM, 40, 0), 0);
            ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_RANDOM, 5, 0), 0);
            window.clear();
            DeviceJob job = downloadJob();
            job.mode = WriteMode::FirmwareCode;
            job.waitForConversion = WriteStart::AfterPause;
            std::thread worker = startWriteWorker(job, shared, lib);
            worker.join();
            const auto ends = window.endMessages();
            ASSERT_EQ(ends.size(), 1u) << "seed " << seed;
            const bool ok = ends[0] == Message{WM_FIRMWARE_STEP_DONE, 0, 0};
            EXPECT_TRUE(ok || (ends[0] == Message{WM_WRITE_FAILED, 0, 0})) << ends[0];
            if (repeat == 0) {
                firstRun = window.messages();
                failures += ok ? 0 : 1;
            } else {
                EXPECT_EQ(window.messages(), firstRun) << "seed " << seed;
            }
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, 12);
}

}  // namespace
}  // namespace velmo::test
