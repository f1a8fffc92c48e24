#include "reload.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Writes a song file and says why it failed (errno, never 0).
bool writeSongFile(const std::string& path, const uint8_t* bytes, size_t size, int& error) {
    errno = 0;
    FilePtr f = createFileForWriting(path);
    bool ok = f != nullptr;
    if (ok && size != 0 && std::fwrite(bytes, 1, size, f.get()) != size) ok = false;
    // A full disk may only show when the buffered bytes go out at the close.
    if (ok && std::fclose(f.release()) != 0) ok = false;
    if (!ok) error = errno != 0 ? errno : EIO;
    return ok;
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

bool saneStorageHeader(const StorageHeader& header, uint32_t dataCapacity) {
    if (header.songCount > kMaxHeaderSongs) return false;
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
    std::vector<std::string> written;
    const auto removeWritten = [&] {
        for (const std::string& path : written) ::unlink(path.c_str());
    };
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
        const std::string path = resolvePath(startDir, relative);
        int error = 0;
        if (!writeSongFile(path, bytes, e.dataSize, error)) {
            // A partly written file is no song; nor are the ones before it
            // without the rest of the list.
            ::unlink(path.c_str());
            removeWritten();
            ReloadParsed failed;
            failed.failure = ReloadFailure::WriteFailed;
            failed.file = path;
            failed.errorNumber = error;
            return failed;
        }
        written.push_back(path);

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

}  // namespace velmo
