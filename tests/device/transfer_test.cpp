// Block transfers and the write worker against the simulated clock: block
// layout, progress, read-back, the need to erase, every fault's end, and a
// download's write fed by the conversion's hand-over.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <thread>

#include "cancellation.h"
#include "device_fixture.h"
#include "image_handover.h"
#include "storage_layout.h"
#include "transfer.h"
#include "work_context.h"

namespace velmo::test {
namespace {

class TransferTest : public DeviceFixture {
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

    DeviceJob downloadJob() {
        return DeviceJob{WriteMode::SongImage, handle, kStorageHeaderAddress,
                         "./dat/tmp.bin",      4096,   imageCapacity(ctx.storageKB)};
    }
    DeviceJob readJob(uint32_t address, const char* path, uint32_t count) {
        return DeviceJob{WriteMode::SongImage, handle, address, path, count, 0};
    }

    WorkContext ctx;
    EventRecorder events;
    uint32_t handle = 0;
};

TEST_F(TransferTest, HeaderSizedImageGoesOutAsThreeBlocks) {
    const auto image = patternBytes(kStorageHeaderBytes, 11);
    writeFileBytes(startDir.file("dat/tmp.bin"), image);
    ASSERT_EQ(eraseStorage(lib, handle, 0x4000, imageCapacity(2048)), 0);
    zentroSimResetCounts();

    ASSERT_EQ(writeFileToStorage(lib, &events, handle, startDir.file("dat/tmp.bin"), 4096, 0x4000), 0);

    const auto log = agentLog();
    ASSERT_EQ(log.size(), 3u);
    const uint32_t addresses[] = {0x4000, 0x5000, 0x6000};
    const uint32_t counts[] = {4096, 4096, 288};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].entry, kProgramBlockEntry);
        EXPECT_EQ(log[i].address, addresses[i]);
        EXPECT_EQ(log[i].count, counts[i]);
    }
    EXPECT_EQ(events.progress<WriteProgress>(), (std::vector<int>{48, 96, 100}));
    // Per block: one data write, three parameter writes, one start, one result.
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_BUFFER_WRITE), 3u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PARAM_WRITE), 9u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_WRITE), 12u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_START), 3u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_CALL), 3u);
    EXPECT_EQ(flashBytes(0x4000, kStorageHeaderBytes), image);

    // And back, through the read transfer.
    EventRecorder readEvents;
    zentroSimResetCounts();
    ASSERT_EQ(
        readStorageToFile(readJob(0x4000, "./dat/tmp.tbl", kStorageHeaderBytes), startDir.path(), lib, &readEvents), 0);
    EXPECT_EQ(readFileBytes(startDir.file("dat/tmp.tbl")), image);
    EXPECT_EQ(readEvents.progress<ReadProgress>(), (std::vector<int>{48, 96, 100}));
    EXPECT_TRUE(readEvents.progress<WriteProgress>().empty());
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_READ_BLOCK), 3u);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_START), 3u);
}

TEST(ProgressRule, PercentIsTruncatedAndZeroIsNotPosted) {
    struct Row {
        uint32_t done, total;
        std::vector<int> posted;
    };
    const Row rows[] = {
        {1, 1000, {}},       {10, 1000, {1}},     {4096, 8480, {48}},    {8192, 8480, {96}},
        {8480, 8480, {100}}, {4096, 4194304, {}}, {41944, 4194304, {1}}, {5, 0, {}},
    };
    for (const auto& row : rows) {
        for (ProgressBar bar : {ProgressBar::Read, ProgressBar::Write}) {
            EventRecorder target;
            reportProgress(&target, bar, row.done, row.total);
            const bool read = bar == ProgressBar::Read;
            EXPECT_EQ(read ? target.progress<ReadProgress>() : target.progress<WriteProgress>(), row.posted)
                << row.done << "/" << row.total;
            EXPECT_EQ(target.events().size(), row.posted.size()) << "only the bar asked for moves";
        }
    }
    reportProgress(nullptr, ProgressBar::Read, 1, 1);  // no sink: nothing to post to
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
    EXPECT_EQ(writeFileToStorage(lib, &events, handle, startDir.file("dat/missing.bin"), 4096, 0x4000,
                                 ProgressBar::Write, nullptr, &error),
              kDeviceLocalFileFailed);
    EXPECT_EQ(error.fileError, ENOENT);
    EXPECT_EQ(writeFileToStorage(lib, &events, handle, startDir.file("dat/empty.bin"), 4096, 0x4000, ProgressBar::Write,
                                 nullptr, &error),
              kDeviceLocalFileFailed);
    EXPECT_NE(error.fileError, 0);
    EXPECT_EQ(writeFileToStorage(lib, &events, handle, startDir.file("dat/ok.bin"), 0, 0x4000), -1);
    EXPECT_TRUE(events.events().empty());

    // The second block is refused: the transfer stops there, nothing is retried.
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, 2, 0), 0);
    EXPECT_EQ(writeFileToStorage(lib, &events, handle, startDir.file("dat/ok.bin"), 4096, 0x4000),
              kDeviceProgramRefused);
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROGRAM), 2u);
    EXPECT_EQ(events.progress<WriteProgress>(), (std::vector<int>{40, 81}));
}

