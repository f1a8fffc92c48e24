#include "fileio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
