// The simulated Zentro clock behind the device library's nine functions: a
// 64 KiB controller memory that runs our agent image, and a NOR flash storage
// kept in flash.bin in the sim folder. See zentro_sim_control.h for the sim
// folder, the state file and the faults.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_format.h"
#include "bytes.h"
#include "controller_map.h"
#include "storage_layout.h"
#include "usb_dll.h"
#include "zentro_sim_control.h"

namespace {

namespace agent = zentro::agent;

using velmo::kAgentLoadAddress;
using velmo::kControllerMemoryBytes;
using velmo::kParameterBlockAddress;
using velmo::kParameterBlockBytes;
using velmo::kTransferBlockBytes;
using velmo::kTransferBufferAddress;

constexpr uint32_t kSectorBytes = 4096;  // the storage's erase unit
constexpr uint32_t kCallFailed = 0xFFFFFFFFu;
constexpr size_t kAgentLogMax = 8192;

// Agent status words.
constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusRefused = 1;      // the storage refused the command
constexpr uint32_t kStatusBadArgument = 2;  // out of range, count 0 or too big
constexpr uint32_t kStatusCrashed = 0xDEAD0001u;
constexpr uint32_t kStatusNoResult = 0xDEAD0002u;

// USB 1.1 full speed: a control or bulk exchange costs at least one 1 ms
// frame, and bulk data moves at roughly 1 MB/s.
constexpr uint64_t kFrameMicros = 1000;
constexpr uint64_t kMicrosPerByte = 1;

const char* const kFaultNames[ZENTRO_FAULT_KINDS] = {"disconnect",    "erase-fail",   "program-fail",
                                                     "program-short", "corrupt-read", "load-fail"};
const char* const kTriggerNames[4] = {"off", "at", "every", "random"};

struct FaultSetting {
    int trigger = ZENTRO_TRIGGER_OFF;
    uint32_t n = 0;
    uint32_t param = 0;
};

// What lives in the state file and is shared with zentro-sim.
struct PersistentState {
    bool plugged = true;
    uint32_t plugGeneration = 0;
    uint32_t storageCode = 0;
    bool delay = true;
    uint32_t seed = 1;
    bool probeOverride = false;
    uint32_t probeStatus = 0;
    uint32_t probeValue = 0;
    FaultSetting faults[ZENTRO_FAULT_KINDS];
};

struct FileKey {
    bool exists = false;
    ino_t ino = 0;
    off_t size = 0;
    long mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
    bool operator==(const FileKey& o) const {
        return exists == o.exists && ino == o.ino && size == o.size && mtimeSec == o.mtimeSec &&
               mtimeNsec == o.mtimeNsec && ctimeSec == o.ctimeSec && ctimeNsec == o.ctimeNsec;
    }
};

FileKey fileKey(const std::string& path) {
    FileKey k;
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0) return k;
    k.exists = true;
    k.ino = sb.st_ino;
    k.size = sb.st_size;
    k.mtimeSec = sb.st_mtim.tv_sec;
    k.mtimeNsec = sb.st_mtim.tv_nsec;
    k.ctimeSec = sb.st_ctim.tv_sec;
    k.ctimeNsec = sb.st_ctim.tv_nsec;
    return k;
}

bool makeFolders(const std::string& dir) {
    if (dir.empty()) return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat sb;
    return ::stat(dir.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

std::string defaultFolder() {
    if (const char* env = std::getenv("ZENTRO_SIM_DIR"); env != nullptr && *env != '\0') return env;
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw != nullptr ? pw->pw_dir : "/tmp";
    }
    return std::string(home) + "/.local/state/zentro-sim";
}

bool parseNumber(const std::string& text, uint32_t& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v > 0xFFFFFFFFull || text[0] == '-') return false;
    out = static_cast<uint32_t>(v);
    return true;
}

std::string formatState(const PersistentState& s) {
    std::ostringstream out;
    out << "plugged " << (s.plugged ? 1 : 0) << "\n";
    out << "plug-generation " << s.plugGeneration << "\n";
    out << "storage-code " << s.storageCode << "\n";
    out << "delay " << (s.delay ? 1 : 0) << "\n";
    out << "seed " << s.seed << "\n";
    out << "probe " << (s.probeOverride ? 1 : 0) << " " << s.probeStatus << " " << s.probeValue << "\n";
    for (int k = 0; k < ZENTRO_FAULT_KINDS; ++k) {
        out << "fault " << kFaultNames[k] << " " << kTriggerNames[s.faults[k].trigger] << " " << s.faults[k].n << " "
            << s.faults[k].param << "\n";
    }
    return out.str();
}

