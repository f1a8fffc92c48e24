// The storage image: header fields byte for byte, song names, append and size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bytes.h"
#include "fileio.h"
#include "packaging.h"
#include "storage_layout.h"
#include "tempdir.h"

namespace velmo {
namespace {

using test::readFileBytes;
using test::TempDir;
using test::writeFileBytes;

Song song(const char* workPath, uint32_t offset, uint32_t size) {
    Song s;
    std::snprintf(s.workPath, sizeof s.workPath, "%s", workPath);
    s.dataOffset = offset;
    s.dataSize = size;
    return s;
}

TEST(Packaging, HeaderOfThreeSongs) {
    TempDir dir;
    Song songs[3] = {song("./dat/Morning Song.mp3", 0, 100000), song("./dat/b.wav", 100000, 0),
                     song("./dat/c.MP3", 100000, 50000)};
    const std::string image = dir.file("tmp.bin");
    writeFileBytes(image, std::vector<uint8_t>(20000, 0x55));  // an earlier image is replaced
    ASSERT_EQ(writeImageHeader(image, songs, 3, 0x01020304, 4), kPackOk);
    const auto h = readFileBytes(image);
    ASSERT_EQ(h.size(), kStorageHeaderBytes);
    const std::vector<uint8_t> start = {0x00, 0x03, 0x01, 0x02, 0x03, 0x04, 'V', 'E', 'L', 'M', 'O', 0, 0x00, 0x04};
    EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.begin() + 14), start);
    for (size_t i = 14; i < 32; ++i) ASSERT_EQ(h[i], 0) << "reserved byte " << i;
    const struct {
        uint32_t offset, size;
        const char* name;
    } expected[3] = {{0, 100000, "Morning Song"}, {100000, 0, "b"}, {100000, 50000, "c"}};
    for (size_t i = 0; i < 3; ++i) {
        const uint8_t* e = h.data() + 32 + i * kStorageEntryBytes;
        EXPECT_EQ(readBe32(e), expected[i].offset);
        EXPECT_EQ(readBe32(e + 4), expected[i].size);
        EXPECT_STREQ(reinterpret_cast<const char*>(e + 8), expected[i].name);
        for (size_t k = 8 + std::strlen(expected[i].name); k < kStorageEntryBytes; ++k) ASSERT_EQ(e[k], 0);
    }
    for (size_t i = 32 + 3 * kStorageEntryBytes; i < kStorageHeaderBytes; ++i) ASSERT_EQ(h[i], 0) << "entries 3 to 31";

    StorageHeader back;
    ASSERT_TRUE(decodeStorageHeader(h.data(), h.size(), back));
    EXPECT_TRUE(hasStorageSignature(back));
}

TEST(Packaging, SongNames) {
    struct Row {
        const char* workPath;
        std::string name;
    } rows[] = {
        {"./dat/a.wav", "a"},
        {"./dat/Morning Song.mp3", "Morning Song"},
        {"./dat/.mp3", ""},
        {"./da", ""},
        {"", ""},
        // Extensions of any length go whole, and only the last one.
        {"./dat/Song.flac", "Song"},
        {"./dat/Song (2).opus", "Song (2)"},
        {"./dat/My.Band.aiff", "My.Band"},
        {"./dat/a.m4a", "a"},
        {"./dat/Song.aac", "Song"},
        {"./dat/Track.wv", "Track"},
    };
    for (const auto& r : rows) EXPECT_EQ(storageSongName(song(r.workPath, 0, 0)), r.name) << r.workPath;
    // A name longer than the field is cut so that a NUL still ends it.
    std::string longPath = "./dat/" + std::string(600, 'x') + ".mp3";
    EXPECT_EQ(storageSongName(song(longPath.c_str(), 0, 0)), std::string(kSongNameBytes - 1, 'x'));
}

TEST(Packaging, CountAbove32DescribesOnly32) {
    TempDir dir;
    std::vector<Song> songs;
    for (int i = 0; i < 40; ++i) songs.push_back(song("./dat/s.mp3", static_cast<uint32_t>(i), 1));
    ASSERT_EQ(writeImageHeader(dir.file("tmp.bin"), songs.data(), 40, 0, 8), kPackOk);
    const auto h = readFileBytes(dir.file("tmp.bin"));
    ASSERT_EQ(h.size(), kStorageHeaderBytes);
    EXPECT_EQ(readBe16(h.data()), 32);
}

TEST(Packaging, AppendAndSize) {
    TempDir dir;
    const std::string target = dir.file("tmp.bin"), source = dir.file("mp3.tmp");
    std::vector<uint8_t> data(3 * 1024 * 1024 + 17);  // more than one copy buffer
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    writeFileBytes(source, data);

    EXPECT_FALSE(fileSize(target).has_value()) << "a missing file";
    ASSERT_EQ(appendFile(target, source), kPackOk) << "creates a missing target";
    EXPECT_EQ(readFileBytes(target), data);
    writeFileBytes(target, {1, 2, 3});
    ASSERT_EQ(appendFile(target, source), kPackOk);
    auto expected = std::vector<uint8_t>{1, 2, 3};
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(readFileBytes(target), expected);
    EXPECT_EQ(fileSize(target), uint64_t{expected.size()});

    EXPECT_EQ(appendFile(target, dir.file("missing")), kPackFailed);
    EXPECT_EQ(appendFile(target, dir.path()), kPackFailed) << "a folder is no file";
    EXPECT_EQ(appendFile("/dev/full", source), kPackFailed);
    EXPECT_EQ(appendFile(dir.file("no/such/dir"), source), kPackFailed);
    EXPECT_EQ(writeImageHeader(dir.file("no/such/dir"), nullptr, 0, 0, 4), kPackFailed);
}

}  // namespace
}  // namespace velmo
