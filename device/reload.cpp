#include "reload.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "device.h"
#include "fileio.h"
#include "reload_record.h"
#include "storage_layout.h"

namespace velmo {

namespace {

// Reads `count` bytes of storage from `address` in blocks, into `out`.
int readRange(const DeviceLibrary& lib, uint32_t handle, uint32_t address, uint32_t count, std::vector<uint8_t>& out,
              const std::atomic<bool>* stop, EventSink* events = nullptr, uint32_t doneBefore = 0, uint32_t total = 0) {
    out.resize(count);
    for (uint32_t done = 0; done < count;) {
        if (stop != nullptr && stop->load()) return kDeviceStopped;
        const uint32_t n = std::min(count - done, kTransferBlockBytes);
        const int r = readBlock(lib, handle, address + done, n, out.data() + done);
        if (r != kDeviceOk) return r == kDeviceStopped ? r : kDeviceConnectionFailed;
        done += n;
        if (events != nullptr && total != 0) {
            const auto percent = static_cast<int>(uint64_t{doneBefore + done} * 100 / total);
            if (percent != 0) events->post(ReadProgress{percent});
        }
    }
    return kDeviceOk;
}

// Passes events on, with the read's percentages scaled into the first half
// of the bar: a second pass over the same bytes fills the other half.
class FirstHalfSink : public EventSink {
  public:
    explicit FirstHalfSink(EventSink& to) : to_(to) {}
    void post(Event event) override {
        if (auto* p = std::get_if<ReadProgress>(&event)) {
            p->percent /= 2;
            if (p->percent == 0) return;
        }
        to_.post(std::move(event));
    }

