// The conversion job: working copies, the song loop, capacity, packaging, its
// end events and the image hand-over to the write. Exact byte layouts come from
// the stand-in library (each song's data is its padded PCM); the clock's MP3
// form is checked on the real library's output with independent decoders.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "audio_fixtures.h"
#include "bytes.h"
#include "cancellation.h"
#include "convert_job.h"
#include "convert_support.h"
#include "fake_library.h"
#include "full_disk.h"
#include "loudness.h"
#include "loudness_peer.h"
#include "mp3_frame_walk.h"
#include "song_reader.h"
#include "storage_layout.h"
#include "tempdir.h"
#include "work_context.h"

namespace velmo {
namespace {

namespace fs = std::filesystem;
using test::describe;
using test::described;
using test::EventRecorder;
using test::FakeLibrary;
using test::kFake;
using test::pcmBytes;
using test::readFileBytes;
using test::TempDir;
using test::writeFileBytes;

// One job's world: a start folder with the songs' sources in src/, the
// operation's list, its cancellation, the recorder standing in for the
// receiver of the events and, for a streamed job, a write worker standing in
// on the hand-over. As the operation does, the job is given a copy of the
// list, and the list takes what the job's end event says it did to each song.
class Job {
  public:
    Job() : songs(kMaxSongs) {
        ctx.startDir = dir.path();
        fs::create_directories(dir.file("src"));
        std::fill(songs.begin(), songs.end(), Song{});
        cancellation.setWakeUp([this] { handOver.wake(); });
    }

    // Adds a song whose source is src/<name> with `bytes`; workPath ./dat/<name>.
    Song& add(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t limit = 1000000) {
        Song& s = songs[count++];
        const std::string src = dir.file("src/" + name);
        writeFileBytes(src, bytes);
        std::snprintf(s.sourcePath, sizeof s.sourcePath, "%s", src.c_str());
        std::snprintf(s.workPath, sizeof s.workPath, "./dat/%s", name.c_str());
        s.copyPending = 1;
        s.cutLimit = limit;
        s.sizeEstimate = limit;
        s.dataOffset = 0xDEAD;
        s.dataSize = 0xBEEF;
        return s;
    }
    Song& addWav(const std::string& name, uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples,
                 uint32_t limit = 1000000) {
        Song& s = add(name, {}, limit);
        test::writeWav(dir.file("src/" + name), rate, channels, samples);
        return s;
    }

    // Runs the job on its own thread, as the operation does, and joins it.
    void run(uint16_t quality, const std::string& library = {}) {
        ConvertJob job;
        job.totalEstimate = 123456;
        job.quality = quality;
        job.songs.assign(songs.begin(), songs.begin() + count);
        job.events = &recorder;
        job.workers = workers;
        job.handOver = streamed ? &handOver : nullptr;
        job.evenVolume = evenVolume;
        std::thread writer;
        if (streamed) {
            // The write: follows every publication until the conversion
            // finishes, taking the published bytes as a clock would (going
            // back where they are retracted), then notes what the receiver
            // had been told by then.
            writer = std::thread([this] {
                const std::atomic<bool> never{false};
                ImageHandOver::State seen;
                do {
                    seen = handOver.waitFor(static_cast<uint32_t>(written.size()) + 1, never);
                    if (seen.rewindTo != ImageHandOver::kNoRewind) ++rewinds;
                    if (seen.rewindTo < written.size()) written.resize(seen.rewindTo);
                    const auto want = static_cast<uint32_t>(seen.ready);
                    if (want > written.size())
                        handOver.readPublished(want, [&] {
                            const std::vector<uint8_t> bytes = image();
                            written.insert(written.end(), bytes.begin() + kStorageHeaderBytes + written.size(),
                                           bytes.begin() + kStorageHeaderBytes + want);
                        });
                    if (seen.ready != 0 && (published.empty() || published.back() != seen.ready)) {
                        published.push_back(seen.ready);
                        if (onPublished) onPublished(seen.ready);
                    }
                } while (seen.end == ImageHandOver::End::Running);
                endsSeenByWriter = recorder.ends();
                endSeenByWriter = seen.end;
            });
        }
        std::thread t([&] { runConvertJob(job, ctx, cancellation.flag(), library); });
        t.join();
        if (writer.joinable()) writer.join();
        given = job.songs;
        const std::vector<Event> events = recorder.events();
        const std::vector<SongPlacement>* end = events.empty() ? nullptr : placementsOf(events.back());
        placements = end ? *end : std::vector<SongPlacement>{};
        for (size_t i = 0; i < placements.size() && i < songs.size(); ++i) applyPlacement(placements[i], songs[i]);
    }

    // What a conversion's end event says the job did to each song; null for
    // any other event.
    static const std::vector<SongPlacement>* placementsOf(const Event& end) {
        if (const auto* e = std::get_if<ConvertDone>(&end)) return &e->placements;
        if (const auto* e = std::get_if<ConvertFailed>(&end)) return &e->placements;
        if (const auto* e = std::get_if<ConvertAborted>(&end)) return &e->placements;
        if (const auto* e = std::get_if<JobStopped>(&end)) return &e->placements;
        return nullptr;
    }

    std::vector<uint8_t> image() const { return readFileBytes(dir.file("dat/tmp.bin")); }
    bool exists(const std::string& rel) const { return fs::exists(dir.file(rel)); }
    const Song& song(size_t i) const { return songs[i]; }

    // The end is exactly one event, which the write had before the hand-over
    // released it; no working file is left, and no image but a finished one.
    void expectEnd(const Event& end) {
        const bool done = std::holds_alternative<ConvertDone>(end);
        const std::vector<std::string> expected = described(end);
        EXPECT_EQ(recorder.ends(), expected);
        if (streamed) {
            EXPECT_EQ(endsSeenByWriter, expected) << "the end event is posted before the hand-over finishes";
            EXPECT_EQ(endSeenByWriter, done ? ImageHandOver::End::Image : ImageHandOver::End::NoImage);
            EXPECT_TRUE(recorder.progress<EncodeProgress>().empty()) << "the write shows a download's progress";
            if (done) {
                const auto& bytes = std::get<ConvertDone>(end).imageBytes;
                ASSERT_FALSE(published.empty());
                EXPECT_EQ(published.back() + kStorageHeaderBytes, bytes) << "every byte kept was published";
                const std::vector<uint8_t> made = image();
                EXPECT_TRUE(written.size() == bytes - kStorageHeaderBytes &&
                            std::equal(written.begin(), written.end(), made.begin() + kStorageHeaderBytes))
                    << "the write took exactly the image's data";
            }
        }
        EXPECT_FALSE(exists("dat/mp3.tmp"));
        EXPECT_FALSE(exists("dat/raw.tmp"));
        EXPECT_FALSE(exists("dat/raw2.tmp"));
        for (const auto& entry : fs::directory_iterator(dir.file("dat"))) {
            const std::string name = entry.path().filename().string();
            EXPECT_FALSE(name.rfind("raw-", 0) == 0 || name.rfind("mp3-", 0) == 0)
                << "a song's working file is left: " << name;
        }
        if (!done) {
            EXPECT_FALSE(exists("dat/tmp.bin")) << "no image that lies";
        }
    }

