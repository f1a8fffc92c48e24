// velmo-cli run as a process in temporary folders, against a simulated clock
// of the test's own (ZENTRO_SIM_DIR), set up through the simulator's control
// API with the delay off.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "loudness_peer.h"
#include "song_fixtures.h"
#include "songtable.h"
#include "storage_layout.h"
#include "tempdir.h"
#include "velmo_build.h"
#include "zentro_sim_control.h"

using namespace velmo;
using namespace velmo::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class CliTest : public ::testing::Test {
  public:
    TempDir dir;
    std::string start;
    std::string sim;
    std::string cli = std::string(VELMO_BIN_DIR) + "/velmo-cli";
    std::string language;  // LANGUAGE for the runs; empty: not set

    void SetUp() override {
        start = dir.file("start");
        sim = dir.file("sim");
        fs::create_directories(start);
        copyAgent(start);
        ASSERT_EQ(0, zentroSimSetDir(sim.c_str()));
        ASSERT_EQ(0, zentroSimReset());
    }

    void copyAgent(const std::string& folder) {
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", folder + "/spn.bin");
    }

    // Runs velmo-cli with `args`, standard input `stdinFd` (default /dev/null:
    // no terminal), in the folder `cwd` (default: the test's folder).
    // `during`, when given, is called with the running program's process id
    // and the paths of its output files, before the test waits for it.
    using During = std::function<void(pid_t pid, const std::string& outPath, const std::string& errPath)>;
    CliRun run(const std::vector<std::string>& args, const std::string& cwd = "", int stdinFd = -1,
               const During& during = {}) {
        CliStart s;
        s.program = cli;
        s.args = args;
        s.outPath = dir.file("stdout.txt");
        s.errPath = dir.file("stderr.txt");
        s.cwd = cwd.empty() ? dir.path() : cwd;
        s.stdinFd = stdinFd;
        s.simDir = sim;
        s.language = language;
        const pid_t pid = startProgram(s);
        if (pid > 0 && during) during(pid, s.outPath, s.errPath);
        return waitProgram(pid, s.outPath, s.errPath);
    }

    // Another program of the build, the same way.
    CliRun runProgram(const std::string& program, const std::vector<std::string>& args) {
        const std::string saved = cli;
        cli = program;
        CliRun r = run(args);
        cli = saved;
        return r;
    }

    // velmo-cli --dir FOLDER ARGS...
    CliRun in(const std::string& folder, std::vector<std::string> args, const std::string& cwd = "") {
        args.insert(args.begin(), {"--dir", folder});
        return run(args, cwd);
    }

    json listJson(const std::string& folder) {
        const CliRun r = in(folder, {"--json", "list"});
        EXPECT_EQ(0, r.status) << r.err;
        return json::parse(r.out);
    }

    std::string fixture(const std::string& name) const { return fixturePath(name); }

    // A copy of a fixture under a new name in a folder of the test's own.
    std::string song(const std::string& name, const std::string& from, const std::string& folder = "music") {
        return copyFixture(from, dir.file(folder), name);
    }

    // The first 74 frames of the 128 kbit/s fixture, 1.93 s: at Best four
    // stay below 65536 bytes with the encoder's share, and a fifth reaches it.
    std::string shortSong(const std::string& name) {
        const std::string path = song(name, "l3_44100_cbr128_stereo.mp3");
        std::filesystem::resize_file(path, 31000);
        return path;
    }

    // A song table in `folder` whose records carry these estimates.
    void writeTable(const std::string& folder, const std::vector<uint32_t>& estimates, uint16_t quality = 4) {
        writeSongTable(folder, estimates, quality, 1);
    }

    std::vector<uint8_t> flash(uint32_t address, uint32_t count) { return simFlash(address, count); }

    StorageHeader clockHeader() {
        StorageHeader h;
        const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
        EXPECT_TRUE(decodeStorageHeader(bytes.data(), bytes.size(), h));
        return h;
    }
};

std::vector<std::string> workPaths(const json& list) {
    std::vector<std::string> out;
    for (const json& s : list["songs"]) out.push_back(s["workPath"].get<std::string>());
    return out;
}

// ---------------------------------------------------------------------------
// The command line

TEST_F(CliTest, UsageErrorsExitWithTwo) {
    // Alone it lists its commands, and volume alone says its setting
    // (cli_tool_test.cpp): neither is a usage error.
    const std::vector<std::vector<std::string>> rows = {
        {"frobnicate"},
        {"delete"},
        {"delete", "two"},
        {"quality", "loud"},
        {"volume", "loud"},
        {"add"},
        {"firmware"},
        {"list", "extra"},
        {"--dir", dir.file("no-such-folder"), "list"},
    };
    for (const auto& args : rows) {
        const CliRun r = run(args);
        EXPECT_EQ(2, r.status) << testing::PrintToString(args);
        EXPECT_FALSE(r.err.empty()) << testing::PrintToString(args);
    }
    EXPECT_EQ(0, run({"--help"}).status);
    EXPECT_EQ(2, run({"help", "frobnicate"}).status);
    // An unknown command is named, also after the options before it.
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"bogus"}, {"--dir", start, "--jobs", "2", "bogus", "x"}}) {
        const CliRun r = run(args);
        EXPECT_EQ(2, r.status);
        EXPECT_TRUE(has(r.err, "velmo-cli: there is no command bogus")) << r.err;
    }
}

TEST_F(CliTest, EveryProgramTellsTheProjectVersion) {
    // velmo itself answers without starting Qt, so no display is needed.
    for (const char* program : {"velmo-cli", "zentro-sim", "velmo"}) {
        SCOPED_TRACE(program);
        const std::string path = std::string(VELMO_BIN_DIR) + "/" + program;
        if (!fs::exists(path)) {
            EXPECT_STREQ("velmo", program) << "only the window is optional (VELMO_GUI)";
            continue;
        }
        const CliRun r = runProgram(path, {"--version"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::string(program) + " " + kVelmoVersion + "\n", r.out);
    }
    // The version comes from CMakeLists.txt's project(): a dotted number.
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(kVelmoVersion[0]))) << kVelmoVersion;
    EXPECT_NE(nullptr, std::strchr(kVelmoVersion, '.')) << kVelmoVersion;
}

TEST_F(CliTest, HelpCommandShowsWhatCommandHelpShows) {
    const std::vector<std::string> commands = {"status", "list",     "add",     "drop",   "delete",
                                               "up",     "down",     "quality", "names",  "download",
                                               "up",     "down",     "quality", "volume", "download",
                                               "reload", "firmware", "image",   "inspect"};
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        const CliRun viaHelp = run({"help", command});
        const CliRun viaFlag = run({command, "--help"});
        EXPECT_EQ(0, viaHelp.status) << viaHelp.err;
        EXPECT_EQ(0, viaFlag.status) << viaFlag.err;
        EXPECT_EQ(viaFlag.out, viaHelp.out);
        EXPECT_TRUE(has(viaHelp.out, "Usage: velmo-cli " + command)) << viaHelp.out;
    }
    // The whole program's help, which lists every command.
    const CliRun all = run({"help"});
    EXPECT_EQ(run({"--help"}).out, all.out);
    for (const std::string& command : commands) EXPECT_TRUE(has(all.out, "  " + command + " ")) << command;
    // add and drop name every format they take, and folders.
    for (const char* command : {"add", "drop"}) {
        const std::string help = run({"help", command}).out;
        for (const char* word : {"FLAC", "Opus", ".flac", ".m4a", ".aiff", "folder"})
            EXPECT_TRUE(has(help, word)) << command << ": " << word;
    }
    // The simulator's help says where the simulated clock lives.
    const CliRun sim = runProgram(std::string(VELMO_BIN_DIR) + "/zentro-sim", {"--help"});
    EXPECT_EQ(0, sim.status);
    EXPECT_TRUE(has(sim.out, "$ZENTRO_SIM_DIR")) << sim.out;
    EXPECT_TRUE(has(sim.out, "~/.local/state/zentro-sim")) << sim.out;
}

// ---------------------------------------------------------------------------
// The song list, without a clock

TEST_F(CliTest, AddTakesRelativePathsAndListJsonShowsTheSavedTable) {
    song("Walk.mp3", "l3_44100_cbr128_stereo.mp3");
    song("Tone.wav", "wav_pcm16_stereo.wav");
    // No clock is needed to edit the list.
    ASSERT_EQ(0, zentroSimSetPlugged(0));

    const CliRun add = in(start, {"add", "Walk.mp3", "Tone.wav"}, dir.file("music"));
    ASSERT_EQ(0, add.status) << add.err;
    EXPECT_TRUE(has(add.out, "Songs in the list: 2")) << add.out;

    const json list = listJson(start);
    SongTableHeader header;
    std::unique_ptr<Song[]> songs(new Song[kMaxSongs]());
    ASSERT_EQ(0, loadSongTable(start, header, songs.get()));
    ASSERT_EQ(2, header.songCount);
    EXPECT_EQ(2, list["songCount"]);
    EXPECT_EQ(header.quality, list["quality"]);
    EXPECT_EQ(header.totalEstimate, list["totalEstimate"]);
    EXPECT_EQ(2031616u, list["capacity"]);
    EXPECT_EQ(2048u, list["storageKB"]);
    ASSERT_EQ(2u, list["songs"].size());
    const std::string names[2] = {"Walk.mp3", "Tone.wav"};
    for (size_t i = 0; i < 2; ++i) {
        const json& s = list["songs"][i];
        EXPECT_EQ(i + 1, s["position"]);
        EXPECT_EQ(names[i], s["name"]);
        // Made absolute before admission, as a file dialog gives them.
        EXPECT_EQ(dir.file("music") + "/" + names[i], s["sourcePath"]);
        EXPECT_EQ("./dat/" + names[i], s["workPath"]);
        EXPECT_EQ(std::string(songs[i].sourcePath), s["sourcePath"]);
        // The records are packed: their numbers are compared by value.
        EXPECT_EQ(uint32_t{songs[i].sizeEstimate}, s["sizeEstimate"]);
        EXPECT_EQ(true, s["copyPending"]);
        EXPECT_EQ(songs[i].cutFlag != 0, s["cutFlag"]);
        EXPECT_EQ(uint32_t{songs[i].cutLimit}, s["cutLimit"]);
        EXPECT_EQ(uint32_t{songs[i].dataOffset}, s["dataOffset"]);
        EXPECT_EQ(uint32_t{songs[i].dataSize}, s["dataSize"]);
    }
    // One second of 16-bit stereo at quality Good: 4000 bytes, and the encoder's 320.
    EXPECT_EQ(4320u, list["songs"][1]["sizeEstimate"]);
    EXPECT_EQ(list["songs"][0]["sizeEstimate"].get<uint32_t>() + 4320u, list["totalEstimate"].get<uint32_t>());

    const CliRun text = in(start, {"list"});
    EXPECT_EQ(0, text.status);
    // Number, length, estimated size and the line, in columns.
    EXPECT_TRUE(has(text.out, "  #   Length          Size  Song\n")) << text.out;
    EXPECT_TRUE(has(text.out, "  1     0:02")) << text.out;
    EXPECT_TRUE(has(text.out, "  Walk.mp3, copy pending\n")) << text.out;
    EXPECT_TRUE(has(text.out, "  2     0:01       4.2 KiB  Tone.wav, copy pending\n")) << text.out;
    EXPECT_TRUE(has(text.out, "Space usage: ")) << text.out;
}

