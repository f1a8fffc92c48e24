#include "transfer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "controller_map.h"
#include "fileio.h"
#include "paths.h"
#include "storage_layout.h"

namespace velmo {

namespace {

// A firmware write has no conversion to wait for; the agent gets a pause
// between the erase and the first block instead.
constexpr std::chrono::milliseconds kFirmwarePause{100};
// streamImageToStorage: the conversion finished without an image.
constexpr int kImageNotMade = 100;

// A block that did not reach the flash: refused by the agent, or lost with
// the connection.
int programFailure(int result) {
    return result == kDeviceAgentFailed ? kDeviceProgramRefused : kDeviceConnectionFailed;
}

bool stopSeen(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

// The failure of a local file: its error number (EIO when the system gave
// none, as for a file that ends sooner than its size said).
int localFailure(TransferError* error) {
    if (error != nullptr) error->fileError = errno != 0 ? errno : EIO;
    return kDeviceLocalFileFailed;
}

// One piece of a file bound for the storage: `length` bytes from file offset
// `offset`, programmed at `address`.
struct Piece {
    uint64_t offset;
    uint32_t length;
    uint32_t address;
};

// The pieces of [from, to) of a file in blocks of `block` bytes, in order.
void appendPieces(std::vector<Piece>& pieces, uint64_t from, uint64_t to, uint32_t block, uint32_t baseAddress) {
    for (uint64_t at = from; at < to; at += block) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(block, to - at));
        pieces.push_back(Piece{at, n, static_cast<uint32_t>(baseAddress + at)});
    }
}

// Opens the file to send and takes its size, which bounds the transfer: the
// erased range ends there. An empty file has nothing to send.
int openSource(const std::string& filePath, FilePtr& f, uint32_t& total, TransferError* error) {
    errno = 0;
    f = openRegularFileForReading(filePath);
    if (!f) return localFailure(error);
    const std::optional<uint64_t> size = fileSize(f.get());
    if (!size) return localFailure(error);
    if (*size == 0 || *size > 0xFFFFFFFFull) {
        errno = *size == 0 ? ENODATA : EFBIG;
        return localFailure(error);
    }
    total = static_cast<uint32_t>(*size);
    return kDeviceOk;
}

// Sends the pieces in their order, each read from the file just before it is
// programmed, posting progress against `total` after each read.
int sendPieces(const DeviceLibrary& lib, EventSink* events, uint32_t handle, std::FILE* f,
               const std::vector<Piece>& pieces, uint32_t total, ProgressBar bar, const std::atomic<bool>* stop,
               TransferError* error) {
    std::vector<uint8_t> buffer(kTransferBlockBytes);
    uint32_t count = 0;
    uint64_t position = 0;
    for (const Piece& p : pieces) {
        if (stopSeen(stop)) return kDeviceStopped;
        std::fill(buffer.begin(), buffer.end(), 0);
        errno = 0;
        if (p.offset != position && std::fseek(f, static_cast<long>(p.offset), SEEK_SET) != 0)
            return localFailure(error);
        // A file that yields fewer bytes than its size would otherwise leave
        // part of the erased range unwritten.
        if (std::fread(buffer.data(), 1, p.length, f) != p.length) return localFailure(error);
        position = p.offset + p.length;
        count += p.length;
        reportProgress(events, bar, count, total);
        if (const int r = programBlock(lib, handle, p.address, buffer.data(), p.length); r != kDeviceOk)
            return programFailure(r);
    }
    return kDeviceOk;
}

// Sends a download's image while the conversion is still making it: each
// 4096-byte block of song data as soon as the conversion has published it
// through the hand-over, then, once the conversion has finished with an
// image, the rest of the data and the header's blocks from the last to the
// first. The blocks, their addresses and their calls are those of
// writeImageToStorage; only the moment each one is sent differs.
int streamImageToStorage(const DeviceLibrary& lib, const DeviceJob& job, const WorkContext& ctx, EventSink& events,
                         ImageHandOver& handOver, const std::atomic<bool>* stop, TransferError* error) {
    // Without a cancellation the wait ends only on the conversion.
    static const std::atomic<bool> kNeverStops{false};
    const std::atomic<bool>& stopFlag = stop != nullptr ? *stop : kNeverStops;
    const std::string path = ctx.path(job.path);
    std::vector<uint8_t> buffer(kTransferBlockBytes);
    FilePtr image;
    uint32_t sent = 0;  // song data sent, from the data area's start
    uint32_t placed = 0;
    uint32_t shownPercent = 0;
    // The bar follows the bytes placed on the clock: against the list's
    // estimate while songs still convert, against the image once it is known.
    // `end`: where the block just read ends in the image, which names its
    // song: every block is told, so that no song goes unnamed, with a bar
    // that never goes back.
    const auto progress = [&](uint32_t of, bool final, uint64_t end) {
        uint64_t percent = of == 0 ? 0 : uint64_t{placed} * 100u / of;
        if (!final && percent > 99) percent = 99;
        if (percent == 0) percent = 1;  // the first block written shows at once
        shownPercent = std::max(shownPercent, static_cast<uint32_t>(percent));
        WriteProgress p{static_cast<int>(shownPercent)};
        p.imageEnd = static_cast<uint32_t>(end);
        p.bytesDone = placed;
        p.bytesTotal = of;
        events.post(p);
    };
    const auto send = [&](uint64_t offset, uint32_t length) -> int {
        if (!image) {
            errno = 0;
            image = openRegularFileForReading(path);
            if (!image) return localFailure(error);
        }
        std::fill(buffer.begin(), buffer.end(), 0);
        errno = 0;
        // Read past the stream's buffer: the conversion appends to the file
        // and writes its header in place while it is open here.
        if (::pread(::fileno(image.get()), buffer.data(), length, static_cast<off_t>(offset)) !=
            static_cast<ssize_t>(length))
            return localFailure(error);
        placed += length;
        return kDeviceOk;
    };

    // Retracted bytes were sent already: the sectors that hold them are erased
    // and sent again from the block where they began. The first of those
    // sectors starts inside the block before it (the data area does not start
    // on a sector), whose tail is programmed again too.
    const uint32_t dataStart = job.address + kStorageHeaderBytes;
    const auto rewind = [&](uint32_t to) -> int {
        const uint32_t back = to / kTransferBlockBytes * kTransferBlockBytes;
        const uint32_t sector = (dataStart + back) / kStorageSectorBytes * kStorageSectorBytes;
        if (const int r = eraseStorage(lib, job.handle, sector, dataStart + sent - sector); r != kDeviceOk) return r;
        placed -= sent - back;
        sent = back;
        if (sector <= dataStart) return kDeviceOk;  // the header's own sector: written last anyway
        const uint32_t tail = dataStart + back - sector;
        if (const int r = send(uint64_t{kStorageHeaderBytes} + (sector - dataStart), tail); r != kDeviceOk) return r;
        placed -= tail;
        if (const int r = programBlock(lib, job.handle, sector, buffer.data(), tail); r != kDeviceOk)
            return programFailure(r);
        return kDeviceOk;
    };

    ImageHandOver::State seen = handOver.state();
    for (;;) {
        if (stopSeen(stop)) return kDeviceStopped;
        if (seen.rewindTo < sent) {
            if (const int r = rewind(seen.rewindTo); r != kDeviceOk) return r;
        }
        seen.rewindTo = ImageHandOver::kNoRewind;  // told once
        // The bytes and the end are read together: what was published before
        // the end is all there will be.
        if (seen.ready >= sent && seen.ready - sent >= kTransferBlockBytes) {
            int r = kDeviceOk;
            // Read while the bytes are still published: a retraction since
            // `seen` was taken is looked at first.
            if (!handOver.readPublished(sent + kTransferBlockBytes,
                                        [&] { r = send(uint64_t{kStorageHeaderBytes} + sent, kTransferBlockBytes); })) {
                seen = handOver.state();
                continue;
            }
            if (r != kDeviceOk) return r;
            progress(job.expectedBytes, false, uint64_t{kStorageHeaderBytes} + sent + kTransferBlockBytes);
            if (const int p = programBlock(lib, job.handle, dataStart + sent, buffer.data(), kTransferBlockBytes);
                p != kDeviceOk)
                return programFailure(p);
            sent += kTransferBlockBytes;
            continue;
        }
        if (seen.end != ImageHandOver::End::Running) break;
        seen = handOver.waitFor(sent + kTransferBlockBytes, stopFlag);
    }
    // Without an image from this very download, ./dat/tmp.bin may be an old
    // one: nothing more is written, and the erased header names no songs.
    if (seen.end != ImageHandOver::End::Image) return kImageNotMade;

    uint32_t total = 0;
    if (const int r = openSource(path, image, total, error); r != kDeviceOk) return r;
    const uint32_t headerEnd = std::min(total, kStorageHeaderBytes);
    std::vector<Piece> pieces;
    appendPieces(pieces, uint64_t{headerEnd} + sent, total, kTransferBlockBytes, job.address);
    std::vector<Piece> header;
    appendPieces(header, 0, headerEnd, kTransferBlockBytes, job.address);
    pieces.insert(pieces.end(), header.rbegin(), header.rend());
    for (const Piece& p : pieces) {
        if (stopSeen(stop)) return kDeviceStopped;
        if (const int r = send(p.offset, p.length); r != kDeviceOk) return r;
        progress(total, true, p.offset + p.length);
        if (const int r = programBlock(lib, job.handle, p.address, buffer.data(), p.length); r != kDeviceOk)
            return programFailure(r);
    }
    return kDeviceOk;
}

// The clock's header, read once: whether it is the record's byte for byte.
int clockHeaderIs(const DeviceLibrary& lib, const DeviceJob& job, const ImageRecord& record, bool& same) {
    same = false;
    std::vector<uint8_t> header(kStorageHeaderBytes);
    for (uint32_t at = 0; at < kStorageHeaderBytes; at += kTransferBlockBytes) {
        const uint32_t n = std::min(kTransferBlockBytes, kStorageHeaderBytes - at);
        if (readBlock(lib, job.handle, job.address + at, n, header.data() + at) != kDeviceOk)
            return kDeviceConnectionFailed;
    }
    same = record.header == header;
    return kDeviceOk;
}

// A Download onto a clock that holds the record's image: waits for the whole
// new image, then erases and writes only the sectors that differ. The
// signature's sector is erased before any other change and written after all
// of them, so that an interruption leaves a clock that names no song, or the
// old image, or the new one. `erased`: the clock's songs are gone.
int writeByRecord(const DeviceLibrary& lib, const DeviceJob& job, const WorkContext& ctx, EventSink& events,
                  ImageHandOver& handOver, const std::atomic<bool>* stop, TransferError* error, bool& erased,
                  DownloadDone& done) {
    static const std::atomic<bool> kNeverStops{false};
    const std::atomic<bool>& stopFlag = stop != nullptr ? *stop : kNeverStops;
    ImageHandOver::State seen = handOver.state();
    while (seen.end == ImageHandOver::End::Running) {
        if (stopSeen(stop)) return kDeviceStopped;
        seen = handOver.waitFor(UINT32_MAX, stopFlag);
    }
    if (seen.end != ImageHandOver::End::Image) return kImageNotMade;
    if (stopSeen(stop)) return kDeviceStopped;

    std::vector<uint8_t> image;
    errno = 0;
    if (!readWholeFile(ctx.path(job.path), image, imageCapacity(ctx.storageKB))) return localFailure(error);
    ImageRecord next;
    if (!recordOfStorageImage(image.data(), image.size(), next)) {
        errno = ENODATA;
        return localFailure(error);
    }
    SectorPlan plan = planSectors(*job.record, next);
    // A record from a larger storage than this clock reports erases no further than its end.
    plan.tailTo = std::min(plan.tailTo, imageCapacity(ctx.storageKB) / kStorageSectorBytes);
    plan.tailFrom = std::min(plan.tailFrom, plan.tailTo);
    uint64_t toWrite = 0;
    for (uint32_t sector : plan.rewrite)
        toWrite += std::min<uint64_t>(kStorageSectorBytes, image.size() - uint64_t{sector} * kStorageSectorBytes);
    done.imageBytes = static_cast<uint32_t>(image.size());
    done.byRecord = true;

    const auto sectorAddress = [&](uint32_t sector) { return job.address + sector * kStorageSectorBytes; };
    uint32_t written = 0;
    const auto program = [&](uint32_t sector) -> int {
        const uint32_t from = sector * kStorageSectorBytes;
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(kStorageSectorBytes, image.size() - from));
        if (const int r = programBlock(lib, job.handle, sectorAddress(sector), image.data() + from, n); r != kDeviceOk)
            return programFailure(r);
        written += n;
        done.written.emplace_back(from, n);
        // The bar as reportProgress moves it, with where the sector lies
        // and how much of the image is written so far.
        const int percent = toWrite == 0 ? 0 : static_cast<uint16_t>(written * 100u / static_cast<uint32_t>(toWrite));
        if (percent != 0) {
            WriteProgress p{percent};
            p.imageEnd = from + n;
            p.bytesDone = written;
            p.bytesTotal = static_cast<uint32_t>(toWrite);
            p.byRecord = true;
            p.imageBytes = static_cast<uint32_t>(image.size());
            events.post(p);
        }
        return kDeviceOk;
    };
    if (!plan.rewrite.empty()) {
        events.post(StorageErasing{});
        erased = true;
        if (const int r = eraseStorage(lib, job.handle, sectorAddress(0), kStorageSectorBytes); r != kDeviceOk)
            return r;
        for (uint32_t sector : plan.rewrite) {
            if (sector == 0) continue;
            if (stopSeen(stop)) return kDeviceStopped;
            if (const int r = eraseStorage(lib, job.handle, sectorAddress(sector), kStorageSectorBytes);
                r != kDeviceOk)
                return r;
            if (const int r = program(sector); r != kDeviceOk) return r;
        }
        // What a full Download leaves there: erased flash.
        if (plan.tailTo > plan.tailFrom) {
            if (stopSeen(stop)) return kDeviceStopped;
            if (const int r = eraseStorage(lib, job.handle, sectorAddress(plan.tailFrom),
                                           (plan.tailTo - plan.tailFrom) * kStorageSectorBytes);
                r != kDeviceOk)
                return r;
        }
        if (stopSeen(stop)) return kDeviceStopped;
        if (const int r = program(0); r != kDeviceOk) return r;
    }
    done.bytesWritten = written;
    done.songsUnchanged = songsInUntouchedSectors(next.header.data(), plan.rewrite);
    return kDeviceOk;
}

