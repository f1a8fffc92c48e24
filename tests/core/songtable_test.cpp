#include "songtable.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>

#include "bytes.h"
#include "song_facts.h"
#include "tempdir.h"

using namespace velmo;
using velmo::test::readFileBytes;
using velmo::test::TempDir;
using velmo::test::writeFileBytes;

namespace {

std::unique_ptr<Song[]> makeSongs(size_t n) {
    std::unique_ptr<Song[]> songs(new Song[kMaxSongs]());
    for (size_t i = 0; i < n; ++i) {
        Song& s = songs[i];
        s.dataOffset = 0x01020304u + static_cast<uint32_t>(i);
        s.dataSize = 0xA0B0C0D0u;
        std::snprintf(s.sourcePath, kPathBytes, "/music/song %zu.mp3", i);
        std::snprintf(s.workPath, kPathBytes, "./dat/song %zu.mp3", i);
        // Bytes after the terminating zero must survive a round trip.
        s.sourcePath[kPathBytes - 1] = 'Z';
        s.workPath[100] = 'Q';
        s.sizeEstimate = 1440000;
        s.copyPending = 1;
        s.cutFlag = static_cast<uint8_t>(i == 1);
        s.cutLimit = 0x11223344;
    }
    return songs;
}

}  // namespace

TEST(SongTable, SavedBytesHaveTheFileLayout) {
    TempDir dir;
    auto songs = makeSongs(2);
    ASSERT_EQ(0, saveSongTable(dir.path(), 8, 2, songs.get(), 2880000));
    auto bytes = readFileBytes(dir.file("zt_hdr.tbl"));
    ASSERT_EQ(32u + 2 * 4114, bytes.size());

    EXPECT_EQ(2, readLe16(&bytes[0]));
    EXPECT_EQ(2880000u, readLe32(&bytes[2]));
    EXPECT_EQ(0, std::memcmp(&bytes[6], "VELMO\0", 6));
    EXPECT_EQ(8, readLe16(&bytes[12]));
    for (size_t i = 14; i < 32; ++i) EXPECT_EQ(0, bytes[i]);

    const uint8_t* r = &bytes[32 + 4114];  // the second record
    EXPECT_EQ(0x01020305u, readLe32(r + 0));
    EXPECT_EQ(0xA0B0C0D0u, readLe32(r + 4));
    EXPECT_STREQ("/music/song 1.mp3", reinterpret_cast<const char*>(r + 8));
    EXPECT_EQ('Z', r[8 + 2047]);
    EXPECT_STREQ("./dat/song 1.mp3", reinterpret_cast<const char*>(r + 2056));
    EXPECT_EQ(1440000u, readLe32(r + 4104));
    EXPECT_EQ(1, r[4108]);
    EXPECT_EQ(1, r[4109]);
    EXPECT_EQ(0x11223344u, readLe32(r + 4110));
}

TEST(SongTable, EmptyAndFullListSizes) {
    TempDir dir;
    auto songs = makeSongs(64);
    ASSERT_EQ(0, saveSongTable(dir.path(), 2, 0, songs.get(), 77));
    EXPECT_EQ(32u, std::filesystem::file_size(dir.file("zt_hdr.tbl")));

    SongTableHeader h;
    auto back = makeSongs(0);
    ASSERT_EQ(0, loadSongTable(dir.path(), h, back.get()));
    EXPECT_EQ(0, h.songCount);
    EXPECT_EQ(2, h.quality);
    EXPECT_EQ(77u, h.totalEstimate);

    ASSERT_EQ(0, saveSongTable(dir.path(), 4, 64, songs.get(), 0));
    EXPECT_EQ(263328u, std::filesystem::file_size(dir.file("zt_hdr.tbl")));
}

TEST(SongTable, RoundTripKeepsEveryByte) {
    TempDir dir;
    auto songs = makeSongs(3);
    ASSERT_EQ(0, saveSongTable(dir.path(), 4, 3, songs.get(), 123));
    auto first = readFileBytes(dir.file("zt_hdr.tbl"));

    SongTableHeader h;
    auto back = makeSongs(0);
    ASSERT_EQ(0, loadSongTable(dir.path(), h, back.get()));
    EXPECT_EQ(3, h.songCount);
    EXPECT_EQ(0, std::memcmp(songs.get(), back.get(), 3 * sizeof(Song)));

    ASSERT_EQ(0, saveSongTable(dir.path(), h.quality, h.songCount, back.get(), h.totalEstimate));
    EXPECT_EQ(first, readFileBytes(dir.file("zt_hdr.tbl")));
}

