#include "convert_job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

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
// rate, or 0 when the song has nothing to encode (or the stop request was
// seen). The reader is chosen by the file's content.
uint32_t songToPcm(const SongRecord& song, const SharedState& shared, const std::string& rawPath) {
    const std::string work = fieldText(song.workPath);
    if (work.empty()) return 0;
    return convertSongToPcm(shared.path(work), rawPath, &shared.stopRequested);
}

// Cuts the MP3 working file back to the bytes that the songs so far keep. A
// missing file is right when nothing is kept.
bool cutBackTo(const std::string& mp3Path, uint32_t total) {
    struct stat st {};
    if (::stat(mp3Path.c_str(), &st) != 0) return total == 0;
    if (static_cast<uint64_t>(st.st_size) == total) return true;
    return ::truncate(mp3Path.c_str(), static_cast<off_t>(total)) == 0;
}

// Posts the end message and releases the write worker. Runs exactly once per job.
void finish(const ConvertJob& job, SharedState& shared, uint32_t code, uint32_t lParam, uint32_t wParam = 0) {
    if (job.window) job.window->post(code, wParam, lParam);
    shared.imageProduced.store(code == WM_CONVERT_DONE);
    shared.conversionStopped.store(code == WM_JOB_STOPPED);
    shared.convertEvent.set();
}

}  // namespace

std::string copyFailedText(const SongRecord& song) {
    std::string text = kCopyFailedFormat;
    const size_t at = text.find("%s");
    return text.replace(at, 2, fieldText(song.sourcePath));
}

uint32_t convertAllSongs(const ConvertJob& job, SharedState& shared, const std::string& encoderLibrary,
                         const ShowMessageFn& showMessage) {
    // Two raw working files, used in turn: while one song is encoded from one,
    // the next song is decoded into the other on a second thread. Decoding
    // posts nothing, so the messages and the image are those of one song
    // after the other.
    const std::string rawPaths[2] = {shared.path(kRawWorkFile), shared.path(kRawNextWorkFile)};
    const std::string mp3Path = shared.path(kMp3WorkFile);
    const size_t count = job.songs ? std::min<size_t>(job.count, kMaxHeaderSongs) : 0;
    const uint32_t capacity = dataAreaCapacity(shared.storageKB);
    Encoder encoder(encoderLibrary);

    // The decoding of the next song; joined before its result is used and on
    // every way out of the loop.
    struct Ahead {
        std::thread thread;
        uint32_t rate = 0;
        size_t index = SIZE_MAX;
        ~Ahead() { finish(); }
        void finish() {
            if (thread.joinable()) thread.join();
        }
    } ahead;
    auto startAhead = [&](size_t index) {
        ahead.index = index;
        ahead.rate = 0;
        ahead.thread = std::thread([&ahead, &shared, song = &job.songs[index], raw = rawPaths[index % 2]] {
            ahead.rate = songToPcm(*song, shared, raw);
        });
    };

    // Data left by an interrupted earlier job would shift every offset.
    removeFile(mp3Path);
    makeWorkFolder(shared);
    uint32_t offset = job.startOffset;
    uint32_t total = 0;
    bool loadReported = false;
    for (size_t i = 0; i < count; ++i) {
        if (shared.keepConverting.load() == 0 || shared.stopping()) {
            total = 0;
            break;
        }
        SongRecord& song = job.songs[i];
        const std::string& rawPath = rawPaths[i % 2];
        uint32_t rate;
        if (ahead.index == i) {
            ahead.finish();
            rate = ahead.rate;
        } else {
            rate = songToPcm(song, shared, rawPath);
        }
        if (i + 1 < count) startAhead(i + 1);

        uint32_t kept = 0;
        if (rate != 0 && encoder.prepare(rate, job.quality * 8u, outputSampleRate(rate, job.quality)) == kPrepareOk) {
            uint32_t written = 0;
            if (encoder.encode(job.window, song.cutFlag, song.cutLimit, rawPath, mp3Path, written,
                               &shared.stopRequested) == kEncodeOk)
                kept = written;
        } else if (rate != 0 && !encoder.loadError().empty() && !loadReported && showMessage) {
            // Without the encoder no song can be converted: say once what is missing.
            loadReported = true;
            showMessage("The encoder library " + std::string(kEncoderLibraryName) +
                        " could not be loaded: " + encoder.loadError());
        }
        removeFile(rawPath);
        // A stopped song is no failed song: its record keeps what it held.
        if (shared.stopping()) {
            total = 0;
            break;
        }
        if (static_cast<uint64_t>(total) + kept > capacity) kept = 0;
        // Whatever a failed or dropped song appended must not shift the songs after it.
        if (!cutBackTo(mp3Path, total + kept)) {
            total = 0;
            break;
        }
        song.dataSize = kept;
        song.dataOffset = offset;
        total += kept;
        offset += kept;
    }
    ahead.finish();
    removeFile(rawPaths[0]);
    removeFile(rawPaths[1]);
    return total;
}

void runConvertJob(const ConvertJob& job, SharedState& shared, const ShowMessageFn& showMessage,
                   const std::string& encoderLibrary) {
    const std::string mp3Path = shared.path(kMp3WorkFile);
    const std::string imagePath = shared.path(kImageFile);
    const size_t count = std::min<size_t>(job.count, kMaxHeaderSongs);
    // An image from an earlier download must not pass for this one's.
    removeFile(imagePath);

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

    const uint32_t total = convertAllSongs(job, shared, encoderLibrary, showMessage);
    if (shared.stopping()) {
        removeFile(mp3Path);
        finish(job, shared, WM_JOB_STOPPED, 0, kStoppedConversion);
        return;
    }
    if (total == 0) {
        removeFile(mp3Path);
        finish(job, shared, WM_CONVERT_FAILED, 0);
        return;
    }

    // The image must hold exactly the bytes its header announces.
    const bool packed = writeImageHeader(imagePath, job.songs, static_cast<uint16_t>(count), job.totalEstimate,
                                         job.quality) == kPackOk &&
                        appendFile(imagePath, mp3Path) == kPackOk &&
                        fileSize(imagePath) == uint64_t{total} + kStorageHeaderBytes;
    removeFile(mp3Path);
    if (!packed) {
        removeFile(imagePath);
        finish(job, shared, WM_CONVERT_FAILED, 0);
        return;
    }
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
