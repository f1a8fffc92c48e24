// velmo-cli against what it cannot trust: a second velmo-cli on its start
// folder (the folder's lock) or on its clock (the device's exclusive open),
// input files that are not small regular files, and names holding control
// bytes. Every child is killed and reaped when a test ends early.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "folder_lock.h"
#include "song_fixtures.h"
#include "storage_layout.h"
#include "tempdir.h"
#include "zentro_sim_control.h"

using namespace velmo;
using namespace velmo::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kInUseLine = "velmo-cli: Another Velmo is using this folder !";

// A velmo-cli process that has been started and not yet waited for.
class Child {
  public:
    Child() = default;
    Child(pid_t pid, std::string outPath, std::string errPath)
        : pid_(pid), outPath_(std::move(outPath)), errPath_(std::move(errPath)) {}
    Child(Child&& o) noexcept : pid_(o.pid_), outPath_(std::move(o.outPath_)), errPath_(std::move(o.errPath_)) {
        o.pid_ = -1;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
        }
    }

    CliRun wait() {
        const CliRun r = waitProgram(pid_, outPath_, errPath_);
        pid_ = -1;
        return r;
    }
    std::string errSoFar() const { return readText(errPath_); }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
};

// Polls a condition for up to 60 s: a wait for another process to reach a
// point, not a measurement.
template <typename Condition>
bool eventually(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A pseudo-terminal: velmo-cli asks its questions there and waits for the answer.
class Terminal {
  public:
    Terminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    }
    ~Terminal() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    bool ok() const { return slave_ >= 0; }
    int slave() const { return slave_; }
    bool answer(const char* text) {
        return ::write(master_, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
    }

  private:
    int master_ = -1, slave_ = -1;
};

class CliHardeningTest : public ::testing::Test {
  public:
    TempDir dir;
    std::string sim;
    std::string cli = std::string(VELMO_BIN_DIR) + "/velmo-cli";
    int started = 0;

    void SetUp() override {
        sim = dir.file("sim");
        ASSERT_EQ(0, zentroSimSetDir(sim.c_str()));
        ASSERT_EQ(0, zentroSimReset());
    }

    std::string startFolder(const std::string& name) {
        const std::string folder = dir.file(name);
        fs::create_directories(folder);
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", folder + "/spn.bin");
        return folder;
    }

    // velmo-cli --dir FOLDER ARGS..., standard input `stdinFd` (-1: /dev/null).
    Child start(const std::string& folder, const std::vector<std::string>& args, int stdinFd = -1) {
        const int n = started++;
        CliStart s;
        s.program = cli;
        s.args = {"--dir", folder};
        s.args.insert(s.args.end(), args.begin(), args.end());
        s.outPath = dir.file("out" + std::to_string(n) + ".txt");
        s.errPath = dir.file("err" + std::to_string(n) + ".txt");
        s.stdinFd = stdinFd;
        s.simDir = sim;
        // The names these tests hand over are bytes, whatever the locale.
        s.testLocale = false;
        const pid_t pid = startProgram(s);
        return pid > 0 ? Child(pid, s.outPath, s.errPath) : Child();
    }

    CliRun run(const std::string& folder, const std::vector<std::string>& args) { return start(folder, args).wait(); }

    json list(const std::string& folder) {
        const CliRun r = run(folder, {"--json", "list"});
        EXPECT_EQ(0, r.status) << r.err;
        return r.status == 0 ? json::parse(r.out) : json();
    }

    std::string song(const std::string& name, const std::string& from) {
        return copyFixture(from, dir.file("music"), name);
    }

    // True while some process holds the folder's lock exclusively.
    static bool folderBusy(const std::string& folder) {
        FolderLock probe;
        return probe.acquire(folder, FolderAccess::Shared) == FolderLockResult::InUse;
    }
};

std::vector<std::string> sourcePaths(const json& list) {
    std::vector<std::string> out;
    for (const json& s : list["songs"]) out.push_back(s["sourcePath"].get<std::string>());
    return out;
}

TEST_F(CliHardeningTest, EveryCommandThatUsesTheFolderIsRefusedWhileAnotherVelmoHoldsIt) {
    const std::string folder = startFolder("start");
    writeSongTable(folder, {1000, 2000}, kQualityGood, 1);
    const std::vector<uint8_t> table = readFileBytes(folder + "/zt_hdr.tbl");
    fs::create_directories(folder + "/dat");
    writeFileBytes(folder + "/dat/tmp.bin", {1, 2, 3});  // another Velmo's working file
    std::vector<uint8_t> firmware(100, 0x11);
    std::memcpy(firmware.data(), "(8G$", 4);
    writeFileBytes(dir.file("fw.bin"), firmware);
    const std::string tone = song("Tone.wav", "wav_pcm16_mono.wav");

    struct Row {
        FolderAccess held;
        std::vector<std::string> args;
    };
    const std::vector<Row> rows = {
        {FolderAccess::Exclusive, {"add", tone}},
        {FolderAccess::Exclusive, {"drop", tone}},
        {FolderAccess::Exclusive, {"delete", "1"}},
        {FolderAccess::Exclusive, {"up", "2"}},
        {FolderAccess::Exclusive, {"down", "1"}},
        {FolderAccess::Exclusive, {"quality", "best"}},
        {FolderAccess::Exclusive, {"download", "--yes"}},
        {FolderAccess::Exclusive, {"reload", "--yes"}},
        {FolderAccess::Exclusive, {"firmware", dir.file("fw.bin"), "--yes"}},
        {FolderAccess::Exclusive, {"image", dir.file("out.bin")}},
        {FolderAccess::Exclusive, {"list"}},
        {FolderAccess::Exclusive, {"status"}},
        // A reader beside this one leaves room for more readers only.
        {FolderAccess::Shared, {"add", tone}},
        {FolderAccess::Shared, {"download", "--yes"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        FolderLock other;
        ASSERT_EQ(FolderLockResult::Locked, other.acquire(folder, row.held));
        const CliRun r = run(folder, row.args);
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_TRUE(has(r.err, std::string(kInUseLine) + " (" + folder + ")\n")) << r.err;
        EXPECT_EQ(table, readFileBytes(folder + "/zt_hdr.tbl"));
        EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), readFileBytes(folder + "/dat/tmp.bin"));
        EXPECT_FALSE(fs::exists(dir.file("out.bin")));
    }
    EXPECT_EQ(std::vector<uint8_t>(8192, 0xFF), simFlash(kFirmwareAddress, 8192));

    // Readers share the folder with a reader, and change nothing in it.
    FolderLock reader;
    ASSERT_EQ(FolderLockResult::Locked, reader.acquire(folder, FolderAccess::Shared));
    const json shown = list(folder);
    EXPECT_EQ(2, shown["songCount"]);
    EXPECT_EQ(table, readFileBytes(folder + "/zt_hdr.tbl"));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), readFileBytes(folder + "/dat/tmp.bin"));
    reader.release();

    // Once the other Velmo has gone, the same command works.
    const CliRun after = run(folder, {"add", tone});
    EXPECT_EQ(0, after.status) << after.err;
    EXPECT_EQ(3, list(folder)["songCount"]);
}

