// Songs already in the clock's form: which files are taken as they are (the
// encoder's own output, and MP3s from outside in the same form, with tags and
// an Info frame), which are encoded (another rate, stereo, CRC, VBR, one odd
// frame), that a copy plays to its end with the same samples, and that a
// cut song is cut as the encoder cuts it.
#include <gtest/gtest.h>
#include <mad.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "clock_form.h"
#include "convert_job.h"
#include "convert_support.h"
#include "encoder.h"
#include "mp3_frame_walk.h"
#include "songrecord.h"
#include "tempdir.h"
#include "work_context.h"

namespace velmo {
namespace {

using test::readFileBytes;
using test::TempDir;
using test::writeFileBytes;

std::string copyFixture(const std::string& name) { return std::string(VELMO_COPY_FIXTURES) + "/" + name; }

// Every frame libmad decodes, as 16-bit samples of the first channel.
std::vector<int16_t> madDecode(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> data(bytes);
    data.resize(bytes.size() + MAD_BUFFER_GUARD, 0);
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);
    mad_stream_buffer(&stream, data.data(), data.size());
    std::vector<int16_t> out;
    for (;;) {
        if (mad_frame_decode(&frame, &stream) != 0) {
            if (MAD_RECOVERABLE(stream.error)) continue;
            break;
        }
        mad_synth_frame(&synth, &frame);
        for (unsigned i = 0; i < synth.pcm.length; ++i) {
            mad_fixed_t s = synth.pcm.samples[0][i];
            if (s >= MAD_F_ONE) s = MAD_F_ONE - 1;
            if (s < -MAD_F_ONE) s = -MAD_F_ONE;
            out.push_back(static_cast<int16_t>(s >> (MAD_F_FRACBITS + 1 - 16)));
        }
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    return out;
}

// What one copy gives: its bytes, or nothing when it failed.
std::vector<uint8_t> copyOf(const std::string& path, uint16_t quality, uint8_t cutFlag = 0, uint32_t limit = 0) {
    TempDir dir;
    const ClockFormAudio audio = findClockFormAudio(path, quality);
    uint32_t written = 0;
    if (copyClockFormFrames(path, audio, quality, cutFlag, limit, dir.file("out.mp3"), written) != kCopyOk) return {};
    std::vector<uint8_t> out = readFileBytes(dir.file("out.mp3"));
    EXPECT_EQ(written, out.size());
    return out;
}

// Encodes `samples` at `rate` with our encoder library at `quality`.
std::vector<uint8_t> encode(const std::vector<int16_t>& samples, uint32_t rate, uint16_t quality, uint8_t cutFlag = 0,
                            uint32_t limit = 0) {
    TempDir dir;
    writeFileBytes(dir.file("raw.tmp"), test::pcmBytes(samples));
    Encoder enc;
    EXPECT_EQ(enc.prepare(rate, quality * 8u, outputSampleRate(rate, quality)), kPrepareOk);
    uint32_t written = 0;
    EXPECT_EQ(enc.encode(nullptr, cutFlag, limit, dir.file("raw.tmp"), dir.file("out.mp3"), written), kEncodeOk);
    return readFileBytes(dir.file("out.mp3"));
}

// A song with some life in it: a tone that rises, so no two frames are alike.
std::vector<int16_t> song(uint32_t rate, double seconds) {
    std::vector<int16_t> out(static_cast<size_t>(rate * seconds));
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        phase += 2 * M_PI * (300.0 + 400.0 * i / out.size()) / rate;
        out[i] = static_cast<int16_t>(8000 * std::sin(phase) + 2000 * std::sin(3.1 * phase));
    }
    return out;
}

constexpr uint16_t kQualities[] = {kQualityBest, kQualityGood, kQualityNormal};

TEST(ClockForm, TheEncodersOwnOutputIsInTheFormOfItsQualityOnly) {
    for (uint16_t q : kQualities) {
        for (uint32_t rate : {44100u, 48000u, 22050u}) {
            SCOPED_TRACE("q" + std::to_string(q) + " from " + std::to_string(rate));
            TempDir dir;
            const std::vector<uint8_t> mp3 = encode(song(rate, 1.0), rate, q);
            writeFileBytes(dir.file("s.mp3"), mp3);
            const ClockFormAudio audio = findClockFormAudio(dir.file("s.mp3"), q);
            ASSERT_TRUE(audio.inForm);
            EXPECT_EQ(0u, audio.begin);
            EXPECT_EQ(mp3.size(), audio.end);
            EXPECT_EQ(test::walkMp3Frames(mp3).size(), audio.frames);
            EXPECT_EQ(q, clockFormQuality(dir.file("s.mp3")));
            // Copied, it is the same bytes.
            EXPECT_EQ(mp3, copyOf(dir.file("s.mp3"), q));
            for (uint16_t other : kQualities) {
                if (other != q) {
                    EXPECT_FALSE(findClockFormAudio(dir.file("s.mp3"), other).inForm) << other;
                }
            }
        }
    }
}

TEST(ClockForm, AnOutsideFileInTheFormIsCopiedWithoutItsTagsAndInfoFrame) {
    const struct {
        const char* file;
        uint16_t quality;
    } rows[] = {{"best_form.mp3", kQualityBest}, {"good_form.mp3", kQualityGood}, {"normal_form.mp3", kQualityNormal}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const std::vector<uint8_t> original = readFileBytes(copyFixture(row.file));
        ASSERT_EQ(0, std::memcmp(original.data(), "ID3", 3)) << "the fixture has its ID3v2 tag";
        ASSERT_EQ(0, std::memcmp(original.data() + original.size() - 128, "TAG", 3)) << "and its ID3v1 tag";
        const std::vector<uint8_t> copy = copyOf(copyFixture(row.file), row.quality);
        ASSERT_FALSE(copy.empty());
        size_t trailing = 1;
        const auto frames = test::walkMp3Frames(copy, &trailing);
        EXPECT_EQ(0u, trailing) << "nothing but frames: the ID3v1 tag is left out";
        ASSERT_FALSE(frames.empty());
        for (const auto& f : frames) {
            ASSERT_EQ(row.quality * 8u, f.bitrateKbps);
            ASSERT_EQ(clockFormSampleRate(row.quality), f.sampleRate);
        }
        // The copy is the original's audio frames, byte for byte: what lies
        // between its ID3v2 tag (and the Info frame lame writes when a frame
        // has room for it) and its ID3v1 tag.
        size_t begin =
            10 + ((size_t{original[6]} << 21) | (size_t{original[7]} << 14) | (size_t{original[8]} << 7) | original[9]);
        const std::string first(original.begin() + static_cast<long>(begin),
                                original.begin() + static_cast<long>(begin) + frames[0].length);
        const bool info = first.find("Info") != std::string::npos;
        if (info) begin += test::walkMp3Frames({original.begin() + static_cast<long>(begin), original.end()})[0].length;
        EXPECT_EQ(row.quality == kQualityBest, info) << "lame writes an Info frame where one has room";
        EXPECT_TRUE(std::equal(copy.begin(), copy.end(), original.begin() + static_cast<long>(begin)));
        EXPECT_EQ(original.size() - 128, begin + copy.size());
        const std::string text(copy.begin(), copy.end());
        EXPECT_EQ(std::string::npos, text.find("Info"));
        EXPECT_EQ(std::string::npos, text.find("Outside Song"));
        // It plays to its end: libmad decodes every frame of it, and the
        // samples are the original's (libmad takes the original's Info frame
        // for a frame of silence, and may miss the frame right after a tag).
        const std::vector<int16_t> fromCopy = madDecode(copy);
        const std::vector<int16_t> fromOriginal = madDecode(original);
        const size_t perFrame = test::samplesPerFrame(frames[0]);
        EXPECT_EQ(frames.size() * perFrame, fromCopy.size());
        const size_t common = std::min(fromCopy.size(), fromOriginal.size());
        ASSERT_GT(common, 2 * perFrame);
        EXPECT_LE(std::max(fromCopy.size(), fromOriginal.size()) - common, perFrame);
        const long tail = static_cast<long>(common - 2 * perFrame);
        EXPECT_TRUE(std::equal(fromCopy.end() - tail, fromCopy.end(), fromOriginal.end() - tail));
        EXPECT_GE(fromCopy.size(), 3u * clockFormSampleRate(row.quality));
    }
}

// An APE tag (with its header) or a Lyrics3 tag after the frames, before
// or instead of the ID3v1 tag, is left out as well; a tag whose size
// passes the file's is no tag, and the song is encoded.
TEST(ClockForm, TagsAtTheEndAreLeftOut) {
    const std::vector<uint8_t> tagged = readFileBytes(copyFixture("best_form.mp3"));
    const std::vector<uint8_t> id3v1(tagged.end() - 128, tagged.end());
    const std::vector<uint8_t> audioOnly = copyOf(copyFixture("best_form.mp3"), kQualityBest);
    ASSERT_FALSE(audioOnly.empty());
    const std::vector<uint8_t> body(tagged.begin(), tagged.end() - 128);

    const auto apeTag = [](uint32_t claimed) {
        std::vector<uint8_t> item = {5, 0, 0, 0, 0, 0, 0, 0, 'T', 'i', 't', 'l', 'e', 0, 'H', 'e', 'l', 'l', 'o'};
        const auto part = [&](bool header) {
            std::vector<uint8_t> p = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0};
            const uint32_t size = claimed != 0 ? claimed : static_cast<uint32_t>(item.size() + 32);
            for (uint32_t v : {size, 1u, header ? 0xE0000000u : 0x80000000u, 0u, 0u})
                for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
            return p;
        };
        std::vector<uint8_t> tag = part(true);
        tag.insert(tag.end(), item.begin(), item.end());
        const std::vector<uint8_t> footer = part(false);
        tag.insert(tag.end(), footer.begin(), footer.end());
        return tag;
    };
    const std::string lyrics = "LYRICSBEGININD0000210";
    std::vector<uint8_t> lyrics3(lyrics.begin(), lyrics.end());
    const std::string size =
        std::string(6 - std::to_string(lyrics3.size()).size(), '0') + std::to_string(lyrics3.size());
    lyrics3.insert(lyrics3.end(), size.begin(), size.end());
    for (char c : std::string("LYRICS200")) lyrics3.push_back(static_cast<uint8_t>(c));