    TempDir dir;
    WorkContext ctx;
    std::vector<Song> songs;  // the list: after the run, as the end event left it
    uint16_t count = 0;
    std::vector<Song> given;                // the job's own songs, as they were once it ended
    std::vector<SongPlacement> placements;  // as the end event gave them
    unsigned workers = 1;
    bool evenVolume = false;
    // A Download's job (the default), or the conversion alone, which reports
    // its own progress.
    bool streamed = true;
    Cancellation cancellation;
    ImageHandOver handOver;
    EventRecorder recorder;
    std::function<void(uint32_t ready)> onPublished;  // the stand-in write, on each publication
    std::vector<uint32_t> published;
    std::vector<uint8_t> written;  // the data as the stand-in write took it
    int rewinds = 0;
    std::vector<std::string> endsSeenByWriter;
    ImageHandOver::End endSeenByWriter = ImageHandOver::End::Running;
};

// The end of a job that made its image: the songs that could not be
// converted (no write of theirs failed) and those that did not fit.
ConvertDone done(uint32_t imageBytes, std::vector<uint16_t> unconverted = {}, std::vector<uint16_t> didNotFit = {}) {
    ConvertDone d;
    d.imageBytes = imageBytes;
    d.unconvertedErrors.assign(unconverted.size(), 0);
    d.unconverted = std::move(unconverted);
    d.didNotFit = std::move(didNotFit);
    return d;
}

std::vector<int16_t> ramp(uint32_t n, int16_t start = 1) {
    std::vector<int16_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(start + static_cast<int16_t>(i % 3000));
    return v;
}

// The stand-in's output for a mono song: its samples padded to a 4-sample chunk.
std::vector<uint8_t> echoed(const std::vector<int16_t>& samples) {
    std::vector<int16_t> padded = samples;
    padded.resize((samples.size() + 3) / 4 * 4, 0);
    return pcmBytes(padded);
}

// Checks that the header describes exactly the data behind it, in list order.
void expectConsistentImage(const std::vector<uint8_t>& image, const Song* songs, size_t count) {
    ASSERT_GE(image.size(), kStorageHeaderBytes);
    StorageHeader h;
    ASSERT_TRUE(decodeStorageHeader(image.data(), image.size(), h));
    ASSERT_EQ(h.songCount, count);
    uint32_t offset = 0;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(+h.entries[i].dataOffset, offset) << "song " << i;
        EXPECT_EQ(+h.entries[i].dataOffset, +songs[i].dataOffset);
        EXPECT_EQ(+h.entries[i].dataSize, +songs[i].dataSize);
        offset += h.entries[i].dataSize;
    }
    EXPECT_EQ(image.size(), kStorageHeaderBytes + offset);
}

std::vector<uint8_t> songData(const std::vector<uint8_t>& image, const Song& s) {
    const auto from = image.begin() + kStorageHeaderBytes + s.dataOffset;
    return std::vector<uint8_t>(from, from + s.dataSize);
}

// The image of a job that ended with one: its end message announces every kept
// byte, and its header describes exactly the data behind it.
std::vector<uint8_t> finishedImage(Job& job) {
    uint32_t total = 0;
    for (int i = 0; i < job.count; ++i) total += job.songs[i].dataSize;
    job.expectEnd(done(8480 + total));
    const auto image = job.image();
    expectConsistentImage(image, job.songs.data(), job.count);
    return image;
}

TEST(ConvertJob, ImageOfThreeSongs100000And0And50000) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    fake.setup(4, 0, 0, 0, 0);
    Job job;
    const auto a = ramp(50000), c = ramp(25000, 7);
    job.addWav("a.wav", 44100, 1, a);
    job.add("b.mp3", {});  // a 0-byte MP3: nothing to encode
    job.addWav("c.wav", 22050, 1, c);
    job.run(4, kFake);

    const auto image = job.image();
    job.expectEnd(done(8480 + 150000, {1}));
    ASSERT_EQ(image.size(), 8480u + 150000u);
    const struct { uint32_t offset, size; } expected[3] = {{0, 100000}, {100000, 0}, {100000, 50000}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(+job.songs[i].dataOffset, expected[i].offset) << i;
        EXPECT_EQ(+job.songs[i].dataSize, expected[i].size) << i;
        EXPECT_EQ(+job.songs[i].copyPending, 0) << i;
    }
    expectConsistentImage(image, job.songs.data(), 3);
    EXPECT_EQ(songData(image, job.songs[0]), echoed(a));
    EXPECT_EQ(songData(image, job.songs[2]), echoed(c));
    EXPECT_EQ(readBe32(image.data() + 2), 150000u) << "the songs' real data, not the job's estimate of 123456";
    EXPECT_EQ(readBe16(image.data() + 12), 4u);
    EXPECT_EQ(readFileBytes(job.dir.file("dat/a.wav")), readFileBytes(job.dir.file("src/a.wav"))) << "working copy";
}