TEST_F(CliHardeningTest, TwoAddsStartedTogetherLoseNothing) {
    const std::string folder = startFolder("start");
    ASSERT_EQ(0, zentroSimSetPlugged(0));  // no clock needed: the adds race on the folder alone
    std::vector<std::string> expected;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const std::string a = song("a" + std::to_string(round) + ".wav", "wav_pcm16_mono.wav");
        const std::string b = song("b" + std::to_string(round) + ".wav", "wav_pcm16_mono.wav");
        Child first = start(folder, {"add", a});
        Child second = start(folder, {"add", b});
        const CliRun ra = first.wait();
        const CliRun rb = second.wait();
        for (const auto& [r, path] : {std::pair<const CliRun&, std::string>{ra, a}, {rb, b}}) {
            if (r.status == 0) {
                expected.push_back(path);
            } else {
                EXPECT_EQ(1, r.status) << r.err;
                EXPECT_TRUE(has(r.err, kInUseLine)) << r.err;
            }
        }
        // Every add that said it worked is in the list, and nothing else.
        std::vector<std::string> now = sourcePaths(list(folder));
        std::vector<std::string> want = expected;
        std::sort(now.begin(), now.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(want, now);
    }
    EXPECT_GE(expected.size(), 6u);
}

TEST_F(CliHardeningTest, AnAddDuringADownloadIsRefusedAndTheDownloadLosesNothing) {
    const std::string folder = startFolder("start");
    const std::string walk = song("Walk.mp3", "l3_44100_cbr128_stereo.mp3");
    // The table names its working copies "song<i>.mp3": both songs are MP3s.
    const std::string tone = song("Tone.mp3", "l3_22050_cbr64_stereo.mp3");
    // Estimates past the storage: the download stops at its cut question,
    // holding the folder and the clock, until the test answers.
    writeSongTable(folder, {1500000, 600000}, kQualityGood, 1, [&](size_t i) { return i == 0 ? walk : tone; });

    Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    Child download = start(folder, {"download"}, terminal.slave());
    ASSERT_TRUE(eventually([&] { return has(download.errSoFar(), "Auto cut songs to fit storage size ?"); }))
        << download.errSoFar();

    const CliRun add = run(folder, {"add", song("Late.wav", "wav_pcm16_mono.wav")});
    EXPECT_EQ(1, add.status) << add.err;
    EXPECT_TRUE(has(add.err, kInUseLine)) << add.err;

    ASSERT_TRUE(terminal.answer("ok\n"));
    const CliRun done = download.wait();
    ASSERT_EQ(0, done.status) << done.err;
    EXPECT_TRUE(has(done.err, "Information: Downloading songs finished !\n")) << done.err;

    // The download's list is the one saved, and it is what the clock holds.
    const json saved = list(folder);
    const StorageHeader header = [] {
        StorageHeader h;
        const std::vector<uint8_t> bytes = simFlash(kStorageHeaderAddress, kStorageHeaderBytes);
        decodeStorageHeader(bytes.data(), bytes.size(), h);
        return h;
    }();
    ASSERT_TRUE(hasStorageSignature(header));
    EXPECT_EQ(saved["songCount"].get<unsigned>(), header.songCount);
    EXPECT_EQ(walk, saved["songs"][0]["sourcePath"]);
    EXPECT_EQ(false, saved["songs"][0]["copyPending"]);

    // Afterwards the add goes through.
    const CliRun again = run(folder, {"add", dir.file("music/Late.wav")});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_EQ(saved["songCount"].get<int>() + 1, list(folder)["songCount"].get<int>());
}