struct AdmissionRow {
    const char* name;
    std::vector<uint32_t> table;  // estimates already in the list
    bool drop;
    std::vector<std::string> files;  // fixture:newname, or "text:newname" for a text file
    int status;
    std::string line;  // expected on standard error; "%d" stands for the music folder
    size_t countAfter;
};

TEST_F(CliTest, AdmissionRefusalsShowTheirMessage) {
    const std::vector<AdmissionRow> rows = {
        {"unsupported file",
         {},
         false,
         {"text:bad.mp3"},
         1,
         "Error: The file format of %d/bad.mp3 is not supported",
         0},
        {"32 songs",
         std::vector<uint32_t>(32, 1000),
         false,
         {"wav_pcm16_mono.wav:a.wav"},
         1,
         "Error: Song counts are over than limit !",
         32},
        {"storage full",
         {2031616},
         false,
         {"wav_pcm16_mono.wav:a.wav"},
         1,
         "Error: Songs over than storage limit !",
         1},
        {"limit reached",
         {2031000},
         false,
         {"wav_pcm16_mono.wav:a.wav"},
         0,
         "Information: Storage size limit reached !",
         2},
        {"drop a text file",
         {},
         true,
         {"wav_pcm16_mono.wav:a.wav", "text:notes.txt"},
         1,
         "Error: Only support '.mp3' & '.wav' file format.",
         1},
        {"drop over 64",
         std::vector<uint32_t>(62, 1000),
         true,
         {"wav_pcm16_mono.wav:a.wav", "wav_pcm16_mono.wav:b.wav", "wav_pcm16_mono.wav:c.wav"},
         1,
         "Error: Total song files are over than sixty four files !",
         62},
        {"drop over storage",
         {2031616},
         true,
         {"wav_pcm16_mono.wav:a.wav"},
         1,
         "Error: Songs over than storage limit !",
         1},
    };
    for (const AdmissionRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string folder = dir.file(std::string("start-") + row.name);
        fs::create_directories(folder);
        if (!row.table.empty()) writeTable(folder, row.table);
        std::vector<std::string> args = {row.drop ? "drop" : "add"};
        for (const std::string& f : row.files) {
            const size_t colon = f.find(':');
            const std::string from = f.substr(0, colon), name = f.substr(colon + 1);
            if (from == "text") {
                fs::create_directories(dir.file("music"));
                writeFileBytes(dir.file("music") + "/" + name, {'h', 'i', '\n'});
            } else {
                song(name, from);
            }
            args.push_back(dir.file("music") + "/" + name);
        }
        const CliRun r = in(folder, args);
        EXPECT_EQ(row.status, r.status) << r.err;
        std::string line = row.line;
        const size_t at = line.find("%d");
        if (at != std::string::npos) line.replace(at, 2, dir.file("music"));
        EXPECT_TRUE(has(r.err, line + "\n")) << r.err;
        EXPECT_EQ(row.countAfter, listJson(folder)["songCount"]);
    }
}

// Every file that add does not take is named on a line of its own, with why.
TEST_F(CliTest, AddNamesEveryRefusedFile) {
    const std::string music = dir.file("music");
    const std::string good = song("Song.flac", "flac16_96000_stereo.flac");
    const std::string ogg = song("Tune.ogg", "vorbis_22050_stereo.ogg");
    const std::string garbage = song("Bad.flac", "broken_garbage.flac");
    const std::string cut = song("Cut.m4a", "broken_truncated.m4a");
    writeFileBytes(music + "/notes.txt", {'h', 'i', '\n'});
    const CliRun r = in(start, {"add", good, music + "/Gone.opus", garbage, music + "/notes.txt", cut, ogg});
    EXPECT_EQ(1, r.status);
    const std::vector<std::string> lines = {"Error: Cannot open " + music + "/Gone.opus: No such file or directory\n",
                                            "Error: The file format of " + garbage + " is not supported\n",
                                            "Error: The file format of " + music + "/notes.txt is not supported\n",
                                            "Error: The file format of " + cut + " is not supported\n",
                                            "velmo-cli: 2 of 6 files joined the list\n"};
    for (const std::string& line : lines) EXPECT_TRUE(has(r.err, line)) << line << "\n" << r.err;
    EXPECT_EQ((std::vector<std::string>{"./dat/Song.flac", "./dat/Tune.ogg"}), workPaths(listJson(start)));
}

// A folder given to add or drop stands for its songs and those of its
// sub-folders, in name order; a text file beside them is not offered.
TEST_F(CliTest, AFolderAddsItsSongsInNameOrder) {
    const std::string album = dir.file("album");
    song("b.wav", "wav_pcm16_mono.wav", "album");
    song("A.mp3", "l3_44100_cbr128_stereo.mp3", "album");
    song("x.flac", "flac16_96000_stereo.flac", "album/Disc 2");
    writeFileBytes(album + "/notes.txt", {'h', 'i', '\n'});
    for (const char* command : {"add", "drop"}) {
        SCOPED_TRACE(command);
        const std::string folder = dir.file(std::string("start-") + command);
        fs::create_directories(folder);
        const CliRun r = in(folder, {command, album});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
        EXPECT_EQ((std::vector<std::string>{"./dat/A.mp3", "./dat/x.flac", "./dat/b.wav"}),
                  workPaths(listJson(folder)));
    }
    // A folder without songs says so.
    fs::create_directories(dir.file("empty"));
    const CliRun none = in(start, {"add", dir.file("empty")});
    EXPECT_EQ(1, none.status);
    EXPECT_TRUE(has(none.err, "velmo-cli: there are no song files in " + dir.file("empty") + "\n")) << none.err;
    // ... and says why when its only song lies too deep, and what a link to
    // the whole disk beside it changes: nothing.
    std::string deep = dir.file("deep");
    for (int level = 0; level <= 17; ++level) deep += "/d";
    fs::create_directories(deep);
    fs::copy_file(fixturePath("l3_44100_cbr128_stereo.mp3"), deep + "/far.mp3");
    fs::create_directory_symlink("/", dir.file("deep") + "/root");
    const CliRun far = in(start, {"add", dir.file("deep")});
    EXPECT_EQ(1, far.status);
    EXPECT_TRUE(has(far.err, "velmo-cli: " + dir.file("deep") + ": songs deeper than 16 levels were left out\n"))
        << far.err;
    EXPECT_TRUE(has(far.err, "velmo-cli: there are no song files in " + dir.file("deep") + "\n")) << far.err;
}

// 33 songs in a folder meet Add's limit of 32 exactly as the same 33 files
// named one by one do: the same message, the same list.
TEST_F(CliTest, AFolderMeetsTheLimitsAsItsFilesDo) {
    std::vector<std::string> files;
    for (int i = 0; i < 33; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "s%02d.wav", i);
        files.push_back(song(name, "wav_pcm16_mono.wav", "many"));
    }
    const std::string byFolder = dir.file("by-folder"), byFiles = dir.file("by-files");
    fs::create_directories(byFolder);
    fs::create_directories(byFiles);
    const CliRun folderRun = in(byFolder, {"add", dir.file("many")});
    std::vector<std::string> args = {"add"};
    args.insert(args.end(), files.begin(), files.end());
    const CliRun filesRun = in(byFiles, args);
    EXPECT_EQ(1, folderRun.status);
    EXPECT_EQ(filesRun.status, folderRun.status);
    EXPECT_EQ(filesRun.err, folderRun.err);
    EXPECT_TRUE(has(folderRun.err, "Error: Song counts are over than limit\n")) << folderRun.err;
    const std::vector<std::string> listed = workPaths(listJson(byFolder));
    ASSERT_EQ(32u, listed.size());
    EXPECT_EQ("./dat/s00.wav", listed.front());
    EXPECT_EQ("./dat/s31.wav", listed.back());
    EXPECT_EQ(workPaths(listJson(byFiles)), listed);
    // A full list takes nothing more from a folder.
    const CliRun again = in(byFolder, {"add", dir.file("many")});
    EXPECT_EQ(1, again.status);
    EXPECT_TRUE(has(again.err, "Error: Song counts are over than limit !\n")) << again.err;
}

TEST_F(CliTest, TheEndLineCountsItsSongsRight) {
    ASSERT_EQ(0, zentroSimSetDelay(0));
    for (const int count : {1, 2}) {
        SCOPED_TRACE(count);
        const std::string folder = dir.file("start-" + std::to_string(count));
        fs::create_directories(folder);
        copyAgent(folder);
        std::vector<std::string> add = {"add"};
        for (int i = 0; i < count; ++i) add.push_back(song("t" + std::to_string(i) + ".wav", "wav_pcm16_mono.wav"));
        ASSERT_EQ(0, in(folder, add).status);
        const CliRun down = in(folder, {"download", "--yes"});
        ASSERT_EQ(0, down.status) << down.err;
        EXPECT_TRUE(has(down.out, count == 1 ? "Downloaded 1 song (" : "Downloaded 2 songs (")) << down.out;
        const CliRun image = in(folder, {"image", dir.file("image.bin")});
        ASSERT_EQ(0, image.status) << image.err;
        EXPECT_TRUE(has(image.out, count == 1 ? "Image: 1 song, " : "Image: 2 songs, ")) << image.out;
    }
}

