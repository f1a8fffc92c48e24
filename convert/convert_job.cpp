#include "convert_job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "clock_form.h"
#include "convert_pool.h"
#include "encoder.h"
#include "fileio.h"
#include "loudness.h"
#include "packaging.h"
#include "pcm_stream.h"
#include "song_reader.h"
#include "storage_layout.h"
#include "terminal_text.h"
#include "translation.h"

namespace velmo {

namespace {

namespace fs = std::filesystem;

constexpr size_t kCopyBufferBytes = 1 << 20;

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

bool makeWorkFolder(const WorkContext& ctx) { return makeOwnFolder(ctx.path(kWorkDir)); }

}  // namespace

std::string makeWorkingCopy(const Song& song, const WorkContext& ctx, const std::atomic<bool>& stop) {
    const std::string source = fieldText(song.sourcePath);
    const std::string work = fieldText(song.workPath);
    if (source.empty() || work.empty()) return copyFailedText(song);
    const std::string src = ctx.path(source);
    const std::string dst = ctx.path(work);
    // The reason, as the system gives it, for the file that failed.
    const auto failed = [&song](const char* verb, const std::string& path, int error) {
        if (error == ENAMETOOLONG) return copyFailedText(song);
        // Whole sentences for the translations: the verb names one of them.
        const char* sentence =
            std::strcmp(verb, "Cannot read") == 0 ? tr_("Cannot read %s: %s") : tr_("Cannot write %s: %s");
        return format(sentence, path.c_str(), error != 0 ? std::strerror(error) : tr_("not a regular file"));
    };

    errno = 0;
    FilePtr in = openRegularFileForReading(src);
    const std::optional<uint64_t> size = fileSize(in.get());
    if (!in || !size) return failed("Cannot read", src, errno);
    // A song chosen from the working folder itself is its own copy; opening
    // it for writing would destroy it.
    std::error_code ec;
    if (fs::equivalent(src, dst, ec)) return {};
    errno = 0;
    if (!makeWorkFolder(ctx)) return failed("Cannot write", dst, errno != 0 ? errno : EIO);

    std::vector<uint8_t> buf(kCopyBufferBytes);
    errno = 0;
    FilePtr out = createFileForWriting(dst);
    if (!out) return failed("Cannot write", dst, errno != 0 ? errno : EIO);
    std::string why;
    uint64_t remaining = *size;
    while (why.empty() && remaining > 0 && !stop.load()) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kCopyBufferBytes));
        errno = 0;
        if (std::fread(buf.data(), 1, want, in.get()) != want)
            why = failed("Cannot read", src, errno != 0 ? errno : EIO);
        else if (std::fwrite(buf.data(), 1, want, out.get()) != want)
            why = failed("Cannot write", dst, errno != 0 ? errno : EIO);
        remaining -= want;
    }
    errno = 0;
    // A full disk may only show when the file is closed.
    if (std::fclose(out.release()) != 0 && why.empty()) why = failed("Cannot write", dst, errno != 0 ? errno : EIO);
    if (why.empty() && remaining != 0 && !stop.load()) why = failed("Cannot read", src, EIO);
    struct stat written {};
    if ((!why.empty() || remaining != 0) && ::stat(dst.c_str(), &written) == 0 && S_ISREG(written.st_mode))
        removeFile(dst);
    return why;
}

