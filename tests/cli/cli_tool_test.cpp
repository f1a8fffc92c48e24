// velmo-cli as a terminal user meets it: alone, mistyped, asked for its
// options, in another language, and handed files that cannot be songs by
// drop as by add. Each run is a process against a simulated clock of the
// test's own.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.h"
#include "song_fixtures.h"
#include "tempdir.h"
#include "zentro_sim_control.h"

using namespace velmo::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class CliToolTest : public ::testing::Test {
  public:
    velmo::test::TempDir dir;
    std::string start;
    std::string language;  // LANGUAGE for the runs; empty: not set

    void SetUp() override {
        start = dir.file("start");
        fs::create_directories(start);
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
        ASSERT_EQ(0, zentroSimSetDir(dir.file("sim").c_str()));
        ASSERT_EQ(0, zentroSimReset());
    }

    // velmo-cli ARGS in `cwd` (default: the test's folder), without a terminal.
    CliRun run(const std::vector<std::string>& args, const std::string& cwd = "") {
        CliStart s;
        s.program = std::string(VELMO_BIN_DIR) + "/velmo-cli";
        s.args = args;
        s.outPath = dir.file("stdout.txt");
        s.errPath = dir.file("stderr.txt");
        s.cwd = cwd.empty() ? dir.path() : cwd;
        s.simDir = dir.file("sim");
        s.language = language;
        return waitProgram(startProgram(s), s.outPath, s.errPath);
    }

    CliRun in(const std::string& folder, std::vector<std::string> args) {
        args.insert(args.begin(), {"--dir", folder});
        return run(args);
    }
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::vector<std::string> kCommands = {"status",   "list",    "add",      "drop",   "delete",  "up",
                                            "down",     "quality", "names",    "volume", "verify",  "reload-check",
                                            "download", "reload",  "firmware", "image",  "inspect", "help"};

// Alone, or with options and no command, it shows what it can do.
TEST_F(CliToolTest, AloneItListsItsCommands) {
    const CliRun help = run({"--help"});
    ASSERT_EQ(0, help.status);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"--dir", start}, {"--json"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const CliRun alone = run(args);
        EXPECT_EQ(0, alone.status) << alone.err;
        EXPECT_EQ("", alone.err);
        EXPECT_EQ(help.out, alone.out);
    }
    for (const std::string& command : kCommands) EXPECT_TRUE(has(help.out, "  " + command + " ")) << command;
    // Nothing was made in the start folder.
    EXPECT_FALSE(fs::exists(start + "/zt_hdr.tbl"));
}

TEST_F(CliToolTest, AMistypedCommandGetsTheNearest) {
    const struct {
        const char* typed;
        const char* meant;  // empty: none is near
    } rows[] = {
        {"stauts", "status"},
        {"Status", "status"},
        {"lsit", "list"},
        {"ad", "add"},
        {"dowload", "download"},
        {"downlaod", "download"},
        {"relaod", "reload"},
        {"qualty", "quality"},
        {"verfiy", "verify"},
        {"voluem", "volume"},
        {"reload-chek", "reload-check"},
        {"insp", "inspect"},
        {"firmwear", "firmware"},
        {"bogus", ""},
        {"frobnicate", ""},
        {"xyz", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed);
        const std::string said = std::string("there is no command ") + row.typed;
        const CliRun r = run({"--dir", start, row.typed});
        EXPECT_EQ(2, r.status);
        if (*row.meant != '\0') {
            EXPECT_TRUE(has(r.err, "velmo-cli: " + said + "; did you mean " + row.meant + "?\n")) << r.err;
        } else {
            EXPECT_TRUE(has(r.err, "velmo-cli: " + said + " (velmo-cli --help lists them)\n")) << r.err;
        }
    }
    const CliRun help = run({"help", "dowload"});
    EXPECT_EQ(2, help.status);
    EXPECT_TRUE(has(help.err, "velmo-cli: help: there is no command dowload; did you mean download?\n")) << help.err;
}

