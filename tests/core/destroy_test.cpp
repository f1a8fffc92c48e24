// The core destroyed while an operation runs (the window goes away without a
// close): every worker is stopped and joined before anything it uses is gone,
// each posts its end, nothing is shown, and the files a stopped operation
// leaves are tidied as at the close. Run under AddressSanitizer and
// ThreadSanitizer, a worker that outlived its operation shows there.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "storage_layout.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

class DestroyTest : public CoreTest {
  public:
    // A list of long songs, so that a conversion, a write and a read last
    // long enough to be cut short.
    void addLongSongs(int count, int seconds) {
        fs::create_directories(dir.file("d"));
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            paths.push_back(dir.file("d") + "/Long" + std::to_string(i) + ".wav");
            writeToneWav(paths.back(), seconds);
        }
        core->addSongs(paths);
        ASSERT_EQ(count, core->songCount());
    }

    // A first, complete Download, for a Reload and a Verify to read back.
    void downloadOnce() {
        view.answer(*core, core->download());
        ASSERT_TRUE(pumpToEnd());
        ASSERT_EQ(OutcomeKind::Finished, core->lastOutcome().kind) << reasonOf(core->lastOutcome());
        view.messages.clear();
        delivered.clear();
    }

    // Delivers events until `when` holds, then destroys the core with the
    // operation under way. Returns the events its workers posted that were
    // not delivered: those of the destruction.
    std::vector<Event> destroyWhen(const std::function<bool()>& when) {
        EXPECT_TRUE(pumpUntil([&] { return when() || !core->operationRunning(); }));
        EXPECT_TRUE(core->operationRunning()) << "the operation ended before the core was destroyed";
        const size_t shownBefore = view.messages.size();
        const size_t endedBefore = view.outcomes.size();
        core.reset();
        EXPECT_EQ(shownBefore, view.messages.size()) << "the destruction shows nothing";
        EXPECT_EQ(endedBefore, view.outcomes.size());
        std::vector<Event> left;
        PostedEvent m{};
        while (target.take(m, std::chrono::milliseconds(0))) left.push_back(std::move(m.event));
        return left;
    }

    bool seen(const std::function<bool(const Event&)>& match) const {
        return std::any_of(delivered.begin(), delivered.end(), [&](const PostedEvent& m) { return match(m.event); });
    }

    static bool stopped(const std::vector<Event>& events, StoppedWorker worker) {
        return std::any_of(events.begin(), events.end(), [worker](const Event& e) {
            const auto* s = std::get_if<JobStopped>(&e);
            return s && s->worker == worker;
        });
    }

    static bool has(const std::vector<Event>& events, const std::function<bool(const Event&)>& match) {
        return std::any_of(events.begin(), events.end(), match);
    }

    bool clockHoldsNoSongs() {
        StorageHeader h;
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        return !decodeStorageHeader(bytes.data(), bytes.size(), h) || !hasStorageSignature(h);
    }

    // What a stopped Download leaves in dat/: no image, no song's working file.
    void expectDownloadTidied() {
        EXPECT_FALSE(fs::exists(start + "/dat/tmp.bin")) << "an image that did not reach the clock whole goes";
        for (const auto& entry : fs::directory_iterator(start + "/dat")) {
            const std::string name = entry.path().filename().string();
            EXPECT_FALSE(name.rfind("raw-", 0) == 0 || name.rfind("mp3-", 0) == 0) << name << " is left";
        }
    }
};

// The write has erased the clock and waits for the conversion's first song
// (the link is fast, the conversion is not): the destruction must wake it.
// More songs than workers: songs no worker has started yet are looked at
// again as each worker stops.
TEST_F(DestroyTest, DuringADownloadsConversion) {
    startCore();
    core->setConversionWorkers(2);
    core->setQuality(kQualityBest);
    addLongSongs(5, 20);
    view.answer(*core, core->download());
    const std::vector<Event> left = destroyWhen([] { return zentroSimCount(ZENTRO_COUNT_ERASE) >= 1; });
    EXPECT_FALSE(seen([](const Event& e) { return std::holds_alternative<ConvertDone>(e); }));
    EXPECT_TRUE(stopped(left, StoppedWorker::Conversion)) << "the conversion was cut short";
    EXPECT_TRUE(stopped(left, StoppedWorker::Write) ||
                has(left, [](const Event& e) { return std::holds_alternative<WriteAbandoned>(e); }))
        << "the write ended too";
    EXPECT_TRUE(clockHoldsNoSongs());
    expectDownloadTidied();
}

