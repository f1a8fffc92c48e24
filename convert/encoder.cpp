#include "encoder.h"

#include <cerrno>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "fileio.h"
#include "install_paths.h"
#include "songrecord.h"

namespace velmo {

namespace {

// The interface's types: 32-bit results and counts, a pointer-sized handle.
using InitStreamFn = uint32_t (*)(void* config, uint32_t* samples, uint32_t* bufferSize, uintptr_t* stream);
using EncodeChunkFn = uint32_t (*)(uintptr_t stream, uint32_t count, int16_t* samples, uint8_t* out,
                                   uint32_t* outBytes);
using DeinitStreamFn = uint32_t (*)(uintptr_t stream, uint8_t* out, uint32_t* outBytes);
using CloseStreamFn = uint32_t (*)(uintptr_t stream);
using AnyFn = void (*)();

// The extended configuration record (LAME header version 1), little-endian.
constexpr size_t kConfigBytes = 331;
constexpr uint32_t kConfigLame = 256;
constexpr uint32_t kModeMono = 3;
constexpr uint32_t kPresetHighQuality = 2;

void fillConfig(uint8_t* c, uint32_t inputRate, uint32_t outputRate, uint32_t bitrateKbps) {
    std::memset(c, 0, kConfigBytes);
    writeLe32(c + 0, kConfigLame);
    writeLe32(c + 4, 1);             // record version
    writeLe32(c + 8, kConfigBytes);  // record size
    writeLe32(c + 12, inputRate);
    writeLe32(c + 16, outputRate);
    writeLe32(c + 20, kModeMono);
    writeLe32(c + 24, bitrateKbps);
    writeLe32(c + 28, 0);  // maximum bit rate
    writeLe32(c + 32, kPresetHighQuality);
    writeLe32(c + 60, 1);  // original bit
    writeLe32(c + 84, 1);  // no bit reservoir: every frame stands alone, so a cut leaves whole frames
}

bool writeAll(std::FILE* f, const uint8_t* data, size_t n) { return n == 0 || std::fwrite(data, 1, n, f) == n; }

void postProgress(EventSink* events, uint32_t written, uint32_t limit) {
    const uint32_t percent = encodePercent(written, limit);
    if (events && percent != 0) events->post(EncodeProgress{static_cast<int>(percent)});
}

}  // namespace

uint32_t outputSampleRate(uint32_t inputRate, uint16_t quality) {
    if (inputRate == 44100) {
        if (quality == kQualityBest) return 0;
        if (quality == kQualityGood) return 44100;
        return 22050;
    }
    return quality == kQualityNormal ? 22050 : 44100;
}

uint32_t encodePercent(uint32_t written, uint32_t limit) {
    if (limit == 0) return 0;
    // 64-bit product: written x 100 passes 32 bits beyond about 43 MB (a long
    // song at Best), which would show a percentage that wraps around.
    const uint64_t percent = static_cast<uint64_t>(written) * 100u / limit;
    return percent > 100 ? 100 : static_cast<uint32_t>(percent);
}

// The loaded library and its entry points, looked up once per load.
struct Encoder::Binding {
    void* handle = nullptr;
    InitStreamFn initStream = nullptr;
    EncodeChunkFn encodeChunk = nullptr;
    DeinitStreamFn deinitStream = nullptr;
    CloseStreamFn closeStream = nullptr;

    ~Binding() {
        if (handle) ::dlclose(handle);
    }

