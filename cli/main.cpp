// velmo-cli: the song manager in a terminal, on the same core, song table,
// working folder and messages as the window.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "admission.h"
#include "commands.h"
#include "presenter.h"
#include "velmo_core.h"
#include "fileio.h"
#include "install_paths.h"
#include "positions.h"
#include "session.h"
#include "terminal_view.h"
#include "tool_options.h"
#include "translation.h"
#include "velmo_build.h"

namespace {

namespace fs = std::filesystem;
using velmo::tr_;

// As a file dialog gives them: absolute, without "." and ".." components.
std::string absolutePath(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    return p.lexically_normal().string();
}

// What add and drop take, with every extension a song may have.
std::string songFilesHelp() {
    std::string text =
        tr_("song files or folders of them (the songs in a folder and its sub-folders are taken in name "
            "order): MP3, WAV, FLAC, Ogg Vorbis, Opus, AAC, ALAC, AIFF, WMA and more");
    text += " (";
    for (size_t i = 0; i < velmo::kSongExtensionCount; ++i)
        text += std::string(i == 0 ? "" : " ") + velmo::kSongExtensions[i];
    return text + ")";
}

std::vector<std::string> absolutePaths(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    out.reserve(paths.size());
    for (const std::string& p : paths) out.push_back(absolutePath(p));
    return out;
}

// The command word of a line that did not parse, when it names no command:
// CLI11 would only say that a command is required. Empty otherwise.
std::string unknownCommand(CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" || a == "--jobs") {
            ++i;  // its value
            continue;
        }
        if (!a.empty() && a[0] == '-') continue;
        const auto known = app.get_subcommands([&a](const CLI::App* c) { return c->check_name(a); });
        return known.empty() ? a : std::string();
    }
    return {};
}