// Lines that do not parse keep the default: a damaged state file cannot stop
// the clock from working.
PersistentState parseState(const std::string& text) {
    PersistentState s;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, a, b, c, d;
        words >> key >> a >> b >> c >> d;
        uint32_t v = 0, v2 = 0, v3 = 0;
        if (key == "plugged" && parseNumber(a, v))
            s.plugged = v != 0;
        else if (key == "plug-generation" && parseNumber(a, v))
            s.plugGeneration = v;
        else if (key == "storage-code" && parseNumber(a, v) && v <= 255)
            s.storageCode = v;
        else if (key == "delay" && parseNumber(a, v))
            s.delay = v != 0;
        else if (key == "seed" && parseNumber(a, v))
            s.seed = v;
        else if (key == "probe" && parseNumber(a, v) && parseNumber(b, v2) && parseNumber(c, v3)) {
            s.probeOverride = v != 0;
            s.probeStatus = v2;
            s.probeValue = v3;
        } else if (key == "fault") {
            for (int k = 0; k < ZENTRO_FAULT_KINDS; ++k) {
                if (a != kFaultNames[k]) continue;
                for (int t = 0; t < 4; ++t) {
                    if (b == kTriggerNames[t] && parseNumber(c, v2) && parseNumber(d, v3)) {
                        s.faults[k] = FaultSetting{t, v2, v3};
                    }
                }
            }
        }
    }
    return s;
}

uint32_t storageSizeOf(uint32_t code) { return code < velmo::kStorageCodes ? velmo::kStorageSizeTable[code] : 0; }

// An open file descriptor, closed on every path.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// Holds the exclusive lock of flash.bin for one command, so that two
// processes on one sim folder never interleave inside it.
class FlashLock {
  public:
    explicit FlashLock(int fd) : fd_(fd) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {}
    }
    ~FlashLock() { ::flock(fd_, LOCK_UN); }
    FlashLock(const FlashLock&) = delete;
    FlashLock& operator=(const FlashLock&) = delete;

  private:
    int fd_;
};

bool writeAll(int fd, const uint8_t* p, size_t n, off_t at) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
        at += w;
    }
    return true;
}

// Reads n bytes; bytes past the end of the file read as erased flash.
bool readAll(int fd, uint8_t* p, size_t n, off_t at) {
    while (n > 0) {
        const ssize_t r = ::pread(fd, p, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) {
            std::memset(p, 0xFF, n);
            return true;
        }
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return true;
}

bool fillErased(int fd, uint64_t from, uint64_t to) {
    static const std::vector<uint8_t> erased(65536, 0xFF);
    while (from < to) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(erased.size(), to - from));
        if (!writeAll(fd, erased.data(), n, static_cast<off_t>(from))) return false;
        from += n;
    }
    return true;
}

class Simulator {
  public:
    // Every public entry takes the lock through Call, which also applies the
    // link delay after the lock is released so the poll is never held up.
    class Call {
      public:
        explicit Call(Simulator& s) : sim_(s), lock_(s.mutex_) { sim_.ensureReady(); }
        ~Call() {
            const uint64_t micros = delay_;
            lock_.unlock();
            if (micros > 0) std::this_thread::sleep_for(std::chrono::microseconds(micros));
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        void delay(uint64_t micros) {
            if (sim_.state_.delay) delay_ = micros;
        }

      private:
        Simulator& sim_;
        std::unique_lock<std::mutex> lock_;
        uint64_t delay_ = 0;
    };

    // ---- the nine functions ----

    uint32_t load() {
        Call call(*this);
        ++counters_[ZENTRO_COUNT_LOAD];
        return faultFires(ZENTRO_FAULT_LOAD_FAIL) ? 1 : 0;
    }

    uint32_t unload() {
        Call call(*this);
        ++counters_[ZENTRO_COUNT_UNLOAD];
        return 0;
    }