TEST_F(CliTest, DeleteUpDownAndTheirRefusals) {
    writeTable(start, {1000, 2000, 3000});
    const auto order = [&] { return workPaths(listJson(start)); };

    ASSERT_EQ(0, in(start, {"up", "2"}).status);
    EXPECT_EQ((std::vector<std::string>{"./dat/song1.mp3", "./dat/song0.mp3", "./dat/song2.mp3"}), order());
    ASSERT_EQ(0, in(start, {"down", "2"}).status);
    EXPECT_EQ((std::vector<std::string>{"./dat/song1.mp3", "./dat/song2.mp3", "./dat/song0.mp3"}), order());

    struct Refusal {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Refusal> refusals = {
        {{"delete", "0"}, "velmo-cli: there is no song at position 0 (the list holds 3)"},
        {{"delete", "4"}, "velmo-cli: there is no song at position 4 (the list holds 3)"},
        {{"up", "1"}, "velmo-cli: song 1 is already the first"},
        {{"down", "3"}, "velmo-cli: song 3 is already the last"},
        {{"down", "-1"}, "velmo-cli: there is no song at position -1 (the list holds 3)"},
    };
    for (const Refusal& r : refusals) {
        const CliRun out = in(start, r.args);
        EXPECT_EQ(1, out.status) << testing::PrintToString(r.args);
        EXPECT_TRUE(has(out.err, r.message)) << out.err;
    }
    EXPECT_EQ((std::vector<std::string>{"./dat/song1.mp3", "./dat/song2.mp3", "./dat/song0.mp3"}), order());

    const CliRun del = in(start, {"delete", "2"});
    ASSERT_EQ(0, del.status) << del.err;
    const json list = listJson(start);
    EXPECT_EQ((std::vector<std::string>{"./dat/song1.mp3", "./dat/song0.mp3"}), workPaths(list));
    EXPECT_EQ(3000u, list["totalEstimate"]);
}

// Several positions and ranges go in one command; a position past the list
// or a token that is no position removes nothing.
TEST_F(CliTest, DeleteTakesPositionsAndRanges) {
    writeTable(start, {1000, 2000, 3000, 4000, 5000, 6000, 7000});
    const auto order = [&] { return workPaths(listJson(start)); };
    const std::vector<std::string> all = order();

    struct Refusal {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Refusal> refusals = {
        {{"delete", "2", "6-8"}, 1, "velmo-cli: there is no song at position 8 (the list holds 7)"},
        {{"delete", "9-12"}, 1, "velmo-cli: there is no song at position 9 (the list holds 7)"},
        {{"delete", "6-4"}, 2, "6-4 is neither a position nor a range of positions"},
        {{"delete", "0-2"}, 1, "velmo-cli: there is no song at position 0 (the list holds 7)"},
        {{"delete", "2-"}, 2, "2- is neither a position nor a range of positions"},
        {{"delete", "1", "x"}, 2, "x is neither a position nor a range of positions"},
        {{"delete", "3--4"}, 2, "3--4 is neither a position nor a range of positions"},
    };
    for (const Refusal& r : refusals) {
        const CliRun out = in(start, r.args);
        EXPECT_EQ(r.status, out.status) << testing::PrintToString(r.args);
        EXPECT_TRUE(has(out.err, r.message)) << out.err;
        EXPECT_EQ(all, order());
    }

    // Overlapping ranges name each song once.
    const CliRun del = in(start, {"delete", "2", "4-6", "5"});
    ASSERT_EQ(0, del.status) << del.err;
    EXPECT_TRUE(has(del.out, "Songs in the list: 3")) << del.out;
    const json list = listJson(start);
    EXPECT_EQ((std::vector<std::string>{"./dat/song0.mp3", "./dat/song2.mp3", "./dat/song6.mp3"}), workPaths(list));
    EXPECT_EQ(11000u, list["totalEstimate"]);
}

TEST_F(CliTest, QualityRescalesTheEstimates) {
    writeTable(start, {8000, 7999});
    const CliRun best = in(start, {"quality", "best"});
    ASSERT_EQ(0, best.status) << best.err;
    EXPECT_TRUE(has(best.out, "Quality: Best (8)")) << best.out;
    json list = listJson(start);
    EXPECT_EQ(8, list["quality"]);
    EXPECT_EQ(16000u, list["songs"][0]["sizeEstimate"]);
    EXPECT_EQ(15998u, list["songs"][1]["sizeEstimate"]);
    EXPECT_EQ(31998u, list["totalEstimate"]);

    ASSERT_EQ(0, in(start, {"quality", "normal"}).status);
    list = listJson(start);
    EXPECT_EQ(2, list["quality"]);
    EXPECT_EQ(4000u, list["songs"][0]["sizeEstimate"]);
    EXPECT_EQ(3999u, list["songs"][1]["sizeEstimate"]);
}

// ---------------------------------------------------------------------------
// The clock

TEST_F(CliTest, StatusReportsTheClock) {
    struct Row {
        uint32_t code, kb, capacity;
    };
    for (const Row& row : {Row{0, 2048, 2031616}, Row{7, 4096, 4128768}, Row{4, 128, 65536}}) {
        SCOPED_TRACE(row.code);
        ASSERT_EQ(0, zentroSimSetStorageCode(row.code));
        const CliRun r = in(start, {"status", "--json"});
        ASSERT_EQ(0, r.status) << r.err;
        const json s = json::parse(r.out);
        EXPECT_TRUE(s["connected"].get<bool>());
        EXPECT_EQ(row.code, s["storageCode"]);
        EXPECT_EQ(row.kb, s["storageKB"]);
        EXPECT_EQ(row.capacity, s["capacity"]);
        EXPECT_EQ(0.0, s["spaceUsage"]);
        EXPECT_EQ(false, s["storageFull"]);
    }
    const CliRun text = in(start, {"status"});
    EXPECT_TRUE(has(text.out, "Clock: connected\nStorage code: 4\nStorage size: 128 KiB\nCapacity: 65536 bytes\n"))
        << text.out;
    EXPECT_TRUE(has(text.out, "\nBest: 0.0 %, fits\nGood: 0.0 %, fits\nNormal: 0.0 %, fits\n")) << text.out;

    ASSERT_EQ(0, zentroSimSetPlugged(0));
    const CliRun off = in(start, {"--json", "status"});
    EXPECT_EQ(1, off.status);
    // With --json the box is a JSON line as well.
    EXPECT_TRUE(has(off.err, R"("caption":"Error")")) << off.err;
    EXPECT_TRUE(has(off.err, R"("message":"USB connection error ! Please plug-in USB first.")")) << off.err;
    EXPECT_FALSE(json::parse(off.out)["connected"].get<bool>());
    EXPECT_TRUE(json::parse(off.out)["storageCode"].is_null());
    const CliRun plain = in(start, {"status"});
    EXPECT_TRUE(has(plain.err, "Error: USB connection error ! Please plug-in USB first.\n")) << plain.err;
}

// The space at every quality: three lines and their JSON, from the list's
// estimates rescaled as the quality command would.
TEST_F(CliTest, StatusForecastsEveryQuality) {
    writeTable(start, {1500000});
    const CliRun text = in(start, {"status"});
    ASSERT_EQ(0, text.status) << text.err;
    EXPECT_TRUE(has(text.out, "\nBest: 147.7 %, does not fit\nGood: 73.8 %, fits\nNormal: 36.9 %, fits\n")) << text.out;
    const json s = json::parse(in(start, {"--json", "status"}).out);
    ASSERT_EQ(3u, s["qualities"].size());
    const struct {
        const char* name;
        int quality;
        uint32_t total;
        bool fits;
    } rows[] = {{"best", 8, 3000000, false}, {"good", 4, 1500000, true}, {"normal", 2, 750000, true}};
    for (size_t i = 0; i < 3; ++i) {
        const json& q = s["qualities"][i];
        EXPECT_EQ(rows[i].name, q["qualityName"]);
        EXPECT_EQ(rows[i].quality, q["quality"]);
        EXPECT_EQ(rows[i].total, q["totalEstimate"]);
        EXPECT_EQ(rows[i].fits, q["fits"]);
        EXPECT_DOUBLE_EQ(rows[i].total * 100.0 / 2031616.0, q["spaceUsage"].get<double>());
    }
    EXPECT_EQ(s["spaceUsage"], s["qualities"][1]["spaceUsage"]);
}

// names tags|files sets the folder's option; songs joining then are named
// from their tags, and list tells what each song is.
TEST_F(CliTest, NamesFromTagsAndWhatEachSongIs) {
    const auto tagged = [this](const std::string& name, const std::string& from) {
        fs::create_directories(dir.file("tagged"));
        const std::string path = dir.file("tagged") + "/" + name;
        fs::copy_file(std::string(VELMO_TAG_FIXTURES) + "/" + from, path, fs::copy_options::overwrite_existing);
        return path;
    };
    EXPECT_EQ("Names from Tags: off\n", in(start, {"names"}).out);
    const CliRun on = in(start, {"names", "tags"});
    ASSERT_EQ(0, on.status) << on.err;
    EXPECT_EQ("Names from Tags: on\n", on.out);
    EXPECT_TRUE(has(readText(start + "/velmo.conf"), "namesFromTags=1\n"));
    ASSERT_EQ(0,
              in(start, {"add", tagged("01 - track.mp3", "id3v24.mp3"), tagged("02.flac", "title_only.flac")}).status);
    EXPECT_EQ(0, in(start, {"names", "files"}).status);
    ASSERT_EQ(0, in(start, {"add", tagged("03 - track.ogg", "vorbis.ogg")}).status);
    EXPECT_EQ(2, in(start, {"names", "bogus"}).status);
    EXPECT_EQ("Names from Tags: off\n", in(start, {"names"}).out);

    // A new run of the program: what the songs are is probed again.
    const json l = listJson(start);
    ASSERT_EQ(3u, l["songs"].size());
    const struct {
        const char* name;
        const char* format;
        json title;
        json artist;
    } rows[] = {{"Ana - Sunrise Theme.mp3", "mp3", "Sunrise Theme", "Ana"},
                {"Morning Rain.flac", "flac", "Morning Rain", nullptr},
                {"03 - track.ogg", "vorbis", "Vorbis Title", "Vorbis Artist"}};
    for (size_t i = 0; i < 3; ++i) {
        const json& song = l["songs"][i];
        EXPECT_EQ(rows[i].name, song["name"]);
        EXPECT_EQ(rows[i].format, song["format"]);
        EXPECT_EQ(rows[i].title, song["title"]);
        EXPECT_EQ(rows[i].artist, song["artist"]);
        EXPECT_GT(song["durationSeconds"].get<double>(), 0.5);
    }
    const CliRun text = in(start, {"list"});
    EXPECT_TRUE(has(text.out, "  Ana - Sunrise Theme.mp3, copy pending\n")) << text.out;
    EXPECT_TRUE(has(text.out, "  2     0:01       4.2 KiB  Morning Rain.flac, copy pending\n")) << text.out;
}

// "Check Reload by reading twice" is the folder's: on by default,
// `reload-check` sets and says it, and the setting survives the run.
TEST_F(CliTest, ReloadCheckIsKeptForTheFolder) {
    const CliRun said = in(start, {"reload-check"});
    EXPECT_EQ(0, said.status) << said.err;
    EXPECT_EQ("Check Reload by reading twice: on\n", said.out);
    const CliRun once = in(start, {"reload-check", "once"});
    EXPECT_EQ(0, once.status) << once.err;
    EXPECT_EQ("Check Reload by reading twice: off\n", once.out);
    EXPECT_EQ("Check Reload by reading twice: off\n", in(start, {"reload-check"}).out);
    EXPECT_EQ("Check Reload by reading twice: on\n", in(start, {"reload-check", "twice"}).out);
    EXPECT_NE(0, in(start, {"reload-check", "thrice"}).status);
}

// "Even Volume" is the folder's: `volume` sets it, `status` shows it, and a
// Download follows it: a quiet song reaches the clock at the target
// loudness, as another program measures it.
TEST_F(CliTest, VolumeIsKeptForTheFolderAndADownloadFollowsIt) {
    if (std::system("command -v sox > /dev/null && command -v ffmpeg > /dev/null") != 0)
        GTEST_SKIP() << "sox and ffmpeg make and measure the song";
    const auto evenInStatus = [this] {
        const CliRun r = in(start, {"--json", "status"});
        EXPECT_EQ(0, r.status) << r.err;
        return json::parse(r.out)["evenVolume"];
    };
    EXPECT_EQ(json(false), evenInStatus()) << "as-is by default";

    const CliRun set = in(start, {"volume", "even"});
    ASSERT_EQ(0, set.status) << set.err;
    EXPECT_EQ("Volume: even\n", set.out);
    // About -33 LUFS: the clock would play it 17 LU below the others.
    const std::string quiet = dir.file("music/Quiet.wav");
    fs::create_directories(dir.file("music"));
    ASSERT_EQ(0, std::system(("sox -q -n -r 44100 -b 16 -c 2 '" + quiet + "' synth 4 sine 440 gain -30").c_str()));
    ASSERT_EQ(0, in(start, {"add", quiet}).status);
    const CliRun down = in(start, {"download"});
    ASSERT_EQ(0, down.status) << down.err;
    EXPECT_EQ(json(true), evenInStatus());
    EXPECT_TRUE(has(in(start, {"status"}).out, "\nVolume: even\n"));

    const StorageHeader h = clockHeader();
    ASSERT_EQ(1, h.songCount);
    const std::string onClock = dir.file("onclock.mp3");
    writeFileBytes(onClock, flash(kDataAreaAddress + h.entries[0].dataOffset, h.entries[0].dataSize));
    const PeerLoudness peer = peerLoudness(onClock);
    ASSERT_TRUE(peer.ok);
    EXPECT_NEAR(-16.0, peer.lufs, 1.0);
    EXPECT_LE(peer.peakDbfs, -1.0);

    ASSERT_EQ(0, in(start, {"volume", "as-is"}).status);
    EXPECT_EQ(json(false), evenInStatus());
    EXPECT_TRUE(has(in(start, {"status"}).out, "\nVolume: as-is\n"));
}

// A second Download of the same list writes nothing and says so; the
// read-back covers the header then, and every byte with --verify=full.
TEST_F(CliTest, DownloadAgainWritesNothingAndVerifyFullReadsEverything) {
    ASSERT_EQ(
        0, in(start, {"add", song("Walk.mp3", "l3_44100_cbr128_stereo.mp3"), song("Tone.wav", "wav_pcm16_stereo.wav")})
               .status);
    const CliRun first = in(start, {"--json", "download"});
    ASSERT_EQ(0, first.status) << first.err;
    const json whole = json::parse(first.out);
    EXPECT_EQ(whole["imageBytes"], whole["bytesWritten"]);
    EXPECT_EQ(0, whole["songsUnchanged"].get<int>());
    const uint32_t imageBytes = whole["imageBytes"].get<uint32_t>();

    struct Row {
        std::vector<std::string> args;
        uint64_t blocksRead;
    };
    const Row rows[] = {{{"download"}, 3}, {{"download", "--verify=full"}, (imageBytes + 4095) / 4096}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.back());
        const CliRun again = in(start, row.args);
        ASSERT_EQ(0, again.status) << again.err;
        EXPECT_TRUE(has(again.err, "Information: Downloading songs finished ! wrote 0 bytes of ")) << again.err;
        // One progress line per block read back: the header's three, or all.
        size_t lines = 0;
        for (size_t at = again.err.find("Progress: verifying music data... "); at != std::string::npos;
             at = again.err.find("Progress: verifying music data... ", at + 1))
            ++lines;
        EXPECT_EQ(row.blocksRead, lines) << again.err;
        EXPECT_FALSE(has(again.err, "Progress: downloading music data")) << again.err;
    }
    const CliRun same = in(start, {"--json", "download"});
    ASSERT_EQ(0, same.status) << same.err;
    const json o = json::parse(same.out);
    EXPECT_EQ(0, o["bytesWritten"].get<int>());
    EXPECT_EQ(imageBytes, o["imageBytes"].get<uint32_t>());
    EXPECT_EQ(2, o["songsUnchanged"].get<int>());
    EXPECT_TRUE(o["verified"].get<bool>());
    EXPECT_EQ(2, in(start, {"download", "--verify=some"}).status);
}

// Without a terminal, the write names each song it reaches once, with its
// place among the songs, after the caption: the log says which song went
// when, without a line per block. The conversion names what it begins.
TEST_F(CliTest, DownloadProgressNamesEachSongAndItsPlaceOnce) {
    fs::create_directories(dir.file("music"));
    writeToneWav(dir.file("music") + "/First.wav", 3);
    writeToneWav(dir.file("music") + "/Second.wav", 3);
    ASSERT_EQ(0, in(start, {"add", dir.file("music") + "/First.wav", song("Walk.mp3", "l3_44100_cbr128_stereo.mp3"),
                            dir.file("music") + "/Second.wav"})
                     .status);
    const CliRun r = in(start, {"download"});
    ASSERT_EQ(0, r.status) << r.err;
    size_t previous = 0;
    for (const char* line : {"Progress: downloading music data... First.wav (1 of 3)\n",
                             "Progress: downloading music data... Walk.mp3 (2 of 3)\n",
                             "Progress: downloading music data... Second.wav (3 of 3)\n"}) {
        const size_t at = r.err.find(line);
        ASSERT_NE(std::string::npos, at) << line << r.err;
        EXPECT_EQ(std::string::npos, r.err.find(line, at + 1)) << "named once: " << line;
        EXPECT_GT(at, previous) << "in list order: " << line;
        previous = at;
    }
    std::istringstream lines(r.err);
    std::string line;
    bool converting = false;
    size_t progressLines = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("Progress: ", 0) == 0) ++progressLines;
        if (line.rfind("Progress: converting music data... ", 0) == 0 && line.size() > 8 &&
            line.compare(line.size() - 6, 6, " of 3)") == 0)
            converting = true;
    }
    EXPECT_TRUE(converting) << r.err;
    EXPECT_LE(progressLines, 30u) << "no line per block: " << r.err;
}