// The job changes none of the songs it is given: what it did to each one comes
// back in its end event, whichever way it ended, and for an image that was made
// it is exactly what the image's header says and where each song's data lies.
TEST(ConvertJob, ItsEndEventSaysWhatItDidToEachSong) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    const SongPlacement none{};
    const auto placed = [](uint32_t offset, uint32_t size) { return SongPlacement{true, true, offset, size}; };
    struct Row {
        const char* name;
        std::function<void(Job&)> arrange;
        std::function<bool(const Event&)> isEnd;
        std::vector<SongPlacement> expected;
    } rows[] = {
        {"the image is made",
         [](Job& j) {
             j.addWav("a.wav", 44100, 1, ramp(500));
             j.add("b.mp3", {});  // nothing to encode: placed with no data
             j.addWav("c.wav", 44100, 1, ramp(100));
         },
         [](const Event& e) { return std::holds_alternative<ConvertDone>(e); },
         {placed(0, 1000), placed(1000, 0), placed(1000, 200)}},
        {"stopped once the first song is placed",
         [](Job& j) {
             j.addWav("a.wav", 44100, 1, ramp(100));
             j.addWav("b.wav", 44100, 1, ramp(40000));
             j.addWav("c.wav", 44100, 1, ramp(100));
             j.onPublished = [&j](uint32_t) { j.cancellation.cancel(); };
         },
         [](const Event& e) { return std::holds_alternative<JobStopped>(e); },
         {placed(0, 200), none, none}},
        {"a working copy cannot be made",
         [](Job& j) {
             j.addWav("a.wav", 44100, 1, ramp(100));
             j.addWav("b.wav", 44100, 1, ramp(100));
             j.addWav("c.wav", 44100, 1, ramp(100));
             fs::remove(j.dir.file("src/b.wav"));
         },
         [](const Event& e) { return std::holds_alternative<ConvertAborted>(e); },
         {placed(0, 200), none, none}},
        {"no song could be converted",
         [](Job& j) {
             j.add("a.mp3", {});
             j.add("b.mp3", {});
         },
         [](const Event& e) { return std::holds_alternative<ConvertFailed>(e); },
         {placed(0, 0), placed(0, 0)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake.setup(4, 0, 0, 0, 0);
        fake.slow(1000);  // a song of 40000 samples is not done before the stop lands
        Job job;
        row.arrange(job);
        const std::vector<Song> before(job.songs.begin(), job.songs.begin() + job.count);
        job.run(4, kFake);

        const std::vector<Event> events = job.recorder.events();
        ASSERT_FALSE(events.empty());
        EXPECT_TRUE(row.isEnd(events.back())) << describe(events.back());
        ASSERT_EQ(before.size(), job.given.size());
        for (size_t i = 0; i < before.size(); ++i) {
            std::vector<uint8_t> was(kSongRecordBytes), is(kSongRecordBytes);
            encodeSongRecord(before[i], was.data());
            encodeSongRecord(job.given[i], is.data());
            EXPECT_EQ(was, is) << "song " << i << " was changed by the job";
        }
        ASSERT_EQ(row.expected.size(), job.placements.size());
        for (size_t i = 0; i < row.expected.size(); ++i) {
            const SongPlacement& p = job.placements[i];
            const SongPlacement& e = row.expected[i];
            EXPECT_EQ(std::make_tuple(e.copyMade, e.placed, e.dataOffset, e.dataSize),
                      std::make_tuple(p.copyMade, p.placed, p.dataOffset, p.dataSize))
                << "song " << i;
            // A working copy said to be made is there, with the source's bytes.
            if (p.copyMade) {
                EXPECT_EQ(readFileBytes(job.dir.file(std::string(job.songs[i].workPath).substr(2))),
                          readFileBytes(job.songs[i].sourcePath))
                    << "song " << i;
            }
        }
        if (!std::holds_alternative<ConvertDone>(events.back())) continue;
        const std::vector<uint8_t> image = job.image();
        StorageHeader h;
        ASSERT_TRUE(decodeStorageHeader(image.data(), image.size(), h));
        ASSERT_EQ(job.placements.size(), h.songCount);
        for (size_t i = 0; i < job.placements.size(); ++i) {
            EXPECT_EQ(+h.entries[i].dataOffset, job.placements[i].dataOffset) << "song " << i;
            EXPECT_EQ(+h.entries[i].dataSize, job.placements[i].dataSize) << "song " << i;
        }
        EXPECT_EQ(songData(image, job.songs[0]), echoed(ramp(500)));
        EXPECT_EQ(songData(image, job.songs[2]), echoed(ramp(100)));
    }
}

// A song that fails part-way or is dropped for space has appended data to the
// MP3 working file; it must be cut back out so the songs after it line up.
TEST(ConvertJob, FailedAndDroppedSongsKeepNothing) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    struct Row {
        const char* name;
        uint32_t storageKB;
        uint32_t failAtCall;  // stand-in encode call that fails (0 never)
        std::vector<uint32_t> samples;
        std::vector<uint32_t> sizes;        // dataSize expected per song
        std::vector<uint16_t> unconverted;  // songs passed over for space are not among them
        std::vector<uint16_t> didNotFit;    // every other song of size 0
    } rows[] = {
        // 2048 KiB; the second song's 3rd chunk fails after two chunks were appended.
        {"encode error mid-song", 2048, 100 / 4 + 3, {100, 40, 12}, {200, 0, 24}, {1}, {}},
        // 25 KiB: a data-area capacity of 736 bytes.
        {"exactly at capacity is kept", 25, 0, {368}, {736}, {}, {}},
        {"one chunk past capacity is dropped", 25, 0, {372}, {0}, {}, {0}},
        {"first dropped, second fits at offset 0", 25, 0, {400, 8}, {0, 16}, {}, {0}},
        {"capacity reached by the second song", 25, 0, {360, 8}, {720, 16}, {}, {}},
        {"second passes capacity by 8 bytes", 25, 0, {360, 12}, {720, 0}, {}, {1}},
        {"the songs after a full data area did not fit", 25, 0, {368, 8, 4}, {736, 0, 0}, {}, {1, 2}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake.setup(4, 0, row.failAtCall, 0, 0);
        Job job;
        job.ctx.storageKB = row.storageKB;
        std::vector<std::vector<int16_t>> pcm;
        for (size_t i = 0; i < row.samples.size(); ++i) {
            pcm.push_back(ramp(row.samples[i], static_cast<int16_t>(100 * (i + 1))));
            job.addWav("s" + std::to_string(i) + ".wav", 44100, 1, pcm.back());
        }
        job.run(4, kFake);
        uint32_t total = 0;
        for (uint32_t s : row.sizes) total += s;
        if (total == 0) {
            job.expectEnd(ConvertFailed{});
            continue;
        }
        job.expectEnd(done(8480 + total, row.unconverted, row.didNotFit));
        const auto image = job.image();
        expectConsistentImage(image, job.songs.data(), row.samples.size());
        for (size_t i = 0; i < row.sizes.size(); ++i) {
            EXPECT_EQ(+job.songs[i].dataSize, row.sizes[i]) << i;
            if (row.sizes[i]) {
                EXPECT_EQ(songData(image, job.songs[i]), echoed(pcm[i])) << i;
            }
        }
    }
}

// An operation cancelled before its conversion began (a write that failed at
// once): nothing is copied or encoded, an earlier image does not survive.
TEST(ConvertJob, CancelledBeforeTheStartConvertsNothing) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    fake.setup(4);
    Job job;
    Song& s = job.addWav("a.wav", 44100, 1, ramp(100));
    fs::create_directories(job.dir.file("dat"));
    writeFileBytes(job.dir.file("dat/tmp.bin"), std::vector<uint8_t>(9000, 1));  // an earlier image
    job.cancellation.cancel();
    job.run(4, kFake);
    job.expectEnd(JobStopped{StoppedWorker::Conversion});
    EXPECT_EQ(+s.copyPending, 1) << "the working copy was not made";
    EXPECT_FALSE(job.exists("dat/a.wav")) << "no partial working copy is left";
    EXPECT_EQ(+s.dataSize, 0xBEEFu) << "a song not reached keeps its fields";
    EXPECT_EQ(fake.encodeCalls(), 0u);
}

