// zentro-sim: inspects and steers the simulated clock in the sim folder
// ($ZENTRO_SIM_DIR, else ~/.local/state/zentro-sim), also while a program is
// using it. Prints what it did; errors go to stderr with exit status 1.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fileio.h"
#include "install_paths.h"
#include "storage_layout.h"
#include "terminal_text.h"
#include "translation.h"
#include "velmo_build.h"
#include "zentro_sim_control.h"

namespace {

const char* const kFaultNames[ZENTRO_FAULT_KINDS] = {"disconnect",    "erase-fail",   "program-fail",
                                                     "program-short", "corrupt-read", "load-fail"};
const char* const kTriggerNames[4] = {"off", "at", "every", "random"};

int fail(const std::string& message) {
    std::fprintf(stderr, "zentro-sim: %s\n", message.c_str());
    return 1;
}

bool parseNumber(const std::string& text, uint32_t& out) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

void usage(FILE* out) {
    // TRANSLATORS: keep the commands, their words and the names in capitals as they are.
    std::fputs(velmo::tr_("usage: zentro-sim COMMAND\n"
                          "       zentro-sim --version\n"
                          "  status                       show the clock's state and faults\n"
                          "  plug | unplug                plug the clock in or pull it out\n"
                          "  storage-code N               storage code the probe reports (0 to 255)\n"
                          "  delay on|off                 USB 1.1 link delay per call\n"
                          "  fault KIND at N [PARAM]      fault at the Nth event (disconnect: after N calls)\n"
                          "  fault KIND every [PARAM]     fault at every event\n"
                          "  fault KIND random P [PARAM]  fault with probability P/1000 (seeded)\n"
                          "  fault KIND off               clear one fault\n"
                          "  fault seed N                 seed of the random faults\n"
                          "  fault probe STATUS VALUE     the probe answers exactly this\n"
                          "  fault probe off              the probe reports the storage code again\n"
                          "  fault clear                  clear every fault\n"
                          "  header                       print the storage header at 0x4000\n"
                          "  extract DIR                  write the songs the header describes to DIR\n"
                          "  erase-all                    erase the whole storage to 0xFF\n"
                          "fault kinds: disconnect, erase-fail, program-fail, program-short (PARAM: bytes\n"
                          "programmed), corrupt-read (PARAM: byte offset inverted), load-fail\n"
                          "The simulated clock lives in the folder $ZENTRO_SIM_DIR (its storage in\n"
                          "flash.bin there), by default ~/.local/state/zentro-sim; velmo and velmo-cli\n"
                          "use the same folder when started with the same environment.\n"),
               out);
}

int findFault(const std::string& name) {
    for (int k = 0; k < ZENTRO_FAULT_KINDS; ++k) {
        if (name == kFaultNames[k]) return k;
    }
    return -1;
}

std::string describeFault(int kind) {
    int trigger = 0;
    uint32_t n = 0, param = 0;
    zentroSimGetFault(kind, &trigger, &n, &param);
    std::string text = std::string(kFaultNames[kind]) + " " + kTriggerNames[trigger];
    if (trigger == ZENTRO_TRIGGER_AT || trigger == ZENTRO_TRIGGER_RANDOM) text += " " + std::to_string(n);
    if (kind == ZENTRO_FAULT_PROGRAM_SHORT || kind == ZENTRO_FAULT_CORRUPT_READ) text += " " + std::to_string(param);
    return text;
}

bool readHeader(velmo::StorageHeader& header) {
    std::vector<uint8_t> bytes(velmo::kStorageHeaderBytes);
    if (zentroSimReadFlash(velmo::kStorageHeaderAddress, velmo::kStorageHeaderBytes, bytes.data()) != 0) return false;
    return velmo::decodeStorageHeader(bytes.data(), bytes.size(), header);
}

std::string songNameOf(const velmo::StorageEntry& entry) {
    return std::string(entry.songName, strnlen(entry.songName, sizeof(entry.songName)));
}

int status() {
    std::printf(velmo::tr_("folder:       %s\n"), zentroSimDir());
    std::printf("%s", zentroSimIsPlugged() ? velmo::tr_("plugged:      yes\n") : velmo::tr_("plugged:      no\n"));
    std::printf(velmo::tr_("storage code: %u (%u KiB)\n"), zentroSimStorageCode(), zentroSimStorageSize() / 1024);
    std::printf("%s", zentroSimDelay() ? velmo::tr_("delay:        on\n") : velmo::tr_("delay:        off\n"));
    bool anyFault = false;
    for (int k = 0; k < ZENTRO_FAULT_KINDS; ++k) {
        int trigger = 0;
        zentroSimGetFault(k, &trigger, nullptr, nullptr);
        if (trigger == ZENTRO_TRIGGER_OFF) continue;
        std::printf(velmo::tr_("fault:        %s\n"), describeFault(k).c_str());
        anyFault = true;
    }
    if (!anyFault) std::printf("%s", velmo::tr_("faults:       none\n"));
    velmo::StorageHeader header;
    if (zentroSimStorageSize() > velmo::kDataAreaAddress && readHeader(header) && velmo::hasStorageSignature(header)) {
        std::printf(velmo::tr_("songs:        %u\n"), header.songCount);
    } else {
        std::printf("%s", velmo::tr_("songs:        no song header\n"));
    }
    return 0;
}

int printHeader() {
    velmo::StorageHeader header;
    if (!readHeader(header)) return fail(velmo::tr_("the storage is too small to hold a header"));
    std::printf("songCount:     %u\n", header.songCount);
    std::printf("totalEstimate: %u\n", header.totalEstimate);
    std::printf("signature:     %s\n", velmo::hasStorageSignature(header) ? "VELMO" : "(none)");
    std::printf("quality:       %u\n", header.quality);
    if (!velmo::hasStorageSignature(header)) {
        std::printf("%s\n", velmo::tr_("the storage holds no song header"));
        return 0;
    }
    for (size_t i = 0; i < velmo::effectiveSongCount(header); ++i) {
        const auto& e = header.entries[i];
        std::printf(velmo::tr_("%2zu  offset %8u  size %8u  %s\n"), i, e.dataOffset, e.dataSize,
                    velmo::terminalText(songNameOf(e)).c_str());
    }
    return 0;
}

// A stored name becomes one file name inside DIR, never a path out of it.
std::string safeFileName(const std::string& name, size_t index) {
    std::string out;
    for (char c : name) out += (c == '/' || c == '\\') ? '_' : c;
    if (out.empty() || out == "." || out == ".." || out[0] == '.') out = "song-" + std::to_string(index + 1) + out;
    return out + ".mp3";
}

int extract(const std::string& dir) {
    velmo::StorageHeader header;
    if (!readHeader(header)) return fail(velmo::tr_("the storage is too small to hold a header"));
    if (!velmo::hasStorageSignature(header)) return fail(velmo::tr_("the storage holds no song header"));
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return fail(velmo::format(velmo::tr_("cannot create %s"), dir.c_str()));
    const uint64_t storage = zentroSimStorageSize();
    int written = 0;
    for (size_t i = 0; i < velmo::effectiveSongCount(header); ++i) {
        const auto& e = header.entries[i];
        if (e.dataSize == 0) continue;
        const uint64_t start = uint64_t{velmo::kDataAreaAddress} + e.dataOffset;
        if (start + e.dataSize > storage)
            return fail(velmo::format(velmo::tr_("song %zu lies past the end of the storage"), i));
        std::vector<uint8_t> data(e.dataSize);
        if (zentroSimReadFlash(static_cast<uint32_t>(start), e.dataSize, data.data()) != 0)
            return fail(velmo::format(velmo::tr_("cannot read song %zu"), i));
        const std::string path = dir + "/" + safeFileName(songNameOf(e), i);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) return fail(velmo::format(velmo::tr_("cannot write %s"), path.c_str()));
        std::printf(velmo::tr_("%s (%u bytes)\n"), path.c_str(), e.dataSize);
        ++written;
    }
    std::printf(velmo::trn_("extracted %d song\n", "extracted %d songs\n", static_cast<unsigned long>(written)),
                written);
    return 0;
}

