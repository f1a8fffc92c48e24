#include "commands.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "admission.h"
#include "fileio.h"
#include "folder_lock.h"
#include "install_paths.h"
#include "json_text.h"
#include "paths.h"
#include "presenter.h"
#include "songlist.h"
#include "storage_layout.h"
#include "terminal_text.h"
#include "terminal_view.h"
#include "translation.h"
#include "velmo_core.h"

namespace velmo::cli {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A line of the front end's own (not one of the window's boxes) on standard error.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[4096];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // Every note tells why a command is refused or fails.
    if (jsonMessages())
        writeJsonMessage(stderr, text, nullptr, true, "");
    else
        std::fprintf(stderr, "%s: %s\n", kProgramName, text);
}

QuestionPolicy questionPolicy(const Options& options) {
    if (options.yes) return QuestionPolicy::AssumeYes;
    // A program reading JSON lines cannot answer a prompt.
    if (options.json) return QuestionPolicy::Cancel;
    return ::isatty(STDIN_FILENO) ? QuestionPolicy::Ask : QuestionPolicy::Cancel;
}

// The name `quality` takes on the command line; null for another code.
json qualityJson(uint16_t code) {
    switch (code) {
        case kQualityBest:
            return "best";
        case kQualityGood:
            return "good";
        case kQualityNormal:
            return "normal";
        default:
            return nullptr;
    }
}

// What `volume` takes and `status` shows for the "Even Volume" option.
const char* volumeName(bool even) { return even ? "even" : "as-is"; }

// The status line's two facts as numbers: the percentage of the capacity
// the total fills (as the status line computes it) and whether that is full.
void addSpaceUsage(json& out, uint32_t total, uint32_t cap) {
    const double usage = static_cast<double>(total) * 100.0 / static_cast<double>(cap);
    // A capacity of 0 (no usable storage) is full whatever the total.
    out["spaceUsage"] = std::isfinite(usage) ? usage : 100.0;
    out["storageFull"] = !std::isfinite(usage) || usage >= 100.0;
}

std::string qualityName(uint16_t code) {
    switch (code) {
        case kQualityBest:
            return tr_("Best");
        case kQualityGood:
            return tr_("Good");
        case kQualityNormal:
            return tr_("Normal");
        default:
            return format(tr_("code %u"), code);
    }
}

std::string trimLeft(const std::string& text) {
    const size_t at = text.find_first_not_of(' ');
    return at == std::string::npos ? std::string() : text.substr(at);
}

// Names from files and the clock may hold any bytes: jsonText escapes what
// is not UTF-8 so that it can be turned back into the same bytes.
void printJson(const json& value) { std::printf("%s\n", jsonText(value, 2).c_str()); }