// A copy that cannot be made names the file that failed and why; the old
// message about a path too long stays for a path that is.
TEST(ConvertJob, FailedCopyNamesTheFileAndAborts) {
    struct Row {
        const char* name;
        std::function<void(Job&, Song&)> breakIt;
        std::function<std::string(Job&, const Song&)> message;
    } rows[] = {
        {"missing source", [](Job& j, Song&) { fs::remove(j.dir.file("src/b.wav")); },
         [](Job&, const Song& s) { return "Cannot read " + std::string(s.sourcePath) + ": " + std::strerror(ENOENT); }},
        {"source is a folder",
         [](Job& j, Song&) {
             fs::remove(j.dir.file("src/b.wav"));
             fs::create_directories(j.dir.file("src/b.wav"));
         },
         [](Job&, const Song& s) { return "Cannot read " + std::string(s.sourcePath) + ": not a regular file"; }},
        {"working copy cannot be created",
         [](Job&, Song& s) { std::snprintf(s.workPath, sizeof s.workPath, "./dat/no/such/folder/b.wav"); },
         [](Job& j, const Song&) {
             return "Cannot write " + j.dir.file("dat/no/such/folder/b.wav") + ": " + std::strerror(ENOENT);
         }},
        {"path too long",
         [](Job& j, Song& s) {
             const std::string name = j.dir.file("src/" + std::string(300, 'n') + ".wav");
             std::snprintf(s.sourcePath, sizeof s.sourcePath, "%s", name.c_str());
         },
         [](Job&, const Song& s) { return "Path name of '" + std::string(s.sourcePath) + "' is too long !"; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakeLibrary fake;
        fake.setup(4);
        Job job;
        Song& a = job.addWav("a.wav", 44100, 1, ramp(10));
        Song& b = job.addWav("b.wav", 44100, 1, ramp(10));
        Song& c = job.addWav("c.wav", 44100, 1, ramp(10));
        row.breakIt(job, b);
        job.run(4, kFake);
        job.expectEnd(ConvertAborted{row.message(job, b)});
        EXPECT_EQ(+a.copyPending, 0);
        EXPECT_EQ(+b.copyPending, 1);
        EXPECT_EQ(+c.copyPending, 1);
        // Songs before it are converted (their copies come with their
        // conversions); none past it is placed, and no image is left.
        EXPECT_FALSE(job.exists("dat/tmp.bin"));
    }
}

TEST(ConvertJob, AllCopiesMadeAlreadyMeansNoCopying) {
    FakeLibrary fake;
    fake.setup(4, 0, 0, 0, 0);
    Job job;
    Song& s = job.addWav("a.wav", 44100, 1, ramp(8));
    fs::create_directories(job.dir.file("dat"));
    test::writeWav(job.dir.file("dat/a.wav"), 44100, 1, ramp(4, 50));  // the working copy differs
    fs::remove(job.dir.file("src/a.wav"));                             // and the source is gone
    s.copyPending = 0;
    job.run(4, kFake);
    job.expectEnd(done(8480 + 8));
    EXPECT_EQ(songData(job.image(), s), echoed(ramp(4, 50))) << "the working copy is what is converted";
}

// Broken songs among good ones: each keeps nothing, the job still ends with an
// image that describes exactly its data; a list of broken songs only fails.
TEST(ConvertJob, BadSongsKeepNothingAndNeverHang) {
    FakeLibrary fake;
    fake.setup(4, 0, 0, 0, 0);
    for (bool withGoodSong : {true, false}) {
        SCOPED_TRACE(withGoodSong ? "with a good song" : "bad songs only");
        Job job;
        job.add("empty.mp3", {});
        job.add("noise.mp3", std::vector<uint8_t>(5000, 0x00));
        job.add("text.wav", std::vector<uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'});
        job.add("song.ogg", std::vector<uint8_t>(100, 1));
        Song& gone = job.add("gone.wav", {});
        gone.copyPending = 0;  // its working copy was never made and the source is gone
        fs::remove(job.dir.file("src/gone.wav"));
        if (withGoodSong) job.addWav("good.wav", 44100, 1, ramp(20));
        writeFileBytes(job.dir.file("dat/mp3.tmp"), std::vector<uint8_t>(333, 9));  // left by a crash
        job.run(4, kFake);
        if (!withGoodSong) {
            job.expectEnd(ConvertFailed{});
            continue;
        }
        job.expectEnd(done(8480 + 40, {0, 1, 2, 3, 4}));
        const auto image = job.image();
        expectConsistentImage(image, job.songs.data(), job.count);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(+job.songs[i].dataSize, 0u) << i;
            EXPECT_EQ(+job.songs[i].dataOffset, 0u) << i;
        }
        EXPECT_EQ(songData(image, job.songs[5]), echoed(ramp(20)));
    }
}

TEST(ConvertJob, NeverDescribesMoreThan32Songs) {
    FakeLibrary fake;
    fake.setup(4, 0, 0, 0, 0);
    Job job;
    for (int i = 0; i < 33; ++i) job.addWav("s" + std::to_string(i) + ".wav", 44100, 1, ramp(4));
    job.run(4, kFake);
    job.expectEnd(done(8480 + 32 * 8));
    expectConsistentImage(job.image(), job.songs.data(), 32);
    EXPECT_EQ(+job.songs[32].copyPending, 1);
    EXPECT_EQ(+job.songs[32].dataSize, 0xBEEFu);
    EXPECT_EQ(fake.encodeCalls(), 32u);
}

// The real encoder, end to end: each song in the image is mono CBR at quality
// x 8 kbit/s and the table's rate, as long as its source within a frame and the
// flush, as an independent decoder reads it.
TEST(ConvertJob, RealSongsDecodeIndependently) {
    const bool haveFfprobe = test::haveTool("ffprobe"), haveMpg123 = test::haveTool("mpg123"),
               haveLame = test::haveTool("lame");
    if (!haveFfprobe && !haveMpg123) GTEST_SKIP() << "neither ffprobe nor mpg123 is installed: no independent decoder";
    struct Source {
        const char* name;
        uint32_t rate;
        uint16_t channels;
        double seconds;
    } sources[] = {{"stereo44.wav", 44100, 2, 1.0}, {"mono22.wav", 22050, 1, 0.7}, {"stereo48.mp3", 48000, 2, 0.9}};
    struct Quality {
        uint16_t code;
        uint32_t rate44, rateOther;  // output rate for a 44100 Hz source and for any other
    } qualities[] = {{4, 44100, 44100}, {2, 22050, 22050}, {8, 0, 44100}};
    for (const auto& q : qualities) {
        SCOPED_TRACE("quality " + std::to_string(q.code));
        Job job;
        job.streamed = false;  // the conversion alone: it shows its own progress
        for (const auto& s : sources) {
            const auto samples = test::tone(s.rate, static_cast<uint32_t>(s.rate * s.seconds), 330.0, s.channels);
            if (std::string(s.name).find(".mp3") != std::string::npos) {
                if (!haveLame) continue;
                const std::string wav = job.dir.file("tmp-src.wav");
                test::writeWav(wav, s.rate, s.channels, samples);
                Song& r = job.add(s.name, {});
                test::runCommand("lame --quiet -b 128 '" + wav + "' '" + job.dir.file(std::string("src/") + s.name) +
                                 "'");
                (void)r;
            } else {
                job.addWav(s.name, s.rate, s.channels, samples);
            }
        }
        job.run(q.code);
        const auto image = finishedImage(job);
        for (int i = 0; i < job.count; ++i) {
            const auto& src = sources[i];
            SCOPED_TRACE(src.name);
            const Song& song = job.songs[i];
            ASSERT_GT(+song.dataSize, 0u);
            const std::string out = job.dir.file("song" + std::to_string(i) + ".mp3");
            writeFileBytes(out, songData(image, song));
            const auto frames = test::walkMp3Frames(songData(image, song));
            ASSERT_FALSE(frames.empty());
            const uint32_t outRate = src.rate == 44100 ? q.rate44 : q.rateOther;
            const double frameSeconds = static_cast<double>(test::samplesPerFrame(frames[0])) / frames[0].sampleRate;
            if (haveFfprobe) {
                const auto p = test::ffprobe(out);
                ASSERT_TRUE(p.ok);
                EXPECT_EQ(p.codec, "mp3");
                EXPECT_EQ(p.channels, 1);
                EXPECT_EQ(p.bitRate, q.code * 8000u);
                if (outRate) {
                    EXPECT_EQ(p.sampleRate, outRate);
                }
            }
            if (haveMpg123) {
                // An MP3 source decodes to all its frames, its own encoder's
                // delay and padding included: that is the length to keep.
                double sourceSeconds = src.seconds;
                if (std::string(src.name).find(".mp3") != std::string::npos) {
                    const auto srcFrames =
                        test::walkMp3Frames(readFileBytes(job.dir.file(std::string("src/") + src.name)));
                    ASSERT_FALSE(srcFrames.empty());
                    sourceSeconds =
                        static_cast<double>(srcFrames.size() * test::samplesPerFrame(srcFrames[0])) / src.rate;
                }
                const long n = test::mpg123Samples(out, job.dir.path());
                const double seconds = static_cast<double>(n) / frames[0].sampleRate;
                // The source, plus the encoder's start delay and the padding
                // of the last chunk and the flush: at most three frames.
                EXPECT_GE(seconds, src.seconds - frameSeconds);
                EXPECT_LE(seconds, sourceSeconds + 3 * frameSeconds);
            }
        }
        const auto progress = job.recorder.progress<EncodeProgress>();
        ASSERT_FALSE(progress.empty());
        for (int p : progress) ASSERT_TRUE(p >= 1 && p <= 100);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        EXPECT_EQ(progress.back(), 100);
    }
}

// A song decoded into memory while it encodes gives the very bytes that
// decoding it whole into a PCM file first gives, for every reader and format,
// at every quality, and cut short too; one that does not decode is refused
// both ways.
TEST(ConvertJob, ThroughMemoryAsThroughAFile) {
    const char* files[] = {"l3_44100_cbr128_stereo.mp3", "l3_22050_vbr_xing.mp3",    "l3_8000_cbr16_mono.mp3",
                           "l2_44100_cbr128_stereo.mp3", "wav_pcm16_stereo.wav",     "wav_pcm16_mono.wav",
                           "wav_pcm24_mono.wav",         "flac24_96000_stereo.flac", "opus_48000_stereo.opus",
                           "aac_22050_stereo.m4a",       "wma_22050_stereo.wma",     "broken_truncated.m4a"};
    TempDir dir;
    WorkContext ctx;
    ctx.startDir = dir.path();
    const std::atomic<bool> never{false};
    Encoder memory, file;
    for (const char* name : files) {
        for (const uint16_t quality : {kQualityBest, kQualityGood, kQualityNormal}) {
            for (const uint32_t cutAt : {0u, 3000u}) {
                SCOPED_TRACE(std::string(name) + " quality " + std::to_string(quality) + " cut " +
                             std::to_string(cutAt));
                Song song;
                std::snprintf(song.workPath, sizeof song.workPath, "%s", test::dataFile(name).c_str());
                song.cutFlag = cutAt != 0;
                song.cutLimit = cutAt;
                const SongConversionResult r = convertSong(song, quality, ctx, memory, dir.file("memory.mp3"), never);
                const uint32_t rate = convertSongToPcm(test::dataFile(name), dir.file("raw.tmp"));
                // A file that does not decode is refused either way.
                ASSERT_EQ(r.result, rate != 0 ? SongConversion::Converted : SongConversion::Unconvertible);
                if (rate == 0) continue;
                ASSERT_EQ(file.prepare(rate, quality * 8u, outputSampleRate(rate, quality)), kPrepareOk);
                uint32_t written = 0;
                fs::remove(dir.file("file.mp3"));
                ASSERT_EQ(file.encode(nullptr, song.cutFlag, song.cutLimit, dir.file("raw.tmp"), dir.file("file.mp3"),
                                      written),
                          kEncodeOk);
                EXPECT_EQ(r.bytes, written);
                EXPECT_TRUE(readFileBytes(dir.file("memory.mp3")) == readFileBytes(dir.file("file.mp3")));
            }
        }
    }
}

// Every format through the whole job with the real encoder: each song becomes
// mono constant-bit-rate MP3 as long as its source (within 0.1 s), in which
// every channel's tone is heard; a stereo WAV's right channel is not lost.
TEST(ConvertJob, EveryFormatBecomesMonoMp3OfItsLength) {
    if (!test::haveTool("mpg123")) GTEST_SKIP() << "mpg123 is not installed: no independent decoder";
    struct Source {
        const char* file;
        std::vector<double> tones;
    };
    const std::vector<double> twoTones = {440, 660};
    const Source sources[] = {
        {"wav_pcm16_stereo.wav", twoTones},  // the 16-bit reader's mix
        {"wav_junk_first.wav", twoTones},
        {"wav_odd_chunk.wav", twoTones},
        {"flac16_96000_stereo.flac", twoTones},
        {"flac24_96000_stereo.flac", twoTones},
        {"vorbis_22050_stereo.ogg", twoTones},
        {"opus_48000_stereo.opus", twoTones},
        {"aac_22050_stereo.m4a", twoTones},
        {"alac_22050_stereo.m4a", twoTones},
        {"aiff_22050_stereo.aiff", twoTones},
        {"wma_22050_stereo.wma", twoTones},
        {"wav_pcm8_mono.wav", {440}},
        {"wav_pcm24_mono.wav", {440}},
        {"wav_pcm32_mono.wav", {440}},
        {"wav_float32_mono.wav", {440}},
        {"wav_extensible16_stereo.wav", twoTones},
        {"wav_pcm16_6ch.wav", {300, 400, 500, 600, 700, 800}},
    };
    const auto durations = test::fixtureDurations();
    Job job;
    for (const Source& s : sources) job.add(s.file, readFileBytes(test::dataFile(s.file)));
    job.run(4);
    const auto image = finishedImage(job);
    for (int i = 0; i < job.count; ++i) {
        const Source& src = sources[i];
        SCOPED_TRACE(src.file);
        const Song& song = job.songs[i];
        ASSERT_GT(+song.dataSize, 0u);
        const auto frames = test::walkMp3Frames(songData(image, song));
        ASSERT_FALSE(frames.empty());
        for (const auto& f : frames) {
            ASSERT_EQ(3, f.channelMode) << "mono";
            ASSERT_EQ(32u, f.bitrateKbps) << "constant bit rate at quality 4";
        }
        const std::string out = job.dir.file("song" + std::to_string(i) + ".mp3");
        writeFileBytes(out, songData(image, song));
        const std::string raw = job.dir.file("song" + std::to_string(i) + ".raw");
        test::runCommand("mpg123 -q -m -s '" + out + "' > '" + raw + "' 2>/dev/null");
        const auto samples = test::le16Samples(readFileBytes(raw));
        const uint32_t rate = frames[0].sampleRate;
        EXPECT_NEAR(durations.at(src.file), static_cast<double>(samples.size()) / rate, 0.1);
        const double unrelated = test::tonePower(samples, rate, 1234.0);
        for (double hz : src.tones) {
            const double p = test::tonePower(samples, rate, hz);
            EXPECT_GT(p, 1e5) << hz << " Hz";
            EXPECT_GT(p, 100 * unrelated) << hz << " Hz";
        }
    }
}

// Even volume, sample by sample through the stand-in encoder (which echoes
// its PCM): each song gets one gain, by its loudness or, where that would
// take its peak past the ceiling, by its peak; digital silence stays as it
// is; and with the option off every song is echoed as it was decoded.
// A disk that fills while a song's working file is written: the song is
// named with that cause, and the songs around it are kept; when no song could
// be written, the failure itself says the disk is full. /dev/full stands in
// for the full disk (every write to it fails with ENOSPC).
TEST(ConvertJob, AFullDiskIsNamedAsTheCause) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    fake.setup(4, 0, 0, 0, 0);
    struct Row {
        const char* name;
        std::vector<size_t> fullAt;  // songs whose even-volume PCM goes to the full disk
        Event end;
    } rows[] = {
        {"one song's PCM", {1}, Event{}},
        {"every song's PCM", {0, 1, 2}, Event{ConvertFailed{ENOSPC}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Job job;
        job.evenVolume = true;
        std::vector<std::vector<int16_t>> pcm;
        for (int i = 0; i < 3; ++i) {
            pcm.push_back(ramp(44100, static_cast<int16_t>(100 * (i + 1))));
            job.addWav("s" + std::to_string(i) + ".wav", 44100, 1, pcm.back());
        }
        fs::create_directories(job.dir.file("dat"));
        for (size_t i : row.fullAt) {
            const std::string why = test::plantFullDisk(job.ctx.path(songPcmWorkFile(i)));
            if (!why.empty()) GTEST_SKIP() << "cannot make a full-disk node here: " << why;
        }
        job.run(4, kFake);
        if (std::holds_alternative<ConvertFailed>(row.end)) {
            job.expectEnd(row.end);
            continue;
        }
        const auto ends = job.recorder.all<ConvertDone>();
        ASSERT_EQ(1u, ends.size());
        EXPECT_EQ(std::vector<uint16_t>{1}, ends[0].unconverted);
        EXPECT_EQ(std::vector<int>{ENOSPC}, ends[0].unconvertedErrors);
        EXPECT_TRUE(ends[0].didNotFit.empty());
        EXPECT_EQ(0u, +job.songs[1].dataSize);
        EXPECT_GT(+job.songs[0].dataSize, 0u);
        EXPECT_GT(+job.songs[2].dataSize, 0u);
        expectConsistentImage(job.image(), job.songs.data(), 3);
    }
}

TEST(ConvertJob, EvenVolumeGivesEachSongOneGain) {
    FakeLibrary fake;
    ASSERT_TRUE(fake.ok());
    fake.setup(4, 0, 0, 0, 0);
    const uint32_t rate = 48000;
    const auto sine = [rate](double amplitude, double hz, double seconds) {
        std::vector<int16_t> v(static_cast<size_t>(rate * seconds));
        for (size_t i = 0; i < v.size(); ++i)
            v[i] =
                static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate)));
        return v;
    };
    // A 997 Hz sine reads 3.01 LU below its peak: here -23.8 LUFS, 7.8 dB to go.
    const std::vector<int16_t> byLoudness = sine(3000, 997, 3.0);
    const double loudnessGain = std::pow(10.0, (-16.0 - (20 * std::log10(3000.0 / 32768) - 3.01)) / 20);
    // A tone 40 dB down with one click: the click's peak allows less than its loudness asks.
    std::vector<int16_t> byPeak = sine(330, 440, 3.0);
    byPeak[rate] = 20000;
    const double peakGain = std::pow(10.0, kEvenVolumePcmCeilingDbfs / 20) / (20000.0 / 32768);
    const std::vector<int16_t> silence(rate * 2, 0);

    for (const bool even : {true, false}) {
        SCOPED_TRACE(even ? "even" : "as-is");
        Job job;
        job.evenVolume = even;
        job.addWav("loudness.wav", rate, 1, byLoudness);
        job.addWav("peak.wav", rate, 1, byPeak);
        job.addWav("silence.wav", rate, 1, silence);
        job.run(4, kFake);
        const auto image = finishedImage(job);
        if (!even) {
            EXPECT_EQ(songData(image, job.songs[0]), echoed(byLoudness));
            EXPECT_EQ(songData(image, job.songs[1]), echoed(byPeak));
            EXPECT_EQ(songData(image, job.songs[2]), echoed(silence));
            continue;
        }
        EXPECT_EQ(songData(image, job.songs[2]), echoed(silence));
        const struct {
            const std::vector<int16_t>& in;
            double gain, tolerance;  // the loudness is measured to about 0.05 LU
        } cases[] = {{byLoudness, loudnessGain, 0.006}, {byPeak, peakGain, 1e-12}};
        for (size_t k = 0; k < 2; ++k) {
            SCOPED_TRACE(k == 0 ? "by its loudness" : "by its peak");
            const std::vector<int16_t> out = test::le16Samples(songData(image, job.songs[k]));
            const std::vector<int16_t>& in = cases[k].in;
            ASSERT_GE(out.size(), in.size());
            // Each sample, rounded, allows the gains of an interval; one gain
            // for the whole song (no compression, no limiting) means that
            // they all meet.
            double low = 0, high = 1e9;
            for (size_t i = 0; i < in.size(); ++i) {
                if (in[i] == 0) {
                    ASSERT_EQ(0, out[i]);
                    continue;
                }
                const double a = (out[i] - 0.5) / in[i], b = (out[i] + 0.5) / in[i];
                low = std::max(low, std::min(a, b));
                high = std::min(high, std::max(a, b));
            }
            ASSERT_LE(low, high * (1 + 1e-12)) << "one gain for every sample";
            EXPECT_NEAR(cases[k].gain, (low + high) / 2, cases[k].gain * cases[k].tolerance + (high - low) / 2);
        }
    }
}

