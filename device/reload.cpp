#include "reload.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fileio.h"
#include "storage_layout.h"

namespace velmo {

namespace {

void readWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                const std::atomic<bool>* stop, const Event& done, ReadStage stage) {
    TransferError error;
    const int result = readStorageToFile(job, ctx.startDir, lib, &events, stop, &error);
    if (result == kDeviceOk)
        events.post(done);
    else if (result == kDeviceStopped)
        events.post(JobStopped{StoppedWorker::Read, false});
    else
        events.post(ReadFailed{stage, result == kDeviceLocalFileFailed ? error.fileError : 0});
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

}  // namespace

void tableReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                     const std::atomic<bool>* stop) {
    readWorker(job, ctx, lib, events, stop, TableReadDone{}, ReadStage::Table);
}

void dataReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                    const std::atomic<bool>* stop) {
    readWorker(job, ctx, lib, events, stop, DataReadDone{}, ReadStage::Data);
}

uint32_t reloadDataLength(const std::string& startDir, uint32_t limit) {
    StorageHeader header;
    if (!readReloadedHeader(startDir, header)) return 0;
    uint64_t sum = 0;
    for (size_t i = 0; i < effectiveSongCount(header); ++i) sum += header.entries[i].dataSize;
    return static_cast<uint32_t>(std::min<uint64_t>(sum, limit));
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

int loadReloadedTable(const std::string& startDir, uint32_t dataLength, Song* songs, uint16_t& songCount,
                      uint16_t& quality) {
    StorageHeader header;
    if (!readReloadedHeader(startDir, header)) return -1;
    const size_t count = effectiveSongCount(header);
    std::vector<std::string> used;
    for (size_t i = 0; i < count; ++i) {
        const StorageEntry& e = header.entries[i];
        const std::string base = safeReloadName(e.songName, kSongNameBytes, i);
        std::string name = base;
        for (int k = 2; std::find(used.begin(), used.end(), name) != used.end(); ++k)
            name = base + " (" + std::to_string(k) + ")";
        used.push_back(name);
        const std::string path = "./dat/" + name + ".mp3";

        Song& rec = songs[i];
        rec.copyPending = 0;
        rec.dataOffset = e.dataOffset;
        const bool inside = uint64_t{e.dataOffset} + e.dataSize <= dataLength;
        rec.dataSize = inside ? e.dataSize : 0;
        std::memcpy(rec.sourcePath, path.c_str(), path.size() + 1);
        std::memcpy(rec.workPath, path.c_str(), path.size() + 1);
    }
    songCount = static_cast<uint16_t>(count);
    quality = header.quality;
    return 0;
}

bool startsWithMp3Frame(const uint8_t* bytes, size_t size) {
    if (bytes == nullptr || size < 4) return false;
    const unsigned version = (bytes[1] >> 3) & 3;  // 1 is reserved
    const unsigned layer = (bytes[1] >> 1) & 3;    // 0 is reserved
    const unsigned bitrate = bytes[2] >> 4;        // 15 is not allowed
    const unsigned rate = (bytes[2] >> 2) & 3;     // 3 is reserved
    return bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0 && version != 1 && layer != 0 && bitrate != 15 && rate != 3;
}

std::vector<uint16_t> damagedReloadedSongs(const std::string& startDir, const Song* songs, uint16_t songCount) {
    std::vector<uint8_t> data;
    const bool read = readWholeFile(resolvePath(startDir, kReloadDataFile), data);
    std::vector<uint16_t> damaged;
    for (uint16_t i = 0; i < songCount; ++i) {
        const Song& rec = songs[i];
        if (rec.dataSize == 0) continue;
        const bool inside = read && uint64_t{rec.dataOffset} + rec.dataSize <= data.size();
        if (!inside || !startsWithMp3Frame(data.data() + rec.dataOffset, rec.dataSize)) damaged.push_back(i);
    }
    return damaged;
}

int splitReloadedData(const std::string& startDir, const Song* songs, uint16_t songCount) {
    // The songs' bytes end at the furthest entry: no more is read, however
    // large the file has become.
    uint64_t needed = 0;
    for (uint16_t i = 0; i < songCount; ++i)
        needed = std::max<uint64_t>(needed, uint64_t{songs[i].dataOffset} + songs[i].dataSize);
    std::vector<uint8_t> data;
    if (!readFileHead(resolvePath(startDir, kReloadDataFile), data, static_cast<size_t>(needed))) return -1;
    for (uint16_t i = 0; i < songCount; ++i) {
        const Song& rec = songs[i];
        const uint64_t end = uint64_t{rec.dataOffset} + rec.dataSize;
        const size_t size = end <= data.size() ? rec.dataSize : 0;
        const uint8_t* bytes = size != 0 ? data.data() + rec.dataOffset : nullptr;
        if (!writeWholeFile(resolvePath(startDir, fieldText(rec.workPath)), bytes, size)) return -1;
    }
    return 0;
}

}  // namespace velmo