    uint32_t deviceNum() {
        Call call(*this);
        ++counters_[ZENTRO_COUNT_DEVICE_NUM];
        return state_.plugged ? 1 : 0;
    }

    uint32_t open() {
        Call call(*this);
        ++counters_[ZENTRO_COUNT_OPEN];
        call.delay(kFrameMicros);
        if (!state_.plugged) return 0;
        // A clock is claimed by one program at a time, as a USB device is by
        // its driver: another process's open fails while this one holds it.
        if (!claimDevice()) {
            ++counters_[ZENTRO_COUNT_OPEN_BUSY];
            return 0;
        }
        if (nextHandle_ == 0) nextHandle_ = 1;
        liveHandle_ = nextHandle_++;
        unclosed_.insert(liveHandle_);
        return liveHandle_;
    }

    uint32_t close(uint32_t handle) {
        Call call(*this);
        if (handle == 0 || unclosed_.count(handle) == 0) {
            ++counters_[ZENTRO_COUNT_BAD_HANDLE];
            return 1;
        }
        ++counters_[ZENTRO_COUNT_CLOSE];
        unclosed_.erase(handle);
        if (handle == liveHandle_) endLiveHandle();
        return 0;
    }

    uint32_t write(uint32_t handle, uint32_t count, uint32_t address, const void* bytes) {
        Call call(*this);
        ++counters_[ZENTRO_COUNT_WRITE];
        if (address >= kParameterBlockAddress &&
            uint64_t{address} + count <= kParameterBlockAddress + kParameterBlockBytes)
            ++counters_[ZENTRO_COUNT_PARAM_WRITE];
        if (address >= kTransferBufferAddress &&
            uint64_t{address} + count <= kTransferBufferAddress + kTransferBlockBytes)
            ++counters_[ZENTRO_COUNT_BUFFER_WRITE];
        call.delay(kFrameMicros + kMicrosPerByte * count);
        if (!linkUp(handle)) return kCallFailed;
        if (bytes == nullptr || uint64_t{address} + count > kControllerMemoryBytes) return kCallFailed;
        std::memcpy(memory_.data() + address, bytes, count);
        return count;
    }

    uint32_t read(uint32_t handle, uint32_t count, uint32_t address, void* buffer) {
        Call call(*this);
        ++counters_[ZENTRO_COUNT_READ];
        call.delay(kFrameMicros + kMicrosPerByte * count);
        if (!linkUp(handle)) return kCallFailed;
        if (buffer == nullptr || uint64_t{address} + count > kControllerMemoryBytes) return kCallFailed;
        auto* out = static_cast<uint8_t*>(buffer);
        std::memcpy(out, memory_.data() + address, count);
        if (count > 0 && faultFires(ZENTRO_FAULT_CORRUPT_READ)) {
            out[state_.faults[ZENTRO_FAULT_CORRUPT_READ].param % count] ^= 0xFF;
        }
        return count;
    }

    uint32_t programStart(uint32_t handle, uint32_t address) {
        Call call(*this);
        ++counters_[ZENTRO_COUNT_START];
        call.delay(kFrameMicros);
        if (!linkUp(handle)) return 1;
        int entry = -1;
        for (uint32_t i = 0; i < agent::kEntryCount; ++i) {
            if (address == kAgentLoadAddress + agent::kEntryOffsets[i]) entry = static_cast<int>(i);
        }
        if (entry < 0 || !agentValid(static_cast<uint32_t>(entry))) {
            ++counters_[ZENTRO_COUNT_CRASHED_START];
            setResult(kStatusCrashed, kCallFailed);
            return 1;
        }
        runAgent(address);
        return 0;
    }

    uint32_t callResult(uint32_t handle, void* result, uint32_t size) {
        Call call(*this);
        ++counters_[ZENTRO_COUNT_CALL];
        call.delay(kFrameMicros);
        if (result == nullptr || size < 8) return 1;
        auto* out = static_cast<uint8_t*>(result);
        uint32_t status = kCallFailed, value = kCallFailed;
        const bool up = linkUp(handle);
        if (up) {
            status = resultPending_ ? resultStatus_ : kStatusNoResult;
            value = resultPending_ ? resultValue_ : kCallFailed;
            resultPending_ = false;
        }
        std::memcpy(out, &status, 4);  // host byte order, as the library documents
        std::memcpy(out + 4, &value, 4);
        return up ? 0 : 1;
    }