// The window and its message loop for one command.
class Session {
  public:
    // Takes the start folder's lock first: `access` Shared for the commands
    // that only look at the list. Check locked() before anything else.
    Session(const Options& options, FolderAccess access)
        : options_(options),
          view(questionPolicy(options), stderr, ::isatty(STDERR_FILENO) != 0),
          core(view, queue, options.startDir),
          exclusive_(access == FolderAccess::Exclusive) {
        core.setApplicationName(kProgramName);
        core.setFolderReadOnly(access == FolderAccess::Shared);
        const FolderLockResult locked = lock_.acquire(options.startDir, access);
        inUse_ = locked == FolderLockResult::InUse;
        if (inUse_) note(tr_("%s (%s)"), tr_(kFolderInUseText), terminalText(options.startDir).c_str());
        // A folder that cannot hold the lock file cannot hold a saved list
        // either: the command runs as it did before there was a lock.
        if (locked == FolderLockResult::Failed)
            note(tr_("%s cannot be locked against a second Velmo"),
                 terminalText(resolvePath(options.startDir, kFolderLockName)).c_str());
        core.setConversionWorkers(options.jobs);
    }
    // False when another Velmo uses the folder: the command then ends with
    // kExitFailed, and the folder is left untouched.
    bool locked() const { return !inUse_; }
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The window's start, with the device library and the connection check.
    // False when the start failed (the core has said why and closed).
    // `changesList`: false for a command that leaves the list alone (the
    // firmware), which a table that cannot be saved does not stop.
    bool startWithClock(bool changesList = true) {
        std::error_code ec;
        const std::string programs = executableFolder();
        const std::string installed = installedPrivateFolder(programs);
        if (!fs::exists(agentImagePath(options_.startDir, programs, kAgentFileName), ec)) {
            // Installed: the copy in the private folder is gone too. A build
            // tree: the agent lies beside the program, to be copied.
            if (!installed.empty() && fs::is_directory(installed, ec))
                note(tr_("%s/%s (the clock's agent program) is missing, and so is the installed copy in %s"),
                     terminalText(options_.startDir).c_str(), kAgentFileName,
                     terminalText(fs::path(installed).lexically_normal().string()).c_str());
            else
                note(tr_("%s/%s (the clock's agent program) is missing; it lies beside the program in %s"),
                     terminalText(options_.startDir).c_str(), kAgentFileName, terminalText(programs).c_str());
        }
        core.start();
        return !core.isClosed() && (!changesList || editable());
    }
    // The start without the clock, for work that does not need it. The list's
    // limits still follow the storage of a clock that happens to be attached,
    // as they do in the window.
    // False when the command would change a list that cannot be saved (the
    // start has said why).
    bool startOffline() {
        core.startOfflineForAttachedClock();
        return editable();
    }
    void pump() { pumpUntilIdle(core, queue, view); }
    // The window's close: joins the workers, saves the table, removes the working files.
    void close() {
        view.endProgressLine();
        // Without the lock the folder belongs to another Velmo: nothing is saved.
        if (locked() && !core.isClosed()) core.close();
    }
    // Closes and gives the command's exit status: a failure when the close
    // could not save the list or the options.
    int finish(int status) {
        close();
        return core.saveFailures().empty() || status != kExitOk ? status : kExitFailed;
    }
    bool failed() const { return view.failureTold(); }
    // Answers the core's questions, one after another, until the operation
    // has started or ended. The firmware file is given with the request.
    void answer(std::optional<Question> question) {
        while (question)
            question = question->wantsPath() ? core.answerPath({}) : core.answer(view.ask(*question));
    }
    const Outcome& outcome() const { return core.lastOutcome(); }
    std::string imagePath() const { return core.path("./dat/tmp.bin"); }
    void printStatusLine() const {
        std::printf("%s\n", trimLeft(present::spaceUsage(core.totalEstimate(), core.capacity())).c_str());
    }

  private:
    bool editable() const { return !exclusive_ || core.listSavable(); }
    Options options_;
    FolderLock lock_;
    bool inUse_ = false;

  public:
    EventQueue queue;
    TerminalView view;
    VelmoCore core;

  private:
    bool exclusive_;
};