// The end of a Download that wrote the whole image.
DownloadDone fullWrite(const std::string& imagePath) {
    DownloadDone done;
    const std::optional<uint64_t> size = fileSize(imagePath);
    done.imageBytes = size ? static_cast<uint32_t>(std::min<uint64_t>(*size, UINT32_MAX)) : 0;
    done.bytesWritten = done.imageBytes;
    return done;
}

}  // namespace

void reportProgress(EventSink* events, ProgressBar bar, uint32_t done, uint32_t total) {
    if (events == nullptr || total == 0) return;
    const int percent = static_cast<uint16_t>(done * 100u / total);
    if (percent == 0) return;
    if (bar == ProgressBar::Write)
        events->post(WriteProgress{percent});
    else
        events->post(ReadProgress{percent});
}

int writeFileToStorage(const DeviceLibrary& lib, EventSink* events, uint32_t handle, const std::string& filePath,
                       uint32_t blockSize, uint32_t address, ProgressBar bar, const std::atomic<bool>* stop,
                       TransferError* error) {
    const uint32_t block = std::min(blockSize, kTransferBlockBytes);
    if (block == 0) return kDeviceConnectionFailed;
    FilePtr f;
    uint32_t total = 0;
    if (const int r = openSource(filePath, f, total, error); r != kDeviceOk) return r;
    std::vector<Piece> pieces;
    appendPieces(pieces, 0, total, block, address);
    return sendPieces(lib, events, handle, f.get(), pieces, total, bar, stop, error);
}