// Even volume with the real encoder, judged by another program: songs made
// at -30, -23 and -8 LUFS (mono WAV, stereo FLAC, stereo MP3) come out within
// 1 LU of -16 LUFS, a quiet song with loud clicks gets what its peak allows,
// no decoded song peaks above -1 dBFS, digital silence stays silent, and the
// songs' sizes are those of the conversion without it.
TEST(ConvertJob, EvenVolumeBringsSongsToTheTargetAsAnotherProgramMeasuresIt) {
    if (!test::haveTool("sox") || !test::haveTool("ffmpeg"))
        GTEST_SKIP() << "sox and ffmpeg make and measure the songs";
    struct Source {
        const char* name;
        const char* make;  // the sox command that makes it, with OUT for the file
        double lufs;       // as made; NAN: not measured
    } sources[] = {
        {"quiet.wav", "sox -q -n -r 44100 -b 16 -c 1 OUT synth 6 sine 440 gain -26.3", -30},
        {"middle.flac", "sox -q -n -r 48000 -b 16 -c 2 OUT synth 6 sine 330 sine 550 gain -22.3", -23},
        {"loud.mp3",
         "sox -q -n -r 44100 -b 16 -c 2 -t wav - synth 6 sine 220 gain -6.6 | ffmpeg -v error -i - -b:a 160k OUT", -8},
        {"clicks.wav", nullptr, NAN},
        {"silence.wav", nullptr, NAN},
    };
    test::TempDir made;
    // A tone 45 dB down with a loud click twice a second.
    std::vector<int16_t> clicks(44100 * 6);
    for (size_t i = 0; i < clicks.size(); ++i)
        clicks[i] = static_cast<int16_t>(180 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 44100) +
                                         (i % 22050 < 88 ? (i % 44 < 22 ? 24000 : -24000) : 0));
    test::writeWav(made.file("clicks.wav"), 44100, 1, clicks);
    test::writeWav(made.file("silence.wav"), 44100, 1, std::vector<int16_t>(44100 * 3, 0));
    for (const Source& s : sources) {
        if (s.make == nullptr) continue;
        std::string cmd = s.make;
        cmd.replace(cmd.find("OUT"), 3, "'" + made.file(s.name) + "'");
        ASSERT_EQ(0, std::system(cmd.c_str())) << cmd;
        if (std::isnan(s.lufs)) continue;
        const test::PeerLoudness source = test::peerLoudness(made.file(s.name));
        ASSERT_TRUE(source.ok) << s.name;
        ASSERT_NEAR(s.lufs, source.lufs, 0.5) << s.name << " is made at its loudness";
    }
    const double clicksPeak = test::peerLoudness(made.file("clicks.wav")).peakDbfs;
    ASSERT_GT(clicksPeak, -6.0) << "the clicks are loud";

    for (const uint16_t quality : {kQualityBest, kQualityGood, kQualityNormal}) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        std::vector<uint32_t> sizes[2];
        std::vector<uint8_t> silenceAsIs;
        for (const bool even : {false, true}) {
            Job job;
            job.evenVolume = even;
            for (const Source& s : sources) job.add(s.name, readFileBytes(made.file(s.name)));
            job.run(quality);
            const auto image = finishedImage(job);
            for (int i = 0; i < job.count; ++i) sizes[even].push_back(job.songs[i].dataSize);
            if (!even) {
                silenceAsIs = songData(image, job.songs[job.count - 1]);
                continue;
            }
            for (int i = 0; i < job.count; ++i) {
                const Source& s = sources[i];
                SCOPED_TRACE(s.name);
                const std::string out = job.dir.file(std::string("out-") + s.name + ".mp3");
                writeFileBytes(out, songData(image, job.songs[i]));
                const test::PeerLoudness peer = test::peerLoudness(out);
                ASSERT_TRUE(peer.ok);
                if (std::string(s.name) == "silence.wav") {
                    EXPECT_TRUE(std::isinf(peer.peakDbfs)) << "digital silence stays silent: " << peer.peakDbfs;
                    EXPECT_TRUE(songData(image, job.songs[i]) == silenceAsIs) << "and is left as it is";
                    continue;
                }
                EXPECT_LE(peer.peakDbfs, kEvenVolumePeakDbfs);
                if (std::isnan(s.lufs)) {
                    // Its peak, brought to the ceiling, stops it well short of the target.
                    EXPECT_LT(peer.lufs, -20.0);
                    EXPECT_NEAR(kEvenVolumePcmCeilingDbfs, peer.peakDbfs, 1.0);
                } else {
                    EXPECT_NEAR(kEvenVolumeTargetLufs, peer.lufs, 1.0);
                }
            }
        }
        EXPECT_EQ(sizes[0], sizes[1]) << "the bit rate is constant: the same bytes either way";
    }
}

