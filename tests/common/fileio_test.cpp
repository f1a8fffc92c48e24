#include "fileio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tempdir.h"

using namespace velmo;
using namespace velmo::test;

TEST(FileIo, WholeFileReadIsBoundedBeforeItIsRead) {
    TempDir dir;
    const std::string path = dir.file("f.bin");
    const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
    ASSERT_TRUE(writeWholeFile(path, bytes.data(), bytes.size()));

    struct Row {
        size_t maxBytes;
        bool ok;
    };
    for (const Row& row : {Row{5, true}, Row{100, true}, Row{4, false}, Row{0, false}}) {
        std::vector<uint8_t> out = {9};
        EXPECT_EQ(readWholeFile(path, out, row.maxBytes), row.ok) << "limit " << row.maxBytes;
        EXPECT_EQ(out, row.ok ? bytes : std::vector<uint8_t>{9}) << "a refused read leaves the buffer as it was";
    }
    std::vector<uint8_t> empty = {9};
    ASSERT_TRUE(writeWholeFile(path, nullptr, 0));
    EXPECT_TRUE(readWholeFile(path, empty, 0));
    EXPECT_TRUE(empty.empty());
}

TEST(FileIo, OnlyRegularFilesAreRead) {
    TempDir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<uint8_t> out;
    // A pipe with no writer would block a plain open for ever.
    EXPECT_FALSE(openRegularFileForReading(fifo));
    EXPECT_FALSE(readWholeFile(fifo, out));
    EXPECT_FALSE(readWholeFile(dir.path(), out)) << "a folder";
    EXPECT_FALSE(readWholeFile(dir.file("missing"), out));
    EXPECT_FALSE(readWholeFile("/dev/zero", out)) << "a device that never ends";
}

TEST(FileIo, SizeHasOneFailureConvention) {
    TempDir dir;
    const std::string path = dir.file("f.bin");
    EXPECT_FALSE(fileSize(path).has_value());
    EXPECT_FALSE(fileSize(static_cast<std::FILE*>(nullptr)).has_value());
    const std::vector<uint8_t> bytes(1234, 7);
    ASSERT_TRUE(writeWholeFile(path, bytes.data(), bytes.size()));
    EXPECT_EQ(fileSize(path), uint64_t{1234});
    FilePtr f = openRegularFileForReading(path);
    ASSERT_TRUE(f);
    EXPECT_EQ(fileSize(f.get()), uint64_t{1234});
}

TEST(FileIo, ExecutableFolderHoldsThisTest) {
    const std::string folder = executableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    struct stat st {};
    EXPECT_EQ(::stat((folder + "/common_tests").c_str(), &st), 0);
}

namespace {

size_t entriesIn(const std::string& folder) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}

}  // namespace

// What the safe writer finds under the target's name: a new or a regular
// file is replaced whole; a link, a folder or a pipe is refused and left as
// it was, and nothing it points to is touched.
TEST(FileIo, SafeWriterReplacesOnlyRegularFiles) {
    const std::vector<uint8_t> bytes = {'n', 'e', 'w'};
    struct Row {
        const char* name;
        void (*plant)(const std::string& target, const std::string& outside);
        int errorNumber;  // 0: written
    } rows[] = {
        {"missing", [](const std::string&, const std::string&) {}, 0},
        {"regular file",
         [](const std::string& t, const std::string&) {
             const uint8_t old[] = {'o'};
             ASSERT_TRUE(writeWholeFile(t, old, 1));
         },
         0},
        {"symlink to a file outside",
         [](const std::string& t, const std::string& o) { std::filesystem::create_symlink(o, t); }, ELOOP},
        {"dangling symlink",
         [](const std::string& t, const std::string& o) { std::filesystem::create_symlink(o + ".none", t); }, ELOOP},
        {"folder", [](const std::string& t, const std::string&) { std::filesystem::create_directory(t); }, EISDIR},
        {"pipe", [](const std::string& t, const std::string&) { ASSERT_EQ(0, ::mkfifo(t.c_str(), 0600)); }, EINVAL},
    };
    for (const Row& row : rows) {
        TempDir start, elsewhere;
        const std::string target = start.file("zt_hdr.tbl");
        const std::string outside = elsewhere.file("precious");
        const uint8_t precious[] = {'p'};
        ASSERT_TRUE(writeWholeFile(outside, precious, 1));
        row.plant(target, outside);
        FileWriteError failure;
        const bool ok = writeFileSafely(target, bytes.data(), bytes.size(), &failure);
        EXPECT_EQ(row.errorNumber == 0, ok) << row.name;
        std::vector<uint8_t> back;
        EXPECT_TRUE(readWholeFile(outside, back)) << row.name;
        EXPECT_EQ(std::vector<uint8_t>{'p'}, back) << row.name << ": the file outside is untouched";
        EXPECT_EQ(1u, entriesIn(start.path())) << row.name << ": no temporary file is left";
        if (row.errorNumber == 0) {
            EXPECT_TRUE(readWholeFile(target, back));
            EXPECT_EQ(bytes, back) << row.name;
        } else {
            EXPECT_EQ(row.errorNumber, failure.errorNumber) << row.name;
            EXPECT_EQ(target, failure.path) << row.name;
            EXPECT_NE(std::string::npos, failure.text().find(target)) << failure.text();
        }
    }
}