int fault(const std::vector<std::string>& args) {
    if (args.empty()) return fail(velmo::tr_("fault needs arguments (see zentro-sim help)"));
    const std::string& what = args[0];
    uint32_t a = 0, b = 0;
    if (what == "clear" && args.size() == 1) {
        if (zentroSimClearFaults() != 0) return fail(velmo::tr_("cannot write the state file"));
        std::printf("%s", velmo::tr_("faults cleared\n"));
        return 0;
    }
    if (what == "seed") {
        if (args.size() != 2 || !parseNumber(args[1], a)) return fail(velmo::tr_("fault seed needs a number"));
        if (zentroSimSetSeed(a) != 0) return fail(velmo::tr_("cannot write the state file"));
        std::printf(velmo::tr_("fault seed %u\n"), a);
        return 0;
    }
    if (what == "probe") {
        if (args.size() == 2 && args[1] == "off") {
            if (zentroSimSetProbeResult(0, 0, 0) != 0) return fail(velmo::tr_("cannot write the state file"));
            std::printf("%s", velmo::tr_("probe reports the storage code\n"));
            return 0;
        }
        if (args.size() != 3 || !parseNumber(args[1], a) || !parseNumber(args[2], b))
            return fail(velmo::tr_("fault probe needs STATUS VALUE, or off"));
        if (zentroSimSetProbeResult(1, a, b) != 0) return fail(velmo::tr_("cannot write the state file"));
        std::printf(velmo::tr_("probe answers status 0x%X value 0x%X\n"), a, b);
        return 0;
    }
    const int kind = findFault(what);
    if (kind < 0) return fail(velmo::format(velmo::tr_("unknown fault: %s"), what.c_str()));
    if (args.size() < 2)
        return fail(velmo::format(velmo::tr_("fault %s needs at, every, random or off"), what.c_str()));
    const std::string& trigger = args[1];
    int t = -1;
    size_t next = 2;
    uint32_t n = 0, param = 0;
    if (trigger == "off" && args.size() == 2) {
        t = ZENTRO_TRIGGER_OFF;
    } else if (trigger == "every") {
        t = ZENTRO_TRIGGER_EVERY;
    } else if (trigger == "at" || trigger == "random") {
        t = trigger == "at" ? ZENTRO_TRIGGER_AT : ZENTRO_TRIGGER_RANDOM;
        if (args.size() < 3 || !parseNumber(args[2], n))
            return fail(velmo::format(velmo::tr_("fault %s %s needs a number"), what.c_str(), trigger.c_str()));
        if (t == ZENTRO_TRIGGER_RANDOM && n > 1000)
            return fail(velmo::tr_("a probability is at most 1000 (per mille)"));
        if (t == ZENTRO_TRIGGER_AT && n == 0 && kind != ZENTRO_FAULT_DISCONNECT)
            return fail(velmo::tr_("events count from 1"));
        next = 3;
    }
    if (t < 0) return fail(velmo::format(velmo::tr_("fault %s: unknown trigger %s"), what.c_str(), trigger.c_str()));
    if (t != ZENTRO_TRIGGER_OFF && args.size() == next + 1) {
        if (!parseNumber(args[next], param))
            return fail(velmo::format(velmo::tr_("bad parameter: %s"), args[next].c_str()));
    } else if (args.size() > next) {
        return fail(velmo::tr_("too many arguments"));
    }
    if (zentroSimSetFault(kind, t, n, param) != 0) return fail(velmo::tr_("cannot write the state file"));
    std::printf(velmo::tr_("fault %s\n"), describeFault(kind).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    velmo::initTranslations(velmo::localeFolder(velmo::executableFolder()));
    if (argc < 2) {
        usage(stderr);
        return 1;
    }
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--version") {
        std::printf("zentro-sim %s\n", velmo::kVelmoVersion);
        return 0;
    }
    if (command == "help" || command == "--help" || command == "-h") {
        usage(stdout);
        return 0;
    }
    if (command == "status" && args.empty()) return status();
    if ((command == "plug" || command == "unplug") && args.empty()) {
        if (zentroSimSetPlugged(command == "plug") != 0) return fail(velmo::tr_("cannot write the state file"));
        std::printf("%s", command == "plug" ? velmo::tr_("clock plugged in\n") : velmo::tr_("clock unplugged\n"));
        return 0;
    }
    if (command == "storage-code") {
        uint32_t code = 0;
        if (args.size() != 1 || !parseNumber(args[0], code) || code > 255)
            return fail(velmo::tr_("storage-code needs a number from 0 to 255"));
        if (zentroSimSetStorageCode(code) != 0) return fail(velmo::tr_("cannot set the storage code"));
        std::printf(velmo::tr_("storage code %u (%u KiB)\n"), code, zentroSimStorageSize() / 1024);
        return 0;
    }
    if (command == "delay") {
        if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) return fail(velmo::tr_("delay needs on or off"));
        if (zentroSimSetDelay(args[0] == "on") != 0) return fail(velmo::tr_("cannot write the state file"));
        std::printf(velmo::tr_("delay %s\n"), args[0].c_str());
        return 0;
    }
    if (command == "fault") return fault(args);
    if (command == "header" && args.empty()) return printHeader();
    if (command == "extract" && args.size() == 1) return extract(args[0]);
    if (command == "erase-all" && args.empty()) {
        if (zentroSimEraseAll() != 0) return fail(velmo::tr_("cannot erase the storage"));
        std::printf(velmo::tr_("storage erased (%u KiB)\n"), zentroSimStorageSize() / 1024);
        return 0;
    }
    usage(stderr);
    return fail(velmo::format(velmo::tr_("unknown command or arguments: %s"), command.c_str()));
}