// A cut song ends at its limit plus at most one chunk's output and the flush.
TEST(ConvertJob, CutAt100000Bytes) {
    Job job;
    const uint32_t rate = 44100;
    Song& s = job.addWav("long.wav", rate, 1, test::tone(rate, rate * 14, 500.0), 100000);
    s.cutFlag = 1;
    Song& after = job.addWav("short.wav", rate, 1, test::tone(rate, rate / 2));
    job.run(8);
    const auto image = job.image();
    job.expectEnd(done(8480 + s.dataSize + after.dataSize));
    expectConsistentImage(image, job.songs.data(), 2);
    const auto frames = test::walkMp3Frames(songData(image, s));
    ASSERT_FALSE(frames.empty());
    EXPECT_GE(+s.dataSize, 100000u);
    // 64 kbit/s: a frame is at most 209 bytes; a chunk gives at most a frame
    // or two and the flush a few more.
    EXPECT_LE(+s.dataSize, 100000u + 8 * 209u);
    EXPECT_LT(+s.dataSize, 14u * 8000u) << "the song was really cut";
    EXPECT_EQ(+after.dataOffset, s.dataSize);
}

// The same list converted by one worker and by four: every rule that depends
// on the songs before (offsets, the capacity, the song passed over) is applied
// in list order, so the images are the same byte for byte.
TEST(ConvertJob, OneAndFourWorkersMakeTheSameImage) {
    struct Made {
        std::vector<uint8_t> image;
        std::vector<std::pair<uint32_t, uint32_t>> entries;  // offset, size
        std::vector<uint16_t> unconverted;
        std::vector<uint16_t> didNotFit;
    };
    const uint32_t rate = 44100;
    auto convert = [&](unsigned workers) {
        Job job;
        job.workers = workers;
        // 64 KiB: a data area of 40672 bytes; at Best a second is 8000 bytes.
        job.ctx.storageKB = 64;
        job.add("walk.mp3",
                readFileBytes(std::string(VELMO_TEST_DATA) + "/l3_44100_cbr128_stereo.mp3"));  // about 16000 bytes
        job.addWav("tone.wav", rate, 2, test::tone(rate, rate / 2, 330.0, 2));                 // about 4000
        Song& cut = job.addWav("cut.wav", rate, 1, test::tone(rate, rate * 6, 500.0), 8000);
        cut.cutFlag = 1;  // about 8000 of its 48000
        Song& gone = job.add("victim.mp3", {});
        gone.copyPending = 0;  // neither the working copy nor the source is there
        fs::remove(job.dir.file("src/victim.mp3"));
        job.addWav("big.wav", rate, 1, test::tone(rate, rate * 2, 600.0));    // about 16000: passes the capacity
        job.addWav("small.wav", rate, 1, test::tone(rate, rate / 4, 700.0));  // about 2000: still fits
        job.addWav("late.wav", rate, 1, test::tone(rate, rate * 3, 800.0));   // passes it too
        job.run(8);
        Made m;
        m.image = job.image();
        uint32_t total = 0;
        for (int i = 0; i < job.count; ++i) {
            // The record is packed: its numbers are read by value.
            const uint32_t offset = job.songs[i].dataOffset, size = job.songs[i].dataSize;
            m.entries.emplace_back(offset, size);
            total += size;
        }
        const auto ends = job.recorder.all<ConvertDone>();
        EXPECT_EQ(ends.size(), 1u);
        if (!ends.empty()) {
            m.unconverted = ends[0].unconverted;
            m.didNotFit = ends[0].didNotFit;
        }
        job.expectEnd(done(8480 + total, m.unconverted, m.didNotFit));
        expectConsistentImage(m.image, job.songs.data(), job.count);
        return m;
    };
    const Made one = convert(1);
    // The list really holds each case.
    ASSERT_EQ(7u, one.entries.size());
    EXPECT_GT(one.entries[0].second, 10000u);
    EXPECT_GT(one.entries[1].second, 0u);
    EXPECT_GE(one.entries[2].second, 8000u);
    EXPECT_LT(one.entries[2].second, 20000u) << "the song was cut";
    EXPECT_EQ(0u, one.entries[3].second) << "the missing song keeps an empty entry";
    EXPECT_EQ(0u, one.entries[4].second) << "the song past the capacity is passed over";
    EXPECT_GT(one.entries[5].second, 0u) << "a later song that fits is kept";
    EXPECT_EQ(0u, one.entries[6].second);
    EXPECT_EQ(std::vector<uint16_t>{3}, one.unconverted) << "only the missing song could not be converted";
    EXPECT_EQ((std::vector<uint16_t>{4, 6}), one.didNotFit) << "every song passed over for space is named";
    for (unsigned workers : {4u, 2u, 4u}) {
        SCOPED_TRACE(workers);
        const Made many = convert(workers);
        EXPECT_EQ(one.entries, many.entries);
        EXPECT_EQ(one.unconverted, many.unconverted);
        EXPECT_EQ(one.didNotFit, many.didNotFit);
        EXPECT_TRUE(one.image == many.image) << "the images differ";
    }
}