namespace {

// Posts the end event, then releases the write worker. Runs exactly once per
// job. In this order the receiver has the conversion's end before the write
// can post its own (DownloadDone needs ConvertDone's figures).
void finish(const ConvertJob& job, Event end) {
    const bool image = std::holds_alternative<ConvertDone>(end);
    if (job.events) job.events->post(std::move(end));
    if (job.handOver) job.handOver->finish(image ? ImageHandOver::End::Image : ImageHandOver::End::NoImage);
}

// The system's error number of the write that just failed, never 0.
int failedWriteError() { return errno != 0 ? errno : EIO; }

// The header's place in a new image: zeros until the songs are all placed.
bool startImage(const std::string& imagePath) {
    errno = 0;
    FilePtr f = createFileForWriting(imagePath);
    if (!f) return false;
    const std::vector<uint8_t> zeros(kStorageHeaderBytes, 0);
    const bool ok = std::fwrite(zeros.data(), 1, zeros.size(), f.get()) == zeros.size();
    return std::fclose(f.release()) == 0 && ok;
}

// Appends bytes [from, to) of the song's MP3 file to the image.
bool appendSongBytes(const std::string& imagePath, const std::string& mp3Path, uint32_t from, uint32_t to) {
    FilePtr src = openRegularFileForReading(mp3Path);
    if (!src || std::fseek(src.get(), static_cast<long>(from), SEEK_SET) != 0) return false;
    FilePtr dst(std::fopen(imagePath.c_str(), "ab"));
    if (!dst) return false;
    std::vector<uint8_t> buf(std::min<size_t>(to - from, kCopyBufferBytes));
    for (uint32_t at = from; at < to;) {
        const size_t want = std::min<size_t>(to - at, buf.size());
        if (std::fread(buf.data(), 1, want, src.get()) != want) return false;
        errno = 0;
        if (std::fwrite(buf.data(), 1, want, dst.get()) != want) return false;
        at += static_cast<uint32_t>(want);
    }
    errno = 0;
    return std::fclose(dst.release()) == 0;
}

// Where the job stands: what the songs taken so far keep.
struct Placed {
    uint32_t total = 0;  // data bytes in the image
    uint32_t offset = 0;
};

// A Download's head song, while it encodes: its bytes go into the image and
// to the write as they come, up to what the data area still holds. Returns
// the bytes of it the image holds, or nothing when the image could not be
// written. The song's fate is not known yet: the caller keeps or retracts them.
std::optional<uint32_t> streamHeadSong(ConvertPool& pool, size_t i, const ConvertJob& job, const WorkContext& ctx,
                                       const std::string& imagePath, uint32_t total, uint32_t capacity) {
    const std::string mp3Path = ctx.path(songMp3WorkFile(i));
    uint32_t streamed = 0;
    uint32_t seen = 0;
    for (;;) {
        const ConvertPool::Output out = pool.waitForOutput(i, seen);
        if (out.done) return streamed;
        seen = out.written;
        // Past the data area's end the song can only be dropped (unless it
        // is cut to fit): its bytes wait for its end.
        const uint32_t upTo = std::min(out.written, capacity - total);
        if (upTo <= streamed) continue;
        if (!appendSongBytes(imagePath, mp3Path, streamed, upTo)) return std::nullopt;
        streamed = upTo;
        job.handOver->publish(total + streamed);
    }
}

// The song loop: converts songs 0 to min(count, 32) - 1 on the job's workers
// and takes their results in list order: each song's data is appended to
// `imagePath` (which must exist, holding the header's place) and its place in
// fate.placements is set. Returns the bytes kept (0 when the stop was
// seen or nothing was kept). A song that cannot be converted, or that would
// pass the data-area capacity, keeps nothing: size 0 at the running offset.
// `fate` receives what became of each song that keeps no data (could not be
// converted, with the cause when a write failed, or did not fit) and each
// song's real size; `copyFailure` the message of the first working copy that
// could not be made, at which the loop ends; `imageError` the error number of
// a write of the image that failed (the loop ends there too, keeping nothing).
uint32_t convertAllSongs(const ConvertJob& job, const WorkContext& ctx, const std::atomic<bool>& stop,
                         const std::string& imagePath, const std::string& encoderLibrary, ConvertDone& fate,
                         std::string& copyFailure, int& imageError) {
    const size_t count = std::min<size_t>(job.songs.size(), kMaxHeaderSongs);
    const uint32_t capacity = dataAreaCapacity(ctx.storageKB);
    makeWorkFolder(ctx);
    const auto started = [&job, count](size_t position, size_t startedAs) {
        if (job.events)
            job.events->post(SongStarted{static_cast<uint16_t>(position), static_cast<uint16_t>(startedAs),
                                         static_cast<uint16_t>(count)});
    };
    ConvertPool pool(job.songs.data(), count, job.quality, ctx, stop, job.workers, capacity, encoderLibrary,
                     job.handOver != nullptr, job.evenVolume, started);

    // The results are taken in list order, so offsets, the capacity and the
    // songs passed over come out as they would from one song after another.
    uint32_t offset = job.startOffset;
    uint32_t total = 0;
    uint32_t shownPercent = 0;
    bool loadReported = false;
    fate.convertedBytes.assign(count, 0);
    const auto imageFailed = [&] {
        imageError = failedWriteError();
        total = 0;
    };
    for (size_t i = 0; i < count; ++i) {
        if (stop.load()) {
            total = 0;
            break;
        }
        // A Download's clock is written from the song at the head of the
        // list while it encodes, not once it is done.
        uint32_t streamed = 0;
        if (job.handOver && total < capacity) {
            const std::optional<uint32_t> s = streamHeadSong(pool, i, job, ctx, imagePath, total, capacity);
            if (!s) {
                imageFailed();
                break;
            }
            streamed = *s;
        }
        ConvertPool::Result r = pool.take(i);
        if (stop.load() || (!r.started && total < capacity)) {
            total = 0;
            break;
        }
        SongPlacement& placement = fate.placements[i];
        if (!r.copyFailure.empty()) {
            copyFailure = r.copyFailure;
            total = 0;
            break;
        }
        if (r.copied) placement.copyMade = true;
        const std::string mp3Path = ctx.path(songMp3WorkFile(i));
        uint32_t kept = 0;
        if (r.song.result == SongConversion::Converted) fate.convertedBytes[i] = r.song.bytes;
        // Whether a worker reached this song depends on timing; once the data
        // area is full the song is passed over whatever became of it, and it
        // did not fit, whatever the estimates said.
        if (total >= capacity) {
            fate.didNotFit.push_back(static_cast<uint16_t>(i));
        } else {
            if (r.song.result == SongConversion::Converted && r.song.bytes != 0) {
                kept = r.song.bytes;
                if (static_cast<uint64_t>(total) + kept > capacity) {
                    kept = 0;
                    fate.didNotFit.push_back(static_cast<uint16_t>(i));
                }
            } else {
                fate.unconverted.push_back(static_cast<uint16_t>(i));
                fate.unconvertedErrors.push_back(r.song.result == SongConversion::Converted ? 0 : r.song.errorNumber);
                if (!r.song.encoderLoadError.empty() && !loadReported && job.events) {
                    // Without the encoder no song can be converted: say once what is missing.
                    loadReported = true;
                    job.events->post(ConvertNotice{format(tr_("The encoder library %s could not be loaded: %s"),
                                                          kEncoderLibraryName, r.song.encoderLoadError.c_str())});
                }
            }
        }
        if (kept == 0 && streamed != 0) {
            // Bytes of a song that is not kept went to the write already: they
            // leave the image, and the write goes back over them.
            const uint64_t keep = uint64_t{kStorageHeaderBytes} + total;
            bool truncated = false;
            errno = 0;
            job.handOver->retract(total, [&] { truncated = ::truncate(imagePath.c_str(), keep) == 0; });
            if (!truncated) {
                imageFailed();
                break;
            }
        }
        errno = 0;
        if (kept != 0 && ((kept > streamed && !appendSongBytes(imagePath, mp3Path, streamed, kept)) ||
                          fileSize(imagePath) != uint64_t{kStorageHeaderBytes} + total + kept)) {
            imageFailed();
            break;
        }
        removeFile(mp3Path);
        placement.placed = true;
        placement.dataSize = kept;
        placement.dataOffset = offset;
        if (job.events) job.events->post(SongPlaced{static_cast<uint16_t>(i), offset, kept});
        total += kept;
        offset += kept;
        pool.setKeptTotal(total);
        if (kept != 0) {
            if (job.handOver) {
                job.handOver->publish(total);
            } else {
                const uint32_t percent = encodePercent(total, job.totalEstimate);
                if (job.events && percent > shownPercent) {
                    shownPercent = percent;
                    job.events->post(EncodeProgress{static_cast<int>(percent)});
                }
            }
        }
    }
    pool.cancel();
    return total;
}

}  // namespace