json textOrNull(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

// Why the last Download left the song off the clock, by kind; null when it did not.
json leftOffJson(const VelmoCore& core, size_t index) {
    const std::optional<SongFactsStore::Fate> fate = core.songFate(index);
    if (!fate) return nullptr;
    switch (fate->leftOff) {
        case SongFactsStore::Fate::LeftOff::DidNotFit:
            return "didNotFit";
        case SongFactsStore::Fate::LeftOff::NotConverted:
            return "notConverted";
        case SongFactsStore::Fate::LeftOff::No:
            break;
    }
    return nullptr;
}

const char* conversionJson(VelmoCore::SongConversionPlan plan) {
    switch (plan) {
        case VelmoCore::SongConversionPlan::Copy:
            return "copy";
        case VelmoCore::SongConversionPlan::CopyIfEven:
            return "copy-if-even";
        case VelmoCore::SongConversionPlan::Encode:
            break;
    }
    return "encode";
}

json songJson(const VelmoCore& core, size_t index) {
    const Song& rec = core.song(index);
    const SongFacts facts = core.songFacts(index);
    // The record is packed: its numbers are read by value, never bound to a reference.
    const uint32_t sizeEstimate = rec.sizeEstimate, cutLimit = rec.cutLimit;
    const uint32_t dataOffset = rec.dataOffset, dataSize = rec.dataSize;
    const unsigned copyPending = rec.copyPending, cutFlag = rec.cutFlag;
    return json{{"position", index + 1},
                {"name", jsonPathText(songName(rec))},
                {"workPath", jsonPathText(fieldText(rec.workPath))},
                {"sourcePath", jsonPathText(fieldText(rec.sourcePath))},
                {"sizeEstimate", sizeEstimate},
                {"copyPending", copyPending != 0},
                {"cutFlag", cutFlag != 0},
                {"cutLimit", cutLimit},
                {"dataOffset", dataOffset},
                {"dataSize", dataSize},
                {"convertedSize", core.songConvertedSize(index) ? json(*core.songConvertedSize(index)) : json(nullptr)},
                {"leftOff", leftOffJson(core, index)},
                {"leftOffReason", textOrNull(core.songLeftOffText(index))},
                {"durationSeconds", facts.duration > 0.0 ? json(facts.duration) : json(nullptr)},
                {"format", textOrNull(facts.format)},
                {"title", textOrNull(facts.title)},
                {"artist", textOrNull(facts.artist)},
                {"conversion", conversionJson(core.conversionPlan(index))}};
}

// The three qualities, best first, as the window's buttons forecast them.
constexpr uint16_t kQualities[] = {kQualityBest, kQualityGood, kQualityNormal};

json qualitiesJson(const VelmoCore& core) {
    json out = json::array();
    for (uint16_t code : kQualities) {
        const VelmoCore::QualityFill fill = core.qualityFill(code);
        out.push_back(json{{"quality", code},
                           {"qualityName", qualityJson(code)},
                           {"totalEstimate", fill.total},
                           {"spaceUsage", fill.percent},
                           {"fits", fill.fits}});
    }
    return out;
}

void printLines(const std::vector<std::string>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) std::printf("%3zu  %s\n", i + 1, terminalText(lines[i]).c_str());
}

bool validPosition(const Session& s, long position) {
    if (position >= 1 && position <= s.core.songCount()) return true;
    note(tr_("there is no song at position %ld (the list holds %u)"), position, s.core.songCount());
    return false;
}

int editList(const Options& options, const std::vector<std::string>& given, bool drop) {
    // A folder stands for the song files in it and its sub-folders; the core
    // then judges them exactly as the same files named one by one.
    bool emptyFolder = false;
    bool walkLimited = false;
    std::vector<std::string> files;
    for (const std::string& path : given) {
        if (!isFolder(path)) {
            files.push_back(path);
            continue;
        }
        const FolderWalk walk = walkSongFolder(path);
        for (const std::string& said : folderWalkNotes(terminalText(path), walk)) note("%s", said.c_str());
        walkLimited = walkLimited || walk.tooManyEntries || walk.tooDeep;
        if (walk.files.empty()) {
            note(tr_("there are no song files in %s"), terminalText(path).c_str());
            emptyFolder = true;
        }
        files.insert(files.end(), walk.files.begin(), walk.files.end());
    }
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    const uint16_t before = s.core.songCount();
    if (drop)
        s.core.dropSongs(files);
    else
        s.core.addSongs(files);
    const size_t taken = static_cast<size_t>(s.core.songCount() - before);
    if (taken != files.size()) note(tr_("%zu of %zu files joined the list"), taken, files.size());
    std::printf(tr_("Songs in the list: %u\n"), s.core.songCount());
    s.printStatusLine();
    const bool ok = taken == files.size() && !emptyFolder && !walkLimited && !s.failed();
    return s.finish(ok ? kExitOk : kExitFailed);
}

}  // namespace