    // ---- control ----

    int setDir(const char* dir) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dir == nullptr || *dir == '\0') return -1;
        dir_ = dir;
        while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
        ready_ = false;
        flash_.reset();
        forgetProcessState();
        // A folder without a state file means the defaults, not the old folder's state.
        apply(PersistentState{});
        stateKey_ = FileKey{};
        ensureReady();
        return folderOk_ ? 0 : -1;
    }

    const char* dir() {
        Call call(*this);
        return dir_.c_str();
    }

    int reset() {
        Call call(*this);
        forgetProcessState();
        PersistentState s;
        s.delay = false;
        s.plugGeneration = state_.plugGeneration + 1;
        if (!saveState(s)) return -1;
        if (!openFlash()) return -1;
        FlashLock lock(flash_.get());
        if (::ftruncate(flash_.get(), 0) != 0) return -1;
        return fillErased(flash_.get(), 0, storageSizeOf(state_.storageCode)) ? 0 : -1;
    }

    int setPlugged(int plugged) {
        Call call(*this);
        PersistentState s = state_;
        if (s.plugged == (plugged != 0)) return 0;
        s.plugged = plugged != 0;
        if (s.plugged) ++s.plugGeneration;
        return saveState(s) ? 0 : -1;
    }

    int isPlugged() {
        Call call(*this);
        return state_.plugged ? 1 : 0;
    }

    int setStorageCode(uint32_t code) {
        Call call(*this);
        if (code > 255) return -1;
        PersistentState s = state_;
        s.storageCode = code;
        if (!saveState(s)) return -1;
        if (!openFlash()) return -1;
        FlashLock lock(flash_.get());
        return ensureFlashSize() ? 0 : -1;
    }

    uint32_t storageCode() {
        Call call(*this);
        return state_.storageCode;
    }

    uint32_t storageSize() {
        Call call(*this);
        return storageSizeOf(state_.storageCode);
    }

    int setDelay(int on) {
        Call call(*this);
        PersistentState s = state_;
        s.delay = on != 0;
        return saveState(s) ? 0 : -1;
    }

    int delayOn() {
        Call call(*this);
        return state_.delay ? 1 : 0;
    }

    int setFault(int kind, int trigger, uint32_t n, uint32_t param) {
        Call call(*this);
        if (kind < 0 || kind >= ZENTRO_FAULT_KINDS || trigger < ZENTRO_TRIGGER_OFF || trigger > ZENTRO_TRIGGER_RANDOM)
            return -1;
        if (trigger == ZENTRO_TRIGGER_RANDOM && n > 1000) return -1;
        PersistentState s = state_;
        s.faults[kind] = FaultSetting{trigger, n, param};
        return saveState(s) ? 0 : -1;
    }

    int getFault(int kind, int* trigger, uint32_t* n, uint32_t* param) {
        Call call(*this);
        if (kind < 0 || kind >= ZENTRO_FAULT_KINDS) return -1;
        if (trigger != nullptr) *trigger = state_.faults[kind].trigger;
        if (n != nullptr) *n = state_.faults[kind].n;
        if (param != nullptr) *param = state_.faults[kind].param;
        return 0;
    }

    int setSeed(uint32_t seed) {
        Call call(*this);
        PersistentState s = state_;
        s.seed = seed;
        return saveState(s) ? 0 : -1;
    }

    int setProbe(int enabled, uint32_t status, uint32_t value) {
        Call call(*this);
        PersistentState s = state_;
        s.probeOverride = enabled != 0;
        s.probeStatus = status;
        s.probeValue = value;
        return saveState(s) ? 0 : -1;
    }

    int clearFaults() {
        Call call(*this);
        PersistentState s = state_;
        for (auto& f : s.faults) f = FaultSetting{};
        s.probeOverride = false;
        s.probeStatus = 0;
        s.probeValue = 0;
        return saveState(s) ? 0 : -1;
    }

    uint32_t count(int counter) {
        Call call(*this);
        return counter >= 0 && counter < ZENTRO_COUNTERS ? counters_[counter] : 0;
    }

    void resetCounts() {
        Call call(*this);
        std::fill(std::begin(counters_), std::end(counters_), 0u);
        log_.clear();
    }

    int agentLog(ZentroSimAgentCommand* out, int max) {
        Call call(*this);
        if (out == nullptr || max <= 0) return 0;
        const size_t n = std::min(log_.size(), static_cast<size_t>(max));
        std::copy(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(n), out);
        return static_cast<int>(n);
    }

    int readFlash(uint32_t address, uint32_t count, void* out) {
        Call call(*this);
        if (out == nullptr || !inStorage(address, count) || !openFlash()) return -1;
        FlashLock lock(flash_.get());
        return readAll(flash_.get(), static_cast<uint8_t*>(out), count, address) ? 0 : -1;
    }

    int writeFlash(uint32_t address, uint32_t count, const void* bytes) {
        Call call(*this);
        if (bytes == nullptr || !inStorage(address, count) || !openFlash()) return -1;
        FlashLock lock(flash_.get());
        if (!ensureFlashSize()) return -1;
        return writeAll(flash_.get(), static_cast<const uint8_t*>(bytes), count, address) ? 0 : -1;
    }

    int eraseAll() {
        Call call(*this);
        if (!openFlash()) return -1;
        FlashLock lock(flash_.get());
        struct stat sb;
        if (::fstat(flash_.get(), &sb) != 0) return -1;
        const uint64_t size = std::max<uint64_t>(static_cast<uint64_t>(sb.st_size), storageSizeOf(state_.storageCode));
        return fillErased(flash_.get(), 0, size) ? 0 : -1;
    }

    int readMemory(uint32_t address, uint32_t count, void* out) {
        Call call(*this);
        if (out == nullptr || uint64_t{address} + count > kControllerMemoryBytes) return -1;
        std::memcpy(out, memory_.data() + address, count);
        return 0;
    }

  private:
    // First use picks the folder; every call then re-reads a changed state file.
    void ensureReady() {
        if (!ready_) {
            if (dir_.empty()) dir_ = defaultFolder();
            folderOk_ = makeFolders(dir_);
            ready_ = true;
        }
        refreshState();
    }

    void refreshState() {
        const FileKey key = fileKey(statePath());
        if (key == stateKey_) return;
        PersistentState s;
        if (key.exists) {
            std::ifstream in(statePath(), std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            s = parseState(text.str());
        }
        stateKey_ = key;
        apply(s);
    }

    bool saveState(const PersistentState& s) {
        const std::string tmp = statePath() + ".tmp." + std::to_string(::getpid());
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out << formatState(s);
            out.flush();
            if (!out) {
                std::remove(tmp.c_str());
                return false;
            }
        }
        if (std::rename(tmp.c_str(), statePath().c_str()) != 0) {
            std::remove(tmp.c_str());
            return false;
        }
        stateKey_ = fileKey(statePath());
        apply(s);
        return true;
    }

    // A new state: losing power (unplugged, or plugged again since the handle
    // was opened) ends the handle and clears the controller memory; every
    // fault starts counting afresh.
    void apply(const PersistentState& s) {
        const bool lostPower = !s.plugged || s.plugGeneration != state_.plugGeneration;
        if (lostPower) {
            endLiveHandle();
            resultPending_ = false;
            std::fill(memory_.begin(), memory_.end(), 0);
        }
        state_ = s;
        std::fill(std::begin(faultEvents_), std::end(faultEvents_), 0u);
        rng_ = 0x9E3779B97F4A7C15ull ^ s.seed;
        if (rng_ == 0) rng_ = 1;
    }

    void forgetProcessState() {
        std::fill(memory_.begin(), memory_.end(), 0);
        endLiveHandle();
        unclosed_.clear();
        resultPending_ = false;
        std::fill(std::begin(counters_), std::end(counters_), 0u);
        std::fill(std::begin(faultEvents_), std::end(faultEvents_), 0u);
        log_.clear();
    }

    // The claim is an flock on "device.lock" in the sim folder, held from an
    // open until that handle is closed or the clock loses power; the kernel
    // drops it when the process ends, however it ends.
    bool claimDevice() {
        if (claim_.get() >= 0) return true;
        if (!folderOk_) return false;
        Fd fd(::open(claimPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
        if (fd.get() < 0) return false;
        int r;
        while ((r = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {}
        if (r != 0) return false;
        claim_.reset(fd.release());
        return true;
    }

    void endLiveHandle() {
        liveHandle_ = 0;
        claim_.reset();
    }

    std::string claimPath() const { return dir_ + "/device.lock"; }
    std::string statePath() const { return dir_ + "/state"; }
    std::string flashPath() const { return dir_ + "/flash.bin"; }

    bool openFlash() {
        if (flash_.get() >= 0) return true;
        if (!folderOk_) return false;
        flash_.reset(::open(flashPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (flash_.get() < 0) return false;
        FlashLock lock(flash_.get());
        return ensureFlashSize();
    }

    // Grows flash.bin with erased bytes up to the storage size; never shrinks
    // it, so going back to a bigger storage code finds the old contents.
    bool ensureFlashSize() {
        struct stat sb;
        if (::fstat(flash_.get(), &sb) != 0) return false;
        const uint64_t want = storageSizeOf(state_.storageCode);
        const uint64_t have = static_cast<uint64_t>(sb.st_size);
        return have >= want || fillErased(flash_.get(), have, want);
    }

    bool inStorage(uint32_t address, uint32_t count) const {
        return uint64_t{address} + count <= storageSizeOf(state_.storageCode);
    }

    // The handle is the open one and the clock is still there; each such call
    // is an event of the disconnect fault.
    bool linkUp(uint32_t handle) {
        if (handle == 0 || unclosed_.count(handle) == 0) {
            ++counters_[ZENTRO_COUNT_BAD_HANDLE];
            return false;
        }
        if (handle != liveHandle_ || !state_.plugged) return false;
        if (faultFires(ZENTRO_FAULT_DISCONNECT)) {
            PersistentState s = state_;
            s.plugged = false;
            // "After N calls" happens once; a repeating trigger stays set.
            if (s.faults[ZENTRO_FAULT_DISCONNECT].trigger == ZENTRO_TRIGGER_AT)
                s.faults[ZENTRO_FAULT_DISCONNECT] = FaultSetting{};
            if (!saveState(s)) apply(s);
            return false;
        }
        return true;
    }

    bool faultFires(int kind) {
        const FaultSetting& f = state_.faults[kind];
        if (f.trigger == ZENTRO_TRIGGER_OFF) return false;
        const uint32_t event = ++faultEvents_[kind];
        switch (f.trigger) {
            case ZENTRO_TRIGGER_AT:
                // For the disconnect, n calls still succeed and the next one finds the clock gone.
                return kind == ZENTRO_FAULT_DISCONNECT ? event == f.n + 1 : event == f.n;
            case ZENTRO_TRIGGER_EVERY:
                return true;
            case ZENTRO_TRIGGER_RANDOM:
                return nextRandom() % 1000 < f.n;
            default:
                return false;
        }
    }

    uint64_t nextRandom() {  // xorshift64*
        rng_ ^= rng_ >> 12;
        rng_ ^= rng_ << 25;
        rng_ ^= rng_ >> 27;
        return (rng_ * 0x2545F4914F6CDD1Dull) >> 32;
    }

    // The image at the load address must be whole (magic, length, checksum, entry table)
    // and carry the entry's tag where the start lands.
    bool agentValid(uint32_t entry) const {
        const uint8_t* image = memory_.data() + kAgentLoadAddress;
        if (std::memcmp(image, agent::kMagic, sizeof(agent::kMagic)) != 0) return false;
        const uint32_t length = velmo::readBe32(image + agent::kLengthOffset);
        if (length < agent::kAgentMinBytes || length > kControllerMemoryBytes - kAgentLoadAddress) return false;
        if (velmo::readBe16(image + agent::kVersionOffset) != agent::kVersion) return false;
        if (velmo::readBe16(image + agent::kEntryCountOffset) != agent::kEntryCount) return false;
        for (uint32_t i = 0; i < agent::kEntryCount; ++i) {
            if (velmo::readBe32(image + agent::kEntryTableOffset + 4 * i) != agent::kEntryOffsets[i]) return false;
        }
        if (velmo::readBe32(image + agent::kChecksumOffset) != agent::imageChecksum(image, length)) return false;
        return std::memcmp(image + agent::kEntryOffsets[entry], agent::kEntryTags[entry], agent::kTagBytes) == 0;
    }

    void setResult(uint32_t status, uint32_t value) {
        resultPending_ = true;
        resultStatus_ = status;
        resultValue_ = value;
    }

    void logCommand(uint32_t entry, uint32_t address, uint32_t count, uint32_t status) {
        if (log_.size() < kAgentLogMax) log_.push_back(ZentroSimAgentCommand{entry, address, count, status});
    }

    void runAgent(uint32_t entryAddress) {
        const uint8_t* params = memory_.data() + kParameterBlockAddress;
        const uint32_t storageAddress = velmo::readBe32(params);
        uint32_t status = kStatusOk, value = 0, count = 0;
        switch (entryAddress) {
            case velmo::kProbeStorageEntry:
                ++counters_[ZENTRO_COUNT_PROBE];
                value = state_.storageCode;
                if (state_.probeOverride) {
                    status = state_.probeStatus;
                    value = state_.probeValue;
                }
                logCommand(entryAddress, 0, 0, status);
                setResult(status, value);
                return;
            case velmo::kEraseStorageEntry:
                ++counters_[ZENTRO_COUNT_ERASE];
                count = velmo::readBe32(params + 4);
                status = erase(storageAddress, count);
                break;
            case velmo::kProgramBlockEntry: {
                ++counters_[ZENTRO_COUNT_PROGRAM];
                const uint32_t source = velmo::readBe32(params + 4);
                count = velmo::readBe32(params + 8);
                status = program(storageAddress, source, count);
                break;
            }
            default: {  // kReadBlockEntry: programStart starts nothing else
                ++counters_[ZENTRO_COUNT_READ_BLOCK];
                const uint32_t target = velmo::readBe16(params + 4);
                count = velmo::readBe16(params + 6);
                status = readStorage(storageAddress, target, count);
                break;
            }
        }
        logCommand(entryAddress, storageAddress, count, status);
        setResult(status, value);
    }

    uint32_t erase(uint32_t address, uint32_t length) {
        if (faultFires(ZENTRO_FAULT_ERASE_FAIL)) return kStatusRefused;
        if (!inStorage(address, length)) return kStatusBadArgument;
        if (length == 0) return kStatusOk;
        if (!openFlash()) return kStatusRefused;
        FlashLock lock(flash_.get());
        if (!ensureFlashSize()) return kStatusRefused;
        // NOR flash erases whole sectors: every sector the range touches.
        const uint64_t first = address / kSectorBytes * kSectorBytes;
        const uint64_t end = (uint64_t{address} + length + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
        const uint64_t last = std::min<uint64_t>(end, storageSizeOf(state_.storageCode));
        return fillErased(flash_.get(), first, last) ? kStatusOk : kStatusRefused;
    }

    uint32_t program(uint32_t address, uint32_t source, uint32_t count) {
        if (count == 0 || count > kTransferBlockBytes || uint64_t{source} + count > kControllerMemoryBytes ||
            !inStorage(address, count))
            return kStatusBadArgument;
        if (faultFires(ZENTRO_FAULT_PROGRAM_FAIL)) return kStatusRefused;
        uint32_t programmed = count;
        if (faultFires(ZENTRO_FAULT_PROGRAM_SHORT))
            programmed = std::min(count, state_.faults[ZENTRO_FAULT_PROGRAM_SHORT].param);
        if (programmed == 0) return kStatusOk;
        if (!openFlash()) return kStatusRefused;
        FlashLock lock(flash_.get());
        uint8_t cells[kTransferBlockBytes];
        if (!readAll(flash_.get(), cells, programmed, address)) return kStatusRefused;
        // Programming can only clear bits.
        for (uint32_t i = 0; i < programmed; ++i) cells[i] &= memory_[source + i];
        return writeAll(flash_.get(), cells, programmed, address) ? kStatusOk : kStatusRefused;
    }

    uint32_t readStorage(uint32_t address, uint32_t target, uint32_t count) {
        if (count == 0 || count > kTransferBlockBytes || uint64_t{target} + count > kControllerMemoryBytes ||
            !inStorage(address, count))
            return kStatusBadArgument;
        if (!openFlash()) return kStatusRefused;
        FlashLock lock(flash_.get());
        return readAll(flash_.get(), memory_.data() + target, count, address) ? kStatusOk : kStatusRefused;
    }

    std::mutex mutex_;
    bool ready_ = false;
    bool folderOk_ = false;
    std::string dir_;
    PersistentState state_;
    FileKey stateKey_;
    Fd flash_;
    Fd claim_;  // held while a handle of this process is live

    std::vector<uint8_t> memory_ = std::vector<uint8_t>(kControllerMemoryBytes, 0);
    uint32_t liveHandle_ = 0;
    uint32_t nextHandle_ = 1;
    std::set<uint32_t> unclosed_;
    bool resultPending_ = false;
    uint32_t resultStatus_ = 0;
    uint32_t resultValue_ = 0;

    uint32_t counters_[ZENTRO_COUNTERS] = {};
    uint32_t faultEvents_[ZENTRO_FAULT_KINDS] = {};
    uint64_t rng_ = 1;
    std::vector<ZentroSimAgentCommand> log_;
};

Simulator& sim() {
    static Simulator instance;
    return instance;
}

}  // namespace

extern "C" {

uint32_t usb_lib_load(void) { return sim().load(); }
uint32_t usb_lib_unload(uint32_t) { return sim().unload(); }
uint32_t usb_Lib_DMCUGetDeviceNum(void) { return sim().deviceNum(); }
uint32_t usb_Lib_OpenDevice(void) { return sim().open(); }
uint32_t usb_Lib_CloseDevice(uint32_t handle) { return sim().close(handle); }
uint32_t usb_Lib_DMCUWriteData(uint32_t handle, uint32_t count, uint32_t address, const void* bytes) {
    return sim().write(handle, count, address, bytes);
}
uint32_t usb_Lib_DMCUReadData(uint32_t handle, uint32_t count, uint32_t address, void* buffer) {
    return sim().read(handle, count, address, buffer);
}
uint32_t usb_Lib_DMCUProgramStart(uint32_t handle, uint32_t address) { return sim().programStart(handle, address); }
uint32_t usb_Lib_DMCUCall(uint32_t handle, void* result, uint32_t size) {
    return sim().callResult(handle, result, size);
}

int zentroSimSetDir(const char* dir) { return sim().setDir(dir); }
const char* zentroSimDir(void) { return sim().dir(); }
int zentroSimReset(void) { return sim().reset(); }
int zentroSimSetPlugged(int plugged) { return sim().setPlugged(plugged); }
int zentroSimIsPlugged(void) { return sim().isPlugged(); }
int zentroSimSetStorageCode(uint32_t code) { return sim().setStorageCode(code); }
uint32_t zentroSimStorageCode(void) { return sim().storageCode(); }
uint32_t zentroSimStorageSize(void) { return sim().storageSize(); }
int zentroSimSetDelay(int on) { return sim().setDelay(on); }
int zentroSimDelay(void) { return sim().delayOn(); }
int zentroSimSetFault(int kind, int trigger, uint32_t n, uint32_t param) {
    return sim().setFault(kind, trigger, n, param);
}
int zentroSimGetFault(int kind, int* trigger, uint32_t* n, uint32_t* param) {
    return sim().getFault(kind, trigger, n, param);
}
int zentroSimSetSeed(uint32_t seed) { return sim().setSeed(seed); }
int zentroSimSetProbeResult(int enabled, uint32_t status, uint32_t value) {
    return sim().setProbe(enabled, status, value);
}
int zentroSimClearFaults(void) { return sim().clearFaults(); }
uint32_t zentroSimCount(int counter) { return sim().count(counter); }
void zentroSimResetCounts(void) { sim().resetCounts(); }
int zentroSimAgentLog(ZentroSimAgentCommand* out, int max) { return sim().agentLog(out, max); }
int zentroSimReadFlash(uint32_t address, uint32_t count, void* out) { return sim().readFlash(address, count, out); }
int zentroSimWriteFlash(uint32_t address, uint32_t count, const void* bytes) {
    return sim().writeFlash(address, count, bytes);
}
int zentroSimEraseAll(void) { return sim().eraseAll(); }
int zentroSimReadMemory(uint32_t address, uint32_t count, void* out) { return sim().readMemory(address, count, out); }

}  // extern "C"