void applyPlacement(const SongPlacement& placement, Song& song) {
    if (placement.copyMade) song.copyPending = 0;
    if (!placement.placed) return;
    song.dataOffset = placement.dataOffset;
    song.dataSize = placement.dataSize;
}

std::string copyFailedText(const Song& song) {
    return format(tr_(kCopyFailedFormat), messageName(fieldText(song.sourcePath)).c_str());
}

std::string songPcmWorkFile(size_t position) { return "./dat/raw-" + std::to_string(position) + ".tmp"; }

std::string songMp3WorkFile(size_t position) { return "./dat/mp3-" + std::to_string(position) + ".tmp"; }

namespace {

// Even volume: the whole song is decoded into `pcmPath` and measured, then
// encoded from there with the gain the measurement gives; should its decoded
// MP3 still peak above kEvenVolumePeakDbfs, it is encoded again with less.
SongConversionResult convertSongEvenly(const Song& song, uint16_t quality, const std::string& source, Encoder& encoder,
                                       const std::string& mp3Path, const std::atomic<bool>& stop,
                                       const Encoder::OutputWatch& onOutput, const std::string& pcmPath) {
    SongConversionResult out;
    // A long song's PCM is large: it goes whatever ends the song.
    struct RemoveAtEnd {
        const std::string& path;
        ~RemoveAtEnd() { removeFile(path); }
    } removePcm{pcmPath};

    uint32_t rate = 0;
    double gain = 1.0;
    double pcmPeak = 0;
    {
        errno = 0;
        FilePtr file = createFileForWriting(pcmPath);
        if (!file) {
            out.errorNumber = errno != 0 ? errno : EIO;
            return out;
        }
        FilePcmSink sink(file.get());
        LoudnessMeter meter(sink);
        rate = decodeSong(source, meter, &stop);
        out.errorNumber = sink.error();
        errno = 0;
        if (std::fclose(file.release()) != 0) {
            rate = 0;
            if (out.errorNumber == 0) out.errorNumber = errno != 0 ? errno : EIO;
        }
        // The PCM is whole only when every write of it went through.
        if (out.errorNumber != 0) rate = 0;
        if (meter.measured()) {
            pcmPeak = meter.samplePeak();
            gain = evenVolumeGain(meter.integratedLoudness(), pcmPeak);
        }
    }
    // Our decoder and another may differ by a rounding: a hair of room.
    const double peakLimit = std::pow(10.0, (kEvenVolumePeakDbfs - 0.05) / 20.0);
    // A song left as it is has the peaks it had; one given a gain keeps the promise.
    const bool checkPeak =
        gain != 1.0 && pcmPeak * gain > peakLimit * std::pow(10.0, -kEvenVolumeCheckedRangeDb / 20.0);
    constexpr int kMaxEncodings = 4;
    for (int encoding = 1; rate != 0 && !stop.load(); ++encoding) {
        FilePtr file = openRegularFileForReading(pcmPath);
        if (!file) return out;
        if (encoder.prepare(rate, quality * 8u, outputSampleRate(rate, quality)) != kPrepareOk) {
            out.encoderLoadError = encoder.loadError();
            break;
        }
        FilePcmSource pcm(file.get());
        GainPcmSource scaled(pcm, gain);
        uint32_t written = 0;
        removeFile(mp3Path);
        // The bytes are told only once they are the song's for good.
        if (encoder.encode(nullptr, song.cutFlag, song.cutLimit, scaled, mp3Path, written, &stop) != kEncodeOk) break;
        // What the decoder cannot read back (it was stopped) is kept as the
        // encoder made it: the check only ever lowers a gain.
        const double peak = checkPeak ? mp3SamplePeak(mp3Path, &stop) : 0;
        if (peak > peakLimit && encoding < kMaxEncodings) {
            // The overshoot grows with the gain almost in proportion; each
            // further try takes a little more off, so that it ends.
            gain *= peakLimit / peak * std::pow(10.0, -0.1 * encoding / 20.0);
            continue;
        }
        out.result = SongConversion::Converted;
        out.bytes = written;
        if (onOutput) onOutput(written);
        break;
    }
    if (stop.load()) out = SongConversionResult{SongConversion::Stopped, 0, {}};
    return out;
}

// Discards what it is given: a song is only measured.
class DiscardPcmSink : public PcmSink {
  public:
    void begin(uint32_t) override {}
    bool write(const uint8_t*, size_t) override { return true; }
};

// A song already in the clock's form at `quality` (clock_form.h) has its
// frames copied: encoding it again would only lose quality. With even volume
// it is measured first, and copied only when its loudness is already the
// even one (within kEvenVolumeCopyToleranceDb). Nothing when the song is to be
// encoded.
std::optional<SongConversionResult> copySongInClockForm(const Song& song, uint16_t quality, const std::string& source,
                                                        const std::string& mp3Path, const std::atomic<bool>& stop,
                                                        const Encoder::OutputWatch& onOutput, bool evenVolume) {
    const ClockFormAudio audio = findClockFormAudio(source, quality, &stop);
    if (!audio.inForm) return std::nullopt;
    if (evenVolume) {
        DiscardPcmSink discard;
        LoudnessMeter meter(discard);
        if (decodeSong(source, meter, &stop) == 0 || !meter.measured()) return std::nullopt;
        const double gain = evenVolumeGain(meter.integratedLoudness(), meter.samplePeak());
        if (!(std::fabs(20.0 * std::log10(gain)) <= kEvenVolumeCopyToleranceDb)) return std::nullopt;
    }
    SongConversionResult out;
    uint32_t written = 0;
    const int copied =
        copyClockFormFrames(source, audio, quality, song.cutFlag, song.cutLimit, mp3Path, written, &stop, onOutput);
    if (copied == kCopyOk) {
        out.result = SongConversion::Converted;
        out.bytes = written;
    }
    if (stop.load()) out = SongConversionResult{SongConversion::Stopped, 0, {}};
    return out;
}

}  // namespace