TEST_F(CliTest, DownloadThenReloadIntoAFreshFolderReturnsTheSongs) {
    ASSERT_EQ(
        0, in(start, {"add", song("Walk.mp3", "l3_44100_cbr128_stereo.mp3"), song("Tone.wav", "wav_pcm16_stereo.wav")})
               .status);
    const CliRun down = in(start, {"download", "--verify"});
    ASSERT_EQ(0, down.status) << down.err;
    EXPECT_TRUE(has(down.err, "Information: Downloading songs finished !\n")) << down.err;
    EXPECT_TRUE(has(down.out, "Verified: the clock holds the ")) << down.out;
    // Without a terminal the progress is printed as plain lines: one bar for
    // the whole download, from the conversion's start to the last block
    // written, that never goes back.
    EXPECT_TRUE(has(down.err, "Progress: converting music data... 1%\n")) << down.err;
    EXPECT_TRUE(has(down.err, "Progress: downloading music data... 100%\n")) << down.err;
    {
        std::istringstream lines(down.err);
        std::string line;
        int last = 0;
        while (std::getline(lines, line)) {
            // --verify reads the clock back afterwards, with a bar of its own.
            if (line.rfind("Progress: ", 0) != 0 || line.back() != '%' || has(line, "verifying")) continue;
            const int percent = std::stoi(line.substr(line.rfind(' ') + 1));
            EXPECT_GE(percent, last) << line;
            last = percent;
        }
        EXPECT_EQ(100, last);
    }
    EXPECT_FALSE(fs::exists(start + "/dat/tmp.bin"));  // closed as the window closes

    const StorageHeader written = clockHeader();
    ASSERT_TRUE(hasStorageSignature(written));
    ASSERT_EQ(2, written.songCount);
    EXPECT_STREQ("Walk", written.entries[0].songName);
    EXPECT_STREQ("Tone", written.entries[1].songName);
    const json downloaded = listJson(start);
    EXPECT_EQ(false, downloaded["songs"][0]["copyPending"]);
    EXPECT_EQ(written.entries[1].dataSize, downloaded["songs"][1]["dataSize"]);

    // A second start folder, used from another current folder.
    const std::string second = dir.file("second");
    fs::create_directories(second);
    copyAgent(second);
    const CliRun reload = in(second, {"reload", "--yes"}, start);
    ASSERT_EQ(0, reload.status) << reload.err;
    EXPECT_TRUE(has(reload.err, "Warning: Reload song data into P.C ? OK (--yes)\n")) << reload.err;
    EXPECT_TRUE(has(reload.err, "Information: Reloading songs finished !\n")) << reload.err;
    EXPECT_TRUE(has(reload.out, "  1  Walk.mp3\n  2  Tone.mp3\n")) << reload.out;

    const json back = listJson(second);
    ASSERT_EQ(2, back["songCount"]);
    EXPECT_EQ((std::vector<std::string>{"./dat/Walk.mp3", "./dat/Tone.mp3"}), workPaths(back));
    for (size_t i = 0; i < 2; ++i) {
        const StorageEntry& e = written.entries[i];
        EXPECT_EQ(flash(kDataAreaAddress + e.dataOffset, e.dataSize),
                  readFileBytes(second + "/dat/" + back["songs"][i]["name"].get<std::string>()));
        EXPECT_GT(back["songs"][i]["sizeEstimate"].get<uint32_t>(), 0u);
    }

    // The reloaded list downloads again from its own folder: the songs' sources
    // are below that folder, not below the current one.
    ASSERT_EQ(0, zentroSimEraseAll());
    const CliRun again = in(second, {"download"}, dir.path());
    ASSERT_EQ(0, again.status) << again.err;
    const StorageHeader rewritten = clockHeader();
    ASSERT_EQ(2, rewritten.songCount);
    // The header states the data its songs really take.
    EXPECT_EQ(rewritten.entries[0].dataSize + rewritten.entries[1].dataSize, rewritten.totalEstimate);
    EXPECT_GT(rewritten.totalEstimate, 0u);
}