int writeImageToStorage(const DeviceLibrary& lib, EventSink* events, uint32_t handle, const std::string& imagePath,
                        uint32_t address, const std::atomic<bool>* stop, TransferError* error) {
    FilePtr f;
    uint32_t total = 0;
    if (const int r = openSource(imagePath, f, total, error); r != kDeviceOk) return r;
    const uint32_t headerEnd = std::min(total, kStorageHeaderBytes);
    std::vector<Piece> pieces;
    // The songs' bytes first: until the header is written, the clock's erased
    // header says it holds no songs, so an interruption never leaves a header
    // naming songs that are not there.
    appendPieces(pieces, headerEnd, total, kTransferBlockBytes, address);
    // The header's own blocks last to first: the block with the signature and
    // the song count goes last, so a header only counts once all of it is there.
    std::vector<Piece> header;
    appendPieces(header, 0, headerEnd, kTransferBlockBytes, address);
    pieces.insert(pieces.end(), header.rbegin(), header.rend());
    return sendPieces(lib, events, handle, f.get(), pieces, total, ProgressBar::Write, stop, error);
}

int readStorageToFile(const DeviceJob& job, const std::string& startDir, const DeviceLibrary& lib, EventSink* events,
                      const std::atomic<bool>* stop, TransferError* error) {
    const uint32_t total = job.blockSize;
    if (total == 0) return kDeviceConnectionFailed;
    const std::string path = resolvePath(startDir, job.path);
    errno = 0;
    FilePtr f = createFileForWriting(path);
    if (!f) return localFailure(error);

    std::vector<uint8_t> staging(kReadStagingBytes);
    std::vector<uint8_t> block(kTransferBlockBytes);
    size_t staged = 0;
    uint32_t remaining = total;
    uint32_t count = 0;
    uint32_t address = job.address;
    const auto flush = [&]() {
        errno = 0;
        const bool ok = staged == 0 || std::fwrite(staging.data(), 1, staged, f.get()) == staged;
        staged = 0;
        return ok;
    };
    while (remaining > 0) {
        if (stopSeen(stop)) return kDeviceStopped;
        const uint32_t n = std::min(remaining, kTransferBlockBytes);
        std::fill(block.begin(), block.end(), 0);
        if (readBlock(lib, job.handle, address, n, block.data()) != kDeviceOk) return kDeviceConnectionFailed;
        std::memcpy(staging.data() + staged, block.data(), n);
        staged += n;
        count += n;
        reportProgress(events, ProgressBar::Read, count, total);
        address += n;
        if (staging.size() - staged < kTransferBlockBytes && !flush()) return localFailure(error);
        remaining -= n;
    }
    if (!flush()) return localFailure(error);
    // A full disk may only show when the file is closed.
    errno = 0;
    if (std::fclose(f.release()) != 0) return localFailure(error);
    return kDeviceOk;
}

void writeWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                 Cancellation* cancellation, ImageHandOver* handOver) {
    const std::atomic<bool>* stop = cancellation != nullptr ? &cancellation->flag() : nullptr;
    if (stopSeen(stop)) {
        events.post(JobStopped{StoppedWorker::Write, false});
        return;
    }

    TransferError error;
    DownloadDone done;
    bool erased = true;
    int result = kDeviceOk;
    bool byRecord = false;
    if (job.mode == WriteMode::SongImage && handOver != nullptr && job.record != nullptr) {
        result = clockHeaderIs(lib, job, *job.record, byRecord);
        if (result == kDeviceOk && byRecord) {
            erased = false;
            result = writeByRecord(lib, job, ctx, events, *handOver, stop, &error, erased, done);
        }
    }
    if (result == kDeviceOk && !byRecord) {
        // From here on the clock's songs are going: a stop can no longer leave them.
        if (job.mode == WriteMode::SongImage) events.post(StorageErasing{});
        result = eraseStorage(lib, job.handle, job.address, job.eraseLength);
    }
    if (result == kDeviceOk && !byRecord) {
        if (handOver != nullptr) {
            result = streamImageToStorage(lib, job, ctx, events, *handOver, stop, &error);
        } else {
            std::this_thread::sleep_for(kFirmwarePause);
            const std::string path = ctx.path(job.path);
            result = job.mode == WriteMode::SongImage
                         ? writeImageToStorage(lib, &events, job.handle, path, job.address, stop, &error)
                         : writeFileToStorage(lib, &events, job.handle, path, job.blockSize, job.address,
                                              ProgressBar::Write, stop, &error);
        }
    }

    switch (result) {
        case kDeviceOk:
            if (job.mode == WriteMode::FirmwareCode)
                events.post(FirmwareStepDone{FirmwareStep::Written});
            else
                events.post(byRecord ? done : fullWrite(ctx.path(job.path)));
            return;
        case kDeviceStopped:
            events.post(JobStopped{StoppedWorker::Write, erased});
            return;
        case kImageNotMade:
            // A conversion that ended on the cancellation: this worker says
            // what the clock holds (erased); otherwise the conversion's own end
            // event says why there is no image.
            if (stopSeen(stop))
                events.post(JobStopped{StoppedWorker::Write, erased});
            else
                events.post(WriteAbandoned{});
            return;
        default:
            break;
    }
    WriteFailed failed;
    if (result == kDeviceAgentFailed) {
        failed.kind = WriteFailure::Erase;
    } else if (result == kDeviceProgramRefused) {
        failed.kind = WriteFailure::Program;
    } else if (result == kDeviceLocalFileFailed) {
        failed.kind = WriteFailure::LocalFile;
        failed.errorNumber = error.fileError;
    }
    events.post(failed);
    // Songs still converting could no longer reach the clock. The failure is
    // posted first, so the receiver knows why the conversion then stops.
    if (cancellation != nullptr) cancellation->cancel();
}

}  // namespace velmo