  private:
    EventSink& to_;
};

// What the check of the bytes read found, when not kDeviceOk.
struct CheckFailure {
    ReadCheck check = ReadCheck::None;
    uint16_t song = 0;
    std::string name;
    int fileError = 0;
};

}  // namespace

int settleReads(std::vector<std::vector<uint8_t>> reads, const std::function<int(std::vector<uint8_t>&)>& readAgain,
                const std::function<bool(const std::vector<uint8_t>&)>& right, std::vector<uint8_t>& taken) {
    while (reads.size() < static_cast<size_t>(kMostReads)) {
        std::vector<uint8_t> again;
        if (const int r = readAgain(again); r != kDeviceOk) return r;
        const bool settled = right ? right(again) : std::find(reads.begin(), reads.end(), again) != reads.end();
        if (settled) {
            taken = std::move(again);
            return kDeviceOk;
        }
        reads.push_back(std::move(again));
    }
    return kReadsDisagree;
}

namespace {

// The recorded header, when the folder holds the record of the last verified
// Download and `header` is its header byte for byte.
bool recordFor(const std::string& startDir, const std::vector<uint8_t>& header, ReloadRecord& record) {
    return loadReloadRecord(startDir, record) && record.header == header;
}

// The header in "./dat/tmp.tbl" confirmed by a second read, unless it is
// the recorded one: a changed byte would otherwise pass for a clock without
// songs, or for a damaged header. Reads that disagree are repeated until two
// agree, which is then the header kept.
int confirmHeader(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, const std::atomic<bool>* stop,
                  CheckFailure& failure) {
    const std::string path = ctx.path(kReloadTableFile);
    std::vector<uint8_t> first;
    if (!readFileHead(path, first, kStorageHeaderBytes) || first.size() != kStorageHeaderBytes) {
        failure.fileError = errno != 0 ? errno : EIO;
        return kDeviceLocalFileFailed;
    }
    ReloadRecord record;
    if (recordFor(ctx.startDir, first, record)) return kDeviceOk;
    std::vector<uint8_t> taken;
    const int r = settleReads(
        {first},
        [&](std::vector<uint8_t>& again) {
            return readRange(lib, job.handle, job.address, kStorageHeaderBytes, again, stop);
        },
        nullptr, taken);
    if (r == kReadsDisagree) {
        failure.check = ReadCheck::HeaderDiffers;
        return kDeviceConnectionFailed;
    }
    if (r != kDeviceOk) return r;
    if (taken != first && !writeWholeFile(path, taken.data(), taken.size())) {
        failure.fileError = errno != 0 ? errno : EIO;
        return kDeviceLocalFileFailed;
    }
    return kDeviceOk;
}

// The songs of "./dat/tmp.ztd" checked against the record of the last
// verified Download when the header is its header, else (when `readTwice`)
// against a second read of the whole data. A song that differs is read
// again, up to kMostReads reads in all, and taken when a read agrees with the
// record, or with an earlier read; the data file then gets its bytes.
int confirmSongs(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                 const std::atomic<bool>* stop, bool recorded, const ReloadRecord& record, CheckFailure& failure) {
    std::vector<uint8_t> headerBytes;
    StorageHeader header;
    std::vector<uint8_t> data;
    const std::string dataPath = ctx.path(kReloadDataFile);
    if (!readFileHead(ctx.path(kReloadTableFile), headerBytes, kStorageHeaderBytes) ||
        !decodeStorageHeader(headerBytes.data(), headerBytes.size(), header) ||
        !readFileHead(dataPath, data, job.blockSize) || data.size() != job.blockSize) {
        failure.fileError = errno != 0 ? errno : EIO;
        return kDeviceLocalFileFailed;
    }
    std::vector<uint8_t> second;
    if (!recorded) {
        if (const int r = readRange(lib, job.handle, job.address, job.blockSize, second, stop, &events, job.blockSize,
                                    2 * job.blockSize);
            r != kDeviceOk)
            return r;
    }
    bool patched = false;
    const size_t songs = std::min<size_t>(header.songCount, kMaxHeaderSongs);
    for (size_t i = 0; i < songs; ++i) {
        const StorageEntry& e = header.entries[i];
        if (e.dataSize == 0 || uint64_t{e.dataOffset} + e.dataSize > data.size()) continue;
        const auto begin = data.begin() + e.dataOffset;
        const auto end = begin + e.dataSize;
        const auto agrees = [&](const std::vector<uint8_t>& bytes) {
            return i < record.digests.size() && songDigest(bytes.data(), bytes.size()) == record.digests[i];
        };
        std::vector<std::vector<uint8_t>> reads = {std::vector<uint8_t>(begin, end)};
        if (recorded ? agrees(reads[0]) : std::equal(begin, end, second.begin() + e.dataOffset)) continue;
        if (!recorded) reads.emplace_back(second.begin() + e.dataOffset, second.begin() + e.dataOffset + e.dataSize);
        std::vector<uint8_t> taken;
        const int r = settleReads(
            std::move(reads),
            [&](std::vector<uint8_t>& again) {
                return readRange(lib, job.handle, job.address + e.dataOffset, e.dataSize, again, stop);
            },
            recorded ? std::function<bool(const std::vector<uint8_t>&)>(agrees) : nullptr, taken);
        if (r == kReadsDisagree) {
            failure.check = recorded ? ReadCheck::SongNotAsDownloaded : ReadCheck::SongDiffers;
            failure.song = static_cast<uint16_t>(i + 1);
            failure.name = safeReloadName(e.songName, kSongNameBytes, i);
            return kDeviceConnectionFailed;
        }
        if (r != kDeviceOk) return r;
        std::copy(taken.begin(), taken.end(), begin);
        patched = true;
    }
    if (patched && !writeWholeFile(dataPath, data.data(), data.size())) {
        failure.fileError = errno != 0 ? errno : EIO;
        return kDeviceLocalFileFailed;
    }
    return kDeviceOk;
}

void postReadEnd(EventSink& events, int result, const CheckFailure& failure, const Event& done, ReadStage stage) {
    if (result == kDeviceOk)
        events.post(done);
    else if (result == kDeviceStopped)
        events.post(JobStopped{StoppedWorker::Read, false});
    else if (result == kDeviceLocalFileFailed)
        events.post(ReadFailed{stage, failure.fileError != 0 ? failure.fileError : EIO});
    else
        events.post(ReadFailed{stage, 0, failure.check, failure.song, failure.name});
}

// The header read back, or false when the file is missing or not a header.
// A file without the signature is deleted: it describes nothing.
bool readReloadedHeader(const std::string& startDir, StorageHeader& header) {
    const std::string path = resolvePath(startDir, kReloadTableFile);
    std::vector<uint8_t> bytes;
    // Only a header's worth is ever needed, whatever lies in the file.
    if (!readFileHead(path, bytes, kStorageHeaderBytes)) return false;
    if (bytes.size() < 12 || std::memcmp(bytes.data() + 6, kSignature, sizeof(kSignature)) != 0) {
        ::unlink(path.c_str());
        return false;
    }
    return decodeStorageHeader(bytes.data(), bytes.size(), header);
}

// The end of the furthest song of a sane header.
uint32_t headerDataEnd(const StorageHeader& header) {
    uint64_t end = 0;
    for (size_t i = 0; i < header.songCount; ++i)
        end = std::max<uint64_t>(end, uint64_t{header.entries[i].dataOffset} + header.entries[i].dataSize);
    return static_cast<uint32_t>(end);
}

// One MPEG audio frame header, field by field.
struct FrameHeader {
    unsigned version = 0;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    unsigned layer = 0;    // 3 layer I, 2 layer II, 1 layer III
    unsigned rateIndex = 0;
    unsigned channelMode = 0;
    uint32_t length = 0;  // bytes of the whole frame, header included
};

// The frame header at `h` (4 bytes), or false when it is no usable one. A
// free-format frame (bitrate index 0) has no length of its own and is not
// usable here: the encoder never writes one.
bool readFrameHeader(const uint8_t* h, FrameHeader& out) {
    static const uint16_t kKbps[5][16] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},  // MPEG-1 layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},     // MPEG-1 layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},      // MPEG-1 layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},     // MPEG-2/2.5 layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},          // MPEG-2/2.5 layers II, III
    };
    static const uint32_t kMpeg1Hz[3] = {44100, 48000, 32000};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    out.version = (h[1] >> 3) & 3;
    out.layer = (h[1] >> 1) & 3;
    const unsigned bitrateIndex = h[2] >> 4;
    out.rateIndex = (h[2] >> 2) & 3;
    const uint32_t padding = (h[2] >> 1) & 1;
    out.channelMode = h[3] >> 6;
    if (out.version == 1 || out.layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || out.rateIndex == 3)
        return false;
    const bool mpeg1 = out.version == 3;
    const unsigned table = mpeg1 ? 3 - out.layer : (out.layer == 3 ? 3 : 4);
    const uint32_t bitrate = kKbps[table][bitrateIndex] * 1000u;
    const uint32_t hz = kMpeg1Hz[out.rateIndex] >> (mpeg1 ? 0 : out.version == 2 ? 1 : 2);
    if (out.layer == 3)
        out.length = (12 * bitrate / hz + padding) * 4;
    else
        out.length = (out.layer == 1 && !mpeg1 ? 72 : 144) * bitrate / hz + padding;
    return out.length > 4;
}

