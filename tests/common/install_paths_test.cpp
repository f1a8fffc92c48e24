// How the programs find their private files and the agent image, in a build
// tree and in an installed tree laid out in a temporary folder.
#include "install_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tempdir.h"

using namespace velmo;
using velmo::test::TempDir;
using velmo::test::writeFileBytes;
namespace fs = std::filesystem;

namespace {

// prefix/bin/ and prefix/lib/velmo/ as an installation has them, plus a
// build tree's bin/ with everything side by side and an empty start folder.
class InstallPathsTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string prefixBin = dir.file("usr/bin");
    std::string privateDir = dir.file("usr/lib/velmo");
    std::string buildBin = dir.file("build/bin");
    std::string start = dir.file("start");

    void SetUp() override {
        for (const std::string& d : {prefixBin, privateDir, buildBin, start}) fs::create_directories(d);
    }
    void touch(const std::string& path) { writeFileBytes(path, {1, 2, 3}); }
    static std::string canonical(const std::string& path) { return fs::weakly_canonical(path).string(); }
};

TEST_F(InstallPathsTest, PrivateFolderIsLibVelmoBesideBin) {
    EXPECT_EQ(canonical(privateDir), canonical(installedPrivateFolder(prefixBin)));
    EXPECT_EQ("", installedPrivateFolder(""));
}

// Installed or in the build tree, the catalogues lie in share/locale beside bin/.
TEST_F(InstallPathsTest, TranslationsAreInShareLocaleBesideBin) {
    EXPECT_EQ("/usr/share/locale", fs::path(localeFolder("/usr/bin")).lexically_normal().string());
    EXPECT_TRUE(fs::is_regular_file(localeFolder(VELMO_BIN_DIR) + "/de/LC_MESSAGES/velmo.mo"));
    EXPECT_EQ("", localeFolder(""));
}

TEST_F(InstallPathsTest, LibrariesAreFoundBesideTheProgramOrInThePrivateFolder) {
    touch(buildBin + "/libusb_dll.so");
    touch(privateDir + "/liblame_enc.so");
    EXPECT_EQ(buildBin + "/libusb_dll.so", findPrivateFile(buildBin, "libusb_dll.so"));
    EXPECT_EQ(canonical(privateDir + "/liblame_enc.so"), canonical(findPrivateFile(prefixBin, "liblame_enc.so")));
    // Not there: the caller falls back to the loader's own search.
    EXPECT_EQ("", findPrivateFile(prefixBin, "libusb_dll.so"));
    EXPECT_EQ("", findPrivateFile(buildBin, "liblame_enc.so"));
    EXPECT_EQ("", findPrivateFile("", "libusb_dll.so"));
    // The executable's own folder wins over the private one.
    touch(prefixBin + "/liblame_enc.so");
    EXPECT_EQ(prefixBin + "/liblame_enc.so", findPrivateFile(prefixBin, "liblame_enc.so"));
    // A folder of that name is not the library.
    fs::create_directories(buildBin + "/spn.bin");
    EXPECT_EQ("", findPrivateFile(buildBin, "spn.bin"));
}

TEST_F(InstallPathsTest, AgentImageComesFromTheStartFolderThenTheInstallation) {
    // Neither: the start folder's name, where the missing file is reported.
    EXPECT_EQ(start + "/spn.bin", agentImagePath(start, prefixBin, "spn.bin"));
    touch(privateDir + "/spn.bin");
    EXPECT_EQ(canonical(privateDir + "/spn.bin"), canonical(agentImagePath(start, prefixBin, "spn.bin")));
    touch(start + "/spn.bin");
    EXPECT_EQ(start + "/spn.bin", agentImagePath(start, prefixBin, "spn.bin"));
}

TEST_F(InstallPathsTest, ABuildTreesAgentBesideTheProgramIsNotAnInstalledCopy) {
    touch(buildBin + "/spn.bin");
    EXPECT_EQ(start + "/spn.bin", agentImagePath(start, buildBin, "spn.bin"));
    EXPECT_EQ(start + "/spn.bin", agentImagePath(start, "", "spn.bin"));
}

TEST(UserDataFolder, FollowsTheBaseDirectoryRules) {
    struct Row {
        const char* xdg;
        const char* home;
        const char* folder;
    } rows[] = {
        {"/data", "/home/u", "/data/velmo"},
        {"/data/", "/home/u", "/data/velmo"},
        {nullptr, "/home/u", "/home/u/.local/share/velmo"},
        {"", "/home/u", "/home/u/.local/share/velmo"},
        {"relative/data", "/home/u", "/home/u/.local/share/velmo"},
        {nullptr, nullptr, ""},
        {nullptr, "", ""},
        {"rel", "rel", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.xdg ? row.xdg : "(unset)") + " " + (row.home ? row.home : "(unset)"));
        EXPECT_EQ(row.folder, userDataFolder(row.xdg, row.home));
    }
}

TEST(MakeFolders, CreatesMissingParentsPrivatelyAndRefusesAFile) {
    TempDir dir;
    const std::string folder = dir.file("a/b/velmo");
    std::string error;
    ASSERT_TRUE(makeFolders(folder, error)) << error;
    EXPECT_TRUE(fs::is_directory(folder));
    struct stat st {};
    ASSERT_EQ(0, ::stat(folder.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
    // Already there: fine.
    EXPECT_TRUE(makeFolders(folder, error)) << error;

    writeFileBytes(dir.file("file"), {1});
    EXPECT_FALSE(makeFolders(dir.file("file"), error));
    EXPECT_NE(std::string::npos, error.find("file")) << error;
    EXPECT_FALSE(makeFolders(dir.file("file/sub"), error));
    EXPECT_FALSE(makeFolders("", error));
}

}  // namespace
