#include "convert_job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "convert_pool.h"
#include "encoder.h"
#include "fileio.h"
#include "packaging.h"
#include "song_reader.h"
#include "storage_layout.h"

namespace velmo {

namespace {

namespace fs = std::filesystem;

constexpr size_t kCopyBufferBytes = 1 << 20;

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

bool makeWorkFolder(const SharedState& shared) {
    std::error_code ec;
    fs::create_directories(shared.path(kWorkDir), ec);
    return !ec;
}

// Copies the song's source file to its working copy through a fixed buffer
// (a long WAV would not fit in memory whole). Fails when the source is missing
// or not a plain file, gives fewer bytes than its size, or the copy cannot be
// created or written in full; a partial copy is removed.
bool makeWorkingCopy(const SongRecord& song, const SharedState& shared) {
    const std::string source = fieldText(song.sourcePath);
    const std::string work = fieldText(song.workPath);
    if (source.empty() || work.empty()) return false;
    const std::string src = shared.path(source);
    const std::string dst = shared.path(work);

    FilePtr in = openRegularFileForReading(src);
    const std::optional<uint64_t> size = fileSize(in.get());
    if (!in || !size) return false;
    // A song chosen from the working folder itself is its own copy; opening
    // it for writing would destroy it.
    std::error_code ec;
    if (fs::equivalent(src, dst, ec)) return true;
    if (!makeWorkFolder(shared)) return false;

    std::vector<uint8_t> buf(kCopyBufferBytes);
    FilePtr out = createFileForWriting(dst);
    if (!out) return false;
    bool ok = true;
    uint64_t remaining = *size;
    while (ok && remaining > 0 && !shared.stopping()) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kCopyBufferBytes));
        ok = std::fread(buf.data(), 1, want, in.get()) == want && std::fwrite(buf.data(), 1, want, out.get()) == want;
        remaining -= want;
    }
    ok = (std::fclose(out.release()) == 0) && ok && remaining == 0;
    struct stat written {};
    if (!ok && ::stat(dst.c_str(), &written) == 0 && S_ISREG(written.st_mode)) removeFile(dst);
    return ok;
}

// Converts the song's working copy into the raw PCM file; the input sample
// rate, or 0 when the song has nothing to encode (or `stop` was seen). The
// reader is chosen by the file's content.
uint32_t songToPcm(const SongRecord& song, const SharedState& shared, const std::string& rawPath,
                   const std::atomic<bool>& stop) {
    const std::string work = fieldText(song.workPath);
    if (work.empty()) return 0;
    return convertSongToPcm(shared.path(work), rawPath, &stop);
}

// Posts the end message and releases the write worker. Runs exactly once per job.
void finish(const ConvertJob& job, SharedState& shared, uint32_t code, uint32_t lParam, uint32_t wParam = 0) {
    if (job.window) job.window->post(code, wParam, lParam);
    shared.imageProduced.store(code == WM_CONVERT_DONE);
    shared.conversionStopped.store(code == WM_JOB_STOPPED);
    shared.convertEvent.set();
    shared.imageData.wake();
}

// The header's place in a new image: zeros until the songs are all placed.
bool startImage(const std::string& imagePath) {
    FilePtr f = createFileForWriting(imagePath);
    if (!f) return false;
    const std::vector<uint8_t> zeros(kStorageHeaderBytes, 0);
    const bool ok = std::fwrite(zeros.data(), 1, zeros.size(), f.get()) == zeros.size();
    return std::fclose(f.release()) == 0 && ok;
}

}  // namespace

std::string copyFailedText(const SongRecord& song) {
    std::string text = kCopyFailedFormat;
    const size_t at = text.find("%s");
    return text.replace(at, 2, fieldText(song.sourcePath));
}

std::string songPcmWorkFile(size_t position) { return "./dat/raw-" + std::to_string(position) + ".tmp"; }

std::string songMp3WorkFile(size_t position) { return "./dat/mp3-" + std::to_string(position) + ".tmp"; }

SongConversionResult convertSong(const SongRecord& song, uint16_t quality, const SharedState& shared, Encoder& encoder,
                                 const std::string& rawPath, const std::string& mp3Path,
                                 const std::atomic<bool>& stop) {
    SongConversionResult out;
    // The song's MP3 file starts empty: the encoder appends.
    removeFile(mp3Path);
    const uint32_t rate = songToPcm(song, shared, rawPath, stop);
    if (rate != 0 && !stop.load()) {
        if (encoder.prepare(rate, quality * 8u, outputSampleRate(rate, quality)) == kPrepareOk) {
            uint32_t written = 0;
            if (encoder.encode(nullptr, song.cutFlag, song.cutLimit, rawPath, mp3Path, written, &stop) == kEncodeOk) {
                out.result = SongConversion::Converted;
                out.bytes = written;
            }
        } else {
            out.encoderLoadError = encoder.loadError();
        }
    }
    removeFile(rawPath);
    if (stop.load()) out = SongConversionResult{SongConversion::Stopped, 0, {}};
    return out;
}