// names, volume and verify: each says its setting without an argument,
// changing nothing, and keeps the one it is given for the folder.
TEST_F(CliToolTest, EveryOptionCommandSaysItsSetting) {
    const struct {
        const char* command;
        const char* byDefault;
        const char* value;
        const char* set;
        const char* kept;  // the line in velmo.conf
        const char* back;
    } rows[] = {
        {"names", "Names from Tags: off\n", "tags", "Names from Tags: on\n", "namesFromTags=1\n", "files"},
        {"volume", "Volume: as-is\n", "even", "Volume: even\n", "evenVolume=1\n", "as-is"},
        {"verify", "Verify after Download: on\n", "off", "Verify after Download: off\n", "verifyAfterDownload=0\n",
         "on"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        const std::string folder = dir.file(std::string("start-") + row.command);
        fs::create_directories(folder);
        const CliRun said = in(folder, {row.command});
        EXPECT_EQ(0, said.status) << said.err;
        EXPECT_EQ(row.byDefault, said.out);
        // Saying it writes neither the options nor the list (the lock is all).
        EXPECT_FALSE(fs::exists(folder + "/velmo.conf"));
        EXPECT_FALSE(fs::exists(folder + "/zt_hdr.tbl"));

        const CliRun set = in(folder, {row.command, row.value});
        EXPECT_EQ(0, set.status) << set.err;
        EXPECT_EQ(row.set, set.out);
        EXPECT_TRUE(has(readText(folder + "/velmo.conf"), row.kept));
        EXPECT_EQ(row.set, in(folder, {row.command}).out);
        EXPECT_EQ(row.byDefault, in(folder, {row.command, row.back}).out);
        EXPECT_EQ(2, in(folder, {row.command, "maybe"}).status);
    }
}

// status shows the three options, in text and in JSON, as they are set.
TEST_F(CliToolTest, StatusShowsEveryOption) {
    const auto status = [this] {
        const CliRun text = in(start, {"status"});
        EXPECT_EQ(0, text.status) << text.err;
        const CliRun j = in(start, {"--json", "status"});
        EXPECT_EQ(0, j.status) << j.err;
        return std::make_pair(text.out, json::parse(j.out));
    };
    auto [text, j] = status();
    EXPECT_TRUE(has(text, "\nVolume: as-is\nNames from Tags: off\nVerify after Download: on\n")) << text;
    EXPECT_EQ(json(false), j["evenVolume"]);
    EXPECT_EQ(json(false), j["namesFromTags"]);
    EXPECT_EQ(json(true), j["verifyAfterDownload"]);

    for (const auto& args :
         std::vector<std::vector<std::string>>{{"volume", "even"}, {"names", "tags"}, {"verify", "off"}})
        ASSERT_EQ(0, in(start, args).status);
    std::tie(text, j) = status();
    EXPECT_TRUE(has(text, "\nVolume: even\nNames from Tags: on\nVerify after Download: off\n")) << text;
    EXPECT_EQ(json(true), j["evenVolume"]);
    EXPECT_EQ(json(true), j["namesFromTags"]);
    EXPECT_EQ(json(false), j["verifyAfterDownload"]);
}

// A download follows the kept setting; --verify still overrides it once.
TEST_F(CliToolTest, VerifyOffIsKeptForTheDownloads) {
    const std::string song = copyFixture("wav_pcm16_stereo.wav", dir.file("music"), "Tone.wav");
    ASSERT_EQ(0, in(start, {"add", song}).status);
    ASSERT_EQ(0, in(start, {"verify", "off"}).status);
    const std::string verified = "Verified: the clock holds the ";
    CliRun r = in(start, {"download"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_FALSE(has(r.out, verified)) << r.out;
    r = in(start, {"download", "--verify"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, verified)) << r.out;
    EXPECT_EQ("Verify after Download: off\n", in(start, {"verify"}).out) << "an override is for one download";
    ASSERT_EQ(0, in(start, {"verify", "on"}).status);
    r = in(start, {"download"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, verified)) << r.out;
}

// In German, French and Spanish no line of status, nor the line of an
// option command, is left as the English one, and the options' values are
// words of the language.
TEST_F(CliToolTest, EveryValueItPrintsIsTranslated) {
    const std::vector<std::vector<std::string>> commands = {{"status"}, {"volume"}, {"names"}, {"verify"}};
    std::vector<std::vector<std::string>> english;
    for (const auto& args : commands) {
        language = "C";
        english.push_back(linesOf(in(start, args).out));
    }
    const struct {
        const char* language;
        const char* asIs;
        const char* verifyOn;
    } rows[] = {{"de", "Lautstärke: unverändert", "Nach dem Download prüfen: ein"},
                {"fr", "Volume : tel quel", "Vérifier après le transfert : oui"},
                {"es", "Volumen: tal cual", "Verificar tras transferir: sí"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.language);
        language = row.language;
        for (size_t c = 0; c < commands.size(); ++c) {
            const CliRun r = in(start, commands[c]);
            EXPECT_EQ(0, r.status) << r.err;
            const std::vector<std::string> lines = linesOf(r.out);
            ASSERT_EQ(english[c].size(), lines.size()) << r.out;
            for (size_t i = 0; i < lines.size(); ++i) EXPECT_NE(english[c][i], lines[i]) << commands[c][0];
        }
        const std::string status = in(start, {"status"}).out;
        EXPECT_TRUE(has(status, std::string("\n") + row.asIs + "\n")) << status;
        EXPECT_TRUE(has(status, std::string("\n") + row.verifyOn + "\n")) << status;
    }
}

// drop refuses what add refuses, with the same lines, and takes the rest.
TEST_F(CliToolTest, DropRefusesAMissingAndAnEmptyFileAsAddDoes) {
    const std::string music = dir.file("music");
    const std::string good = copyFixture("wav_pcm16_mono.wav", music, "Good.wav");
    const std::string missing = music + "/Gone.mp3";
    const std::string empty = music + "/Empty.flac";
    writeFileBytes(empty, {});
    const std::vector<std::string> refused = {"Error: Cannot open " + missing + ": No such file or directory\n",
                                              "Error: The file format of " + empty + " is not supported\n"};
    for (const char* command : {"add", "drop"}) {
        SCOPED_TRACE(command);
        const std::string folder = dir.file(std::string("start-") + command);
        fs::create_directories(folder);
        for (const std::string& file : {missing, empty}) {
            const CliRun alone = in(folder, {command, file});
            EXPECT_EQ(1, alone.status);
            EXPECT_TRUE(has(alone.out, "Songs in the list: 0\n")) << alone.out;
            EXPECT_TRUE(has(alone.err, "velmo-cli: 0 of 1 files joined the list\n")) << alone.err;
            EXPECT_FALSE(has(alone.err, "Only support")) << alone.err;
        }
        const CliRun r = in(folder, {command, missing, good, empty});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(refused[0] + refused[1] + "velmo-cli: 1 of 3 files joined the list\n", r.err);
        EXPECT_TRUE(has(r.out, "Songs in the list: 1\n")) << r.out;
    }
}

// In a build tree velmo-cli without --dir works in the current folder, as
// the workspace of ./run.sh and the demo use it.
TEST_F(CliToolTest, ABuildTreeUsesTheCurrentFolder) {
    const std::string song = copyFixture("wav_pcm16_mono.wav", dir.file("music"), "Here.wav");
    const CliRun r = run({"add", song}, start);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(fs::exists(start + "/zt_hdr.tbl"));
    EXPECT_TRUE(has(run({"list"}, start).out, "Here.wav")) << "the list is the current folder's";
}

}  // namespace