TEST_F(CliTest, DownloadRefusalsAndFailures) {
    struct Row {
        const char* name;
        std::vector<uint32_t> table;  // empty: two real songs are added
        uint32_t storageCode;
        int fault;  // -1 none
        int trigger;
        uint32_t faultN, faultParam;
        bool plugged;
        std::vector<std::string> extra;
        std::string line;
    };
    const std::vector<Row> rows = {
        {"empty list", {0}, 0, -1, 0, 0, 0, true, {}, "Information: No song files are in list box !"},
        {"no clock", {}, 0, -1, 0, 0, 0, false, {}, "Error: USB connection error ! Please plug-in USB first."},
        {"cut cancelled",
         {70000},
         4,
         -1,
         0,
         0,
         0,
         true,
         {},
         "Warning !: Auto cut songs to fit storage size ? Cancel (no terminal to ask; --yes answers OK)"},
        {"erase refused",
         {},
         0,
         ZENTRO_FAULT_ERASE_FAIL,
         ZENTRO_TRIGGER_EVERY,
         0,
         0,
         true,
         {},
         "Error: Storage erase error !"},
        {"verify finds a short write",
         {},
         0,
         ZENTRO_FAULT_PROGRAM_SHORT,
         ZENTRO_TRIGGER_AT,
         2,
         0,
         true,
         {"--verify"},
         // The song data goes first: the second block written lies in the data area.
         "Error: Verify failed: the clock holds 0xFF at storage address 0x7120 where the image has 0x"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(0, zentroSimReset());
        const std::string folder = dir.file(std::string("start-") + row.name);
        fs::create_directories(folder);
        copyAgent(folder);
        if (row.table.empty()) {
            ASSERT_EQ(0, in(folder,
                            {"add", song("a.mp3", "l3_44100_cbr128_stereo.mp3"), song("b.wav", "wav_pcm16_stereo.wav")})
                             .status);
        } else if (row.table != std::vector<uint32_t>{0}) {
            writeTable(folder, row.table);
        }
        ASSERT_EQ(0, zentroSimSetStorageCode(row.storageCode));
        if (row.fault >= 0) {
            ASSERT_EQ(0, zentroSimSetFault(row.fault, row.trigger, row.faultN, row.faultParam));
        }
        ASSERT_EQ(0, zentroSimSetPlugged(row.plugged ? 1 : 0));
        const json before = listJson(folder);

        std::vector<std::string> args = {"download"};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        const CliRun r = in(folder, args);
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_TRUE(has(r.err, row.line)) << r.err;
        if (row.fault < 0) {
            // Refused before anything was written: the list and the clock are as they were.
            EXPECT_EQ(before, listJson(folder));
            EXPECT_FALSE(hasStorageSignature(clockHeader()));
        }
    }
}

// The same runs in each language: a refused add, the cut question, a
// download's end and an error, as LANGUAGE picks them. LANGUAGE=C gives the
// English texts byte for byte; --json stays English whatever the language.
TEST_F(CliTest, MessagesSpeakTheUsersLanguage) {
    struct Row {
        const char* language;
        std::string refusedAdd, cutQuestion, finished, downloaded, error;
    };
    const std::vector<Row> rows = {
        {"C", "Error: The file format of %s is not supported",
         "Warning !: Auto cut songs to fit storage size ? Cancel (no terminal to ask; --yes answers OK)",
         "Information: Downloading songs finished !", "Downloaded 2 songs (", "Error: Storage erase error !"},
        {"de", "Fehler: Das Dateiformat von %s wird nicht unterstützt",
         "Warnung!: Lieder automatisch auf die Speichergröße kürzen? Abbrechen (kein Terminal zum Fragen; --yes "
         "antwortet mit OK)",
         "Information: Die Übertragung der Lieder ist beendet!", "2 Lieder übertragen (",
         "Fehler: Fehler beim Löschen des Speichers!"},
        {"fr", "Erreur : Le format de fichier de %s n'est pas pris en charge",
         "Avertissement ! : Couper automatiquement les chansons pour tenir dans la mémoire ? Annuler (aucun terminal "
         "pour demander ; --yes répond OK)",
         "Information : Transfert des chansons terminé !", "2 chansons transférées (",
         "Erreur : Erreur d'effacement de la mémoire !"},
        {"es", "Error: El formato de archivo de %s no es compatible",
         "¡Advertencia!: ¿Recortar automáticamente las canciones al tamaño de la memoria? Cancelar (no hay terminal "
         "para preguntar; --yes responde Aceptar)",
         "Información: ¡Transferencia de canciones terminada!", "2 canciones transferidas (",
         "Error: ¡Error al borrar la memoria!"},
    };
    const std::string notSong = dir.file("notes.txt");
    writeFileBytes(notSong, {'n', 'o', 't', 'e', 's'});
    const auto withPath = [&notSong](std::string line) { return line.replace(line.find("%s"), 2, notSong); };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.language);
        language = row.language;
        ASSERT_EQ(0, zentroSimReset());
        const std::string folder = dir.file(std::string("start-") + row.language);
        fs::create_directories(folder);
        copyAgent(folder);

        CliRun r = in(folder, {"add", notSong});
        EXPECT_EQ(1, r.status);
        EXPECT_TRUE(has(r.err, withPath(row.refusedAdd) + "\n")) << r.err;
        if (language == "C") {
            EXPECT_EQ(withPath(row.refusedAdd) + "\nvelmo-cli: 0 of 1 files joined the list\n", r.err);
            EXPECT_EQ("Songs in the list: 0\nSpace usage: 0.0%\n", r.out);
        }

        const std::string cut = folder + "-cut";
        fs::create_directories(cut);
        copyAgent(cut);
        writeTable(cut, {70000});
        ASSERT_EQ(0, zentroSimSetStorageCode(4));
        r = in(cut, {"download"});
        EXPECT_EQ(1, r.status);
        EXPECT_TRUE(has(r.err, row.cutQuestion + "\n")) << r.err;
        ASSERT_EQ(0, zentroSimSetStorageCode(0));

        ASSERT_EQ(
            0, in(folder, {"add", song("a.mp3", "l3_44100_cbr128_stereo.mp3"), song("b.wav", "wav_pcm16_stereo.wav")})
                   .status);
        r = in(folder, {"download", "--no-verify"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(has(r.err, row.finished + "\n")) << r.err;
        EXPECT_TRUE(has(r.out, row.downloaded)) << r.out;

        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_EVERY, 0, 0));
        r = in(folder, {"download", "--no-verify"});
        EXPECT_EQ(1, r.status);
        EXPECT_TRUE(has(r.err, row.error + "\n")) << r.err;
        // Programs reading JSON get the English text.
        r = in(folder, {"--json", "download", "--no-verify"});
        EXPECT_EQ(1, r.status);
        EXPECT_TRUE(has(r.err, R"("caption":"Error","error":true,"format":1,"message":"Storage erase error !")"))
            << r.err;
        ASSERT_EQ(0, zentroSimClearFaults());
    }
}

TEST_F(CliTest, DownloadWithYesCutsTheListToTheStorage) {
    ASSERT_EQ(0, zentroSimSetStorageCode(4));  // 128 KiB: capacity 65536 bytes
    ASSERT_EQ(0, in(start, {"quality", "best"}).status);
    std::vector<std::string> args = {"add"};
    for (int i = 0; i < 5; ++i) args.push_back(shortSong("s" + std::to_string(i) + ".mp3"));
    const CliRun add = in(start, args);
    // The fifth song reaches the capacity: it stays, with the message.
    ASSERT_EQ(0, add.status) << add.err;
    EXPECT_TRUE(has(add.err, "Information: Storage size limit reached !\n")) << add.err;
    const json added = listJson(start);
    ASSERT_EQ(5, added["songCount"]);
    const uint32_t each = added["songs"][0]["sizeEstimate"];
    ASSERT_GE(5 * each, 65536u);

    const CliRun down = in(start, {"download", "--yes", "--verify"});
    ASSERT_EQ(0, down.status) << down.err;
    EXPECT_TRUE(has(down.err, "Warning !: Auto cut songs to fit storage size ? OK (--yes)\n")) << down.err;
    const json cut = listJson(start);
    ASSERT_EQ(5, cut["songCount"]);
    EXPECT_EQ(true, cut["songs"][4]["cutFlag"]);
    EXPECT_EQ(65536u - 4 * each, cut["songs"][4]["cutLimit"]);
    EXPECT_EQ(false, cut["songs"][3]["cutFlag"]);
    const StorageHeader h = clockHeader();
    EXPECT_EQ(5, h.songCount);
    EXPECT_EQ(8, h.quality);
}

TEST_F(CliTest, ReloadRefusals) {
    writeTable(start, {1000});
    const json before = listJson(start);

    const CliRun blank = in(start, {"reload", "--yes"});
    EXPECT_EQ(1, blank.status);
    EXPECT_TRUE(has(blank.err, "Information: Storage has no music data.\n")) << blank.err;

    const CliRun cancelled = in(start, {"reload"});
    EXPECT_EQ(1, cancelled.status);
    EXPECT_TRUE(
        has(cancelled.err, "Warning: Reload song data into P.C ? Cancel (no terminal to ask; --yes answers OK)\n"))
        << cancelled.err;
    EXPECT_FALSE(has(cancelled.err, "Storage has no music data.")) << cancelled.err;

    ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 12, 0));
    const CliRun lost = in(start, {"reload", "--yes"});
    EXPECT_EQ(1, lost.status);
    EXPECT_TRUE(has(lost.err, "Error: USB connection error")) << lost.err;

    EXPECT_EQ(before, listJson(start));
}

// A clock unplugged during the write: after the defined text, what the clock
// holds now, on the same line.
TEST_F(CliTest, AnUnpluggedDownloadSaysWhatTheClockHolds) {
    ASSERT_EQ(0, in(start, {"add", song("Walk.mp3", "l3_44100_cbr128_stereo.mp3")}).status);
    // The agent's start takes 4 calls, the erase 4: call 12 is in the first block.
    ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_DISCONNECT, ZENTRO_TRIGGER_AT, 12, 0));
    const CliRun lost = in(start, {"download"});
    EXPECT_EQ(1, lost.status);
    EXPECT_TRUE(has(lost.err, "Error: USB connection error The clock now holds no songs (its song header is erased "
                              "first and written last), unless the connection was lost after the last block. "
                              "Download again once it is plugged in.\n"))
        << lost.err;
    const std::vector<uint8_t> bytes = flash(kStorageHeaderAddress, kStorageHeaderBytes);
    StorageHeader h;
    EXPECT_FALSE(decodeStorageHeader(bytes.data(), bytes.size(), h) && hasStorageSignature(h));
}