// Truncates the file being sent as soon as the first block has been read.
class TruncatingSink : public EventSink {
  public:
    explicit TruncatingSink(std::string path) : path_(std::move(path)) {}
    void post(Event) override {
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
    TruncatingSink target(path);
    TransferError error;
    EXPECT_EQ(writeFileToStorage(lib, &target, handle, path, 4096, 0x4000, ProgressBar::Write, nullptr, &error),
              kDeviceLocalFileFailed);
    EXPECT_EQ(error.fileError, EIO);
    // The short second block is not sent: the erased range would hold part of a file.
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROGRAM), 1u);
}

TEST_F(TransferTest, ReadOfZeroBytesFailsWithoutAFile) {
    EXPECT_EQ(readStorageToFile(readJob(0x4000, "./dat/tmp.tbl", 0), startDir.path(), lib, &events), -1);
    EXPECT_FALSE(std::filesystem::exists(startDir.file("dat/tmp.tbl")));
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_READ_BLOCK), 0u);
}

TEST_F(TransferTest, ReadLargerThanTheStagingBufferComesBackWhole) {
    const uint32_t count = 300 * 1024 + 5;
    const auto data = patternBytes(count, 6);
    ASSERT_EQ(zentroSimWriteFlash(0x6120, count, data.data()), 0);
    writeFileBytes(startDir.file("dat/tmp.ztd"), patternBytes(400 * 1024, 7));  // replaced, not appended
    ASSERT_EQ(readStorageToFile(readJob(0x6120, "./dat/tmp.ztd", count), startDir.path(), lib, &events), 0);
    EXPECT_EQ(readFileBytes(startDir.file("dat/tmp.ztd")), data);
    const auto progress = events.progress<ReadProgress>();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 1);
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

TEST_F(TransferTest, FailedReadLeavesWhatWasStaged) {
    // Each block read is six calls; the 70th block finds the clock gone. The
    // staging buffer went to the file once, after the 64th block.
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 69 * 6, 0), 0);
    EXPECT_EQ(readStorageToFile(readJob(0x4000, "./dat/tmp.ztd", 100 * 4096), startDir.path(), lib, &events), -1);
    EXPECT_EQ(std::filesystem::file_size(startDir.file("dat/tmp.ztd")), kReadStagingBytes);
}

TEST_F(TransferTest, CorruptedReadBackIsNotHidden) {
    const auto data = patternBytes(8192, 8);
    ASSERT_EQ(zentroSimWriteFlash(0x4000, 8192, data.data()), 0);
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_CORRUPT_READ, ZENTRO_TRIGGER_AT, 2, 100), 0);
    ASSERT_EQ(readStorageToFile(readJob(0x4000, "./dat/check.tmp", 8192), startDir.path(), lib), 0);
    auto expected = data;
    expected[4096 + 100] ^= 0xFF;
    EXPECT_EQ(readFileBytes(startDir.file("dat/check.tmp")), expected);
}

// ---- the write worker ----

// Polls a condition the simulator makes true, for at most five seconds.
bool waitUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// One operation's cancellation and hand-over, wired as the operation wires
// them; notes what the sink held when the cancellation came.
struct Operation {
    explicit Operation(EventRecorder& sink) : events(sink) {
        cancellation.setWakeUp([this] {
            endsAtCancel = events.ends();
            handOver.wake();
        });
    }
    EventRecorder& events;
    Cancellation cancellation;
    ImageHandOver handOver;
    std::vector<std::string> endsAtCancel;
};

enum class Cancel { Never, BeforeStart, WithConversionEnd };

struct WorkerRow {
    const char* name;
    std::function<void(const std::string& startDir)> setUp;  // faults and files
    WriteMode mode;
    bool streamed;                  // a download fed by the hand-over
    ImageHandOver::End conversion;  // how the conversion finishes (streamed rows)
    Cancel cancel;                  // what the operation does
    std::vector<std::string> ends;  // the worker's events but progress
    bool cancelledByWorker;         // it cancels the operation after its failure
    bool imageWritten;
};