TEST(SongTable, WrongSignatureIsSetAsideNotDeleted) {
    TempDir dir;
    auto songs = makeSongs(1);
    ASSERT_EQ(0, saveSongTable(dir.path(), 4, 1, songs.get(), 0));
    auto bytes = readFileBytes(dir.file("zt_hdr.tbl"));
    bytes[11] = 'X';  // "VELMO" is right, the terminating zero is not
    writeFileBytes(dir.file("zt_hdr.tbl"), bytes);

    SongTableHeader h;
    h.songCount = 9;
    auto back = makeSongs(0);
    EXPECT_EQ(-1, loadSongTable(dir.path(), h, back.get()));
    EXPECT_EQ(9, h.songCount);  // nothing changed
    EXPECT_FALSE(std::filesystem::exists(dir.file("zt_hdr.tbl")));
    EXPECT_EQ(bytes, readFileBytes(dir.file("zt_hdr.tbl.damaged"))) << "kept byte for byte";

    EXPECT_EQ(-1, loadSongTable(dir.path(), h, back.get()));  // missing file
}

TEST(SongTable, MalformedFilesLoadWhatIsWholeOrAreRefused) {
    auto valid = encodeSongTable(4, 3, 10, makeSongs(3).get());
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        int result;
        uint16_t count;
        bool kept;
    };
    auto truncated = valid;
    truncated.resize(32 + 4114 * 2 + 100);  // two whole records and part of a third
    auto countTooLarge = valid;
    writeLe16(&countTooLarge[0], 65535);
    auto headerOnly = valid;
    headerOnly.resize(32);
    auto shortHeader = valid;
    shortHeader.resize(20);
    auto huge = encodeSongTable(4, 64, 0, makeSongs(64).get());
    writeLe16(&huge[0], 65535);
    huge.resize(huge.size() + 4114 * 10, 0x5A);

    std::vector<Row> rows = {
        {"empty", {}, -1, 0, false},
        {"one byte", {0x01}, -1, 0, false},
        {"signature cut short", std::vector<uint8_t>(valid.begin(), valid.begin() + 11), -1, 0, false},
        {"header only", headerOnly, 0, 0, true},
        {"header cut after quality", shortHeader, -1, 0, false},
        {"truncated in a record", truncated, 0, 2, true},
        {"count 65535", countTooLarge, 0, 3, true},
        {"more than 64 records", huge, 0, 64, true},
    };
    for (const Row& row : rows) {
        TempDir dir;
        writeFileBytes(dir.file("zt_hdr.tbl"), row.bytes);
        SongTableHeader h;
        auto back = makeSongs(0);
        EXPECT_EQ(row.result, loadSongTable(dir.path(), h, back.get())) << row.name;
        if (row.result == 0) {
            EXPECT_EQ(row.count, h.songCount) << row.name;
        }
        EXPECT_EQ(row.kept, std::filesystem::exists(dir.file("zt_hdr.tbl"))) << row.name;
        if (!row.kept) {
            EXPECT_EQ(row.bytes, readFileBytes(dir.file("zt_hdr.tbl.damaged"))) << row.name;
        }
    }
}