TEST_F(CliTest, EraseAsksThenLeavesTheClockWithoutSongs) {
    ASSERT_EQ(0, in(start, {"add", song("Walk.mp3", "l3_44100_cbr128_stereo.mp3")}).status);
    ASSERT_EQ(0, in(start, {"download"}).status);
    ASSERT_EQ(1, clockHeader().songCount);

    const CliRun cancelled = in(start, {"erase"});
    EXPECT_EQ(1, cancelled.status);
    EXPECT_TRUE(has(cancelled.err,
                    "Warning: Erase every song from the clock ? Cancel (no terminal to ask; --yes answers OK)\n"))
        << cancelled.err;
    EXPECT_EQ(1, clockHeader().songCount);

    const CliRun erased = in(start, {"erase", "--yes"});
    EXPECT_EQ(0, erased.status) << erased.err;
    EXPECT_TRUE(has(erased.err, "Information: The clock's songs were erased.\n")) << erased.err;
    EXPECT_EQ(0, clockHeader().songCount);
    // The list stays; the clock holds none of it.
    EXPECT_EQ(1u, listJson(start)["songs"].size());
    const CliRun reload = in(start, {"reload", "--yes"});
    EXPECT_TRUE(has(reload.err, "Information: Storage has no music data.\n")) << reload.err;
}

TEST_F(CliTest, FirmwareIsWrittenAndItsRefusals) {
    std::vector<uint8_t> code(100, 0x11);
    std::memcpy(code.data() + 40, "(8G$", 4);
    const std::string good = dir.file("good.bin");
    writeFileBytes(good, code);

    const CliRun ok = in(start, {"firmware", good, "--yes"});
    ASSERT_EQ(0, ok.status) << ok.err;
    EXPECT_TRUE(has(ok.err, "Warning: Upgrade Firmware ? OK (--yes)\n")) << ok.err;
    EXPECT_TRUE(has(ok.err, "Information: Writing code O.K !\n")) << ok.err;
    const std::vector<uint8_t> framed = flash(kFirmwareAddress, 108);
    EXPECT_EQ(0, std::memcmp(framed.data(), "BOOT\x00\x64", 6));
    EXPECT_EQ(std::vector<uint8_t>(framed.begin() + 6, framed.begin() + 106), code);

    std::vector<uint8_t> plain(100, 0x22);
    writeFileBytes(dir.file("plain.bin"), plain);
    std::vector<uint8_t> big(8185, 0x33);
    std::memcpy(big.data(), "(8G$", 4);
    writeFileBytes(dir.file("big.bin"), big);

    ASSERT_EQ(0, zentroSimEraseAll());
    struct Row {
        std::vector<std::string> args;
        std::string line;
    };
    const std::vector<Row> rows = {
        {{"firmware", dir.file("plain.bin"), "--yes"}, "Error: Firmware code format error !"},
        {{"firmware", dir.file("missing.bin"), "--yes"}, "Error: Firmware code format error !"},
        {{"firmware", dir.file("big.bin"), "--yes"}, "Error: Firmware code file size is over limitation !"},
        {{"firmware", good}, "Warning: Upgrade Firmware ? Cancel (no terminal to ask; --yes answers OK)"},
    };
    for (const Row& row : rows) {
        const CliRun r = in(start, row.args);
        EXPECT_EQ(1, r.status) << testing::PrintToString(row.args);
        EXPECT_TRUE(has(r.err, row.line + "\n")) << r.err;
    }
    EXPECT_EQ(std::vector<uint8_t>(8192, 0xFF), flash(kFirmwareAddress, 8192));

    // Relative to the current folder, as a file dialog would give it.
    const CliRun relative = in(start, {"firmware", "good.bin", "--yes"}, dir.path());
    EXPECT_EQ(0, relative.status) << relative.err;
}

// ---------------------------------------------------------------------------
// The conversion alone and the header reader

TEST_F(CliTest, ImageIsTheListsStorageImageAndInspectReadsIt) {
    ASSERT_EQ(0, zentroSimSetPlugged(0));  // no clock needed
    const CliRun empty = in(start, {"image", dir.file("none.bin")});
    EXPECT_EQ(1, empty.status);
    EXPECT_TRUE(has(empty.err, "Information: No song files are in list box !\n")) << empty.err;
    EXPECT_FALSE(fs::exists(dir.file("none.bin")));

    ASSERT_EQ(0, in(start, {"add", song("One.mp3", "l3_22050_cbr64_stereo.mp3"), song("Two.wav", "wav_pcm16_mono.wav"),
                            song("Three.mp3", "l3_8000_cbr16_mono.mp3")})
                     .status);
    const json before = listJson(start);
    const CliRun img = in(start, {"image", "out.bin"}, dir.path());
    ASSERT_EQ(0, img.status) << img.err;
    const std::vector<uint8_t> image = readFileBytes(dir.file("out.bin"));
    ASSERT_GT(image.size(), kStorageHeaderBytes);
    EXPECT_TRUE(has(img.out, "Image: 3 songs, " + std::to_string(image.size()) + " bytes")) << img.out;
    EXPECT_EQ(before, listJson(start));  // the list itself is untouched

    const CliRun ins = run({"inspect", "--json", dir.file("out.bin")});
    ASSERT_EQ(0, ins.status) << ins.err;
    const json h = json::parse(ins.out);
    EXPECT_EQ("image", h["kind"]);
    EXPECT_EQ(0, h["headerOffset"]);
    EXPECT_EQ(3, h["songCount"]);
    EXPECT_EQ(4, h["quality"]);
    ASSERT_EQ(3u, h["songs"].size());
    const std::string names[3] = {"One", "Two", "Three"};
    uint32_t offset = 0;
    for (size_t i = 0; i < 3; ++i) {
        const json& e = h["songs"][i];
        EXPECT_EQ(names[i], e["name"]);
        EXPECT_EQ(offset, e["dataOffset"]);
        EXPECT_GT(e["dataSize"].get<uint32_t>(), 0u);
        EXPECT_TRUE(e["inFile"].get<bool>());
        offset += e["dataSize"].get<uint32_t>();
    }
    EXPECT_EQ(image.size(), kStorageHeaderBytes + offset);
    // The header's total is the data the songs take, not the list's estimate.
    EXPECT_EQ(offset, h["totalEstimate"]);

    // The same list downloaded: the clock's flash file holds the same header.
    ASSERT_EQ(0, zentroSimSetPlugged(1));
    ASSERT_EQ(0, in(start, {"download"}).status);
    const CliRun onClock = run({"--json", "inspect", sim + "/flash.bin"});
    ASSERT_EQ(0, onClock.status) << onClock.err;
    const json f = json::parse(onClock.out);
    EXPECT_EQ("flash", f["kind"]);
    EXPECT_EQ(0x4000, f["headerOffset"]);
    EXPECT_EQ(h["songs"], f["songs"]);

    const CliRun text = run({"inspect", dir.file("out.bin")});
    EXPECT_TRUE(has(text.out, "Songs: 3   Total estimate: ")) << text.out;
    EXPECT_TRUE(has(text.out, "  2  Two  offset ")) << text.out;
}

// The exit status follows how the core's operation ended, for the conversion
// alone as for a Download; the conversion alone asks Download's questions.
TEST_F(CliTest, ExitStatusComesFromTheOutcome) {
    // Done, with a song that could not be converted: named, status 3.
    ASSERT_EQ(0, in(start, {"add", song("walk.mp3", "l3_44100_cbr128_stereo.mp3"),
                            song("victim.mp3", "l3_44100_cbr128_stereo.mp3")})
                     .status);
    ASSERT_EQ(0, in(start, {"download"}).status);
    // Its working copy no longer holds audio, and its source is gone.
    writeFileBytes(start + "/dat/victim.mp3", std::vector<uint8_t>(3000, 0x11));
    fs::remove(dir.file("music") + "/victim.mp3");
    const CliRun partly = in(start, {"download"});
    EXPECT_EQ(3, partly.status) << partly.err;
    EXPECT_TRUE(
        // The clock held the last Download: the end says how much was written.
        has(partly.err, "Information: Downloading songs finished ! 1 song could not be converted: victim.mp3 wrote "))
        << partly.err;
    EXPECT_TRUE(has(partly.err, "velmo-cli: victim.mp3 could not be converted; it has no data\n")) << partly.err;
    EXPECT_TRUE(has(partly.out, "Downloaded 1 of 2 songs (")) << partly.out;
    const CliRun imagePartly = in(start, {"--jobs", "2", "image", dir.file("partly.bin")});
    EXPECT_EQ(3, imagePartly.status) << imagePartly.err;
    EXPECT_TRUE(has(imagePartly.err, "velmo-cli: victim.mp3 could not be converted; it has no data\n"))
        << imagePartly.err;

    struct Row {
        const char* name;
        std::function<void(const std::string& folder)> arrange;
        std::vector<std::string> args;
        int status;
        std::string line;  // on standard error
    } rows[] = {
        {"image refused: the cut question is answered Cancel",
         [this](const std::string& folder) { writeTable(folder, {3000000}); },
         {"image", dir.file("refused.bin")},
         1,
         "Warning !: Auto cut songs to fit storage size ? Cancel"},
        {"image failed: nothing could be converted",
         [this](const std::string& folder) {
             const std::string bad = song("noise.mp3", "l3_44100_cbr128_stereo.mp3", "bad");
             ASSERT_EQ(0, in(folder, {"add", bad}).status);
             writeFileBytes(bad, std::vector<uint8_t>(4000, 0x11));
         },
         {"image", dir.file("failed.bin")},
         1,
         "velmo-cli: Music files converted error !"},
        {"download refused: no songs",
         [](const std::string&) {},
         {"download"},
         1,
         "Information: No song files are in list box !"},
        {"download failed: the erase is refused",
         [this](const std::string& folder) {
             ASSERT_EQ(0, in(folder, {"add", song("a.mp3", "l3_44100_cbr128_stereo.mp3")}).status);
             ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_EVERY, 0, 0));
         },
         {"download"},
         1,
         "Error: Storage erase error !"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string folder = dir.file(std::string("outcome-") + row.name);
        fs::create_directories(folder);
        copyAgent(folder);
        row.arrange(folder);
        const CliRun r = in(folder, row.args);
        ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_OFF, 0, 0));
        EXPECT_EQ(row.status, r.status) << r.err;
        EXPECT_TRUE(has(r.err, row.line)) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir.file("refused.bin")));
    EXPECT_FALSE(fs::exists(dir.file("failed.bin")));
}

