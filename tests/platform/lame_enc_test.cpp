// The encoder library's interface: record validation and its error codes, the
// chunk and buffer sizes it reports, handle checks, and real MP3 output.
#include <gtest/gtest.h>
#include <lame/lame.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "lame_enc.h"
#include "mp3_frame_walk.h"
#include "tempdir.h"

namespace {

using velmo::test::walkMp3Frames;

BE_CONFIG goodConfig(DWORD inRate = 44100, DWORD outRate = 44100, DWORD kbps = 32) {
    BE_CONFIG c;
    std::memset(&c, 0, sizeof c);
    c.dwConfig = BE_CONFIG_LAME;
    c.dwStructVersion = 1;
    c.dwStructSize = 331;
    c.dwSampleRate = inRate;
    c.dwReSampleRate = outRate;
    c.nMode = BE_MP3_MODE_MONO;
    c.dwBitrate = kbps;
    c.nPreset = LQP_HIGH_QUALITY;
    c.bOriginal = 1;
    c.bNoRes = 1;
    return c;
}

struct InitRow {
    const char* name;
    std::function<void(BE_CONFIG&)> change;
    BE_ERR expected;
    DWORD samples;  // checked on success
};

TEST(LameEnc, InitValidatesTheRecord) {
    const InitRow rows[] = {
        {"mono 44100 32k", [](BE_CONFIG&) {}, BE_ERR_SUCCESSFUL, 1152},
        {"mono 22050 16k",
         [](BE_CONFIG& c) {
             c.dwReSampleRate = 22050;
             c.dwBitrate = 16;
         },
         BE_ERR_SUCCESSFUL, 576},
        {"48000 in, 44100 out 64k",
         [](BE_CONFIG& c) {
             c.dwSampleRate = 48000;
             c.dwBitrate = 64;
         },
         BE_ERR_SUCCESSFUL, 1152},
        {"output rate left to LAME",
         [](BE_CONFIG& c) {
             c.dwReSampleRate = 0;
             c.dwBitrate = 64;
         },
         BE_ERR_SUCCESSFUL, 1152},
        {"stereo",
         [](BE_CONFIG& c) {
             c.nMode = BE_MP3_MODE_STEREO;
             c.dwBitrate = 128;
         },
         BE_ERR_SUCCESSFUL, 2304},
        {"short form", [](BE_CONFIG& c) { c.dwConfig = BE_CONFIG_MP3; }, BE_ERR_INVALID_FORMAT, 0},
        {"unknown kind", [](BE_CONFIG& c) { c.dwConfig = 257; }, BE_ERR_INVALID_FORMAT, 0},
        {"version 2", [](BE_CONFIG& c) { c.dwStructVersion = 2; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
        {"size 330", [](BE_CONFIG& c) { c.dwStructSize = 330; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
        {"mode 4", [](BE_CONFIG& c) { c.nMode = 4; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
        {"mode -1", [](BE_CONFIG& c) { c.nMode = -1; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
        {"bit rate 0", [](BE_CONFIG& c) { c.dwBitrate = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
        {"bit rate 33", [](BE_CONFIG& c) { c.dwBitrate = 33; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
        {"16k has no MPEG-1 frame", [](BE_CONFIG& c) { c.dwBitrate = 16; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
        {"input rate 0", [](BE_CONFIG& c) { c.dwSampleRate = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
        {"output rate 12345", [](BE_CONFIG& c) { c.dwReSampleRate = 12345; }, BE_ERR_INVALID_FORMAT_PARAMETERS, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        BE_CONFIG c = goodConfig();
        row.change(c);
        DWORD samples = 0, bufferSize = 0;
        HBE_STREAM stream = 0;
        ASSERT_EQ(beInitStream(&c, &samples, &bufferSize, &stream), row.expected);
        if (row.expected == BE_ERR_SUCCESSFUL) {
            EXPECT_EQ(samples, row.samples);
            EXPECT_EQ(bufferSize, row.samples * 5 / 4 + 7200);
            EXPECT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);
        }
    }
}

TEST(LameEnc, HandlesAndBufferSizesAreChecked) {
    BE_CONFIG c = goodConfig();
    DWORD samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    ASSERT_EQ(beInitStream(&c, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
    std::vector<int16_t> pcm(samples * 2, 0);
    std::vector<BYTE> out(bufferSize);
    DWORD n = 0;
    EXPECT_EQ(beEncodeChunk(0, samples, pcm.data(), out.data(), &n), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beEncodeChunk(stream + 8, samples, pcm.data(), out.data(), &n), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beEncodeChunk(stream, samples + 1, pcm.data(), out.data(), &n), BE_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(beEncodeChunk(stream, samples, pcm.data(), out.data(), &n), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(beDeinitStream(stream, out.data(), &n), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(beEncodeChunk(stream, samples, pcm.data(), out.data(), &n), BE_ERR_INVALID_HANDLE) << "after the flush";
    EXPECT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(beCloseStream(stream), BE_ERR_INVALID_HANDLE) << "closed twice";
    EXPECT_EQ(beDeinitStream(stream, out.data(), &n), BE_ERR_INVALID_HANDLE);
}

// One second of a 440 Hz tone at 44100 Hz, through the interface the way the
// program drives it: the output is constant-rate mono layer III at 32 kbit/s.
TEST(LameEnc, EncodesConstantRateMono) {
    struct Row {
        DWORD outRate, kbps;
        uint32_t expectRate;
        int version;
    } rows[] = {{44100, 32, 44100, 1}, {22050, 16, 22050, 2}, {44100, 64, 44100, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kbps);
        BE_CONFIG c = goodConfig(44100, row.outRate, row.kbps);
        DWORD samples = 0, bufferSize = 0;
        HBE_STREAM stream = 0;
        ASSERT_EQ(beInitStream(&c, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
        std::vector<BYTE> mp3, out(bufferSize);
        std::vector<int16_t> chunk(samples);
        uint32_t t = 0;
        for (int k = 0; k * samples < 44100; ++k) {
            for (auto& s : chunk) s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * (t++) / 44100.0));
            DWORD n = 0;
            ASSERT_EQ(beEncodeChunk(stream, samples, chunk.data(), out.data(), &n), BE_ERR_SUCCESSFUL);
            ASSERT_LE(n, bufferSize);
            mp3.insert(mp3.end(), out.begin(), out.begin() + n);
        }
        DWORD n = 0;
        ASSERT_EQ(beDeinitStream(stream, out.data(), &n), BE_ERR_SUCCESSFUL);
        mp3.insert(mp3.end(), out.begin(), out.begin() + n);
        ASSERT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);

        size_t trailing = 99;
        const auto frames = walkMp3Frames(mp3, &trailing);
        EXPECT_EQ(trailing, 0u) << "nothing but whole frames, no tag";
        ASSERT_GE(frames.size() * velmo::test::samplesPerFrame(frames[0]), 44100u * row.expectRate / 44100);
        for (const auto& f : frames) {
            ASSERT_EQ(f.bitrateKbps, row.kbps);
            ASSERT_EQ(f.sampleRate, row.expectRate);
            ASSERT_EQ(f.mpegVersion, row.version);
            ASSERT_EQ(f.channelMode, 3);
            ASSERT_TRUE(f.original);
            ASSERT_FALSE(f.crc);
        }
    }
}

TEST(LameEnc, VersionReportsTheEngine) {
    BE_VERSION v;
    std::memset(&v, 0xAB, sizeof v);
    beVersion(&v);
    lame_version_t lv{};
    get_lame_version_numerical(&lv);
    EXPECT_EQ(v.byMajorVersion, lv.major);
    EXPECT_EQ(v.byMinorVersion, lv.minor);
    EXPECT_EQ(v.byDLLMajorVersion, 1);
    EXPECT_EQ(std::string(v.zHomepage), get_lame_url());
    EXPECT_EQ(v.btReserved[0], 0);
}

TEST(LameEnc, WritesTheVbrHeaderOfTheLastTaggedStream) {
    velmo::test::TempDir dir;
    EXPECT_EQ(beWriteVBRHeader(dir.file("none.mp3").c_str()), BE_ERR_INVALID_HANDLE) << "no tagged stream yet";

    BE_CONFIG c = goodConfig();
    c.bEnableVBR = 1;
    c.bWriteVBRHeader = 1;
    c.nVBRQuality = 4;
    c.dwBitrate = 32;
    c.dwMaxBitrate = 128;
    DWORD samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    ASSERT_EQ(beInitStream(&c, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
    std::vector<BYTE> mp3, out(bufferSize);
    std::vector<int16_t> chunk(samples);
    for (int k = 0; k < 20; ++k) {
        for (DWORD i = 0; i < samples; ++i) chunk[i] = static_cast<int16_t>(((i * 37) % 2000) - 1000);
        DWORD n = 0;
        ASSERT_EQ(beEncodeChunk(stream, samples, chunk.data(), out.data(), &n), BE_ERR_SUCCESSFUL);
        mp3.insert(mp3.end(), out.begin(), out.begin() + n);
    }
    DWORD n = 0;
    ASSERT_EQ(beDeinitStream(stream, out.data(), &n), BE_ERR_SUCCESSFUL);
    mp3.insert(mp3.end(), out.begin(), out.begin() + n);
    ASSERT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);
    const std::string path = dir.file("vbr.mp3");
    velmo::test::writeFileBytes(path, mp3);

    ASSERT_EQ(beWriteVBRHeader(path.c_str()), BE_ERR_SUCCESSFUL);
    const auto tagged = velmo::test::readFileBytes(path);
    ASSERT_EQ(tagged.size(), mp3.size());
    const std::string firstFrame(tagged.begin(), tagged.begin() + 200);
    EXPECT_NE(firstFrame.find("Xing"), std::string::npos);
    EXPECT_EQ(beWriteVBRHeader(path.c_str()), BE_ERR_INVALID_HANDLE) << "the stream is used up";
}

}  // namespace