class WriteWorkerTest : public TransferTest {
  protected:
    std::thread start(const DeviceJob& job, Cancellation* cancellation, ImageHandOver* handOver) {
        return std::thread(writeWorker, std::cref(job), std::cref(ctx), std::cref(lib), std::ref(sink()), cancellation,
                           handOver);
    }
    EventSink& sink() { return events; }

    void run(const WorkerRow& row) {
        const auto image = patternBytes(kStorageHeaderBytes + 5000, 12);
        writeFileBytes(startDir.file("dat/tmp.bin"), image);
        row.setUp(startDir.path());
        DeviceJob job = downloadJob();
        job.mode = row.mode;
        job.expectedBytes = static_cast<uint32_t>(image.size());
        Operation op(events);
        if (row.cancel == Cancel::BeforeStart) op.cancellation.cancel();
        // A firmware write is never stopped: it gets no cancellation.
        Cancellation* cancellation = row.mode == WriteMode::SongImage ? &op.cancellation : nullptr;
        std::thread worker = start(job, cancellation, row.streamed ? &op.handOver : nullptr);
        if (row.streamed) {
            if (row.cancel == Cancel::WithConversionEnd) {
                // The conversion ends stopped while the write waits for it, after its erase.
                EXPECT_TRUE(waitUntil([] { return zentroSimCount(ZENTRO_COUNT_ERASE) == 1; }));
                op.cancellation.cancel();
            }
            op.handOver.finish(row.conversion);
        }
        worker.join();

        EXPECT_EQ(events.ends(), row.ends);
        EXPECT_EQ(op.cancellation.cancelled(), row.cancel != Cancel::Never || row.cancelledByWorker);
        if (row.cancelledByWorker) {
            EXPECT_EQ(op.endsAtCancel, row.ends) << "the failure is posted before the cancellation";
        }
        if (row.cancel == Cancel::BeforeStart) {
            EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_ERASE), 0u);
        }
        EXPECT_EQ(flashBytes(0x4000, static_cast<uint32_t>(image.size())) == image, row.imageWritten);
        const auto progress = events.progress<WriteProgress>();
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        if (row.imageWritten) {
            ASSERT_FALSE(progress.empty());
            EXPECT_EQ(progress.back(), 100);
        }
    }

    std::vector<ZentroSimAgentCommand> programs() {
        std::vector<ZentroSimAgentCommand> out;
        for (const auto& c : agentLog())
            if (c.entry == kProgramBlockEntry) out.push_back(c);
        return out;
    }
};

TEST_F(WriteWorkerTest, EveryOutcomeEndsWithItsEvent) {
    using End = ImageHandOver::End;
    const auto nothing = [](const std::string&) {};
    const auto fault = [](int kind, int trigger, uint32_t n) {
        return [=](const std::string&) { ASSERT_EQ(zentroSimSetFault(kind, trigger, n, 0), 0); };
    };
    const auto done = described(DownloadDone{});
    const auto connection = described(WriteFailed{WriteFailure::Connection, 0});
    const auto refused = described(WriteFailed{WriteFailure::Program, 0});
    const auto song = WriteMode::SongImage;
    const WorkerRow rows[] = {
        {"download", nothing, song, true, End::Image, Cancel::Never, done, false, true},
        {"image written as it stands", nothing, song, false, End::Image, Cancel::Never, done, false, true},
        {"firmware write", nothing, WriteMode::FirmwareCode, false, End::Image, Cancel::Never,
         described(FirmwareStepDone{FirmwareStep::Written}), false, true},
        {"conversion made no image", nothing, song, true, End::NoImage, Cancel::Never, described(WriteAbandoned{}),
         false, false},
        {"conversion stopped", nothing, song, true, End::NoImage, Cancel::WithConversionEnd,
         described(JobStopped{StoppedWorker::Write, true}), false, false},
        {"stopped before the erase", nothing, song, true, End::Image, Cancel::BeforeStart,
         described(JobStopped{StoppedWorker::Write, false}), false, false},
        {"erase refused", fault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_EVERY, 0), song, true, End::Image,
         Cancel::Never, described(WriteFailed{WriteFailure::Erase, 0}), true, false},
        {"clock gone before the erase", fault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 0), song, true, End::Image,
         Cancel::Never, connection, true, false},
        {"clock gone while writing", fault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 10), song, true, End::Image,
         Cancel::Never, connection, true, false},
        {"third block refused", fault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, 3), song, true, End::Image,
         Cancel::Never, refused, true, false},
        {"image file missing", [](const std::string& d) { std::filesystem::remove(d + "/dat/tmp.bin"); }, song, true,
         End::Image, Cancel::Never, described(WriteFailed{WriteFailure::LocalFile, ENOENT}), true, false},
        {"firmware block refused", fault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, 1), WriteMode::FirmwareCode,
         false, End::Image, Cancel::Never, refused, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        closeDevice(lib, handle);
        ASSERT_EQ(zentroSimReset(), 0);
        handle = openWithAgent();
        events.clear();
        run(row);
    }
}