// Songs whose real sizes pass the clock although their estimates did not:
// the Download names each one, exits with a status of its own, and the list
// tells every song's real size and which ones are not on the clock. Their
// working copies were made by an earlier Download and have since grown, so
// the estimates, made from the files the songs were added from, are too small.
TEST_F(CliTest, SongsThatDidNotFitAreNamedWithAStatusOfTheirOwn) {
    ASSERT_EQ(0, zentroSimSetStorageCode(4));  // 128 KiB: a data area of 106208 bytes
    ASSERT_EQ(0, zentroSimSetDelay(0));
    fs::create_directories(dir.file("fit"));
    std::vector<std::string> args{"add"};
    for (const char* name : {"A.wav", "B.wav", "C.wav", "D.wav"}) {
        writeToneWav(dir.file("fit") + "/" + name, 1);
        args.push_back(dir.file("fit") + "/" + name);
    }
    ASSERT_EQ(0, in(start, {"quality", "best"}).status);
    ASSERT_EQ(0, in(start, args).status);

    // Everything fits: as it always was.
    const CliRun fits = in(start, {"--jobs", "2", "download"});
    EXPECT_EQ(0, fits.status) << fits.err;
    EXPECT_TRUE(has(fits.err, "Information: Downloading songs finished !\n")) << fits.err;
    EXPECT_FALSE(has(fits.err, "velmo-cli: ")) << fits.err;
    EXPECT_TRUE(has(fits.out, "Downloaded 4 songs (")) << fits.out;

    // About 112000 bytes each at Best, where their sources estimate 8000.
    for (const char* name : {"B.wav", "C.wav"}) writeToneWav(start + "/dat/" + name, 14);
    const CliRun r = in(start, {"--jobs", "2", "download"});
    EXPECT_EQ(3, r.status) << r.err;
    EXPECT_TRUE(has(r.err,
                    "Information: Downloading songs finished ! 2 songs did not fit on the clock and are not on it: "
                    "B.wav, C.wav wrote "))
        << r.err;
    EXPECT_TRUE(has(r.err, "velmo-cli: B.wav did not fit on the clock and is not on it\n")) << r.err;
    EXPECT_TRUE(has(r.err, "velmo-cli: C.wav did not fit on the clock and is not on it\n")) << r.err;
    EXPECT_TRUE(has(r.out, "Downloaded 2 of 4 songs (")) << r.out;

    // The same end for a script.
    const CliRun j = in(start, {"--json", "download"});
    EXPECT_EQ(3, j.status) << j.err;
    std::vector<std::string> errorLines;
    std::istringstream lines(j.err);
    for (std::string line; std::getline(lines, line);) {
        const json m = json::parse(line);
        if (m["error"].get<bool>()) errorLines.push_back(m["message"].get<std::string>());
    }
    EXPECT_EQ((std::vector<std::string>{"B.wav did not fit on the clock and is not on it",
                                        "C.wav did not fit on the clock and is not on it"}),
              errorLines)
        << j.err;

    // The list: each song's real size, and the songs left off.
    const json list = listJson(start);
    const json flashHeader = json::parse(in(start, {"--json", "inspect", sim + "/flash.bin"}).out);
    ASSERT_EQ(4u, list["songs"].size());
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const json& song = list["songs"][i];
        const bool left = i == 1 || i == 2;
        EXPECT_EQ(left ? json("didNotFit") : json(nullptr), song["leftOff"]);
        EXPECT_EQ(left ? json("did not fit on the clock") : json(nullptr), song["leftOffReason"]);
        ASSERT_TRUE(song["convertedSize"].is_number_integer()) << song;
        if (left)
            EXPECT_GT(song["convertedSize"].get<uint32_t>(), 106208u - 8000u);
        else
            EXPECT_EQ(song["convertedSize"], flashHeader["songs"][i]["dataSize"]) << "the size on the clock";
    }
    const CliRun text = in(start, {"list"});
    EXPECT_TRUE(has(text.out, "B.wav, converted to ")) << text.out;
    EXPECT_TRUE(has(text.out, ", not on the clock: did not fit on the clock\n")) << text.out;
}

// However many songs convert at once, the image is the same.
TEST_F(CliTest, JobsDoNotChangeTheImage) {
    fs::create_directories(dir.file("music"));
    writeToneWav(dir.file("music") + "/Tone.wav", 3);
    ASSERT_EQ(0, in(start, {"add", song("One.mp3", "l3_22050_cbr64_stereo.mp3"), dir.file("music") + "/Tone.wav",
                            song("Two.wav", "wav_pcm16_mono.wav"), song("Three.mp3", "l3_8000_cbr16_mono.mp3")})
                     .status);
    ASSERT_EQ(0, zentroSimSetPlugged(0));
    const CliRun one = in(start, {"--jobs", "1", "image", dir.file("one.bin")});
    ASSERT_EQ(0, one.status) << one.err;
    const CliRun four = in(start, {"image", dir.file("four.bin"), "--jobs", "4"});
    ASSERT_EQ(0, four.status) << four.err;
    const std::vector<uint8_t> a = readFileBytes(dir.file("one.bin")), b = readFileBytes(dir.file("four.bin"));
    ASSERT_GT(a.size(), kStorageHeaderBytes);
    EXPECT_TRUE(a == b) << "the images differ";
    EXPECT_EQ(2, in(start, {"--jobs", "0", "image", dir.file("zero.bin")}).status);
}

TEST_F(CliTest, InspectRefusesFilesWithoutAHeaderAndChecksEntries) {
    writeFileBytes(dir.file("noise.bin"), std::vector<uint8_t>(0x8000, 0x5A));
    writeFileBytes(dir.file("short.bin"), {'x', 'x', 'x', 'x', 'x', 'x', 'V', 'E', 'L', 'M', 'O', 0});
    for (const char* name : {"noise.bin", "short.bin", "missing.bin"}) {
        const CliRun r = run({"inspect", dir.file(name)});
        EXPECT_EQ(1, r.status) << name;
        EXPECT_TRUE(has(r.err, "velmo-cli: ")) << r.err;
    }

    // A header that promises 40 songs and data past the end of its file.
    StorageHeader h;
    h.songCount = 40;
    std::memcpy(h.signature, kSignature, sizeof kSignature);
    h.quality = 2;
    for (size_t i = 0; i < kMaxHeaderSongs; ++i) {
        h.entries[i].dataOffset = static_cast<uint32_t>(i * 10);
        h.entries[i].dataSize = 10;
        std::snprintf(h.entries[i].songName, kSongNameBytes, "s%zu", i);
    }
    std::vector<uint8_t> bytes(kStorageHeaderBytes + 100);
    encodeStorageHeader(h, bytes.data());
    writeFileBytes(dir.file("odd.bin"), bytes);
    const CliRun r = run({"inspect", "--json", dir.file("odd.bin")});
    ASSERT_EQ(0, r.status) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(40, j["songCount"]);
    ASSERT_EQ(kMaxHeaderSongs, j["songs"].size());
    EXPECT_TRUE(j["songs"][9]["inFile"].get<bool>());
    EXPECT_FALSE(j["songs"][10]["inFile"].get<bool>());
}

// ---------------------------------------------------------------------------
// Questions on a terminal

TEST_F(CliTest, AQuestionIsAskedOnATerminal) {
    struct Row {
        const char* answer;
        bool ok;
    };
    for (const Row& row : {Row{"ok\n", true}, Row{"yes\n", true}, Row{"no\n", false}, Row{"", false}}) {
        SCOPED_TRACE(row.answer);
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(0, grantpt(master));
        ASSERT_EQ(0, unlockpt(master));
        const int slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        if (row.answer[0] != '\0') {
            ASSERT_EQ(static_cast<ssize_t>(std::strlen(row.answer)),
                      ::write(master, row.answer, std::strlen(row.answer)));
        } else {
            ASSERT_EQ(1, ::write(master, "\x04", 1));  // end of input
        }
        const CliRun r = run({"--dir", start, "reload"}, "", slave);
        ::close(slave);
        ::close(master);
        EXPECT_TRUE(has(r.err, "Warning: Reload song data into P.C ? [OK/Cancel] ")) << r.err;
        EXPECT_EQ(1, r.status);
        // OK goes on to the (blank) clock; Cancel stops at the question.
        EXPECT_EQ(row.ok, has(r.err, "Information: Storage has no music data.")) << r.err;
    }
}

// ---------------------------------------------------------------------------
// The JSON against docs/json.md

// docs/json.md's tables: section ("status", "list", "inspect", "messages")
// -> field path ("songs[].name") -> type ("integer or null").
using FieldTable = std::map<std::string, std::map<std::string, std::string>>;

FieldTable documentedFields() {
    FieldTable table;
    std::string section;
    std::istringstream lines(readText(VELMO_JSON_DOC));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("## ", 0) == 0) {
            // "## `status`" names a command; the messages have a title of their own.
            const size_t open = line.find('`'), close = line.find('`', open + 1);
            if (open == 3 && close != std::string::npos)
                section = line.substr(open + 1, close - open - 1);
            else
                section = line == "## Messages on standard error" ? "messages" : "";
        } else if (!section.empty() && line.rfind("| `", 0) == 0) {
            // | `field` | type | meaning |
            const size_t close = line.find('`', 3);
            const size_t typeStart = close == std::string::npos ? close : line.find("| ", close);
            const size_t typeEnd = typeStart == std::string::npos ? typeStart : line.find(" |", typeStart + 2);
            if (typeEnd == std::string::npos) {
                ADD_FAILURE() << "not a field row: " << line;
                continue;
            }
            const std::string field = line.substr(3, close - 3);
            EXPECT_TRUE(table[section].emplace(field, line.substr(typeStart + 2, typeEnd - typeStart - 2)).second)
                << "twice: " << field;
        }
    }
    return table;
}

bool hasType(const json& value, const std::string& type) {
    if (type == "integer") return value.is_number_integer();
    if (type == "number") return value.is_number();
    if (type == "boolean") return value.is_boolean();
    if (type == "string") return value.is_string();
    if (type == "array") return value.is_array();
    if (type == "integer or null") return value.is_null() || value.is_number_integer();
    if (type == "number or null") return value.is_null() || value.is_number();
    if (type == "string or null") return value.is_null() || value.is_string();
    ADD_FAILURE() << "docs/json.md names an unknown type: " << type;
    return false;
}