uint32_t convertAllSongs(const ConvertJob& job, SharedState& shared, const std::string& imagePath,
                         const std::string& encoderLibrary, const ShowMessageFn& showMessage,
                         std::vector<uint16_t>* unconverted) {
    const size_t count = job.songs ? std::min<size_t>(job.count, kMaxHeaderSongs) : 0;
    const uint32_t capacity = dataAreaCapacity(shared.storageKB);
    makeWorkFolder(shared);
    ConvertPool pool(job.songs, count, job.quality, shared, job.workers, capacity, encoderLibrary);

    // The results are taken in list order, so offsets, the capacity and the
    // songs passed over come out as they would from one song after another.
    uint32_t offset = job.startOffset;
    uint32_t total = 0;
    uint32_t shownPercent = 0;
    bool loadReported = false;
    for (size_t i = 0; i < count; ++i) {
        if (shared.keepConverting.load() == 0 || shared.stopping()) {
            total = 0;
            break;
        }
        ConvertPool::Result r = pool.take(i);
        if (shared.stopping() || (!r.started && total < capacity)) {
            total = 0;
            break;
        }
        SongRecord& song = job.songs[i];
        const std::string mp3Path = shared.path(songMp3WorkFile(i));
        uint32_t kept = 0;
        // Whether a worker reached this song depends on timing; once the data
        // area is full the song is passed over whatever became of it.
        if (total < capacity) {
            if (r.song.result == SongConversion::Converted) {
                kept = r.song.bytes;
                if (static_cast<uint64_t>(total) + kept > capacity) kept = 0;
            } else {
                if (unconverted) unconverted->push_back(static_cast<uint16_t>(i));
                if (!r.song.encoderLoadError.empty() && !loadReported && showMessage) {
                    // Without the encoder no song can be converted: say once what is missing.
                    loadReported = true;
                    showMessage("The encoder library " + std::string(kEncoderLibraryName) +
                                " could not be loaded: " + r.song.encoderLoadError);
                }
            }
        }
        if (kept != 0 && (appendFile(imagePath, mp3Path) != kPackOk ||
                          fileSize(imagePath) != uint64_t{kStorageHeaderBytes} + total + kept)) {
            total = 0;
            break;
        }
        removeFile(mp3Path);
        song.dataSize = kept;
        song.dataOffset = offset;
        total += kept;
        offset += kept;
        pool.setKeptTotal(total);
        if (kept != 0) {
            shared.imageData.publish(total);
            const uint32_t percent = encodePercent(total, job.totalEstimate);
            if (!job.streamed && job.window && percent > shownPercent) {
                shownPercent = percent;
                job.window->post(WM_ENCODE_PROGRESS, percent, 0);
            }
        }
    }
    pool.cancel();
    return total;
}

void runConvertJob(const ConvertJob& job, SharedState& shared, const ShowMessageFn& showMessage,
                   const std::string& encoderLibrary) {
    const std::string imagePath = shared.path(kImageFile);
    const size_t count = std::min<size_t>(job.count, kMaxHeaderSongs);
    // An image from an earlier download must not pass for this one's, and
    // files an interrupted earlier run left would only take room.
    removeFile(imagePath);
    for (const char* name : {kMp3WorkFile, kRawWorkFile, kRawNextWorkFile}) removeFile(shared.path(name));
    if (job.report) job.report->unconverted.clear();

    for (size_t i = 0; i < count && job.songs; ++i) {
        SongRecord& song = job.songs[i];
        if (song.copyPending != 1) continue;
        const bool copied = makeWorkingCopy(song, shared);
        if (shared.stopping()) {
            finish(job, shared, WM_JOB_STOPPED, 0, kStoppedConversion);
            return;
        }
        if (!copied) {
            if (showMessage) showMessage(copyFailedText(song));
            finish(job, shared, WM_CONVERT_ABORTED, 0);
            return;
        }
        song.copyPending = 0;
    }

    makeWorkFolder(shared);
    std::vector<uint16_t> unconverted;
    const uint32_t total =
        startImage(imagePath) ? convertAllSongs(job, shared, imagePath, encoderLibrary, showMessage, &unconverted) : 0;
    if (shared.stopping()) {
        removeFile(imagePath);
        finish(job, shared, WM_JOB_STOPPED, 0, kStoppedConversion);
        return;
    }
    // The image must hold exactly the bytes its header announces.
    const bool packed = total != 0 &&
                        overwriteImageHeader(imagePath, job.songs, static_cast<uint16_t>(count), job.totalEstimate,
                                             job.quality) == kPackOk &&
                        fileSize(imagePath) == uint64_t{total} + kStorageHeaderBytes;
    if (!packed) {
        removeFile(imagePath);
        finish(job, shared, WM_CONVERT_FAILED, 0);
        return;
    }
    if (job.report) job.report->unconverted = std::move(unconverted);
    if (!job.streamed && job.window) job.window->post(WM_ENCODE_PROGRESS, 100, 0);
    const uint64_t size = fileSize(imagePath).value_or(0);
    const uint32_t limit = imageCapacity(shared.storageKB);
    finish(job, shared, WM_CONVERT_DONE, size > limit ? limit : total + kStorageHeaderBytes);
}

std::thread startConvertJob(const ConvertJob& job, SharedState* shared, ShowMessageFn showMessage,
                            std::string encoderLibrary) {
    return std::thread([job, shared, show = std::move(showMessage), lib = std::move(encoderLibrary)] {
        runConvertJob(job, *shared, show, lib);
    });
}

}  // namespace velmo