TEST_F(CliHardeningTest, ASecondDownloadToTheSameClockIsToldTheClockIsBusy) {
    const std::string first = startFolder("first");
    const std::string second = startFolder("second");
    const std::string walk = song("Walk.mp3", "l3_44100_cbr128_stereo.mp3");
    writeSongTable(first, {1500000, 600000}, kQualityGood, 1, [&](size_t) { return walk; });
    ASSERT_EQ(0, run(second, {"add", song("Tone.wav", "wav_pcm16_stereo.wav")}).status);
    const std::vector<uint8_t> secondTable = readFileBytes(second + "/zt_hdr.tbl");

    Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    Child holder = start(first, {"download"}, terminal.slave());
    ASSERT_TRUE(eventually([&] { return has(holder.errSoFar(), "Auto cut songs to fit storage size ?"); }))
        << holder.errSoFar();

    const CliRun busy = run(second, {"download", "--yes"});
    EXPECT_EQ(1, busy.status) << busy.err;
    EXPECT_TRUE(has(busy.err, "Error: The clock is in use by another program !\n")) << busy.err;
    EXPECT_FALSE(has(busy.err, "Please plug-in USB")) << busy.err;
    EXPECT_EQ(secondTable, readFileBytes(second + "/zt_hdr.tbl"));
    const CliRun status = run(second, {"status"});
    EXPECT_EQ(1, status.status);
    EXPECT_TRUE(has(status.err, "Error: The clock is in use by another program !\n")) << status.err;

    ASSERT_TRUE(terminal.answer("ok\n"));
    const CliRun done = holder.wait();
    ASSERT_EQ(0, done.status) << done.err;
    StorageHeader header;
    const std::vector<uint8_t> bytes = simFlash(kStorageHeaderAddress, kStorageHeaderBytes);
    ASSERT_TRUE(decodeStorageHeader(bytes.data(), bytes.size(), header));
    ASSERT_GE(header.songCount, 1);
    EXPECT_STREQ("song0", header.entries[0].songName);

    // With the first one gone, the clock is free again.
    const CliRun later = run(second, {"download", "--yes"});
    EXPECT_EQ(0, later.status) << later.err;
    ASSERT_TRUE(
        decodeStorageHeader(simFlash(kStorageHeaderAddress, kStorageHeaderBytes).data(), kStorageHeaderBytes, header));
    EXPECT_STREQ("Tone", header.entries[0].songName);
}