int runStatus(const Options& options) {
    Session s(options, FolderAccess::Shared);
    if (!s.locked()) return kExitFailed;
    const bool connected = s.startWithClock();
    json storageCode = nullptr;
    if (connected && s.core.storageCode()) storageCode = *s.core.storageCode();
    const uint32_t kb = s.core.storageKB();
    const std::string usage = trimLeft(present::spaceUsage(s.core.totalEstimate(), s.core.capacity()));
    if (options.json) {
        json out{{"format", kJsonFormat},
                 {"connected", connected},
                 {"storageCode", storageCode},
                 {"storageKB", kb},
                 {"capacity", capacity(kb)},
                 {"songCount", s.core.songCount()},
                 {"quality", s.core.quality()},
                 {"qualityName", qualityJson(s.core.quality())},
                 {"totalEstimate", s.core.totalEstimate()},
                 {"qualities", qualitiesJson(s.core)}};
        addSpaceUsage(out, s.core.totalEstimate(), capacity(kb));
        out["evenVolume"] = s.core.evenVolume();
        printJson(out);
    } else {
        std::printf("%s", connected ? tr_("Clock: connected\n") : tr_("Clock: not connected\n"));
        if (!storageCode.is_null()) std::printf(tr_("Storage code: %u\n"), storageCode.get<unsigned>());
        std::printf(connected ? tr_("Storage size: %u KiB\n")
                              : tr_("Storage size: %u KiB (assumed until a clock is connected)\n"),
                    kb);
        std::printf(tr_("Capacity: %u bytes\n"), capacity(kb));
        std::printf("%s\n", usage.c_str());
        for (uint16_t code : kQualities) std::printf("%s\n", s.core.qualityToolTip(code).c_str());
        std::printf(tr_("Volume: %s\n"), volumeName(s.core.evenVolume()));
    }
    // A damaged or unusable table or settings file was reported and left as it is.
    const bool damaged = s.failed();
    s.close();
    return connected && !damaged ? kExitOk : kExitFailed;
}

int runList(const Options& options) {
    Session s(options, FolderAccess::Shared);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    s.core.learnSongFacts();
    s.core.waitForSongFacts();
    const VelmoCore& core = s.core;
    const uint32_t kb = core.storageKB();
    if (options.json) {
        json songs = json::array();
        for (size_t i = 0; i < core.songCount(); ++i) songs.push_back(songJson(core, i));
        json out{{"format", kJsonFormat},
                 {"songCount", core.songCount()},
                 {"quality", core.quality()},
                 {"qualityName", qualityJson(core.quality())},
                 {"totalEstimate", core.totalEstimate()},
                 {"capacity", capacity(kb)},
                 {"storageKB", kb},
                 {"songs", songs}};
        addSpaceUsage(out, core.totalEstimate(), capacity(kb));
        printJson(out);
    } else {
        std::printf(tr_("Quality: %s (%u)\n"), qualityName(core.quality()).c_str(), core.quality());
        const std::vector<std::string>& lines = s.view.lines();
        // TRANSLATORS: the heading of the list's columns: number, length, estimated size, song.
        if (core.songCount() != 0) std::printf("%s", tr_("  #   Length          Size  Song\n"));
        for (size_t i = 0; i < core.songCount(); ++i) {
            const Song& rec = core.song(i);
            const SongFacts facts = core.songFacts(i);
            const std::string length = facts.duration > 0.0 ? formatLength(facts.duration) : "-";
            std::printf("%3zu  %7s  %12s  %s%s", i + 1, length.c_str(), formatSize(rec.sizeEstimate).c_str(),
                        i < lines.size() ? terminalText(lines[i]).c_str() : "",
                        rec.copyPending ? tr_(", copy pending") : "");
            if (rec.cutFlag) std::printf(tr_(", cut at %u bytes"), rec.cutLimit);
            // What the last Download made of it.
            const std::string leftOff = core.songLeftOffText(i);
            if (const std::optional<uint32_t> real = core.songConvertedSize(i))
                std::printf(tr_(", converted to %s"), formatSize(*real).c_str());
            if (!leftOff.empty()) std::printf(tr_(", not on the clock: %s"), leftOff.c_str());
            std::printf("\n");
        }
        std::printf(tr_("Total: %u bytes of %u\n"), core.totalEstimate(), capacity(kb));
        s.printStatusLine();
    }
    const bool damaged = s.failed();
    s.close();
    return damaged ? kExitFailed : kExitOk;
}

int runAdd(const Options& options, const std::vector<std::string>& files) { return editList(options, files, false); }

int runDrop(const Options& options, const std::vector<std::string>& files) { return editList(options, files, true); }

