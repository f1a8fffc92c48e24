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
#include "positions.h"
#include "presenter.h"
#include "songlist.h"
#include "storage_layout.h"
#include "terminal_text.h"
#include "session.h"
#include "terminal_view.h"
#include "tool_options.h"
#include "translation.h"
#include "velmo_core.h"

namespace velmo::cli {

namespace {

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
                {"leftOffReason", textOrNull(present::songLeftOffText(core, index))},
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
        out["namesFromTags"] = s.core.namesFromTags();
        out["verifyAfterDownload"] = s.core.verifyAfterDownload();
        printJson(out);
    } else {
        std::printf("%s", connected ? tr_("Clock: connected\n") : tr_("Clock: not connected\n"));
        if (!storageCode.is_null()) std::printf(tr_("Storage code: %u\n"), storageCode.get<unsigned>());
        std::printf(connected ? tr_("Storage size: %u KiB\n")
                              : tr_("Storage size: %u KiB (assumed until a clock is connected)\n"),
                    kb);
        std::printf(tr_("Capacity: %u bytes\n"), capacity(kb));
        std::printf("%s\n", usage.c_str());
        for (uint16_t code : kQualities) std::printf("%s\n", present::qualityToolTip(s.core, code).c_str());
        std::printf("%s%s%s", volumeLine(s.core.evenVolume()), namesLine(s.core.namesFromTags()),
                    verifyLine(s.core.verifyAfterDownload()));
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
            const std::string length = facts.duration > 0.0 ? present::formatLength(facts.duration) : "-";
            std::printf("%3zu  %7s  %12s  %s%s", i + 1, length.c_str(), present::formatSize(rec.sizeEstimate).c_str(),
                        i < lines.size() ? terminalText(lines[i]).c_str() : "",
                        rec.copyPending ? tr_(", copy pending") : "");
            if (rec.cutFlag) std::printf(tr_(", cut at %u bytes"), rec.cutLimit);
            // What the last Download made of it.
            const std::string leftOff = present::songLeftOffText(core, i);
            if (const std::optional<uint32_t> real = core.songConvertedSize(i))
                std::printf(tr_(", converted to %s"), present::formatSize(*real).c_str());
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

int runDelete(const Options& options, const std::vector<std::string>& positions) {
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    std::vector<PositionRange> ranges;
    for (const std::string& token : positions)
        if (!parsePositionRange(token, ranges.emplace_back())) return kExitUsage;  // the parser let it through
    std::vector<int> lines;
    long missing = 0;
    // Nothing is removed unless every position names a song.
    if (!linesOf(ranges, s.core.songCount(), lines, missing)) {
        validPosition(s, missing);  // says which one
        return kExitFailed;
    }
    s.core.removeSongs(lines);
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
    if (!name.empty() && name != "even" && name != "as-is") {
        note(tr_("volume must be even or as-is"));
        return kExitUsage;
    }
    Session s(options, name.empty() ? FolderAccess::Shared : FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startOffline()) return kExitFailed;
    if (!name.empty() && !s.core.optionsSavable()) return kExitFailed;
    if (!name.empty()) s.core.setEvenVolume(name == "even");
    std::printf("%s", volumeLine(s.core.evenVolume()));
    return s.finish(kExitOk);
}

}  // namespace velmo::cli