TEST_F(CliHardeningTest, FirmwareThatIsNotASmallRegularFileEndsWithItsMessage) {
    const std::string folder = startFolder("start");
    const std::string fifo = dir.file("fifo.bin");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    fs::create_directories(dir.file("folder.bin"));
    struct Row {
        std::string path;
        const char* line;
    };
    const std::vector<Row> rows = {
        {"/dev/zero", "Error: Firmware code format error !\n"},
        {fifo, "Error: Firmware code format error !\n"},
        {dir.file("folder.bin"), "Error: Firmware code format error !\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const CliRun r = run(folder, {"firmware", "--yes", row.path});
        EXPECT_EQ(1, r.status);
        EXPECT_TRUE(has(r.err, row.line)) << r.err;
    }
    EXPECT_EQ(std::vector<uint8_t>(8192, 0xFF), simFlash(kFirmwareAddress, 8192));
}

TEST_F(CliHardeningTest, InspectAndListShowControlBytesEscaped) {
    StorageHeader h;
    h.songCount = 2;
    std::memcpy(h.signature, kSignature, sizeof kSignature);
    h.quality = kQualityGood;
    const char hostile[] = "red\x1b[31m\rbell\x07";
    std::memcpy(h.entries[0].songName, hostile, sizeof hostile - 1);
    std::memcpy(h.entries[1].songName, "plain", 5);
    h.entries[1].dataSize = 0;
    std::vector<uint8_t> image(kStorageHeaderBytes);
    encodeStorageHeader(h, image.data());
    const std::string file = dir.file("image.bin");
    writeFileBytes(file, image);

    const CliRun r = start(dir.path(), {"inspect", file}).wait();
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, "  1  red\\x1B[31m\\x0Dbell\\x07  offset 0")) << r.out;
    EXPECT_TRUE(has(r.out, "  2  plain  offset 0")) << r.out;
    for (const char c : {'\x1b', '\r', '\x07'}) EXPECT_EQ(std::string::npos, r.out.find(c));

    // A list whose song file names carry the same bytes.
    const std::string folder = startFolder("start");
    const std::string name = std::string("tone\x1b]0;title\x07") + ".wav";
    const std::string tone = song(name, "wav_pcm16_mono.wav");
    const CliRun add = run(folder, {"add", tone});
    ASSERT_EQ(0, add.status) << add.err;
    const CliRun shown = run(folder, {"list"});
    ASSERT_EQ(0, shown.status) << shown.err;
    EXPECT_TRUE(has(shown.out, "  tone\\x1B]0;title\\x07.wav, copy pending\n")) << shown.out;
    EXPECT_EQ(std::string::npos, shown.out.find('\x1b'));
}

}  // namespace

namespace {

// The folder's files, name and bytes, to show that a command left the list
// and the options as they were (the agent, the lock file and the working
// folder are not theirs).
std::map<std::string, std::string> folderFiles(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name == "spn.bin" || name == kFolderLockName || name == "dat") continue;
        out[name] = e.is_symlink() ? "link to " + fs::read_symlink(e.path()).string()
                    : e.is_regular_file() ? readText(e.path().string())
                                          : "folder";
    }
    return out;
}