// Each kind of damage is named, renamed aside with SetAside (numbered beside
// an earlier one) and left exactly as it is with Leave.
TEST(SongTable, DamageIsNamedAndSetAsideOrLeft) {
    auto valid = encodeSongTable(4, 2, 10, makeSongs(2).get());
    auto quality = [&](uint16_t code) {
        auto b = valid;
        writeLe16(&b[12], code);
        return b;
    };
    auto signature = valid;
    signature[7] ^= 0x01;
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        SongTableDecode damage;
        const char* said;
    } rows[] = {
        {"signature byte", signature, SongTableDecode::BadSignature, "VELMO"},
        {"shorter than 14 bytes", std::vector<uint8_t>(valid.begin(), valid.begin() + 13), SongTableDecode::ShortHeader,
         "shorter than its header"},
        {"shorter than its header", std::vector<uint8_t>(valid.begin(), valid.begin() + 31),
         SongTableDecode::ShortHeader, "shorter than its header"},
        {"garbage", std::vector<uint8_t>(5000, 0xA5), SongTableDecode::BadSignature, "VELMO"},
        {"quality 0", quality(0), SongTableDecode::BadQuality, "quality code 0 "},
        {"quality 1", quality(1), SongTableDecode::BadQuality, "quality code 1 "},
        {"quality 3", quality(3), SongTableDecode::BadQuality, "quality code 3 "},
        {"quality 247", quality(247), SongTableDecode::BadQuality, "quality code 247 "},
        {"quality 0xFF08", quality(0xFF08), SongTableDecode::BadQuality, "quality code 65288 "},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string table = dir.file("zt_hdr.tbl");
        writeFileBytes(table, row.bytes);
        SongTableHeader h;
        h.quality = 77;
        auto back = makeSongs(0);

        SongTableLoadResult left = loadSongTableChecked(dir.path(), h, back.get(), DamagedFile::Leave);
        EXPECT_EQ(SongTableLoad::Damaged, left.status) << row.name;
        EXPECT_EQ(row.damage, left.damage) << row.name;
        EXPECT_EQ(77, h.quality) << row.name << ": a damaged table sets nothing";
        EXPECT_EQ(row.bytes, readFileBytes(table)) << row.name << ": left as it is";
        EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                                   std::filesystem::directory_iterator()));
        const std::string leftText = songTableProblemText(dir.path(), left);
        EXPECT_NE(std::string::npos, leftText.find(table)) << leftText;
        EXPECT_NE(std::string::npos, leftText.find(row.said)) << leftText;
        EXPECT_NE(std::string::npos, leftText.find("left as it is")) << leftText;

        // An earlier damaged table is kept too.
        writeFileBytes(table + ".damaged", {1, 2, 3});
        SongTableLoadResult aside = loadSongTableChecked(dir.path(), h, back.get(), DamagedFile::SetAside);
        EXPECT_EQ(SongTableLoad::Damaged, aside.status) << row.name;
        EXPECT_EQ(table + ".damaged.2", aside.setAsideAs) << row.name;
        EXPECT_EQ(row.bytes, readFileBytes(table + ".damaged.2")) << row.name;
        EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), readFileBytes(table + ".damaged")) << row.name;
        EXPECT_FALSE(std::filesystem::exists(table)) << row.name;
        const std::string asideText = songTableProblemText(dir.path(), aside);
        EXPECT_NE(std::string::npos, asideText.find(table + ".damaged.2")) << asideText;
    }
    for (uint16_t code : {kQualityNormal, kQualityGood, kQualityBest}) {
        TempDir dir;
        writeFileBytes(dir.file("zt_hdr.tbl"), quality(code));
        SongTableHeader h;
        auto back = makeSongs(0);
        EXPECT_EQ(0, loadSongTable(dir.path(), h, back.get())) << code;
        EXPECT_EQ(code, h.quality);
    }
}

// A folder, a link or a pipe under the table's name is neither read, nor
// renamed, nor replaced by a save.
TEST(SongTable, SomethingElseInPlaceOfTheFileIsNeitherLoadedMovedNorReplaced) {
    struct Row {
        const char* name;
        void (*plant)(const std::string& table, const std::string& outside);
        int errorNumber;
    } rows[] = {
        {"folder", [](const std::string& t, const std::string&) { std::filesystem::create_directory(t); }, EISDIR},
        {"link to a valid table outside",
         [](const std::string& t, const std::string& o) { std::filesystem::create_symlink(o, t); }, ELOOP},
        {"pipe", [](const std::string& t, const std::string&) { ASSERT_EQ(0, ::mkfifo(t.c_str(), 0600)); }, EINVAL},
    };
    for (const Row& row : rows) {
        TempDir dir, elsewhere;
        const std::string outside = elsewhere.file("zt_hdr.tbl");
        auto songs = makeSongs(3);
        ASSERT_EQ(0, saveSongTable(elsewhere.path(), 8, 3, songs.get(), 5));
        const auto before = readFileBytes(outside);
        row.plant(dir.file("zt_hdr.tbl"), outside);

        SongTableHeader h;
        auto back = makeSongs(0);
        const SongTableLoadResult r = loadSongTableChecked(dir.path(), h, back.get(), DamagedFile::SetAside);
        EXPECT_EQ(SongTableLoad::NotAFile, r.status) << row.name;
        EXPECT_EQ(row.errorNumber, r.errorNumber) << row.name;
        EXPECT_TRUE(r.setAsideAs.empty()) << row.name;
        EXPECT_NE(std::string::npos, songTableProblemText(dir.path(), r).find("neither loaded nor saved")) << row.name;

        FileWriteError failure;
        EXPECT_EQ(-1, saveSongTable(dir.path(), 4, 1, songs.get(), 2, &failure)) << row.name;
        EXPECT_EQ(row.errorNumber, failure.errorNumber) << row.name;
        EXPECT_EQ(before, readFileBytes(outside)) << row.name;
        EXPECT_FALSE(std::filesystem::exists(dir.file("zt_hdr.tbl.damaged"))) << row.name;
        EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                                   std::filesystem::directory_iterator()))
            << row.name;
    }
}