int runDelete(const Options& options, long position) {
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    if (!validPosition(s, position)) return kExitFailed;
    s.core.removeSong(static_cast<int>(position - 1));
    std::printf(tr_("Songs in the list: %u\n"), s.core.songCount());
    s.printStatusLine();
    return s.finish(kExitOk);
}

int runUp(const Options& options, long position) {
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    if (!validPosition(s, position)) return kExitFailed;
    if (position == 1) {
        note(tr_("song 1 is already the first"));
        return kExitFailed;
    }
    s.core.moveSongUp(static_cast<int>(position - 1));
    printLines(s.view.lines());
    return s.finish(kExitOk);
}

int runDown(const Options& options, long position) {
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    if (!validPosition(s, position)) return kExitFailed;
    if (position == s.core.songCount()) {
        note(tr_("song %ld is already the last"), position);
        return kExitFailed;
    }
    s.core.moveSongDown(static_cast<int>(position - 1));
    printLines(s.view.lines());
    return s.finish(kExitOk);
}

int runQuality(const Options& options, const std::string& name) {
    const uint16_t code = name == "best"     ? kQualityBest
                          : name == "good"   ? kQualityGood
                          : name == "normal" ? kQualityNormal
                                             : 0;
    if (code == 0) {
        note(tr_("quality must be best, good or normal"));
        return kExitUsage;
    }
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    s.core.setQuality(code);
    std::printf(tr_("Quality: %s (%u)\n"), qualityName(s.core.quality()).c_str(), s.core.quality());
    s.printStatusLine();
    return s.finish(kExitOk);
}

int runVolume(const Options& options, const std::string& name) {
    if (name != "even" && name != "as-is") {
        note(tr_("volume must be even or as-is"));
        return kExitUsage;
    }
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline() || !s.core.optionsSavable()) return kExitFailed;
    s.core.setEvenVolume(name == "even");
    std::printf(tr_("Volume: %s\n"), volumeName(s.core.evenVolume()));
    return s.finish(kExitOk);
}

// The exit status of a command that a signal stopped: 128 + the signal, as
// the shell reports a program that the signal ended.
int stoppedStatus() { return 128 + stopSignal(); }

// The exit status of an operation of the core, from how it ended.
int exitStatus(const Outcome& outcome) {
    switch (outcome.kind) {
        case OutcomeKind::Finished:
            return kExitOk;
        case OutcomeKind::Incomplete:
            return kExitIncomplete;
        case OutcomeKind::Stopped:
            // Only a signal stops an operation here.
            return stopSignal() != 0 ? stoppedStatus() : kExitFailed;
        case OutcomeKind::Refused:
        case OutcomeKind::Failed:
            break;
    }
    return kExitFailed;
}

// Names, one line each, the songs of a finished conversion that reached the
// image without data: scripts find them as error lines.
void noteLeftOff(const Outcome& outcome) {
    const LeftOff& off = outcome.leftOff;
    for (size_t k = 0; k < off.unconverted.size(); ++k) {
        const char* name = off.unconverted[k].c_str();
        const int cause = k < off.causes.size() ? off.causes[k] : 0;
        if (cause == 0)
            note(tr_("%s could not be converted; it has no data"), name);
        else
            note(tr_("%s could not be converted (%s); it has no data"), name, present::causeText(cause).c_str());
    }
    for (const std::string& name : off.didNotFit)
        note(tr_("%s did not fit on the clock and is not on it"), name.c_str());
}