// Every field of `value` by its path, arrays of objects as "name[].field".
void flatten(const json& value, const std::string& prefix, std::vector<std::pair<std::string, json>>& out) {
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string path = prefix + it.key();
        out.emplace_back(path, it.value());
        if (it.value().is_array())
            for (const json& element : it.value())
                if (element.is_object()) flatten(element, path + "[].", out);
    }
}

// Each object has only documented fields, of their documented types; the
// fields seen over all the objects are every documented one.
void expectDocumented(const FieldTable& doc, const std::string& section, const std::vector<json>& objects) {
    SCOPED_TRACE(section);
    ASSERT_TRUE(doc.count(section)) << "docs/json.md has no section for " << section;
    const std::map<std::string, std::string>& fields = doc.at(section);
    std::set<std::string> seen;
    for (const json& object : objects) {
        ASSERT_TRUE(object.is_object()) << object;
        EXPECT_EQ(1, object.value("format", 0)) << object;
        std::vector<std::pair<std::string, json>> flat;
        flatten(object, "", flat);
        for (const auto& [path, value] : flat) {
            seen.insert(path);
            const auto doc = fields.find(path);
            if (doc == fields.end()) {
                ADD_FAILURE() << "not in docs/json.md: " << path;
                continue;
            }
            EXPECT_TRUE(hasType(value, doc->second)) << path << " is " << value << ", documented as " << doc->second;
        }
    }
    for (const auto& [path, type] : fields) EXPECT_TRUE(seen.count(path)) << "documented but never printed: " << path;
}

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const json parsed = json::parse(line, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << "not a JSON line: " << line;
        if (!parsed.is_discarded()) out.push_back(parsed);
    }
    return out;
}

TEST_F(CliTest, JsonOutputIsWhatDocsJsonMdDescribes) {
    const FieldTable doc = documentedFields();
    ASSERT_EQ((std::set<std::string>{"download", "inspect", "list", "messages", "status"}), [&] {
        std::set<std::string> names;
        for (const auto& [name, fields] : doc) names.insert(name);
        return names;
    }());

    // A list with a song cut at the last download, on a small clock.
    ASSERT_EQ(0, zentroSimSetStorageCode(4));  // 128 KiB: 65536 bytes for songs
    ASSERT_EQ(0, in(start, {"quality", "best"}).status);
    std::vector<std::string> add = {"add"};
    for (int i = 0; i < 5; ++i) add.push_back(shortSong("s" + std::to_string(i) + ".mp3"));
    ASSERT_EQ(0, in(start, add).status);
    const CliRun download = in(start, {"--json", "download", "--yes"});
    ASSERT_EQ(0, download.status) << download.err;
    expectDocumented(doc, "download", {json::parse(download.out)});

    const CliRun status = in(start, {"--json", "status"});
    ASSERT_EQ(0, status.status) << status.err;
    const CliRun list = in(start, {"--json", "list"});
    ASSERT_EQ(0, list.status) << list.err;
    ASSERT_EQ(0, zentroSimSetPlugged(0));
    const CliRun offline = in(start, {"--json", "status"});
    EXPECT_EQ(1, offline.status);
    ASSERT_EQ(0, in(start, {"image", dir.file("out.bin"), "--yes"}).status);
    const CliRun inspect = run({"--json", "inspect", dir.file("out.bin")});
    ASSERT_EQ(0, inspect.status) << inspect.err;

    const json s = json::parse(status.out), l = json::parse(list.out), off = json::parse(offline.out);
    expectDocumented(doc, "status", {s, off});
    expectDocumented(doc, "list", {l});
    expectDocumented(doc, "inspect", {json::parse(inspect.out)});

    // Numbers are numbers: the usage the status line shows, unrounded.
    const double usage = l["totalEstimate"].get<double>() * 100.0 / l["capacity"].get<double>();
    EXPECT_DOUBLE_EQ(usage, l["spaceUsage"].get<double>());
    EXPECT_EQ(usage >= 100.0, l["storageFull"].get<bool>());
    EXPECT_EQ("best", l["qualityName"]);
    EXPECT_EQ(4, s["storageCode"]);
    EXPECT_EQ(65536, s["capacity"]);
    EXPECT_TRUE(off["storageCode"].is_null());
    bool anyCut = false;
    for (const json& song : l["songs"]) anyCut = anyCut || song["cutFlag"].get<bool>();
    EXPECT_TRUE(anyCut) << l.dump(2);
    // One name for one thing: the fields status and list share agree.
    for (const char* field : {"songCount", "quality", "qualityName", "totalEstimate", "spaceUsage", "storageFull"})
        EXPECT_EQ(s[field], l[field]) << field;

    // Messages on standard error: a box, a refused question, the program's
    // own notes and a command line it cannot read, each one JSON line.
    ASSERT_EQ(0, zentroSimSetPlugged(1));
    fs::remove(start + "/spn.bin");
    const CliRun noAgent = in(start, {"--json", "status"});
    ASSERT_EQ(0, zentroSimSetPlugged(1));
    copyAgent(start);
    const CliRun question = in(start, {"--json", "download"});  // the list is over the capacity: cut it?
    const CliRun refused = in(start, {"--json", "delete", "9"});
    const CliRun usageError = run({"--json", "quality", "loud"});
    EXPECT_EQ(1, noAgent.status);
    EXPECT_EQ(1, question.status);
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ(2, usageError.status);
    std::vector<json> messages;
    for (const CliRun* r : {&noAgent, &question, &refused, &usageError})
        for (const json& m : jsonLines(r->err)) messages.push_back(m);
    expectDocumented(doc, "messages", messages);
    const auto shown = [&](const std::string& part, const json& caption, const json& answer) {
        return std::any_of(messages.begin(), messages.end(), [&](const json& m) {
            return has(m["message"].get<std::string>(), part) && m["caption"] == caption && m["answer"] == answer &&
                   m["error"].get<bool>();
        });
    };
    EXPECT_TRUE(shown("spn.bin (the clock's agent program) is missing", nullptr, nullptr));
    EXPECT_TRUE(shown("Please plug-out & plug-in USB again !", "Error", nullptr));
    EXPECT_TRUE(shown("Auto cut songs to fit storage size ?", "Warning !", "cancel"));
    EXPECT_TRUE(shown("there is no song at position 9", nullptr, nullptr));
    EXPECT_TRUE(shown("loud", nullptr, nullptr));
}

}  // namespace

// Ctrl-C (or a TERM from the system) during a download ends the program within
// a second, says what the clock holds, and leaves nothing that keeps the next
// download from succeeding.
TEST_F(CliTest, DownloadStopsOnASignal) {
    struct Row {
        const char* name;
        int signal;
        const char* waitFor;  // the progress line after which the signal is sent
    } rows[] = {
        {"SIGINT during the conversion", SIGINT, "Progress: converting music data..."},
        {"SIGTERM during the write", SIGTERM, "Progress: downloading music data..."},
    };
    fs::create_directories(dir.file("music"));
    writeToneWav(dir.file("music") + "/Long Tone.wav", 60);
    ASSERT_EQ(0,
              in(start, {"add", dir.file("music") + "/Long Tone.wav", song("Walk.mp3", "l3_44100_cbr128_stereo.mp3")})
                  .status);
    ASSERT_EQ(0, in(start, {"quality", "best"}).status);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(0, zentroSimSetDelay(1));
        std::chrono::steady_clock::time_point signalled;
        bool sent = false;
        const CliRun r = run({"--dir", start, "download", "--yes"}, "", -1,
                             [&](pid_t pid, const std::string&, const std::string& errPath) {
                                 const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                                 while (std::chrono::steady_clock::now() < limit) {
                                     if (readText(errPath).find(row.waitFor) != std::string::npos) {
                                         signalled = std::chrono::steady_clock::now();
                                         sent = ::kill(pid, row.signal) == 0;
                                         return;
                                     }
                                     std::this_thread::sleep_for(std::chrono::milliseconds(5));
                                 }
                             });
        const auto took = std::chrono::steady_clock::now() - signalled;
        ASSERT_TRUE(sent) << r.err;
        EXPECT_EQ(128 + row.signal, r.status) << r.err;
        EXPECT_LT(took, std::chrono::seconds(1));
        EXPECT_TRUE(has(r.err, "Download stopped: the clock")) << r.err;
        EXPECT_FALSE(hasStorageSignature(clockHeader())) << "a stopped download names no songs";
        EXPECT_FALSE(fs::exists(start + "/dat/raw.tmp"));
        EXPECT_FALSE(fs::exists(start + "/dat/raw2.tmp"));

        ASSERT_EQ(0, zentroSimSetDelay(0));
        const CliRun next = in(start, {"download", "--yes", "--verify"});
        EXPECT_EQ(0, next.status) << next.err;
        EXPECT_TRUE(hasStorageSignature(clockHeader()));
        ASSERT_EQ(0, zentroSimEraseAll());
    }
}

// The Download's read-back stops like the rest of it: Ctrl-C ends it within
// a second with status 130, and the clock keeps the songs just written.
TEST_F(CliTest, VerifyStopsOnASignal) {
    fs::create_directories(dir.file("music"));
    writeToneWav(dir.file("music") + "/Long Tone.wav", 60);
    ASSERT_EQ(0, in(start, {"add", dir.file("music") + "/Long Tone.wav"}).status);
    ASSERT_EQ(0, in(start, {"quality", "best"}).status);
    ASSERT_EQ(0, zentroSimSetDelay(1));
    std::chrono::steady_clock::time_point signalled;
    bool sent = false;
    const CliRun r = run({"--dir", start, "download", "--yes", "--verify"}, "", -1,
                         [&](pid_t pid, const std::string&, const std::string& errPath) {
                             const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                             while (std::chrono::steady_clock::now() < limit) {
                                 if (readText(errPath).find("Progress: verifying music data...") != std::string::npos) {
                                     signalled = std::chrono::steady_clock::now();
                                     sent = ::kill(pid, SIGINT) == 0;
                                     return;
                                 }
                                 std::this_thread::sleep_for(std::chrono::milliseconds(5));
                             }
                         });
    const auto took = std::chrono::steady_clock::now() - signalled;
    ASSERT_TRUE(sent) << r.err;
    EXPECT_EQ(128 + SIGINT, r.status) << r.err;
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_TRUE(has(r.err, "Information: Download stopped: the clock holds the new songs, but they were not verified."))
        << r.err;
    EXPECT_TRUE(hasStorageSignature(clockHeader())) << "the downloaded songs stay on the clock";
}