TEST(SongTable, FailedSaveLeavesThePreviousFileIntact) {
    TempDir dir;
    auto songs = makeSongs(5);
    ASSERT_EQ(0, saveSongTable(dir.path(), 4, 5, songs.get(), 1));
    const auto before = readFileBytes(dir.file("zt_hdr.tbl"));

    // A disk that fills up mid-write: the file size limit stops the write short.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const int result = saveSongTable(dir.path(), 8, 64, makeSongs(64).get(), 2);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));

    EXPECT_EQ(-1, result);
    EXPECT_EQ(before, readFileBytes(dir.file("zt_hdr.tbl")));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()))
        << "the unfinished file is removed";

    // The old temporary name planted as a link to a file outside changes
    // nothing: the save never opens a name that exists.
    TempDir elsewhere;
    writeFileBytes(elsewhere.file("precious"), {7});
    std::filesystem::create_symlink(elsewhere.file("precious"), dir.file("zt_hdr.tbl.new"));
    EXPECT_EQ(0, saveSongTable(dir.path(), 8, 1, songs.get(), 2));
    EXPECT_EQ(std::vector<uint8_t>{7}, readFileBytes(elsewhere.file("precious")));
    EXPECT_EQ(encodeSongTable(8, 1, 2, songs.get()), readFileBytes(dir.file("zt_hdr.tbl")));
}

// What the last Download did with each song, kept beside the table: keys that
// hold any byte come back as they were, only the listed songs are saved, and
// a damaged file gives up only the lines it damaged.
TEST(SongFates, RoundTripKeepsOddKeysAndSkipsDamagedLines) {
    TempDir dir;
    using Fate = SongFactsStore::Fate;
    const std::string odd = std::string("/music/a b%20\n\xC3\xA9.wav") + std::string(1, '\0') + "./dat/a b.wav";
    {
        SongFactsStore store;
        store.setFates({{odd, Fate{8, 123456, Fate::LeftOff::DidNotFit, 0}},
                        {"kept", Fate{4, 777, Fate::LeftOff::No, 0}},
                        {"full", Fate{2, 0, Fate::LeftOff::NotConverted, ENOSPC}},
                        {"gone", Fate{2, 5, Fate::LeftOff::No, 0}}});
        ASSERT_TRUE(store.fatesChanged());
        ASSERT_TRUE(store.saveFates(dir.path(), {odd, "kept", "full"}));
    }
    SongFactsStore back;
    back.loadFates(dir.path());
    const std::optional<Fate> f = back.findFate(odd);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(8, f->quality);
    EXPECT_EQ(123456u, f->convertedBytes);
    EXPECT_EQ(Fate::LeftOff::DidNotFit, f->leftOff);
    ASSERT_TRUE(back.findFate("full").has_value());
    EXPECT_EQ(ENOSPC, back.findFate("full")->errorNumber);
    EXPECT_EQ(777u, back.findFate("kept")->convertedBytes);
    EXPECT_FALSE(back.findFate("gone").has_value()) << "a song no longer listed is not saved";
    EXPECT_FALSE(back.fatesChanged());

    // Damaged lines among whole ones; a file of another kind gives nothing.
    const std::string path = dir.file(kFatesFileName);
    const std::string text = "velmo-fit 1\n8 100 1 0 good\n8 100 7 0 badKind\n8 x 1 0 badSize\n8 100 1 0 bad%G1\n"
                             "8 100 1\n8 99999999999 0 0 tooBig\n";
    writeFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
    back.loadFates(dir.path());
    EXPECT_TRUE(back.findFate("good").has_value());
    for (const char* key : {"badKind", "badSize", "bad\x01", "tooBig"}) EXPECT_FALSE(back.findFate(key)) << key;
    writeFileBytes(path, {'x', '\n', '8', ' ', '1', ' ', '0', ' ', '0', ' ', 'k', '\n'});
    back.loadFates(dir.path());
    EXPECT_FALSE(back.findFate("k").has_value());
}