// Blocks go to the clock over a slow link when the core goes.
TEST_F(DestroyTest, DuringADownloadsWrite) {
    startCore();
    core->setConversionWorkers(2);
    core->setQuality(kQualityBest);
    addLongSongs(2, 30);
    ASSERT_EQ(0, zentroSimSetDelay(1));
    view.answer(*core, core->download());
    const std::vector<Event> left =
        destroyWhen([&] { return seen([](const Event& e) { return std::holds_alternative<WriteProgress>(e); }); });
    EXPECT_TRUE(has(left,
                    [](const Event& e) {
                        const auto* s = std::get_if<JobStopped>(&e);
                        return s && s->worker == StoppedWorker::Write && s->erased;
                    }))
        << "the write was cut short after the erase";
    EXPECT_FALSE(has(left, [](const Event& e) { return std::holds_alternative<DownloadDone>(e); }));
    EXPECT_TRUE(clockHoldsNoSongs()) << "the header, written last, was not";
    expectDownloadTidied();
}

TEST_F(DestroyTest, DuringAReload) {
    startCore();
    core->setQuality(kQualityBest);
    addLongSongs(1, 60);
    downloadOnce();
    ASSERT_EQ(0, zentroSimSetDelay(1));
    view.answer(*core, core->reload());  // the question is answered OK
    const std::vector<Event> left =
        destroyWhen([&] { return view.progressCaption == "Progress:Reloading music data..."; });
    EXPECT_TRUE(stopped(left, StoppedWorker::Read)) << "the read of the song data was cut short";
}

TEST_F(DestroyTest, DuringAVerify) {
    startCore();
    core->setQuality(kQualityBest);
    addLongSongs(1, 60);
    downloadOnce();
    ASSERT_EQ(0, zentroSimSetDelay(1));
    view.answer(*core, core->verify());
    const std::vector<Event> left =
        destroyWhen([&] { return seen([](const Event& e) { return std::holds_alternative<ReadProgress>(e); }); });
    EXPECT_TRUE(stopped(left, StoppedWorker::Read)) << "the read-back was cut short";
    EXPECT_FALSE(has(left, [](const Event& e) { return std::holds_alternative<VerifyDone>(e); }));
    EXPECT_TRUE(fs::exists(start + "/dat/tmp.bin")) << "the image of the last Download stays";
}

// The close ends a Download without delivering its workers' last events: the
// list it saves still keeps what the conversion did before the stop (the first
// song's working copy made and its place in the image), and only that.
TEST_F(DestroyTest, TheCloseKeepsWhatTheConversionDidBeforeTheStop) {
    startCore();
    core->setConversionWorkers(1);
    core->setQuality(kQualityBest);
    fs::create_directories(dir.file("d"));
    writeToneWav(dir.file("d") + "/Short.wav", 1);
    writeToneWav(dir.file("d") + "/LongA.wav", 40);
    writeToneWav(dir.file("d") + "/LongB.wav", 40);
    core->addSongs({dir.file("d") + "/Short.wav", dir.file("d") + "/LongA.wav", dir.file("d") + "/LongB.wav"});
    ASSERT_EQ(3, core->songCount());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(1, +core->song(i).copyPending) << i;
    view.answer(*core, core->download());
    // The short song takes at most three blocks: a fourth holds data of the
    // next one, published only once the short one was placed.
    ASSERT_TRUE(pumpUntil([] { return zentroSimCount(ZENTRO_COUNT_PROGRAM) >= 4; }));
    ASSERT_TRUE(core->operationRunning());
    core->close();
    EXPECT_FALSE(seen([](const Event& e) { return std::holds_alternative<ConvertDone>(e); }));

    SongTableHeader header;
    std::vector<Song> saved(kMaxSongs);
    ASSERT_EQ(0, loadSongTable(start, header, saved.data()));
    ASSERT_EQ(3, header.songCount);
    EXPECT_EQ(0, +saved[0].copyPending) << "its working copy was made";
    EXPECT_EQ(0u, saved[0].dataOffset);
    EXPECT_GT(saved[0].dataSize, 0u) << "its place in the image";
    EXPECT_EQ(1, +saved[2].copyPending) << "the conversion never reached it";
}