// A temporary name an earlier run or another program prepared is never
// opened: the old ".new" names planted as links change nothing.
TEST(FileIo, SafeWriterNeverOpensAnExistingName) {
    TempDir start, elsewhere;
    const std::string outside = elsewhere.file("precious");
    const uint8_t precious[] = {'p'};
    ASSERT_TRUE(writeWholeFile(outside, precious, 1));
    std::filesystem::create_symlink(outside, start.file("velmo.conf.new"));
    const uint8_t text[] = {'k', '=', '1', '\n'};
    SafeFileWriter writer;
    ASSERT_TRUE(writer.open(start.file("velmo.conf")));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(writer.temporaryPath().c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(start.path(), folderOfPath(writer.temporaryPath())) << "beside the target, for an atomic rename";
    ASSERT_TRUE(writer.write(text, sizeof text));
    ASSERT_TRUE(writer.commit());
    std::vector<uint8_t> back;
    ASSERT_TRUE(readWholeFile(outside, back));
    EXPECT_EQ(std::vector<uint8_t>{'p'}, back);
    ASSERT_TRUE(readWholeFile(start.file("velmo.conf"), back));
    EXPECT_EQ(std::vector<uint8_t>(text, text + sizeof text), back);
    EXPECT_TRUE(std::filesystem::is_symlink(start.file("velmo.conf.new")));

    // Abandoned: the target stays, the temporary file goes.
    {
        SafeFileWriter dropped;
        ASSERT_TRUE(dropped.open(start.file("velmo.conf")));
        ASSERT_TRUE(dropped.write(precious, 1));
    }
    ASSERT_TRUE(readWholeFile(start.file("velmo.conf"), back));
    EXPECT_EQ(4u, back.size());
    EXPECT_EQ(2u, entriesIn(start.path()));
}

// A working file is never written through a link planted under its name.
TEST(FileIo, WorkingFilesAreNotWrittenThroughLinks) {
    TempDir start, elsewhere;
    const std::string outside = elsewhere.file("precious");
    const uint8_t precious[] = {'p'};
    ASSERT_TRUE(writeWholeFile(outside, precious, 1));
    std::filesystem::create_symlink(outside, start.file("tmp.bin"));
    EXPECT_FALSE(createFileForWriting(start.file("tmp.bin")));
    std::vector<uint8_t> back;
    ASSERT_TRUE(readWholeFile(outside, back));
    EXPECT_EQ(std::vector<uint8_t>{'p'}, back);
}

// A damaged file is renamed aside, numbered when an earlier one is there,
// and never replaces anything.
TEST(FileIo, DamagedFilesAreSetAsideUnderFreeNames) {
    TempDir dir;
    const std::string path = dir.file("zt_hdr.tbl");
    for (int round = 1; round <= 3; ++round) {
        const uint8_t b[] = {static_cast<uint8_t>(round)};
        ASSERT_TRUE(writeWholeFile(path, b, 1));
        const std::string aside = setDamagedFileAside(path);
        EXPECT_EQ(round == 1 ? path + ".damaged" : path + ".damaged." + std::to_string(round), aside);
        std::vector<uint8_t> back;
        ASSERT_TRUE(readWholeFile(aside, back));
        EXPECT_EQ(std::vector<uint8_t>{static_cast<uint8_t>(round)}, back);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    EXPECT_EQ("", setDamagedFileAside(dir.file("missing")));
}
