// What the progress says beside its bar: the song at work and its place
// among the songs while a Download converts and writes, the bytes a Download
// by the record has written, and the time left, estimated from given times.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "operations/song_progress.h"
#include "presenter.h"
#include "song_fixtures.h"
#include "storage_layout.h"
#include "time_left.h"

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

constexpr const char* kConverting = "Progress: converting music data...";
constexpr const char* kDownloading = "Progress: downloading music data...";

}  // namespace

TEST(TimeLeftTest, EstimatesFromTheRateSoFarOnceItCan) {
    struct Row {
        const char* name;
        double start, now;
        uint64_t done, total;
        std::optional<int> left;
    } rows[] = {
        {"half done in 4 s", 10.0, 14.0, 50, 100, 4},
        {"a quarter in 3 s", 0.0, 3.0, 1024, 4096, 9},
        {"to the nearest second, up", 0.0, 2.0, 3, 10, 5},        // 4.67 s
        {"to the nearest second, down", 0.0, 2.0, 5, 16, 4},      // 4.4 s
        {"never none while work is left", 0.0, 2.0, 99, 100, 1},  // 0.02 s
        {"the first second says nothing", 0.0, 0.9, 50, 100, std::nullopt},
        {"nor the first few percent", 0.0, 5.0, 2, 100, std::nullopt},
        {"three percent is enough", 0.0, 3.0, 3, 100, 97},
        {"nothing done", 0.0, 5.0, 0, 100, std::nullopt},
        {"all done", 0.0, 5.0, 100, 100, std::nullopt},
        {"no total", 0.0, 5.0, 10, 0, std::nullopt},
        {"more than a day is no estimate", 0.0, 3600.0, 3, 100, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TimeLeft t;
        EXPECT_EQ(std::nullopt, t.at(row.now, row.done, row.total)) << "not started";
        t.restart(row.start);
        EXPECT_EQ(row.left, t.at(row.now, row.done, row.total));
    }
    // A restart measures the next stage from its own start.
    TimeLeft t;
    t.restart(0.0);
    t.restart(100.0);
    EXPECT_EQ(std::nullopt, t.at(100.5, 50, 100));
    EXPECT_EQ(2, t.at(102.0, 50, 100));
}

TEST(ProgressTextTest, WordsTheDetail) {
    struct Row {
        ProgressDetail detail;
        const char* song;
        const char* beside;
    } rows[] = {
        {{"Walk", 3, 12, 0, 0, std::nullopt}, "Walk (3 of 12)", ""},
        {{"", 3, 12, 0, 0, std::nullopt}, "3 of 12", ""},
        {{"Walk", 0, 0, 0, 0, std::nullopt}, "", ""},
        {{"Walk", 1, 2, 0, 0, 12}, "Walk (1 of 2)", "0:12 left"},
        {{"", 0, 0, 0, 0, 3725}, "", "1:02:05 left"},
        {{"Tone", 4, 4, 217088, 3040870, std::nullopt}, "Tone (4 of 4)", "wrote 212 KiB of 2.9 MiB"},
        {{"Tone", 4, 4, 217088, 3040870, 75}, "Tone (4 of 4)", "wrote 212 KiB of 2.9 MiB, 1:15 left"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.song);
        EXPECT_EQ(row.song, present::progressSongText(row.detail));
        EXPECT_EQ(row.beside, present::progressBarText(row.detail));
    }
}

// The detail as the operation shows it, from given events at given times:
// the song begun last while converting, with the time left from the songs'
// estimates placed; then the song whose bytes the write sends (a block that
// ends in a song is that song's; the header's blocks change nothing) and the
// time left from the bytes sent.
TEST(SongProgressTest, FollowsTheEventsAtGivenTimes) {
    RecorderView view;
    std::vector<Song> songs(3);
    const char* names[] = {"./dat/A.wav", "./dat/B.mp3", "./dat/C.wav"};
    for (size_t i = 0; i < songs.size(); ++i) {
        std::strcpy(songs[i].workPath, names[i]);
        songs[i].sizeEstimate = 1000;
    }
    double now = 100.0;
    SongProgress progress(view, songs, [&now] { return now; });
    const auto last = [&] { return view.details.back().detail; };

    progress.started(SongStarted{0, 1, 3});
    EXPECT_EQ("A.wav", last().song);
    EXPECT_EQ(1, last().index);
    progress.started(SongStarted{2, 3, 3});
    progress.started(SongStarted{1, 2, 3});  // posted late by its worker
    EXPECT_EQ("C.wav", last().song);
    EXPECT_EQ(3, last().index);
    EXPECT_EQ(3, last().count);

    now = 102.0;
    EXPECT_EQ(33, progress.placed(SongPlaced{0, 0, 900}));
    EXPECT_EQ(4, last().secondsLeft) << "a third of the estimates in 2 s";
    EXPECT_EQ("C.wav", last().song);
    now = 103.0;
    EXPECT_EQ(66, progress.placed(SongPlaced{1, 900, 1100}));

    // The write begins: its stage starts its own clock.
    const size_t before = view.details.size();
    WriteProgress w{10};
    w.imageEnd = kStorageHeaderBytes + 100;
    w.bytesDone = 100;
    w.bytesTotal = 3000;
    progress.written(w);
    ASSERT_GT(view.details.size(), before);
    EXPECT_EQ("A.wav", last().song);
    EXPECT_EQ(1, last().index);
    EXPECT_EQ(std::nullopt, last().secondsLeft);
    EXPECT_EQ(0u, last().bytesTotal);
    now = 105.0;
    w.imageEnd = kStorageHeaderBytes + 2100;  // past the songs placed: the head song, C
    w.bytesDone = 1000;
    progress.written(w);
    EXPECT_EQ("C.wav", last().song);
    EXPECT_EQ(3, last().index);
    EXPECT_EQ(4, last().secondsLeft) << "a third of the bytes in 2 s";
    w.imageEnd = kStorageHeaderBytes;        // the header, written last
    progress.started(SongStarted{2, 3, 3});  // the conversion no longer speaks
    progress.written(w);
    EXPECT_EQ("C.wav", last().song);

    // Written by the record: the bytes beside the bar, of the image's size.
    w.byRecord = true;
    w.imageBytes = 12000;
    w.imageEnd = kStorageHeaderBytes + 950;
    progress.written(w);
    EXPECT_EQ("B.mp3", last().song);
    EXPECT_EQ(1000u, last().bytesDone);
    EXPECT_EQ(12000u, last().bytesTotal);
}

class ProgressTest : public CoreTest {
  public:
    std::vector<std::string> tones(const std::vector<std::string>& names) {
        fs::create_directories(dir.file("music"));
        std::vector<std::string> paths;
        for (const std::string& name : names) {
            paths.push_back(dir.file("music") + "/" + name + ".wav");
            writeToneWav(paths.back(), 3);
        }
        return paths;
    }

    Outcome download() {
        view.details.clear();
        view.answer(*core, core->download());
        EXPECT_TRUE(pumpToEnd());
        return core->lastOutcome();
    }

    std::vector<ProgressDetail> shownUnder(const char* caption) const {
        std::vector<ProgressDetail> out;
        for (const auto& d : view.details)
            if (d.caption == caption) out.push_back(d.detail);
        return out;
    }
};

// A Download of three songs names each one with "n of 3" as the write
// reaches it, in list order, and the songs it converts with the number
// begun so far; adding a fourth, the Download by the record converts all
// four and names the one it writes, with the bytes written growing to what
// the end reports.
TEST_F(ProgressTest, ADownloadNamesEachSongWithItsPlaceAndTheBytesWritten) {
    startCore();
    const std::vector<std::string> songs = tones({"Alpha", "Bravo", "Charlie", "Delta"});
    core->addSongs({songs[0], songs[1], songs[2]});
    core->overrideVerifyAfterDownload(true);
    const Outcome first = download();
    ASSERT_EQ(OutcomeKind::Finished, first.kind) << reasonOf(first);

    const std::vector<ProgressDetail> converting = shownUnder(kConverting);
    ASSERT_FALSE(converting.empty()) << "the conversion names its first song before the write begins";
    for (const ProgressDetail& d : converting) {
        EXPECT_EQ(3, d.count);
        EXPECT_GE(d.index, 1);
        EXPECT_LE(d.index, 3);
        EXPECT_TRUE(d.song == "Alpha.wav" || d.song == "Bravo.wav" || d.song == "Charlie.wav") << d.song;
    }

    std::vector<std::string> written;
    for (const ProgressDetail& d : shownUnder(kDownloading)) {
        EXPECT_EQ(3, d.count);
        EXPECT_EQ(0u, d.bytesTotal) << "a whole write tells no bytes beside its bar";
        if (!d.song.empty() && (written.empty() || written.back() != d.song)) {
            written.push_back(d.song);
            EXPECT_EQ(static_cast<int>(written.size()), d.index) << d.song;
        }
    }
    EXPECT_EQ((std::vector<std::string>{"Alpha.wav", "Bravo.wav", "Charlie.wav"}), written);

    core->addSongs({songs[3]});
    const Outcome next = download();
    ASSERT_EQ(OutcomeKind::Finished, next.kind) << reasonOf(next);
    ASSERT_LT(next.bytesWritten, next.imageBytes) << "written by the record";

    // The whole image is made before a write by the record: every song is
    // begun under the conversion's caption, the n-th begun as "n of 4".
    std::set<int> begun;
    std::set<std::string> named;
    for (const ProgressDetail& d : shownUnder(kConverting)) {
        EXPECT_EQ(4, d.count);
        begun.insert(d.index);
        named.insert(d.song);
    }
    EXPECT_EQ((std::set<int>{1, 2, 3, 4}), begun);
    EXPECT_EQ((std::set<std::string>{"Alpha.wav", "Bravo.wav", "Charlie.wav", "Delta.wav"}), named);

    const std::vector<ProgressDetail> writing = shownUnder(kDownloading);
    ASSERT_FALSE(writing.empty());
    uint64_t last = 0;
    for (const ProgressDetail& d : writing) {
        EXPECT_EQ(next.imageBytes, d.bytesTotal);
        EXPECT_GE(d.bytesDone, last) << "the bytes written only grow";
        last = d.bytesDone;
        // Only the appended song's sectors (and the header, written last) differ.
        EXPECT_EQ("Delta.wav", d.song);
        EXPECT_EQ(4, d.index);
        EXPECT_EQ(4, d.count);
    }
    EXPECT_EQ(next.bytesWritten, last);
}