// Each kind of damage: list and status report it, exit 1 and change nothing;
// the next command that changes the list renames the table aside, says so,
// and goes on with an empty list.
TEST_F(CliHardeningTest, ADamagedTableIsReportedByLookingAndSetAsideByChanging) {
    std::vector<uint8_t> valid(32, 0);
    std::memcpy(&valid[6], "VELMO", 6);
    valid[12] = kQualityGood;
    const auto withQuality = [&](uint8_t code) {
        auto b = valid;
        b[12] = code;
        return b;
    };
    auto signature = valid;
    signature[8] = 'X';
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* said;
    } rows[] = {
        {"signature byte", signature, "no \"VELMO\" signature"},
        {"shorter than 14 bytes", std::vector<uint8_t>(valid.begin(), valid.begin() + 13), "shorter than its header"},
        {"garbage", std::vector<uint8_t>(700, 0xC3), "no \"VELMO\" signature"},
        {"quality 0", withQuality(0), "quality code 0 is not"},
        {"quality 1", withQuality(1), "quality code 1 is not"},
        {"quality 3", withQuality(3), "quality code 3 is not"},
        {"quality 247", withQuality(247), "quality code 247 is not"},
    };
    const std::string tone = song("tone.wav", "wav_pcm16_mono.wav");
    bool first = true;
    for (const Row& row : rows) {
        const std::string folder = startFolder(std::string("damaged ") + row.name);
        writeFileBytes(folder + "/zt_hdr.tbl", row.bytes);
        const auto before = folderFiles(folder);
        for (const char* command : {"list", "status"}) {
            if (!first && std::string(command) == "status") continue;  // once is enough for the clock's command
            const CliRun r = run(folder, {command});
            EXPECT_EQ(1, r.status) << row.name << " " << command;
            EXPECT_TRUE(has(r.err, folder + "/zt_hdr.tbl")) << r.err;
            EXPECT_TRUE(has(r.err, row.said)) << r.err;
            EXPECT_TRUE(has(r.err, "left as it is")) << r.err;
            EXPECT_EQ(before, folderFiles(folder)) << row.name << " " << command << " changed the folder";
        }
        first = false;
        const CliRun added = run(folder, {"add", tone});
        EXPECT_EQ(0, added.status) << row.name << added.err;
        EXPECT_TRUE(has(added.err, "renamed " + folder + "/zt_hdr.tbl.damaged")) << added.err;
        EXPECT_TRUE(has(added.out, "Songs in the list: 1")) << added.out;
        EXPECT_EQ(row.bytes, readFileBytes(folder + "/zt_hdr.tbl.damaged")) << row.name;
        EXPECT_EQ(1u, list(folder)["songCount"].get<unsigned>()) << row.name;
    }
}

// A folder in the table's place: nothing is said to be added, nothing is
// saved, the folder stays, and the command fails with the reason.
TEST_F(CliHardeningTest, ATableThatIsAFolderRefusesEveryChange) {
    const std::string folder = startFolder("start");
    fs::create_directory(folder + "/zt_hdr.tbl");
    const std::string tone = song("tone.wav", "wav_pcm16_mono.wav");
    const auto before = folderFiles(folder);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"add", tone}, {"quality", "best"}, {"list"}, {"--json", "list"}}) {
        const CliRun r = run(folder, args);
        EXPECT_EQ(1, r.status) << args[0] << r.out;
        EXPECT_FALSE(has(r.out, "Songs in the list")) << r.out;
        EXPECT_TRUE(has(r.err, folder + "/zt_hdr.tbl: it is a folder")) << r.err;
        EXPECT_TRUE(fs::is_directory(folder + "/zt_hdr.tbl"));
        EXPECT_EQ(before, folderFiles(folder)) << args[0];
    }
}