    // The bound library, or null with `error` saying which file or entry
    // point was missing.
    static std::unique_ptr<Binding> load(const std::string& explicitPath, std::string& error) {
        void* h = nullptr;
        if (!explicitPath.empty()) {
            h = ::dlopen(explicitPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        } else {
            const std::string folder = executableFolder();
            const std::string found = findPrivateFile(folder, kEncoderLibraryName);
            if (!found.empty()) h = ::dlopen(found.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!h) h = ::dlopen(kEncoderLibraryName, RTLD_NOW | RTLD_LOCAL);
        }
        if (!h) {
            const char* why = ::dlerror();
            error = why != nullptr ? why : "cannot load " + (explicitPath.empty() ? kEncoderLibraryName : explicitPath);
            return nullptr;
        }
        auto b = std::make_unique<Binding>();
        b->handle = h;
        std::string missing;
        auto sym = [h, &missing](const char* name) {
            AnyFn f = reinterpret_cast<AnyFn>(::dlsym(h, name));
            if (f == nullptr && missing.empty()) missing = name;
            return f;
        };
        b->initStream = reinterpret_cast<InitStreamFn>(sym("beInitStream"));
        b->encodeChunk = reinterpret_cast<EncodeChunkFn>(sym("beEncodeChunk"));
        b->deinitStream = reinterpret_cast<DeinitStreamFn>(sym("beDeinitStream"));
        b->closeStream = reinterpret_cast<CloseStreamFn>(sym("beCloseStream"));
        // Never called, but a library without them is not the encoder library.
        sym("beVersion");
        sym("beWriteVBRHeader");
        if (!missing.empty()) {
            error = "missing symbol " + missing;
            return nullptr;
        }
        return b;
    }
};

Encoder::Encoder(std::string libraryPath) : libraryPath_(std::move(libraryPath)) {}

Encoder::~Encoder() { closeStream(); }

bool Encoder::libraryLoaded() const { return lib_ != nullptr; }

void Encoder::releaseLibrary() {
    closeStream();
    lib_.reset();
}

void Encoder::closeStream() {
    if (streamOpen_ && lib_) lib_->closeStream(stream_);
    streamOpen_ = false;
    stream_ = 0;
}

bool Encoder::load() {
    if (lib_) return true;
    loadError_.clear();
    lib_ = Binding::load(libraryPath_, loadError_);
    return lib_ != nullptr;
}

int Encoder::prepare(uint32_t inputRate, uint32_t bitrateKbps, uint32_t outputRate) {
    closeStream();
    if (!load()) return kPrepareFailed;
    uint8_t config[kConfigBytes];
    fillConfig(config, inputRate, outputRate, bitrateKbps);
    uint32_t samples = 0, bufferSize = 0;
    uintptr_t stream = 0;
    if (lib_->initStream(config, &samples, &bufferSize, &stream) != 0) return kPrepareFailed;
    // A library that asks for no samples per call would never finish a song.
    if (samples == 0 || bufferSize == 0) {
        lib_->closeStream(stream);
        return kPrepareFailed;
    }
    stream_ = stream;
    streamOpen_ = true;
    samplesPerChunk_ = samples;
    outputBufferSize_ = bufferSize;
    return kPrepareOk;
}

int Encoder::encode(EventSink* events, uint8_t cutFlag, uint32_t limit, const std::string& pcmPath,
                    const std::string& mp3Path, uint32_t& bytesWritten, const std::atomic<bool>* stop) {
    if (!streamOpen_ || !lib_) return kEncodeNoResources;
    FilePtr pcm = openRegularFileForReading(pcmPath);
    if (!pcm) {
        closeStream();
        return kEncodeNoResources;
    }
    FilePcmSource source(pcm.get());
    return encode(events, cutFlag, limit, source, mp3Path, bytesWritten, stop);
}

int Encoder::encode(EventSink* events, uint8_t cutFlag, uint32_t limit, PcmSource& pcm, const std::string& mp3Path,
                    uint32_t& bytesWritten, const std::atomic<bool>* stop, const OutputWatch& onOutput) {
    if (!streamOpen_ || !lib_) return kEncodeNoResources;
    struct StreamGuard {
        Encoder* e;
        ~StreamGuard() { e->closeStream(); }
    } guard{this};

    const size_t chunkBytes = static_cast<size_t>(samplesPerChunk_) * 2;
    std::vector<uint8_t> output(outputBufferSize_);
    std::vector<uint8_t> input(chunkBytes);
    std::vector<int16_t> samples(samplesPerChunk_);

    writeError_ = 0;
    // A write that fails keeps the system's reason: a full disk is told as such.
    const auto writeFailed = [this](int code) {
        writeError_ = errno != 0 ? errno : EIO;
        return code;
    };
    errno = 0;
    FilePtr mp3(std::fopen(mp3Path.c_str(), "ab"));
    if (!mp3) return writeFailed(kEncodeNoResources);
    // Each chunk's output goes straight to the file, so a failed write is
    // seen at that chunk and not at some later flush.
    std::setvbuf(mp3.get(), nullptr, _IONBF, 0);

    uint32_t written = 0;
    for (;;) {
        if (stop != nullptr && stop->load()) return kEncodeStopped;
        const size_t got = pcm.read(input.data(), chunkBytes);
        if (got < chunkBytes && pcm.failed()) return kEncodeNoResources;
        if (got == 0) break;
        // The song's end is padded with silence to a whole chunk; an odd
        // trailing byte is no sample and is silenced too.
        const size_t whole = got / 2 * 2;
        std::memset(input.data() + whole, 0, chunkBytes - whole);
        for (uint32_t i = 0; i < samplesPerChunk_; ++i)
            samples[i] = static_cast<int16_t>(readLe16(input.data() + 2 * static_cast<size_t>(i)));

        uint32_t outBytes = 0;
        const uint32_t err = lib_->encodeChunk(stream_, samplesPerChunk_, samples.data(), output.data(), &outBytes);
        if (cutFlag && written >= limit) break;
        if (err != 0) return kEncodeChunkFailed;
        if (outBytes > outputBufferSize_) return kEncodeChunkFailed;
        errno = 0;
        if (!writeAll(mp3.get(), output.data(), outBytes)) return writeFailed(kEncodeWriteFailed);
        written += outBytes;
        postProgress(events, written, limit);
        if (onOutput && outBytes != 0) onOutput(written);
    }

    uint32_t finalBytes = 0;
    if (lib_->deinitStream(stream_, output.data(), &finalBytes) != 0) return kEncodeFlushFailed;
    if (finalBytes > outputBufferSize_) return kEncodeFlushFailed;
    if (finalBytes > 0) {
        errno = 0;
        if (!writeAll(mp3.get(), output.data(), finalBytes)) return writeFailed(kEncodeFinalWriteFailed);
        written += finalBytes;
        postProgress(events, written, limit);
    }
    // The stream is unbuffered, so every byte has been handed to the system
    // already; the close below still reports a failure the system saw late.
    postProgress(events, written, written);

    closeStream();
    errno = 0;
    if (std::fclose(mp3.release()) != 0) return writeFailed(kEncodeFinalWriteFailed);
    bytesWritten = written;
    lib_.reset();
    return kEncodeOk;
}

}  // namespace velmo