    const auto join = [](std::vector<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        bool inForm;
    } rows[] = {
        {"APE", join({body, apeTag(0)}), true},
        {"APE then ID3v1", join({body, apeTag(0), id3v1}), true},
        {"Lyrics3 then ID3v1", join({body, lyrics3, id3v1}), true},
        {"an APE tag claiming more than the file", join({body, apeTag(0x7FFFFFF0u)}), false},
        {"an ID3v2 tag claiming more than the file", join({{'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}, body}),
         false},
    };
    TempDir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        writeFileBytes(dir.file("t.mp3"), row.bytes);
        EXPECT_EQ(row.inForm, findClockFormAudio(dir.file("t.mp3"), kQualityBest).inForm);
        if (row.inForm) {
            EXPECT_EQ(audioOnly, copyOf(dir.file("t.mp3"), kQualityBest));
        }
    }
}

// Where audio frame `index` of a file in the form begins (after its ID3v2
// tag and its Info frame).
size_t audioFrameOffset(const std::vector<uint8_t>& bytes, size_t index) {
    const size_t begin =
        10 + ((size_t{bytes[6]} << 21) | (size_t{bytes[7]} << 14) | (size_t{bytes[8]} << 7) | bytes[9]);
    const std::vector<uint8_t> audio(bytes.begin() + static_cast<long>(begin), bytes.end());
    const auto frames = test::walkMp3Frames(audio);
    EXPECT_GT(frames.size(), index + 1);
    return frames.size() > index + 1 ? begin + frames[index + 1].offset : 0;  // frame 0 is the Info frame
}

std::vector<uint8_t> withFrameChanged(std::vector<uint8_t> bytes, size_t index,
                                      const std::function<void(uint8_t* header)>& change) {
    change(bytes.data() + audioFrameOffset(bytes, index));
    return bytes;
}

TEST(ClockForm, AnythingElseIsEncoded) {
    for (const char* file : {"other_rate.mp3", "stereo.mp3", "crc.mp3", "vbr.mp3"}) {
        SCOPED_TRACE(file);
        EXPECT_FALSE(findClockFormAudio(copyFixture(file), kQualityBest).inForm);
        EXPECT_EQ(0, clockFormQuality(copyFixture(file)));
    }
    // The right form at another quality.
    EXPECT_FALSE(findClockFormAudio(copyFixture("best_form.mp3"), kQualityGood).inForm);
    EXPECT_FALSE(findClockFormAudio(copyFixture("normal_form.mp3"), kQualityBest).inForm);

    // One odd frame in the middle of a file that is otherwise in the form.
    const std::vector<uint8_t> good = readFileBytes(copyFixture("best_form.mp3"));
    const struct {
        const char* what;
        std::function<void(uint8_t*)> change;
    } odd[] = {
        {"private bit", [](uint8_t* h) { h[2] |= 0x01; }},
        {"copyright bit", [](uint8_t* h) { h[3] |= 0x08; }},
        {"not original", [](uint8_t* h) { h[3] &= ~0x04; }},
        {"emphasis", [](uint8_t* h) { h[3] |= 0x01; }},
        {"mode extension", [](uint8_t* h) { h[3] |= 0x10; }},
        {"joint stereo", [](uint8_t* h) { h[3] = static_cast<uint8_t>((h[3] & 0x3F) | 0x40); }},
        {"CRC", [](uint8_t* h) { h[1] &= ~0x01; }},
        {"48 kHz", [](uint8_t* h) { h[2] = static_cast<uint8_t>((h[2] & 0xF3) | 0x04); }},
        {"another bit rate", [](uint8_t* h) { h[2] = static_cast<uint8_t>((h[2] & 0x0F) | 0x60); }},
        {"layer II", [](uint8_t* h) { h[1] = static_cast<uint8_t>((h[1] & 0xF9) | 0x04); }},
        {"no frame", [](uint8_t* h) { h[0] = 0x00; }},
    };
    TempDir dir;
    writeFileBytes(dir.file("good.mp3"), good);
    ASSERT_TRUE(findClockFormAudio(dir.file("good.mp3"), kQualityBest).inForm) << "unchanged, it is in the form";
    for (const auto& row : odd) {
        SCOPED_TRACE(row.what);
        writeFileBytes(dir.file("odd.mp3"), withFrameChanged(good, 40, row.change));
        EXPECT_FALSE(findClockFormAudio(dir.file("odd.mp3"), kQualityBest).inForm);
    }
    // A stray byte between two frames, and a last frame cut short.
    std::vector<uint8_t> stray = good;
    stray.insert(stray.begin() + static_cast<long>(audioFrameOffset(good, 40)), 0x00);
    writeFileBytes(dir.file("stray.mp3"), stray);
    EXPECT_FALSE(findClockFormAudio(dir.file("stray.mp3"), kQualityBest).inForm);
    std::vector<uint8_t> shortened(good.begin(), good.end() - 128 - 10);
    writeFileBytes(dir.file("short.mp3"), shortened);
    EXPECT_FALSE(findClockFormAudio(dir.file("short.mp3"), kQualityBest).inForm);
    // Nothing at all, and no file.
    writeFileBytes(dir.file("empty.mp3"), {});
    EXPECT_FALSE(findClockFormAudio(dir.file("empty.mp3"), kQualityBest).inForm);
    EXPECT_FALSE(findClockFormAudio(dir.file("missing.mp3"), kQualityBest).inForm);
}

// Frames of `mp3` taken while the bytes before them are below `limit`.
size_t framesBelowLimit(const std::vector<uint8_t>& mp3, uint32_t limit) {
    size_t n = 0;
    uint32_t written = 0;
    for (const auto& f : test::walkMp3Frames(mp3)) {
        if (written >= limit) break;
        written += f.length;
        ++n;
    }
    return n;
}

// The cut: a song cut by the encoder, copied at the same limit, is whole
// (the clock gave it back, the next Download copies it), from a source at
// any rate; and an uncut song in the form is cut where the encoder cuts it,
// give or take the frames past the cut a slower source would have had.
TEST(ClockForm, ACutSongIsCutAsTheEncoderCutsIt) {
    for (uint16_t q : kQualities) {
        for (uint32_t rate : {clockFormSampleRate(q), 8000u, 22050u, 48000u}) {
            const std::vector<int16_t> pcm = song(rate, 3.0);
            TempDir dir;
            const std::vector<uint8_t> whole = encode(pcm, rate, q);
            writeFileBytes(dir.file("whole.mp3"), whole);
            const uint32_t frameBytes = test::walkMp3Frames(whole)[0].length;
            for (uint32_t limit :
                 {1u, frameBytes * 3 + 1, static_cast<uint32_t>(whole.size() / 3),
                  static_cast<uint32_t>(whole.size() / 2) + 7, static_cast<uint32_t>(whole.size() - 4 * frameBytes)}) {
                SCOPED_TRACE("q" + std::to_string(q) + " from " + std::to_string(rate) + " limit " +
                             std::to_string(limit));
                const std::vector<uint8_t> cut = encode(pcm, rate, q, 1, limit);
                ASSERT_LE(cut.size(), whole.size());
                // What the clock held after the cut, cut again at its limit, is the same.
                writeFileBytes(dir.file("cut.mp3"), cut);
                EXPECT_EQ(cut, copyOf(dir.file("cut.mp3"), q, 1, limit));
                if (rate != clockFormSampleRate(q)) continue;
                // The song itself: the frames before the limit are the
                // encoder's, and a few frames follow.
                const std::vector<uint8_t> copied = copyOf(dir.file("whole.mp3"), q, 1, limit);
                const size_t below = framesBelowLimit(whole, limit);
                EXPECT_EQ(std::min(below + kFramesPastCut, test::walkMp3Frames(whole).size()),
                          test::walkMp3Frames(copied).size());
                EXPECT_TRUE(std::equal(copied.begin(), copied.end(), whole.begin()));
                EXPECT_GE(copied.size(), cut.size());
                EXPECT_EQ(below, framesBelowLimit(cut, limit)) << "the encoder's cut falls at the same frame";
            }
            // Without the flag the limit means nothing.
            EXPECT_EQ(whole, copyOf(dir.file("whole.mp3"), q, 0, 1));
        }
    }
}

TEST(ClockForm, ConvertSongCopiesASongInTheFormAndEncodesTheRest) {
    TempDir dir;
    WorkContext ctx;
    ctx.startDir = dir.path();
    std::filesystem::create_directories(dir.file("dat"));
    std::atomic<bool> stop{false};
    for (const char* file : {"best_form.mp3", "stereo.mp3", "good_form.mp3"}) {
        SCOPED_TRACE(file);
        std::filesystem::copy_file(copyFixture(file), dir.file("dat/song.mp3"),
                                   std::filesystem::copy_options::overwrite_existing);
        Song s;
        std::strcpy(s.workPath, "./dat/song.mp3");
        std::strcpy(s.sourcePath, "./dat/song.mp3");
        Encoder enc;
        const SongConversionResult r = convertSong(s, kQualityBest, ctx, enc, dir.file("out.mp3"), stop);
        ASSERT_EQ(SongConversion::Converted, r.result);
        const std::vector<uint8_t> out = readFileBytes(dir.file("out.mp3"));
        EXPECT_EQ(r.bytes, out.size());
        const bool copy = std::string(file) == "best_form.mp3";
        EXPECT_EQ(copy, out == copyOf(copyFixture(file), kQualityBest));
        // Whichever way, the clock gets its form.
        for (const auto& f : test::walkMp3Frames(out)) ASSERT_EQ(64u, f.bitrateKbps);
    }
}

}  // namespace
}  // namespace velmo