// Why a command word names no command, with the one it most likely meant;
// `forHelp`: the word was help's COMMAND.
std::string noCommandText(CLI::App& app, const std::string& word, bool forHelp) {
    std::vector<std::string> names;
    for (const CLI::App* c : app.get_subcommands([](const CLI::App*) { return true; })) names.push_back(c->get_name());
    const std::string meant = velmo::cli::nearestCommand(word, names);
    if (meant.empty())
        return velmo::format(
            forHelp ? tr_("help: there is no command %s") : tr_("there is no command %s (velmo-cli --help lists them)"),
            word.c_str());
    return velmo::format(forHelp ? tr_("help: there is no command %s; did you mean %s?")
                                 : tr_("there is no command %s; did you mean %s?"),
                         word.c_str(), meant.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace velmo::cli;
    // Before the options are described: their help is translated too (CLI11's
    // own words, such as its headings and its parse errors, stay English).
    velmo::initTranslations(velmo::localeFolder(velmo::executableFolder()));

    CLI::App app{tr_("The Zentro clock's song manager in a terminal, on the simulated or a real clock.\n"
                     "DIR is the start folder: the song table zt_hdr.tbl, the working folder dat/ and\n"
                     "the agent program spn.bin are there, exactly as for the window."),
                 kProgramName};
    // Alone it shows its commands, as help does.
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", std::string(kProgramName) + " " + velmo::kVelmoVersion);
    app.fallthrough();  // --dir and --json may also follow the command

    Options options;
    std::string dir;  // empty: defaultStartFolder
    app.add_option("--dir", dir,
                   runsInstalled() ? tr_("start folder (default: the user's data folder $XDG_DATA_HOME/velmo, by "
                                         "default ~/.local/share/velmo, where the window started from the menu keeps "
                                         "its list)")
                                   : tr_("start folder (default: the current folder)"))
        ->check(CLI::ExistingDirectory);
    app.add_flag("--json", options.json, tr_("print status, list and inspect as one JSON object"));
    app.add_option("--jobs", options.jobs, tr_("songs converted at once by download and image (default: one per core)"))
        ->check(CLI::Range(1u, 64u));

    auto* status =
        app.add_subcommand("status", tr_("the clock: connected or not, storage code, size, capacity, space usage"));
    auto* list = app.add_subcommand("list", tr_("the songs, the quality, the total and the space usage"));

    std::vector<std::string> addFiles, dropFiles;
    auto* add = app.add_subcommand("add", tr_("as the Add button, with these files chosen in this order"));
    add->add_option("FILE", addFiles, songFilesHelp())->required();
    auto* drop = app.add_subcommand("drop", tr_("as dropping these files on the list"));
    drop->add_option("FILE", dropFiles, songFilesHelp())->required();

    long position = 0;
    std::vector<std::string> deletePositions;
    auto* del = app.add_subcommand("delete", tr_("remove the songs at these positions (from 1), as the Delete button"));
    del->add_option("N", deletePositions, tr_("positions in the list, from 1, or ranges of them (4-6)"))
        ->required()
        ->type_name("N|N-M")
        ->check(CLI::Validator(
            [](std::string& token) {
                PositionRange range;
                return parsePositionRange(token, range)
                           ? std::string()
                           : velmo::format(tr_("%s is neither a position nor a range of positions (4-6)"),
                                           token.c_str());
            },
            ""));
    auto* up = app.add_subcommand("up", tr_("move the song at position N one place up"));
    up->add_option("N", position, tr_("position in the list, from 1"))->required();
    auto* down = app.add_subcommand("down", tr_("move the song at position N one place down"));
    down->add_option("N", position, tr_("position in the list, from 1"))->required();

    std::string qualityName;
    auto* quality = app.add_subcommand("quality", tr_("choose the music quality of the whole list"));
    quality->add_option("QUALITY", qualityName, tr_("best, good or normal"))
        ->required()
        ->check(CLI::IsMember({"best", "good", "normal"}));

    std::string namesSource;
    auto* names = app.add_subcommand(
        "names", tr_("how songs joining the list are named: tags (\"Artist - Title\") or files (the default)"));
    names->add_option("SOURCE", namesSource, tr_("tags or files; without it, say which is in force"))
        ->check(CLI::IsMember({"tags", "files"}));
    std::string volumeName;
    auto* volume =
        app.add_subcommand("volume", tr_("every song at one loudness (even) or as it is (as-is, the default)"));
    volume->add_option("VOLUME", volumeName, tr_("even or as-is; without it, say which is in force"))
        ->check(CLI::IsMember({"even", "as-is"}));
    std::string verifyAfter;
    auto* verifyOption = app.add_subcommand(
        "verify", tr_("whether a download reads the clock back and compares it with the image: on (the default) "
                      "or off"));
    verifyOption->add_option("SETTING", verifyAfter, tr_("on or off; without it, say which is in force"))
        ->check(CLI::IsMember({"on", "off"}));

    std::string readCheck;
    auto* reloadCheck = app.add_subcommand(
        "reload-check", tr_("without a record of the clock's songs, a Reload reads them twice (twice, the default) "
                            "or once"));
    reloadCheck->add_option("HOW", readCheck, tr_("twice or once; without it, say which is in force"))
        ->check(CLI::IsMember({"twice", "once"}));

    std::string verify;
    bool noVerify = false;
    auto* download = app.add_subcommand("download", tr_("as the Download button"));
    download->add_flag("--yes", options.yes, tr_("answer OK to the question"));
    auto* verifyFlag = download->add_flag(
        "--verify{written}", verify,
        tr_("read back what was written and compare it byte for byte (the default); --verify=full reads back "
            "the whole image"));
    verifyFlag->check(CLI::IsMember({"written", "full"}));
    download->add_flag("--no-verify", noVerify, tr_("do not read the clock back after this download"))
        ->excludes(verifyFlag);

    auto* reload = app.add_subcommand("reload", tr_("as the Reload button"));
    reload->add_flag("--yes", options.yes, tr_("answer OK to the question"));

    std::string firmwareFile;
    auto* firmware = app.add_subcommand("firmware", tr_("as the Upgrade Firmware button with this file chosen"));
    firmware->add_option("FILE", firmwareFile, tr_("firmware file (*.bin)"))->required();
    firmware->add_flag("--yes", options.yes, tr_("answer OK to the question"));

    std::string imageOut;
    auto* image =
        app.add_subcommand("image", tr_("the conversion alone: the storage image of the list, without a clock"));
    image->add_option("OUT", imageOut, tr_("file to write the image to"))->required();
    image->add_flag("--yes", options.yes, tr_("answer OK to the question (cut the list to fit)"));

    // The operations of the core's table that need nothing but their questions.
    std::vector<std::pair<velmo::Operation, CLI::App*>> simple;
    for (const auto& [kind, command] : velmo::VelmoCore::simpleOperations()) {
        CLI::App* sub = app.add_subcommand(command, velmo::present::commandHelp(kind));
        sub->add_flag("--yes", options.yes, tr_("answer OK to the question"));
        simple.emplace_back(kind, sub);
    }

    std::string inspectFile;
    auto* inspect = app.add_subcommand("inspect", tr_("a storage image's (or a clock's flash file's) header"));
    inspect->add_option("FILE", inspectFile, tr_("storage image or flash file"))->required();

    std::string helpTopic;
    auto* help = app.add_subcommand("help", tr_("show the help of COMMAND, or of the whole program"));
    help->add_option("COMMAND", helpTopic, tr_("a command's name"));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with status 0.
        if (e.get_exit_code() == 0) return app.exit(e);
        // The flag may not have been parsed yet when the line went wrong.
        const bool json =
            std::any_of(argv + 1, argv + argc, [](const char* a) { return std::strcmp(a, "--json") == 0; });
        // Programs reading the JSON lines get them in English.
        if (json) velmo::keepEnglish();
        const std::string unknown = unknownCommand(app, argc, argv);
        if (!unknown.empty()) {
            const std::string text = noCommandText(app, unknown, false);
            if (json)
                writeJsonMessage(stderr, text, nullptr, true, "");
            else
                std::fprintf(stderr, "%s: %s\n", kProgramName, text.c_str());
            return kExitUsage;
        }
        if (!json) {
            app.exit(e);
            return kExitUsage;
        }
        writeJsonMessage(stderr, e.what(), nullptr, true, "");
        return kExitUsage;
    }
    if (options.json) velmo::keepEnglish();
    setJsonMessages(options.json);

    if (help->parsed() || app.get_subcommands().empty()) {
        // The same text as COMMAND --help.
        if (helpTopic.empty()) {
            std::printf("%s", app.get_formatter()->make_help(&app, kProgramName, CLI::AppFormatMode::Normal).c_str());
            return kExitOk;
        }
        try {
            const CLI::App* topic = app.get_subcommand(helpTopic);
            std::printf("%s", topic->help(kProgramName).c_str());
            return kExitOk;
        } catch (const CLI::OptionNotFound&) {
            const std::string text = noCommandText(app, helpTopic, true);
            if (options.json)
                writeJsonMessage(stderr, text, nullptr, true, "");
            else
                std::fprintf(stderr, "%s: %s\n", kProgramName, text.c_str());
            return kExitUsage;
        }
    }

    if (dir.empty() && !inspect->parsed()) {
        std::string error;
        if (!defaultStartFolder(dir, error)) {
            note(tr_("The folder for the song list cannot be made: %s"), error.c_str());
            return kExitFailed;
        }
    }
    options.startDir = absolutePath(dir.empty() ? "." : dir);
    if (options.startDir.size() > 1 && options.startDir.back() == '/') options.startDir.pop_back();

    if (status->parsed()) return runStatus(options);
    if (list->parsed()) return runList(options);
    if (add->parsed()) return runAdd(options, absolutePaths(addFiles));
    if (drop->parsed()) return runDrop(options, absolutePaths(dropFiles));
    if (del->parsed()) return runDelete(options, deletePositions);
    if (up->parsed()) return runUp(options, position);
    if (down->parsed()) return runDown(options, position);
    if (quality->parsed()) return runQuality(options, qualityName);
    if (names->parsed()) return runNames(options, namesSource);
    if (volume->parsed()) return runVolume(options, volumeName);
    if (verifyOption->parsed()) return runVerify(options, verifyAfter);
    if (reloadCheck->parsed()) return runReloadCheck(options, readCheck);
    if (download->parsed())
        return runDownload(options,
                           !verify.empty() ? std::optional<bool>(true)
                           : noVerify      ? std::optional<bool>(false)
                                           : std::nullopt,
                           verify == "full");
    if (reload->parsed()) return runReload(options);
    if (firmware->parsed()) return runFirmware(options, absolutePath(firmwareFile));
    if (image->parsed()) return runImage(options, absolutePath(imageOut));
    if (inspect->parsed()) return runInspect(options, absolutePath(inspectFile));
    for (const auto& [kind, sub] : simple)
        if (sub->parsed()) return runOperation(options, kind);
    return kExitUsage;
}