SongConversionResult convertSong(const Song& song, uint16_t quality, const WorkContext& ctx, Encoder& encoder,
                                 const std::string& mp3Path, const std::atomic<bool>& stop,
                                 const Encoder::OutputWatch& onOutput, const std::string& evenVolumePcm) {
    SongConversionResult out;
    // The song's MP3 file starts empty: the encoder appends.
    removeFile(mp3Path);
    const std::string work = fieldText(song.workPath);
    if (work.empty()) return out;
    if (std::optional<SongConversionResult> copied =
            copySongInClockForm(song, quality, ctx.path(work), mp3Path, stop, onOutput, !evenVolumePcm.empty()))
        return *copied;
    if (!evenVolumePcm.empty())
        return convertSongEvenly(song, quality, ctx.path(work), encoder, mp3Path, stop, onOutput, evenVolumePcm);

    PcmPipe pcm(kPcmQueueBytes);
    uint32_t decodedRate = 0;
    std::thread decoder([&] {
        decodedRate = decodeSong(ctx.path(work), pcm, &stop);
        pcm.endWriting();
    });
    // Whatever ends the encoding, the decoder is released and joined.
    struct Join {
        std::thread& thread;
        PcmPipe& pipe;
        void now() {
            pipe.endReading();
            if (thread.joinable()) thread.join();
        }
        ~Join() { now(); }
    } join{decoder, pcm};

    const uint32_t rate = pcm.waitForRate();
    bool encoded = false;
    uint32_t written = 0;
    if (rate != 0 && !stop.load()) {
        if (encoder.prepare(rate, quality * 8u, outputSampleRate(rate, quality)) == kPrepareOk) {
            encoded = encoder.encode(nullptr, song.cutFlag, song.cutLimit, pcm, mp3Path, written, &stop, onOutput) ==
                      kEncodeOk;
            // A song cut short needs no more samples, but it is usable only
            // when the rest of it decodes too.
            if (encoded) pcm.discardFromNowOn();
        } else {
            out.encoderLoadError = encoder.loadError();
        }
    }
    join.now();
    if (encoded && decodedRate == rate) {
        out.result = SongConversion::Converted;
        out.bytes = written;
    }
    if (stop.load()) out = SongConversionResult{SongConversion::Stopped, 0, {}};
    return out;
}