// A Download's head song goes to the write while it encodes. One that then
// fails has its bytes withdrawn: the write goes back over them, takes the next
// song's in their place and ends holding exactly the image, which is the one
// the conversion alone makes.
TEST(ConvertJob, AHeadSongThatFailsLateIsWithdrawnFromTheWrite) {
    struct Made {
        std::vector<uint8_t> image;
        std::vector<uint16_t> unconverted;
        int rewinds = 0;
        size_t publications = 0;
    };
    auto convert = [](bool streamed) {
        FakeLibrary fake;
        if (!fake.ok()) {
            ADD_FAILURE() << "the stand-in encoder did not load";
            return Made{};
        }
        // 1152-sample chunks, 5 ms each; the second song fails at its 20th.
        fake.setup(1152, 0, 2 + 20);
        fake.slow(5000);
        Job job;
        job.streamed = streamed;
        job.addWav("a.wav", 44100, 1, ramp(1152 * 2));
        job.addWav("b.wav", 44100, 1, ramp(1152 * 40, 7));
        job.addWav("c.wav", 44100, 1, ramp(1152 * 2, 11));
        job.run(8, kFake);
        Made m;
        m.image = job.image();
        const auto ends = job.recorder.all<ConvertDone>();
        if (!ends.empty()) m.unconverted = ends[0].unconverted;
        job.expectEnd(done(static_cast<uint32_t>(m.image.size()), m.unconverted));
        EXPECT_EQ(0u, job.songs[1].dataSize);
        m.rewinds = job.rewinds;
        m.publications = job.published.size();
        return m;
    };
    const Made alone = convert(false);
    const Made download = convert(true);
    EXPECT_EQ(std::vector<uint16_t>{1}, download.unconverted);
    EXPECT_GE(download.rewinds, 1) << "the failed song's bytes were withdrawn";
    EXPECT_GT(download.publications, 3u) << "the songs went out while they encoded";
    EXPECT_TRUE(alone.image == download.image) << "the images differ";
}

