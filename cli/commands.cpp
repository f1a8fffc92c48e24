#include "commands.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "admission.h"
#include "convert_job.h"
#include "device.h"
#include "fileio.h"
#include "songlist.h"
#include "storage_layout.h"
#include "terminal_view.h"
#include "velmo_core.h"

namespace velmo::cli {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A line of the front end's own (not one of the window's boxes) on standard error.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
    std::fprintf(stderr, "%s: ", kProgramName);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

QuestionPolicy questionPolicy(const Options& options) {
    if (options.yes) return QuestionPolicy::AssumeYes;
    return ::isatty(STDIN_FILENO) ? QuestionPolicy::Ask : QuestionPolicy::Cancel;
}

// The text of a fixed-size, NUL-padded field; a field without a NUL ends at its size.

std::string qualityName(uint16_t code) {
    switch (code) {
        case 8:
            return "Best";
        case 4:
            return "Good";
        case 2:
            return "Normal";
        default:
            return "code " + std::to_string(code);
    }
}

std::string trimLeft(const std::string& text) {
    const size_t at = text.find_first_not_of(' ');
    return at == std::string::npos ? std::string() : text.substr(at);
}

// Names from files and the clock may hold any bytes: JSON output replaces
// what is not UTF-8 instead of failing.
void printJson(const json& value) {
    std::printf("%s\n", value.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

// The storage size in KiB of the clock attached now, or 0 when there is no
// device library, no clock, or no answer from its agent. The connection is
// closed again at once.
uint32_t attachedStorageKB(const std::string& startDir) {
    DeviceLibrary lib;
    if (loadDeviceLibrary(lib) != 0) return 0;
    const uint32_t handle = openDevice(lib);
    uint16_t code = kNoStorageCode;
    const bool answered = handle != 0 && startAgent(lib, handle, startDir, code) == kDeviceOk;
    shutdownDevice(lib, handle);
    if (!answered) return 0;
    uint32_t table[kStorageCodes];
    fillStorageSizeTable(table);
    return storageSizeLookup(table, code) >> 10;
}

// The window and its message loop for one command.
class Session {
  public:
    explicit Session(const Options& options)
        : options_(options),
          view(questionPolicy(options), stderr, ::isatty(STDERR_FILENO) != 0),
          core(view, queue, options.startDir) {
        core.setApplicationName(kProgramName);
        core.setConversionWorkers(options.jobs);
    }
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The window's start, with the device library and the connection check.
    // False when the start failed (the core has said why and closed).
    bool startWithClock() {
        std::error_code ec;
        if (!fs::exists(fs::path(options_.startDir) / kAgentFileName, ec))
            note("%s/%s (the clock's agent program) is missing; it lies beside the program in %s",
                 options_.startDir.c_str(), kAgentFileName, executableFolder().c_str());
        core.onInitDialog();
        return !core.isClosed();
    }
    // The start without the clock, for work that does not need it. The list's
    // limits still follow the storage of a clock that happens to be attached,
    // as they do in the window.
    void startOffline() { core.onInitDialogOffline(attachedStorageKB(options_.startDir)); }
    void pump() { pumpUntilIdle(core, queue, view); }
    // The window's close: joins the workers, saves the table, removes the working files.
    void close() {
        view.endProgressLine();
        if (!core.isClosed()) core.onClose();
    }
    bool failed() const { return view.failureShown(kProgramName); }
    const Outcome& outcome() const { return core.lastOutcome(); }
    std::string path(const std::string& name) const { return core.shared().path(name); }
    void printStatusLine() const { std::printf("%s\n", trimLeft(core.statusText(core.totalEstimate())).c_str()); }

  private:
    Options options_;

  public:
    MessageQueue queue;
    TerminalView view;
    VelmoCore core;
};

json songJson(const SongRecord& rec, size_t index) {
    // The record is packed: its numbers are read by value, never bound to a reference.
    const uint32_t sizeEstimate = rec.sizeEstimate, cutLimit = rec.cutLimit;
    const uint32_t dataOffset = rec.dataOffset, dataSize = rec.dataSize;
    const unsigned copyPending = rec.copyPending, cutFlag = rec.cutFlag;
    return json{{"position", index + 1},
                {"line", songDisplayName(fieldText(rec.workPath))},
                {"workPath", fieldText(rec.workPath)},
                {"sourcePath", fieldText(rec.sourcePath)},
                {"sizeEstimate", sizeEstimate},
                {"copyPending", copyPending},
                {"cutFlag", cutFlag},
                {"cutLimit", cutLimit},
                {"dataOffset", dataOffset},
                {"dataSize", dataSize}};
}

void printLines(const std::vector<std::string>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) std::printf("%3zu  %s\n", i + 1, lines[i].c_str());
}

// Reads the image just written back from the clock, block by block, and
// compares it with ./dat/tmp.bin. The agent started by the download still
// runs, and no worker uses the connection any more.
bool verifyDownload(Session& s) {
    std::vector<uint8_t> image;
    const bool ok = readWholeFile(s.path(kImageFile), image, size_t{0xFFFFFFFF});
    if (!ok || image.empty()) {
        note("verify: the image %s is gone; nothing to compare", s.path(kImageFile).c_str());
        return false;
    }
    const uint32_t handle = s.core.deviceHandle();
    if (handle == 0) {
        note("verify: the clock is no longer connected");
        return false;
    }
    s.view.setProgressCaption("Progress: verifying music data...");
    std::vector<uint8_t> block(kTransferBlockBytes);
    bool same = true;
    for (size_t done = 0; done < image.size() && same;) {
        const uint32_t count = static_cast<uint32_t>(std::min<size_t>(kTransferBlockBytes, image.size() - done));
        const uint32_t address = kStorageHeaderAddress + static_cast<uint32_t>(done);
        if (readBlock(s.core.deviceLibrary(), handle, address, count, block.data()) != 0) {
            s.view.endProgressLine();
            note("verify: reading storage address 0x%X from the clock failed", address);
            same = false;
            break;
        }
        const auto diff = std::mismatch(block.begin(), block.begin() + count, image.begin() + static_cast<long>(done));
        if (diff.first != block.begin() + count) {
            const size_t at = done + static_cast<size_t>(diff.first - block.begin());
            s.view.endProgressLine();
            note("verify failed: the clock holds 0x%02X at storage address 0x%zX where the image has 0x%02X",
                 *diff.first, kStorageHeaderAddress + at, *diff.second);
            same = false;
            break;
        }
        done += count;
        s.view.setProgressBar(static_cast<int>(done * 100 / image.size()));
    }
    s.view.setProgressCaption("Progress:");
    s.view.setProgressBar(0);
    if (same) std::printf("Verified: the clock holds the %zu bytes of the image.\n", image.size());
    return same;
}

bool validPosition(const Session& s, long position) {
    if (position >= 1 && position <= s.core.songCount()) return true;
    note("there is no song at position %ld (the list holds %u)", position, s.core.songCount());
    return false;
}

int editList(const Options& options, const std::vector<std::string>& files, bool drop) {
    Session s(options);
    s.startOffline();
    const uint16_t before = s.core.songCount();
    if (drop)
        s.core.onDropFiles(files);
    else
        s.core.onAdd(files);
    const size_t taken = static_cast<size_t>(s.core.songCount() - before);
    if (taken != files.size()) note("%zu of %zu files joined the list", taken, files.size());
    std::printf("Songs in the list: %u\n", s.core.songCount());
    s.printStatusLine();
    const bool ok = taken == files.size() && !s.failed();
    s.close();
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

int runStatus(const Options& options) {
    Session s(options);
    const bool connected = s.startWithClock();
    json storageCode = nullptr;
    if (connected) {
        // The probe's answer is not kept by the start-up: ask the clock again.
        uint16_t code = kNoStorageCode;
        if (startAgent(s.core.deviceLibrary(), s.core.deviceHandle(), options.startDir, code) == kDeviceOk)
            storageCode = code;
    }
    const uint32_t kb = s.core.shared().storageKB;
    const std::string usage = trimLeft(s.core.statusText(s.core.totalEstimate()));
    if (options.json) {
        printJson(json{{"connected", connected},
                       {"storageCode", storageCode},
                       {"storageKB", kb},
                       {"capacity", capacity(kb)},
                       {"songCount", s.core.songCount()},
                       {"quality", s.core.quality()},
                       {"totalEstimate", s.core.totalEstimate()},
                       {"spaceUsage", usage}});
    } else {
        std::printf("Clock: %s\n", connected ? "connected" : "not connected");
        if (!storageCode.is_null()) std::printf("Storage code: %u\n", storageCode.get<unsigned>());
        std::printf("Storage size: %u KiB%s\n", kb, connected ? "" : " (assumed until a clock is connected)");
        std::printf("Capacity: %u bytes\n", capacity(kb));
        std::printf("%s\n", usage.c_str());
    }
    s.close();
    return connected ? kExitOk : kExitFailed;
}

int runList(const Options& options) {
    Session s(options);
    s.startOffline();
    const VelmoCore& core = s.core;
    const uint32_t kb = core.shared().storageKB;
    if (options.json) {
        json songs = json::array();
        for (size_t i = 0; i < core.songCount(); ++i) songs.push_back(songJson(core.shared().songs[i], i));
        printJson(json{{"songCount", core.songCount()},
                       {"quality", core.quality()},
                       {"totalEstimate", core.totalEstimate()},
                       {"capacity", capacity(kb)},
                       {"storageKB", kb},
                       {"spaceUsage", trimLeft(core.statusText(core.totalEstimate()))},
                       {"songs", songs}});
    } else {
        std::printf("Quality: %s (%u)\n", qualityName(core.quality()).c_str(), core.quality());
        const std::vector<std::string>& lines = s.view.lines();
        for (size_t i = 0; i < core.songCount(); ++i) {
            const SongRecord& rec = core.shared().songs[i];
            std::printf("%3zu  %s  estimate %u bytes%s", i + 1, i < lines.size() ? lines[i].c_str() : "",
                        rec.sizeEstimate, rec.copyPending ? ", copy pending" : "");
            if (rec.cutFlag) std::printf(", cut at %u bytes", rec.cutLimit);
            std::printf("\n");
        }
        std::printf("Total: %u bytes of %u\n", core.totalEstimate(), capacity(kb));
        s.printStatusLine();
    }
    s.close();
    return kExitOk;
}

int runAdd(const Options& options, const std::vector<std::string>& files) { return editList(options, files, false); }

int runDrop(const Options& options, const std::vector<std::string>& files) { return editList(options, files, true); }

int runDelete(const Options& options, long position) {
    Session s(options);
    s.startOffline();
    if (!validPosition(s, position)) return kExitFailed;
    s.core.onDelete(static_cast<int>(position - 1));
    std::printf("Songs in the list: %u\n", s.core.songCount());
    s.printStatusLine();
    return kExitOk;
}

int runUp(const Options& options, long position) {
    Session s(options);
    s.startOffline();
    if (!validPosition(s, position)) return kExitFailed;
    if (position == 1) {
        note("song 1 is already the first");
        return kExitFailed;
    }
    s.core.onUp(static_cast<int>(position - 1));
    printLines(s.view.lines());
    return kExitOk;
}

int runDown(const Options& options, long position) {
    Session s(options);
    s.startOffline();
    if (!validPosition(s, position)) return kExitFailed;
    if (position == s.core.songCount()) {
        note("song %ld is already the last", position);
        return kExitFailed;
    }
    s.core.onDown(static_cast<int>(position - 1));
    printLines(s.view.lines());
    return kExitOk;
}

int runQuality(const Options& options, const std::string& name) {
    const uint16_t code = name == "best"     ? kQualityBest
                          : name == "good"   ? kQualityGood
                          : name == "normal" ? kQualityNormal
                                             : 0;
    if (code == 0) {
        note("quality must be best, good or normal");
        return kExitUsage;
    }
    Session s(options);
    s.startOffline();
    s.core.onQuality(code);
    std::printf("Quality: %s (%u)\n", qualityName(s.core.quality()).c_str(), s.core.quality());
    s.printStatusLine();
    return kExitOk;
}

// The exit status of a command that a signal stopped: 128 + the signal, as
// the shell reports a program that the signal ended.
int stoppedStatus() { return 128 + stopSignal(); }

// The exit status of an operation of the core, from how it ended.
int exitStatus(const Outcome& outcome) {
    switch (outcome.kind) {
        case OutcomeKind::Finished:
            return kExitOk;
        case OutcomeKind::Stopped:
            // Only a signal stops an operation here.
            return stopSignal() != 0 ? stoppedStatus() : kExitFailed;
        case OutcomeKind::Refused:
        case OutcomeKind::Failed:
            break;
    }
    return kExitFailed;
}

// Names the songs of a finished conversion that reached the image without data.
void noteUnconverted(const Outcome& outcome) {
    for (const std::string& name : outcome.unconverted) note("%s could not be converted; it has no data", name.c_str());
}

int runDownload(const Options& options, bool verify) {
    installStopSignals();
    Session s(options);
    if (!s.startWithClock()) return kExitFailed;
    s.core.onDownload();
    s.pump();
    int status = exitStatus(s.outcome());
    if (status == kExitOk) {
        std::error_code ec;
        const auto bytes = fs::file_size(s.path(kImageFile), ec);
        std::printf("Downloaded %u songs (%ju image bytes).\n", s.core.songCount(),
                    static_cast<uintmax_t>(ec ? 0 : bytes));
        if (verify && !verifyDownload(s)) status = kExitFailed;
    }
    s.close();
    return status;
}

int runReload(const Options& options) {
    installStopSignals();
    Session s(options);
    if (!s.startWithClock()) return kExitFailed;
    s.core.onReload();
    s.pump();
    const int status = exitStatus(s.outcome());
    if (status == kExitOk) {
        printLines(s.view.lines());
        std::printf("Quality: %s (%u)\n", qualityName(s.core.quality()).c_str(), s.core.quality());
        s.printStatusLine();
    }
    s.close();
    return status;
}

int runFirmware(const Options& options, const std::string& file) {
    // A firmware write is waited for, never stopped: a signal only makes the
    // pump say so.
    installStopSignals();
    Session s(options);
    if (!s.startWithClock()) return kExitFailed;
    s.view.setFirmwareFile(file);
    s.core.onUpgradeFirmware();
    s.pump();
    const int status = exitStatus(s.outcome());
    s.close();
    return status;
}

int runImage(const Options& options, const std::string& out) {
    installStopSignals();
    Session s(options);
    s.startOffline();
    // Download's own checks, question and conversion, without the clock.
    s.core.onMakeImage();
    s.pump();
    const Outcome& outcome = s.outcome();
    if (outcome.kind == OutcomeKind::Stopped) note("stopped: no image was written");
    if (outcome.kind != OutcomeKind::Finished) return exitStatus(outcome);
    noteUnconverted(outcome);

    // The core's image lives in the working folder until the close.
    std::vector<uint8_t> head(kStorageHeaderBytes);
    StorageHeader header;
    std::error_code ec;
    const uintmax_t bytes = fs::file_size(s.path(kImageFile), ec);
    if (!ec) fs::copy_file(s.path(kImageFile), out, fs::copy_options::overwrite_existing, ec);
    std::ifstream written(out, std::ios::binary);
    written.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    if (ec || !written || !decodeStorageHeader(head.data(), head.size(), header)) {
        note("cannot write %s: %s", out.c_str(), ec ? ec.message().c_str() : "the image is incomplete");
        return kExitFailed;
    }
    std::printf("Image: %u songs, %ju bytes written to %s\n", header.songCount, static_cast<uintmax_t>(bytes),
                out.c_str());
    return kExitOk;
}

int runInspect(const Options& options, const std::string& file) {
    std::error_code ec;
    const uintmax_t fileSize = fs::file_size(file, ec);
    std::ifstream in(file, std::ios::binary);
    if (ec || !in) {
        note("cannot read %s", file.c_str());
        return kExitFailed;
    }
    // A storage image starts with the header; a clock's flash file (the
    // simulator's flash.bin) holds it at its storage address.
    std::vector<uint8_t> head(kStorageHeaderAddress + kStorageHeaderBytes);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));

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
        note("%s holds no storage header (no \"VELMO\" signature at offset 6 or 0x%X)", file.c_str(),
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
                               {"dataOffset", e.dataOffset},
                               {"dataSize", e.dataSize},
                               {"songName", fieldText(e.songName)},
                               {"inFile", inFile}});
    }
    if (options.json) {
        printJson(json{{"file", file},
                       {"kind", kind},
                       {"headerOffset", headerOffset},
                       {"songCount", header.songCount},
                       {"totalEstimate", header.totalEstimate},
                       {"quality", header.quality},
                       {"entries", entries}});
        return kExitOk;
    }
    std::printf("%s: %s, header at 0x%04X\n", file.c_str(), headerOffset == 0 ? "storage image" : "clock flash file",
                headerOffset);
    std::printf("Songs: %u   Total estimate: %u bytes   Quality: %s (%u)\n", header.songCount, header.totalEstimate,
                qualityName(header.quality).c_str(), header.quality);
    if (header.songCount > kMaxHeaderSongs)
        std::printf("(the header has room for %zu entries; only those are shown)\n", kMaxHeaderSongs);
    for (const json& e : entries)
        std::printf("%3u  %s  offset %u  size %u%s\n", e["position"].get<unsigned>(),
                    e["songName"].get<std::string>().c_str(), e["dataOffset"].get<unsigned>(),
                    e["dataSize"].get<unsigned>(), e["inFile"].get<bool>() ? "" : "  (past the end of the file)");
    return kExitOk;
}

}  // namespace velmo::cli