// A frame of the same stream as `first`: a damaged header that still looks
// like one would otherwise pass with another length.
bool sameStream(const FrameHeader& a, const FrameHeader& first) {
    return a.version == first.version && a.layer == first.layer && a.rateIndex == first.rateIndex &&
           a.channelMode == first.channelMode;
}

// Writes a song's bytes to a new file of its own in "./dat/" (a name that
// no other file has, ending in ".mp3" as the song's will), so that no file
// there changes before every song is read and checked. `relative` gets its
// name ("./dat/.reload-XXXXXX.mp3"); says why it failed (errno, never 0).
bool stageSongFile(const std::string& startDir, const uint8_t* bytes, size_t size, std::string& relative, int& error) {
    errno = 0;
    std::string path = resolvePath(startDir, "./dat/.reload-XXXXXX.mp3");
    const int fd = ::mkstemps(path.data(), 4);
    if (fd < 0) {
        error = errno != 0 ? errno : EIO;
        return false;
    }
    relative = "./dat/" + path.substr(path.rfind('/') + 1);
    FilePtr f(::fdopen(fd, "wb"));
    bool ok = f != nullptr;
    if (!ok) ::close(fd);
    if (ok && size != 0 && std::fwrite(bytes, 1, size, f.get()) != size) ok = false;
    // A full disk may only show when the buffered bytes go out at the close.
    if (ok && std::fclose(f.release()) != 0) ok = false;
    if (!ok) {
        error = errno != 0 ? errno : EIO;
        ::unlink(path.c_str());
    }
    return ok;
}

}  // namespace

void tableReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                     const std::atomic<bool>* stop) {
    TransferError error;
    CheckFailure failure;
    int result = readStorageToFile(job, ctx.startDir, lib, &events, stop, &error);
    if (result == kDeviceLocalFileFailed) failure.fileError = error.fileError;
    if (result == kDeviceOk) result = confirmHeader(job, ctx, lib, stop, failure);
    postReadEnd(events, result, failure, TableReadDone{}, ReadStage::Table);
}

void dataReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                    const std::atomic<bool>* stop, bool readTwice) {
    std::vector<uint8_t> header;
    ReloadRecord record;
    const bool recorded = readFileHead(ctx.path(kReloadTableFile), header, kStorageHeaderBytes) &&
                          recordFor(ctx.startDir, header, record);
    const bool twice = !recorded && readTwice;
    TransferError error;
    CheckFailure failure;
    FirstHalfSink half(events);
    int result =
        readStorageToFile(job, ctx.startDir, lib, twice ? static_cast<EventSink*>(&half) : &events, stop, &error);
    if (result == kDeviceLocalFileFailed) failure.fileError = error.fileError;
    if (result == kDeviceOk && (recorded || twice))
        result = confirmSongs(job, ctx, lib, events, stop, recorded, record, failure);
    postReadEnd(events, result, failure, DataReadDone{}, ReadStage::Data);
}

bool saneStorageHeader(const StorageHeader& header, uint32_t dataCapacity) {
    if (header.songCount > kMaxHeaderSongs) return false;
    // Any other quality would make the next Download fail after its erase,
    // or write at a rate the clock does not play.
    if (header.quality != kQualityNormal && header.quality != kQualityGood && header.quality != kQualityBest)
        return false;
    uint64_t previousEnd = 0;
    for (size_t i = 0; i < header.songCount; ++i) {
        const StorageEntry& e = header.entries[i];
        if (strnlen(e.songName, kSongNameBytes) == kSongNameBytes) return false;
        const uint64_t end = uint64_t{e.dataOffset} + e.dataSize;
        if (e.dataOffset < previousEnd || end > dataCapacity) return false;
        previousEnd = end;
    }
    return true;
}

ReloadHeader checkReloadedHeader(const std::string& startDir, uint32_t dataCapacity, uint32_t& dataLength) {
    StorageHeader header;
    if (!readReloadedHeader(startDir, header)) return ReloadHeader::Missing;
    if (!saneStorageHeader(header, dataCapacity)) return ReloadHeader::Damaged;
    dataLength = headerDataEnd(header);
    return ReloadHeader::Sane;
}

std::string safeReloadName(const char* songName, size_t fieldBytes, size_t index) {
    const size_t length = strnlen(songName, fieldBytes);
    std::string name;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(songName[i]);
        name.push_back((c == '/' || c < 0x20 || c == 0x7F) ? '_' : static_cast<char>(c));
    }
    if (name.size() > kMaxReloadNameBytes) {
        size_t cut = kMaxReloadNameBytes;
        // Back up over UTF-8 continuation bytes so no character is split.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    if (name.find_first_not_of(". ") == std::string::npos) name = "Song " + std::to_string(index + 1);
    return name;
}

bool startsWithMp3Frame(const uint8_t* bytes, size_t size) {
    if (bytes == nullptr || size < 4) return false;
    const unsigned version = (bytes[1] >> 3) & 3;  // 1 is reserved
    const unsigned layer = (bytes[1] >> 1) & 3;    // 0 is reserved
    const unsigned bitrate = bytes[2] >> 4;        // 15 is not allowed
    const unsigned rate = (bytes[2] >> 2) & 3;     // 3 is reserved
    return bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0 && version != 1 && layer != 0 && bitrate != 15 && rate != 3;
}

bool mp3FrameChainIntact(const uint8_t* bytes, size_t size) {
    if (bytes == nullptr || size < 4) return false;
    FrameHeader first;
    if (!readFrameHeader(bytes, first)) return false;
    size_t at = 0;
    while (size - at >= 4) {
        FrameHeader frame;
        if (!readFrameHeader(bytes + at, frame) || !sameStream(frame, first)) return false;
        if (frame.length >= size - at) return true;  // the last frame, whole or cut
        at += frame.length;
    }
    // Fewer bytes than a header: they must begin one of this stream.
    const uint8_t tail[3] = {0xFF, bytes[1], 0};
    for (size_t i = 0; at + i < size && i < 2; ++i)
        if (bytes[at + i] != tail[i]) return false;
    return size - at < 3 || ((bytes[at + 2] >> 2) & 3) == first.rateIndex;
}