// Links planted under the old temporary names, or under the files' own
// names, never lead a write out of the start folder.
TEST_F(CliHardeningTest, LinkedFilesNeverLeadAWriteOutOfTheFolder) {
    const std::string outside = dir.file("outside");
    fs::create_directories(outside);
    writeFileBytes(outside + "/precious", {'p'});
    const std::string tone = song("tone.wav", "wav_pcm16_mono.wav");

    const std::string folder = startFolder("new names");
    fs::create_symlink(outside + "/precious", folder + "/velmo.conf.new");
    fs::create_symlink(outside + "/precious", folder + "/zt_hdr.tbl.new");
    ASSERT_EQ(0, run(folder, {"add", tone}).status);
    ASSERT_EQ(0, run(folder, {"volume", "even"}).status);
    EXPECT_EQ("p", readText(outside + "/precious"));
    EXPECT_FALSE(fs::is_symlink(folder + "/zt_hdr.tbl"));
    EXPECT_FALSE(fs::is_symlink(folder + "/velmo.conf"));
    EXPECT_TRUE(has(readText(folder + "/velmo.conf"), "even"));
    EXPECT_EQ(1u, list(folder)["songCount"].get<unsigned>());

    // The files themselves as links: refused with the reason, the files
    // they point to untouched.
    const std::string linked = startFolder("linked");
    fs::create_symlink(outside + "/precious", linked + "/zt_hdr.tbl");
    const CliRun add = run(linked, {"add", tone});
    EXPECT_EQ(1, add.status);
    EXPECT_TRUE(has(add.err, linked + "/zt_hdr.tbl: it is a symbolic link")) << add.err;
    fs::remove(linked + "/zt_hdr.tbl");
    fs::create_symlink(outside + "/precious", linked + "/velmo.conf");
    const CliRun volume = run(linked, {"volume", "even"});
    EXPECT_EQ(1, volume.status);
    EXPECT_TRUE(has(volume.err, linked + "/velmo.conf: it is a symbolic link")) << volume.err;
    EXPECT_EQ("p", readText(outside + "/precious"));
    EXPECT_TRUE(fs::is_symlink(linked + "/velmo.conf"));
}

// Paths reach a script byte for byte and a terminal harmless: JSON escapes
// the bytes that are not UTF-8 reversibly and the controls and bidi controls
// as \u escapes; the terminal shows a newline as \n and a bidi control by its
// code point.
TEST_F(CliHardeningTest, HostilePathsAreEscapedInJsonAndOnTheTerminal) {
    const std::string folder = startFolder("start");
    const std::string name = std::string("caf\xe9 \x7f\xc2\x9b evil\xe2\x80\xae") + "vaw.wav";
    const std::string tone = song(name, "wav_pcm16_mono.wav");
    ASSERT_EQ(0, run(folder, {"add", tone}).status);
    const CliRun r = run(folder, {"--json", "list"});
    ASSERT_EQ(0, r.status) << r.err;
    for (const char* raw : {"\x7f", "\xc2\x9b", "\xe2\x80\xae", "\xe9"}) EXPECT_FALSE(has(r.out, raw)) << r.out;
    EXPECT_TRUE(has(r.out, "caf\\\\xE9 \\u007f\\u009b evil\\u202evaw.wav")) << r.out;
    const json parsed = json::parse(r.out);  // any reader takes it
    EXPECT_EQ(std::string("caf\\xE9 \x7f\xc2\x9b evil\xe2\x80\xae") + "vaw.wav",
              fs::path(parsed["songs"][0]["sourcePath"].get<std::string>()).filename().string());

    const CliRun shown = run(folder, {"list"});
    EXPECT_TRUE(has(shown.out, "caf\\xE9 \\x7F\\xC2\\x9B evil\\u202Evaw.wav")) << shown.out;

    // A newline in a path, in a message on the terminal and in JSON.
    const std::string broken = dir.file("music") + "/two\nlines.mp3";
    writeFileBytes(broken, std::vector<uint8_t>(100, 0));
    const CliRun refused = run(folder, {"add", broken});
    EXPECT_EQ(1, refused.status);
    EXPECT_TRUE(has(refused.err, "two\\nlines.mp3")) << refused.err;
    const CliRun refusedJson = run(folder, {"--json", "add", broken});
    EXPECT_TRUE(has(refusedJson.err, "two\\\\nlines.mp3")) << refusedJson.err;
}

