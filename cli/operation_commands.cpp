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
#include "session.h"
#include "terminal_view.h"
#include "translation.h"
#include "velmo_core.h"

namespace velmo::cli {

namespace fs = std::filesystem;

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

int runOperation(const Options& options, Operation kind) {
    installStopSignals();
    Session s(options, FolderAccess::Exclusive);
    if (!s.locked()) return kExitFailed;
    if (!s.startWithClock(false)) return kExitFailed;
    s.answer(s.core.begin(kind));
    s.pump();
    return s.finish(exitStatus(s.outcome()));
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