// A cancellation ends every worker within a chunk, whoever asks for it: the
// user while songs are being encoded, or the write failing as soon as the
// first song reached it. The job ends stopped, soon, with no song's working
// file left and no later song placed.
TEST(ConvertJob, CancellationEndsEveryWorkerAtOnce) {
    using Clock = std::chrono::steady_clock;
    const uint32_t rate = 44100;
    for (const bool byTheWrite : {false, true}) {
        SCOPED_TRACE(byTheWrite ? "the write failed" : "the user stopped");
        Job job;
        job.workers = 3;
        // A short first song, so that it is placed while the long ones convert.
        job.addWav("s0.wav", rate, 1, test::tone(rate, rate));
        for (int i = 1; i < 6; ++i) job.addWav("s" + std::to_string(i) + ".wav", rate, 1, test::tone(rate, rate * 20));
        std::atomic<Clock::rep> cancelledAt{0};
        const auto cancel = [&] {
            cancelledAt = Clock::now().time_since_epoch().count();
            job.cancellation.cancel();
        };
        std::thread stopper;
        if (byTheWrite) {
            job.onPublished = [&](uint32_t) { cancel(); };
        } else {
            stopper = std::thread([&] {
                // Once a long song's PCM is being encoded, every worker is busy.
                const auto end = Clock::now() + std::chrono::seconds(30);
                while (!job.exists("dat/mp3-1.tmp") && Clock::now() < end)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                cancel();
            });
        }
        job.run(8);
        const auto ended = Clock::now();
        if (stopper.joinable()) stopper.join();
        ASSERT_NE(cancelledAt.load(), 0) << "the cancellation came";
        const auto latency = ended - Clock::time_point(Clock::duration(cancelledAt.load()));
        EXPECT_LT(latency, std::chrono::seconds(2)) << "the songs under way went on converting";
        job.expectEnd(JobStopped{StoppedWorker::Conversion});
        for (const auto& entry : fs::directory_iterator(job.dir.file("dat"))) {
            const std::string name = entry.path().filename().string();
            // The cache keeps the converted bytes of a song that was finished
            // before the stop: they are whole, and the next Download takes them.
            if (name == "cache") continue;
            EXPECT_TRUE(name.size() > 4 && name.substr(name.size() - 4) == ".wav") << name << " is left";
        }
        for (int i = 1; i < job.count; ++i) {
            EXPECT_EQ(+job.song(i).dataSize, 0xBEEFu) << i;
        }
    }
}

// With even volume a song converts in two passes, its decoding into its PCM
// file and its encoding from there: a stop in either ends the job at once,
// and neither file stays.
TEST(ConvertJob, EvenVolumeStopsInEitherPass) {
    if (!test::haveTool("lame")) GTEST_SKIP() << "lame makes the long MP3 (slow to decode, so the stop lands there)";
    using Clock = std::chrono::steady_clock;
    test::TempDir made;
    const std::string wav = made.file("long.wav"), mp3 = made.file("long.mp3");
    test::writeWav(wav, 44100, 2, test::tone(44100, 44100 * 90, 330.0, 2));
    ASSERT_EQ(0, std::system(("lame --quiet -b 128 '" + wav + "' '" + mp3 + "'").c_str()));
    for (const char* pass : {"dat/raw-1.tmp", "dat/mp3-1.tmp"}) {
        SCOPED_TRACE(pass);
        Job job;
        job.workers = 2;
        job.evenVolume = true;
        job.addWav("s0.wav", 44100, 1, test::tone(44100, 44100));
        for (int i = 1; i < 4; ++i) job.add("s" + std::to_string(i) + ".mp3", readFileBytes(mp3));
        std::atomic<Clock::rep> cancelledAt{0};
        std::thread stopper([&] {
            const auto end = Clock::now() + std::chrono::seconds(60);
            while (!job.exists(pass) && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            cancelledAt = Clock::now().time_since_epoch().count();
            job.cancellation.cancel();
        });
        job.run(8);
        const auto ended = Clock::now();
        stopper.join();
        EXPECT_LT(ended - Clock::time_point(Clock::duration(cancelledAt.load())), std::chrono::seconds(2));
        job.expectEnd(JobStopped{StoppedWorker::Conversion});
    }
}

// An encoder library that does not load is told once, however many songs
// needed it, without the job waiting for anyone; with nothing converted the
// job then fails.
TEST(ConvertJob, EncoderThatDoesNotLoadIsToldOnce) {
    Job job;
    for (int i = 0; i < 3; ++i) job.addWav("s" + std::to_string(i) + ".wav", 44100, 1, ramp(100));
    job.run(4, job.dir.file("no-such-liblame_enc.so"));
    const auto notices = job.recorder.all<ConvertNotice>();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].text.rfind("The encoder library liblame_enc.so could not be loaded: ", 0), 0u)
        << notices[0].text;
    EXPECT_NE(notices[0].text.find("no-such-liblame_enc.so"), std::string::npos) << "the loader names the file";
    EXPECT_EQ(job.recorder.ends(), described(notices[0], ConvertFailed{}));
}

}  // namespace
}  // namespace velmo