// Song data goes out block by block as the conversion publishes it, never
// before; the rest of the data and the header (last to first) follow the end.
TEST_F(WriteWorkerTest, StreamedWriteSendsSongsAsPublishedAndTheHeaderLast) {
    const uint32_t dataBytes = 3 * 4096 + 1000;
    const auto image = patternBytes(kStorageHeaderBytes + dataBytes, 21);
    writeFileBytes(startDir.file("dat/tmp.bin"), image);
    DeviceJob job = downloadJob();
    job.expectedBytes = 2 * static_cast<uint32_t>(image.size());  // the list's estimate was twice the image
    Operation op(events);
    std::thread worker = start(job, &op.cancellation, &op.handOver);
    const auto programmed = [] { return zentroSimCount(ZENTRO_COUNT_PROGRAM); };
    ASSERT_TRUE(waitUntil([] { return zentroSimCount(ZENTRO_COUNT_ERASE) == 1; }));
    op.handOver.publish(4095);  // not a whole block yet
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(programmed(), 0u);
    op.handOver.publish(2 * 4096 + 10);
    ASSERT_TRUE(waitUntil([&] { return programmed() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(programmed(), 2u) << "a block goes out only once it is final";
    op.handOver.finish(ImageHandOver::End::Image);
    worker.join();

    EXPECT_EQ(events.ends(), described(DownloadDone{}));
    // The erase is announced before anything else: a close from then on
    // leaves the clock without songs.
    ASSERT_FALSE(events.events().empty());
    EXPECT_TRUE(std::holds_alternative<StorageErasing>(events.events().front()));
    EXPECT_EQ(flashBytes(0x4000, static_cast<uint32_t>(image.size())), image);
    const struct {
        uint32_t address, count;
    } expected[] = {{0x6120, 4096}, {0x7120, 4096}, {0x8120, 4096}, {0x9120, 1000},
                    {0x6000, 288},  {0x5000, 4096}, {0x4000, 4096}};
    const auto log = programs();
    ASSERT_EQ(log.size(), std::size(expected));
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].address, expected[i].address) << i;
        EXPECT_EQ(log[i].count, expected[i].count) << i;
    }
    // Against the estimate (43536 bytes) while songs convert, then against the
    // image (21768): 4096 -> 9, 8192 -> 18, 12288 -> 56, 13288 -> 61, ... 100.
    EXPECT_EQ(events.progress<WriteProgress>(), (std::vector<int>{9, 18, 56, 61, 62, 81, 100}));
}

// Bytes withdrawn after the write sent them (a song that was streamed and then
// not kept): the sectors holding them are erased, the part of the block before
// them that shares the first sector is programmed again, and the bytes that
// take their place go out; the clock ends holding the image.
TEST_F(WriteWorkerTest, WithdrawnBytesAreErasedAndSentAgain) {
    const std::vector<uint8_t> first = patternBytes(kStorageHeaderBytes + 3 * 4096, 31);
    writeFileBytes(startDir.file("dat/tmp.bin"), first);
    const DeviceJob job = downloadJob();
    Operation op(events);
    std::thread worker = start(job, &op.cancellation, &op.handOver);
    ASSERT_TRUE(waitUntil([] { return zentroSimCount(ZENTRO_COUNT_ERASE) == 1; }));
    op.handOver.publish(3 * 4096);
    ASSERT_TRUE(waitUntil([] { return zentroSimCount(ZENTRO_COUNT_PROGRAM) == 3; }));
    // The first song keeps 4096 + 2000 bytes; another song's follow them.
    const uint32_t kept = 4096 + 2000;
    std::vector<uint8_t> image(first.begin(), first.begin() + kStorageHeaderBytes + kept);
    const std::vector<uint8_t> next = patternBytes(5000, 32);
    image.insert(image.end(), next.begin(), next.end());
    op.handOver.retract(kept, [&] { writeFileBytes(startDir.file("dat/tmp.bin"), image); });
    op.handOver.publish(kept + 5000);
    op.handOver.finish(ImageHandOver::End::Image);
    worker.join();

    EXPECT_EQ(events.ends(), described(DownloadDone{}));
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_ERASE), 2u);
    EXPECT_TRUE(flashBytes(0x4000, static_cast<uint32_t>(image.size())) == image) << "the clock differs from the image";
    const auto log = programs();
    // After the three blocks: the tail of the block at 0x6120 that shares
    // sector 0x7000, then the data again from 0x7120.
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[3].address, 0x7000u);
    EXPECT_EQ(log[3].count, 0x120u);
    EXPECT_EQ(log[4].address, 0x7120u);
}