// velmo-cli killed (SIGKILL) at points spread over a Download that appends a
// song to a clock holding the list's record: whatever the point, the clock
// holds no songs, the old songs or the new ones, a Reload finds exactly that,
// and the next Download from the same folder ends with the clock a whole
// Download gives.
TEST_F(CliHardeningTest, AKilledDownloadLeavesNoSongsTheOldOnesOrTheNewOnesAndTheNextOneFinishes) {
    const std::string folder = startFolder("start");
    std::vector<std::string> songs;
    for (int i = 0; i < 4; ++i)
        songs.push_back(song("Old" + std::to_string(i) + ".mp3", "l3_22050_cbr64_stereo.mp3"));
    ASSERT_EQ(0, run(folder, {"add", songs[0], songs[1], songs[2], songs[3]}).status);
    ASSERT_EQ(0, run(folder, {"download"}).status);
    const std::vector<uint8_t> oldFlash = readFileBytes(sim + "/flash.bin");
    const std::string appended = dir.file("music/New.wav");
    writeToneWav(appended, 20);
    ASSERT_EQ(0, run(folder, {"add", appended}).status);

    const std::string saved = dir.file("saved");
    fs::copy(folder, saved, fs::copy_options::recursive);
    const auto restore = [&] {
        fs::remove_all(folder);
        fs::copy(saved, folder, fs::copy_options::recursive);
        writeFileBytes(sim + "/flash.bin", oldFlash);
    };

    // The uninterrupted Download, at the link's speed: the clock it leaves,
    // and how long it takes, to spread the kills over.
    ASSERT_EQ(0, zentroSimSetDelay(1));
    const auto began = std::chrono::steady_clock::now();
    const CliRun whole = run(folder, {"download"});
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_EQ(0, whole.status) << whole.err;
    const std::vector<uint8_t> newFlash = readFileBytes(sim + "/flash.bin");
    ASSERT_NE(oldFlash, newFlash);

    const auto clockSongs = [] {
        StorageHeader h;
        const std::vector<uint8_t> bytes = simFlash(kStorageHeaderAddress, kStorageHeaderBytes);
        return decodeStorageHeader(bytes.data(), bytes.size(), h) && hasStorageSignature(h) ? int(h.songCount) : 0;
    };
    std::map<int, int> seen;  // songs on the clock after a kill -> how often
    constexpr int kKills = 16;
    for (int k = 0; k < kKills; ++k) {
        SCOPED_TRACE(k);
        restore();
        ASSERT_EQ(0, zentroSimSetDelay(1));
        Child download = start(folder, {"download"});
        std::this_thread::sleep_for(took * k / kKills);
        ::kill(download.pid(), SIGKILL);
        download.wait();
        ASSERT_EQ(0, zentroSimSetDelay(0));

        const std::vector<uint8_t> cut = readFileBytes(sim + "/flash.bin");
        const int onClock = clockSongs();
        ++seen[onClock];
        if (onClock == 4) EXPECT_EQ(oldFlash, cut) << "the old songs, whole";
        else if (onClock == 5) EXPECT_EQ(newFlash, cut) << "the new songs, whole";
        else EXPECT_EQ(0, onClock) << "no songs, the old ones or the new ones: never parts of both";

        const std::string other = startFolder("reload" + std::to_string(k));
        const CliRun reload = run(other, {"reload", "--yes"});
        EXPECT_EQ(onClock == 0 ? 1 : 0, reload.status) << reload.err;
        EXPECT_EQ(onClock, list(other)["songCount"].get<int>());

        const CliRun next = run(folder, {"download"});
        EXPECT_EQ(0, next.status) << next.err;
        EXPECT_EQ(newFlash, readFileBytes(sim + "/flash.bin"));
        EXPECT_EQ(5, list(folder)["songCount"].get<int>());
    }
    EXPECT_GE(seen.size(), 2u) << "the kills reached more than one step";
}

}  // namespace