ReloadParsed reloadSongs(const std::string& startDir, uint32_t dataCapacity, const std::atomic<bool>* stop,
                         bool& stopped) {
    ReloadParsed out;
    stopped = false;
    StorageHeader header;
    if (!readReloadedHeader(startDir, header)) {
        out.failure = ReloadFailure::NotAHeader;
        return out;
    }
    if (!saneStorageHeader(header, dataCapacity)) {
        out.failure = ReloadFailure::HeaderDamaged;
        return out;
    }
    out.quality = header.quality;

    // The songs' bytes end at the furthest entry: no more is read, however
    // large the file has become. A data file that cannot be read holds no song.
    std::vector<uint8_t> data;
    if (!readFileHead(resolvePath(startDir, kReloadDataFile), data, headerDataEnd(header))) data.clear();

    std::vector<std::string> used;
    const auto removeWritten = [&] { discardStagedSongs(startDir, out.staged); };
    for (size_t i = 0; i < header.songCount; ++i) {
        if (stop != nullptr && stop->load()) {
            removeWritten();
            stopped = true;
            return ReloadParsed{};
        }
        const StorageEntry& e = header.entries[i];
        // Names are given in the clock's order, damaged songs included, so a
        // song's name does not depend on whether the song before it is sound.
        const std::string base = safeReloadName(e.songName, kSongNameBytes, i);
        std::string name = base;
        for (int k = 2; std::find(used.begin(), used.end(), name) != used.end(); ++k)
            name = base + " (" + std::to_string(k) + ")";
        used.push_back(name);

        const bool held = uint64_t{e.dataOffset} + e.dataSize <= data.size();
        const uint8_t* bytes = held && e.dataSize != 0 ? data.data() + e.dataOffset : nullptr;
        if (e.dataSize != 0 && (bytes == nullptr || !mp3FrameChainIntact(bytes, e.dataSize))) {
            out.damaged.push_back(static_cast<uint16_t>(i));
            continue;
        }
        const std::string relative = "./dat/" + name + ".mp3";
        std::string staged;
        int error = 0;
        if (!stageSongFile(startDir, bytes, e.dataSize, staged, error)) {
            // The songs before it are no list without the rest.
            removeWritten();
            ReloadParsed failed;
            failed.failure = ReloadFailure::WriteFailed;
            failed.file = resolvePath(startDir, relative);
            failed.errorNumber = error;
            return failed;
        }
        out.staged.push_back(staged);

        Song rec;
        rec.copyPending = 0;
        rec.dataOffset = e.dataOffset;
        rec.dataSize = e.dataSize;
        std::memcpy(rec.sourcePath, relative.c_str(), relative.size() + 1);
        std::memcpy(rec.workPath, relative.c_str(), relative.size() + 1);
        out.songs.push_back(rec);
    }
    return out;
}

void discardStagedSongs(const std::string& startDir, std::vector<std::string>& staged) {
    for (const std::string& name : staged) ::unlink(resolvePath(startDir, name).c_str());
    staged.clear();
}

bool commitReloadedSongs(const std::string& startDir, ReloadParsed& parsed, std::string& file, int& error) {
    const size_t n = std::min(parsed.staged.size(), parsed.songs.size());
    std::vector<std::string> targets;
    for (size_t i = 0; i < n; ++i) {
        targets.push_back(resolvePath(startDir, fieldText(parsed.songs[i].workPath)));
        // What cannot be replaced by a file is found before anything moves.
        struct stat st {};
        if (::lstat(targets.back().c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            file = targets.back();
            error = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
            discardStagedSongs(startDir, parsed.staged);
            return false;
        }
    }
    // A file a song replaces (a working copy of the list shown) is first
    // moved aside, and put back if a later rename fails.
    std::vector<std::string> kept(n);
    size_t done = 0;
    bool ok = true;
    for (; done < n && ok; ++done) {
        const char* target = targets[done].c_str();
        if (::access(target, F_OK) == 0) {
            std::string aside = resolvePath(startDir, "./dat/.reload-kept-XXXXXX");
            const int fd = ::mkstemp(aside.data());
            ok = fd >= 0;
            if (fd >= 0) ::close(fd);
            if (ok && std::rename(target, aside.c_str()) != 0) {
                ::unlink(aside.c_str());
                ok = false;
            }
            if (ok) kept[done] = aside;
        }
        if (ok && std::rename(resolvePath(startDir, parsed.staged[done]).c_str(), target) != 0) ok = false;
        if (!ok) {
            file = targets[done];
            error = errno != 0 ? errno : EIO;
            if (!kept[done].empty()) std::rename(kept[done].c_str(), target);
            kept[done].clear();
        }
    }
    if (!ok) {
        // Back as it was: the songs renamed in go, the files moved aside return.
        for (size_t i = done - 1; i-- > 0;) {
            ::unlink(targets[i].c_str());
            if (!kept[i].empty()) std::rename(kept[i].c_str(), targets[i].c_str());
        }
        discardStagedSongs(startDir, parsed.staged);
        return false;
    }
    for (const std::string& aside : kept)
        if (!aside.empty()) ::unlink(aside.c_str());
    parsed.staged.clear();
    return true;
}

}  // namespace velmo