// The write waits on the hand-over, not on a timer: the cancellation's wake-up
// ends it at once although the conversion never finishes.
TEST_F(WriteWorkerTest, CancelWakesAWriteWaitingForTheConversion) {
    writeFileBytes(startDir.file("dat/tmp.bin"), patternBytes(kStorageHeaderBytes, 23));
    const DeviceJob job = downloadJob();
    Operation op(events);
    std::thread worker = start(job, &op.cancellation, &op.handOver);
    ASSERT_TRUE(waitUntil([] { return zentroSimCount(ZENTRO_COUNT_ERASE) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // well into its wait
    op.cancellation.cancel();
    const bool ended = events.waitFor<JobStopped>(std::chrono::milliseconds(200));
    if (!ended) op.handOver.finish(ImageHandOver::End::NoImage);  // release it, so the test ends
    worker.join();
    EXPECT_TRUE(ended) << "the cancelled write went on waiting";
    EXPECT_EQ(events.ends(), described(JobStopped{StoppedWorker::Write, true}));
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROGRAM), 0u);
}

// A block that fails while songs still convert: the write ends on its own and
// cancels the operation, so the conversion stops instead of working for nothing.
TEST_F(WriteWorkerTest, FailedBlockCancelsTheConversionStillRunning) {
    writeFileBytes(startDir.file("dat/tmp.bin"), patternBytes(kStorageHeaderBytes + 2 * 4096, 24));
    ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_AT, 2, 0), 0);
    const DeviceJob job = downloadJob();
    Operation op(events);
    std::thread worker = start(job, &op.cancellation, &op.handOver);
    op.handOver.publish(2 * 4096);
    worker.join();  // the conversion never finishes: the worker must not wait for it
    const auto failed = described(WriteFailed{WriteFailure::Program, 0});
    EXPECT_EQ(events.ends(), failed);
    EXPECT_TRUE(op.cancellation.cancelled());
    EXPECT_EQ(op.endsAtCancel, failed) << "the failure is posted before the cancellation";
    EXPECT_EQ(zentroSimCount(ZENTRO_COUNT_PROGRAM), 2u);
}

// Seeded random faults: whatever fails, the worker ends with exactly one end
// event, and the same seed gives the same run.
TEST_F(WriteWorkerTest, RandomFaultsAlwaysEndAndRepeat) {
    writeFileBytes(startDir.file("dat/tmp.bin"), patternBytes(12 * 4096, 14));
    std::vector<std::string> firstRun;
    int failures = 0;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        for (int repeat = 0; repeat < 2; ++repeat) {
            closeDevice(lib, handle);
            ASSERT_EQ(zentroSimReset(), 0);
            handle = openWithAgent();
            ASSERT_EQ(zentroSimSetSeed(seed), 0);
            ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_PROGRAM_FAIL, ZENTRO_TRIGGER_RANDOM, 40, 0), 0);
            ASSERT_EQ(zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_RANDOM, 5, 0), 0);
            events.clear();
            DeviceJob job = downloadJob();
            job.mode = WriteMode::FirmwareCode;
            std::thread worker = start(job, nullptr, nullptr);
            worker.join();
            const auto ends = events.ends();
            ASSERT_EQ(ends.size(), 1u) << "seed " << seed;
            const bool ok = ends == described(FirmwareStepDone{FirmwareStep::Written});
            EXPECT_TRUE(ok || ends == described(WriteFailed{WriteFailure::Connection, 0}) ||
                        ends == described(WriteFailed{WriteFailure::Program, 0}))
                << ends[0];
            if (repeat == 0) {
                firstRun = events.log();
                failures += ok ? 0 : 1;
            } else {
                EXPECT_EQ(events.log(), firstRun) << "seed " << seed;
            }
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, 12);
}

}  // namespace
}  // namespace velmo::test