int runNames(const Options& options, const std::string& source) {
    if (!source.empty() && source != "tags" && source != "files") {
        note("%s", tr_("names must be tags or files"));
        return kExitUsage;
    }
    Session s(options, source.empty() ? FolderAccess::Shared : FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    if (!source.empty() && !s.core.optionsSavable()) return kExitFailed;
    if (!source.empty()) s.core.setNamesFromTags(source == "tags");
    std::printf("%s", s.core.namesFromTags() ? tr_("Names from Tags: on\n") : tr_("Names from Tags: off\n"));
    return s.finish(kExitOk);
}

int runDownload(const Options& options, std::optional<bool> verify, bool fullVerify) {
    installStopSignals();
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startWithClock()) return kExitFailed;
    if (verify) s.core.overrideVerifyAfterDownload(*verify);
    if (fullVerify) s.core.overrideFullVerify(true);
    s.answer(s.core.download());
    s.pump();
    int status = exitStatus(s.outcome());
    if (status == kExitOk || status == kExitIncomplete) {
        std::error_code ec;
        const auto bytes = fs::file_size(s.imagePath(), ec);
        const Outcome& outcome = s.outcome();
        const size_t leftOff = outcome.leftOff.unconverted.size() + outcome.leftOff.didNotFit.size();
        const unsigned count = s.core.songCount();
        if (options.json) {
            printJson(json{{"format", kJsonFormat},
                           {"songCount", count},
                           {"songsLeftOff", leftOff},
                           {"imageBytes", outcome.imageBytes},
                           {"bytesWritten", outcome.bytesWritten},
                           {"songsUnchanged", outcome.songsUnchanged},
                           {"verified", outcome.verified}});
            noteLeftOff(outcome);
            return s.finish(status);
        }
        if (leftOff == 0)
            std::printf(trn_("Downloaded %u song (%ju image bytes).\n", "Downloaded %u songs (%ju image bytes).\n",
                             count),
                        count, static_cast<uintmax_t>(ec ? 0 : bytes));
        else
            // TRANSLATORS: the songs whole on the clock, then the songs of the list, then the image's size.
            std::printf(trn_("Downloaded %u of %u song (%ju image bytes).\n",
                             "Downloaded %u of %u songs (%ju image bytes).\n", count),
                        static_cast<unsigned>(count - std::min<size_t>(leftOff, count)), count,
                        static_cast<uintmax_t>(ec ? 0 : bytes));
        noteLeftOff(outcome);
        if (s.outcome().verified)
            std::printf(tr_("Verified: the clock holds the %ju bytes of the image.\n"),
                        static_cast<uintmax_t>(ec ? 0 : bytes));
    }
    return s.finish(status);
}

int runReload(const Options& options) {
    installStopSignals();
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startWithClock()) return kExitFailed;
    s.answer(s.core.reload());
    s.pump();
    const int status = exitStatus(s.outcome());
    if (status == kExitOk) {
        printLines(s.view.lines());
        std::printf(tr_("Quality: %s (%u)\n"), qualityName(s.core.quality()).c_str(), s.core.quality());
        s.printStatusLine();
    }
    return s.finish(status);
}

int runReloadCheck(const Options& options, const std::string& how) {
    if (!how.empty() && how != "twice" && how != "once") {
        note("%s", tr_("the reload check must be twice or once"));
        return kExitUsage;
    }
    Session s(options, how.empty() ? FolderAccess::Shared : FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    s.startOffline();
    if (!how.empty()) s.core.setReloadReadTwice(how == "twice");
    std::printf("%s", s.core.reloadReadTwice() ? tr_("Check Reload by reading twice: on\n")
                                               : tr_("Check Reload by reading twice: off\n"));
    s.close();
    return kExitOk;
}

int runFirmware(const Options& options, const std::string& file) {
    // A firmware write is waited for, never stopped: a signal only makes the
    // pump say so.
    installStopSignals();
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startWithClock(false)) return kExitFailed;
    s.answer(s.core.upgradeFirmware(file));
    s.pump();
    const int status = exitStatus(s.outcome());
    return s.finish(status);
}

int runImage(const Options& options, const std::string& out) {
    installStopSignals();
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    // Download's own checks, question and conversion, without the clock.
    s.answer(s.core.makeImage());
    s.pump();
    const Outcome& outcome = s.outcome();
    if (outcome.kind == OutcomeKind::Stopped) note(tr_("stopped: no image was written"));
    if (outcome.kind != OutcomeKind::Finished && outcome.kind != OutcomeKind::Incomplete) return exitStatus(outcome);
    noteLeftOff(outcome);

    // The core's image lives in the working folder until the close.
    std::vector<uint8_t> head;
    StorageHeader header;
    std::error_code ec;
    const uintmax_t bytes = fs::file_size(s.imagePath(), ec);
    if (!ec) fs::copy_file(s.imagePath(), out, fs::copy_options::overwrite_existing, ec);
    const bool written = !ec && readFileHead(out, head, kStorageHeaderBytes);
    if (!written || !decodeStorageHeader(head.data(), head.size(), header)) {
        note(tr_("cannot write %s: %s"), terminalText(out).c_str(),
             ec ? ec.message().c_str() : tr_("the image is incomplete"));
        return kExitFailed;
    }
    std::printf(trn_("Image: %u song, %ju bytes written to %s\n", "Image: %u songs, %ju bytes written to %s\n",
                     header.songCount),
                header.songCount, static_cast<uintmax_t>(bytes), terminalText(out).c_str());
    return s.finish(exitStatus(outcome));
}

