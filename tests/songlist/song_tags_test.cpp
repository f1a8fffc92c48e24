// Names from tags: TagLib's reading of every tag format, the name made of
// it, and the refusal of tags whose sizes lie.
#include "song_tags.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "admission.h"
#include "bytes.h"
#include "tempdir.h"

using namespace velmo;
using namespace velmo::test;

namespace {

std::string tagged(const std::string& name) { return std::string(VELMO_TAG_FIXTURES) + "/" + name; }

bool wellFormedUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

TEST(SongTags, EveryFormatGivesTitleArtistAndFormat) {
    struct Row {
        const char* file;
        const char* title;
        const char* artist;
        const char* format;
        const char* name;
    };
    const Row rows[] = {
        {"id3v23_utf16.mp3", "Grüße aus Köln – 東京", "Zoë Ωmega", "mp3", "Zoë Ωmega - Grüße aus Köln – 東京"},
        {"id3v24.mp3", "Sunrise Theme", "Ana", "mp3", "Ana - Sunrise Theme"},
        {"id3v1_only.mp3", "Old Tag", "Band", "mp3", "Band - Old Tag"},
        {"title_only.flac", "Morning Rain", "", "flac", "Morning Rain"},
        {"vorbis.ogg", "Vorbis Title", "Vorbis Artist", "vorbis", "Vorbis Artist - Vorbis Title"},
        {"opus.opus", "Opus Title", "Opus Artist", "opus", "Opus Artist - Opus Title"},
        {"mp4.m4a", "MP4 Title", "MP4 Artist", "aac", "MP4 Artist - MP4 Title"},
        {"ape.wv", "APE Title", "APE Artist", "wavpack", "APE Artist - APE Title"},
        {"asf.wma", "ASF Title", "ASF Artist", "wmav2", "ASF Artist - ASF Title"},
        {"riff_info.wav", "RIFF Title", "RIFF Artist", "pcm_s16le", "RIFF Artist - RIFF Title"},
        {"untagged.mp3", "", "", "mp3", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        const SongTags tags = readSongTags(tagged(r.file));
        EXPECT_EQ(TagRead::Read, tags.status);
        EXPECT_EQ(r.title, tags.title);
        EXPECT_EQ(r.artist, tags.artist);
        const SongFacts facts = probeSongFacts(tagged(r.file), true);
        EXPECT_EQ(r.format, facts.format);
        EXPECT_GT(facts.duration, 0.0);
        EXPECT_EQ(r.name, tagSongName(facts.title, facts.artist));
    }
}

// Where other readers find names that a reading of the format's main tag
// alone misses, and fields with several values as they show them.
TEST(SongTags, NamesWhereOtherReadersFindThem) {
    struct Row {
        const char* file;
        const char* title;
        const char* artist;
    };
    const Row rows[] = {
        {"multi_id3v24.mp3", "First Title", "Explo, ions, nodejsftws"},   // NUL-separated values
        {"multi_vorbis.flac", "First Title", "Explo, ions, nodejsftws"},  // a comment each
        {"name_chunks.aiff", "Name Chunk Title", "Auth Chunk Artist"},    // NAME and AUTH
        {"id3_chunk.aiff", "AIFF ID3 Title", "AIFF ID3 Artist"},          //
        {"tags.mka", "Matroska Title", "Matroska Artist"},                //
        {"tags.webm", "WebM Title", "WebM Artist"},                       //
        {"id3v2_start.ape", "APE ID3 Title", "APE ID3 Artist"},           //
        {"info_beside_id3.wav", "ID3 Chunk Title", "INFO Artist"},        // the chunk's title, INFO's artist
        {"id3v2_title_id3v1_artist.mp3", "V2 Title", "V1 Artist"},        // each field from the tag that has it
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        const SongTags tags = readSongTags(tagged(r.file));
        EXPECT_EQ(TagRead::Read, tags.status);
        EXPECT_EQ(r.title, tags.title);
        EXPECT_EQ(r.artist, tags.artist);
        const SongFacts facts = probeSongFacts(tagged(r.file), true);
        EXPECT_EQ(std::string(r.artist) + " - " + r.title, tagSongName(facts.title, facts.artist));
    }
}

// Many artists joined make a name as long as any other: it is cut as one.
TEST(SongTags, ManyArtistsAreCutAsOneName) {
    std::string values;
    for (int i = 0; i < 100; ++i) values += (i ? std::string(1, '\0') : std::string()) + "Artist " + std::to_string(i);
    std::vector<uint8_t> frame = {'T', 'P', 'E', '1', 0, 0, 0, 0, 0, 0, 3};
    frame.insert(frame.end(), values.begin(), values.end());
    const uint32_t frameBody = static_cast<uint32_t>(frame.size() - 10);
    for (int i = 0; i < 4; ++i) frame[4 + i] = static_cast<uint8_t>((frameBody >> (21 - 7 * i)) & 0x7F);
    std::vector<uint8_t> b = {'I', 'D', '3', 4, 0, 0};
    for (int shift : {21, 14, 7, 0}) b.push_back(static_cast<uint8_t>((frame.size() >> shift) & 0x7F));
    b.insert(b.end(), frame.begin(), frame.end());
    TempDir dir;
    writeFileBytes(dir.file("many.mp3"), b);
    const SongTags tags = readSongTags(dir.file("many.mp3"));
    ASSERT_EQ(TagRead::Read, tags.status);
    EXPECT_EQ(0u, tags.artist.rfind("Artist 0, Artist 1, Artist 2, ", 0));
    EXPECT_NE(std::string::npos, tags.artist.find(", Artist 99"));
    const std::string name = tagSongName("Title", tags.artist);
    EXPECT_LE(name.size(), kMaxTagNameBytes);
    EXPECT_GT(name.size(), kMaxTagNameBytes - 3);
    EXPECT_EQ(tags.artist.substr(0, name.size()), name);
}

TEST(SongTags, LongTitleIsCutBetweenCharacters) {
    const SongTags tags = readSongTags(tagged("long_title.mp3"));
    ASSERT_EQ(400u, tags.title.size());
    const std::string name = tagSongName(tags.title, tags.artist);
    EXPECT_LE(name.size(), 255u);
    EXPECT_LE(name.size(), kMaxTagNameBytes);
    EXPECT_GT(name.size(), kMaxTagNameBytes - 3);  // no more is dropped than the split character
    EXPECT_TRUE(wellFormedUtf8(name));
    EXPECT_EQ(tags.title.substr(0, name.size()), name);
}

TEST(SongTags, UnsafeCharactersBecomeUnderscores) {
    const SongTags tags = readSongTags(tagged("unsafe_title.mp3"));
    ASSERT_EQ("AC/DC\x01Live", tags.title);
    EXPECT_EQ("Band_ - AC_DC_Live", tagSongName(tags.title, tags.artist));
}

TEST(SongTags, NameRules) {
    struct Row {
        std::string title;
        std::string artist;
        std::string name;
    };
    const Row rows[] = {
        {"", "Artist", ""},                            // no title: the file name stands
        {"..", "", ""},                                // no file of its own
        {" . ", "Artist", ""},                         //
        {"  Title  ", "  Artist ", "Artist - Title"},  // spaces around the parts go
        {"Title", "   ", "Title"},                     //
        {std::string("a\0b", 3), "", "a_b"},           // NUL
        {"a\x1b[31mb", "", "a_[31mb"},                 // ESC
        {"a\xc2\x9b"
         "b",
         "", "a_b"},  // C1 control
        {"a\xff\xfe"
         "b",
         "", "a__b"},                             // not UTF-8
        {"a\xe6\x9d", "", "a__"},                 // a sequence cut short
        {"\xed\xa0\x80x", "", "___x"},            // a surrogate
        {"caf\xc3\xa9 / bar", "", "café _ bar"},  //
    };
    for (const Row& r : rows) EXPECT_EQ(r.name, tagSongName(r.title, r.artist)) << r.title;
}

TEST(SongTags, WorkPathKeepsTheFilesExtension) {
    std::string out = "unchanged";
    ASSERT_TRUE(tagWorkPath("/m/01 - track.MP3", "Ana - Sunrise", out));
    EXPECT_EQ("./dat/Ana - Sunrise.MP3", out);
    ASSERT_TRUE(tagWorkPath("/m/x.flac", "Mr. Smith", out));
    EXPECT_EQ("./dat/Mr. Smith.flac", out);
    out = "unchanged";
    EXPECT_FALSE(tagWorkPath("/m/x.flac", "", out));
    EXPECT_FALSE(tagWorkPath("/m/x.txt", "Name", out));
    EXPECT_EQ("unchanged", out);
}

TEST(SongTags, ToldFromFilesWithoutTags) {
    TempDir dir;
    EXPECT_EQ(TagRead::None, readSongTags(dir.path()).status);  // a folder
    EXPECT_EQ(TagRead::None, readSongTags(dir.file("missing.mp3")).status);
    writeFileBytes(dir.file("text.mp3"), std::vector<uint8_t>(64, 'x'));
    const SongTags text = readSongTags(dir.file("text.mp3"));
    EXPECT_TRUE(text.title.empty());
}

// ID3v2 tags whose sizes claim more than they or the file hold are refused
// before TagLib reads them: at most the tag's header, or the tag as large as
// it says it is (bounded by the file), is read.
TEST(SongTags, HostileId3v2IsRefusedWithoutReadingIt) {
    // ID3v2 header: "ID3", version, revision, flags, syncsafe size.
    const auto header = [](uint8_t version, uint32_t size) {
        std::vector<uint8_t> h = {'I', 'D', '3', version, 0, 0};
        for (int shift : {21, 14, 7, 0}) h.push_back(static_cast<uint8_t>((size >> shift) & 0x7F));
        return h;
    };
    // A frame: name, size (as given, big-endian), and for 2.3/2.4 two flag bytes.
    const auto frame = [](const char* name, uint32_t size, size_t sizeBytes) {
        std::vector<uint8_t> f(name, name + std::strlen(name));
        for (size_t i = sizeBytes; i-- > 0;) f.push_back(static_cast<uint8_t>(size >> (8 * i)));
        if (sizeBytes == 4) f.insert(f.end(), {0, 0});
        f.insert(f.end(), {3, 'a', 'b', 'c'});
        return f;
    };
    struct Row {
        const char* what;
        std::vector<uint8_t> bytes;
        uint64_t mostRead;
    };
    std::vector<Row> rows;
    {
        std::vector<uint8_t> b = header(3, 100);
        const std::vector<uint8_t> f = frame("TIT2", 0xFFFFFFF0u, 4);  // about 4 GiB
        b.insert(b.end(), f.begin(), f.end());
        b.resize(10 + 100 + 400, 0);
        rows.push_back({"2.3 frame of 4 GiB", b, 110});
    }
    {
        std::vector<uint8_t> b = header(4, 100);
        const std::vector<uint8_t> f = frame("TIT2", 0x7F7F7F7Fu, 4);  // syncsafe: 256 MiB
        b.insert(b.end(), f.begin(), f.end());
        b.resize(10 + 100 + 400, 0);
        rows.push_back({"2.4 frame of 256 MiB", b, 110});
    }
    {
        std::vector<uint8_t> b = header(2, 100);
        const std::vector<uint8_t> f = frame("TT2", 0xFFFFFF, 3);
        b.insert(b.end(), f.begin(), f.end());
        b.resize(10 + 100 + 400, 0);
        rows.push_back({"2.2 frame of 16 MiB", b, 110});
    }
    {
        std::vector<uint8_t> b = header(3, 0x0FFFFFFF);  // a tag of 256 MiB in a small file
        b.resize(600, 0);
        rows.push_back({"tag larger than the file", b, 10});
    }
    {
        std::vector<uint8_t> b = header(3, 100);
        b[6] = 0xFF;  // not syncsafe: could be read as 4 GiB
        b.resize(600, 0);
        rows.push_back({"size that is not syncsafe", b, 10});
    }
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string path = dir.file("hostile.mp3");
        writeFileBytes(path, r.bytes);
        const SongTags tags = readSongTags(path);
        EXPECT_EQ(TagRead::Refused, tags.status);
        EXPECT_LE(tags.bytesRead, r.mostRead);
        EXPECT_TRUE(tags.title.empty());
        // Such a song is named by its file.
        EXPECT_EQ("", tagSongName(probeSongFacts(path, true).title, ""));
    }
}

// A tag within its bounds is read: the checks above refuse only lies.
TEST(SongTags, SoundHandMadeId3v2IsRead) {
    std::vector<uint8_t> b = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 30};
    const uint8_t frame[] = {'T', 'I', 'T', '2', 0, 0, 0, 6, 0, 0, 0, 'H', 'e', 'l', 'l', 'o'};
    b.insert(b.end(), frame, frame + sizeof frame);
    b.resize(10 + 30, 0);  // padding
    TempDir dir;
    writeFileBytes(dir.file("made.mp3"), b);
    const SongTags tags = readSongTags(dir.file("made.mp3"));
    EXPECT_EQ(TagRead::Read, tags.status);
    EXPECT_EQ("Hello", tags.title);
}