void runConvertJob(const ConvertJob& job, const WorkContext& ctx, const std::atomic<bool>& stop,
                   const std::string& encoderLibrary) {
    const std::string imagePath = ctx.path(kImageFile);
    // An image that goes while a Download's write may be reading it goes
    // under the hand-over's lock.
    const auto dropImage = [&] {
        if (job.handOver)
            job.handOver->withdrawAll([&] { removeFile(imagePath); });
        else
            removeFile(imagePath);
    };
    const size_t count = std::min<size_t>(job.songs.size(), kMaxHeaderSongs);
    // An image from an earlier download must not pass for this one's, and
    // files an interrupted earlier run left would only take room.
    removeFile(imagePath);
    for (const char* name : {kMp3WorkFile, kRawWorkFile, kRawNextWorkFile}) removeFile(ctx.path(name));

    makeWorkFolder(ctx);
    ConvertDone fate;
    fate.placements.assign(job.songs.size(), SongPlacement{});
    std::string copyFailure;
    int imageError = 0;
    uint32_t total = 0;
    if (startImage(imagePath))
        total = convertAllSongs(job, ctx, stop, imagePath, encoderLibrary, fate, copyFailure, imageError);
    else
        imageError = failedWriteError();
    if (stop.load()) {
        dropImage();
        finish(job, JobStopped{StoppedWorker::Conversion, false, std::move(fate.placements)});
        return;
    }
    if (!copyFailure.empty()) {
        dropImage();
        finish(job, ConvertAborted{copyFailure, std::move(fate.placements)});
        return;
    }
    // The image must hold exactly the bytes its header announces. Its total
    // is the data the songs really take, not the list's estimate: the clock
    // is told what it holds, and a list copied back from the clock packs to
    // the same header.
    bool packed = false;
    if (total != 0) {
        // The header describes the songs as the job placed them.
        std::vector<Song> placed(job.songs.begin(), job.songs.begin() + static_cast<std::ptrdiff_t>(count));
        for (size_t i = 0; i < count; ++i) applyPlacement(fate.placements[i], placed[i]);
        errno = 0;
        packed = overwriteImageHeader(imagePath, placed.data(), static_cast<uint16_t>(count), total, job.quality) ==
                     kPackOk &&
                 fileSize(imagePath) == uint64_t{total} + kStorageHeaderBytes;
        if (!packed) imageError = failedWriteError();
    }
    // Nothing kept because every song's own write failed: that is the cause.
    for (size_t i = 0; !packed && imageError == 0 && i < fate.unconvertedErrors.size(); ++i)
        imageError = fate.unconvertedErrors[i];
    if (!packed) {
        dropImage();
        finish(job, ConvertFailed{imageError, std::move(fate.placements)});
        return;
    }
    if (!job.handOver && job.events) job.events->post(EncodeProgress{100});
    const uint64_t size = fileSize(imagePath).value_or(0);
    const uint32_t limit = imageCapacity(ctx.storageKB);
    fate.imageBytes = size > limit ? limit : total + kStorageHeaderBytes;
    finish(job, std::move(fate));
}

}  // namespace velmo