int runInspect(const Options& options, const std::string& file) {
    // A storage image starts with the header; a clock's flash file (the
    // simulator's flash.bin) holds it at its storage address. No more than
    // that is read, and only from a regular file.
    const std::optional<uint64_t> size = velmo::fileSize(file);
    std::vector<uint8_t> head;
    if (!size || !readFileHead(file, head, kStorageHeaderAddress + kStorageHeaderBytes)) {
        note(tr_("cannot read %s"), terminalText(file).c_str());
        return kExitFailed;
    }
    const uint64_t fileSize = *size;

    StorageHeader header;
    uint32_t headerOffset = 0;
    bool found = false;
    for (uint32_t offset : {0u, kStorageHeaderAddress}) {
        if (head.size() >= offset + kStorageHeaderBytes &&
            decodeStorageHeader(head.data() + offset, kStorageHeaderBytes, header) && hasStorageSignature(header)) {
            headerOffset = offset;
            found = true;
            break;
        }
    }
    if (!found) {
        note(tr_("%s holds no storage header (no \"VELMO\" signature at offset 6 or 0x%X)"), terminalText(file).c_str(),
             kStorageHeaderAddress + 6);
        return kExitFailed;
    }
    const char* kind = headerOffset == 0 ? "image" : "flash";
    const uint64_t dataStart = uint64_t{headerOffset} + kStorageHeaderBytes;
    json entries = json::array();
    for (size_t i = 0; i < effectiveSongCount(header); ++i) {
        const StorageEntry& e = header.entries[i];
        const bool inFile = dataStart + e.dataOffset + e.dataSize <= fileSize;
        entries.push_back(json{{"position", i + 1},
                               {"name", jsonPathText(fieldText(e.songName))},
                               {"dataOffset", e.dataOffset},
                               {"dataSize", e.dataSize},
                               {"inFile", inFile}});
    }
    if (options.json) {
        printJson(json{{"format", kJsonFormat},
                       {"file", jsonPathText(file)},
                       {"kind", kind},
                       {"headerOffset", headerOffset},
                       {"songCount", header.songCount},
                       {"quality", header.quality},
                       {"qualityName", qualityJson(header.quality)},
                       {"totalEstimate", header.totalEstimate},
                       {"songs", entries}});
        return kExitOk;
    }
    std::printf(headerOffset == 0 ? tr_("%s: storage image, header at 0x%04X\n")
                                  : tr_("%s: clock flash file, header at 0x%04X\n"),
                terminalText(file).c_str(), headerOffset);
    std::printf(tr_("Songs: %u   Total estimate: %u bytes   Quality: %s (%u)\n"), header.songCount,
                header.totalEstimate, qualityName(header.quality).c_str(), header.quality);
    if (header.songCount > kMaxHeaderSongs)
        std::printf(tr_("(the header has room for %zu entries; only those are shown)\n"), kMaxHeaderSongs);
    for (const json& e : entries)
        std::printf(tr_("%3u  %s  offset %u  size %u%s\n"), e["position"].get<unsigned>(),
                    terminalText(fieldText(header.entries[e["position"].get<size_t>() - 1].songName)).c_str(),
                    e["dataOffset"].get<unsigned>(),
                    e["dataSize"].get<unsigned>(), e["inFile"].get<bool>() ? "" : tr_("  (past the end of the file)"));
    return kExitOk;
}

}  // namespace velmo::cli
