// liblame_enc.so: LAME's encoder library interface over Debian's libmp3lame.
//
// The configuration record is read field by field (little-endian, as the
// interface defines it) after its kind, version and size have been checked,
// so a caller's short or foreign record is refused before anything past its
// first 12 bytes is touched. Handles are checked against the streams this
// library made, so a stale or foreign handle is an error, not a crash.
#include "lame_enc.h"

#include <lame/lame.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "bytes.h"

#define LAME_ENC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr BYTE kLibraryMajor = 1;
constexpr BYTE kLibraryMinor = 0;
constexpr BYTE kReleaseDay = 1;
constexpr BYTE kReleaseMonth = 6;
constexpr WORD kReleaseYear = 2024;

struct LameCloser {
    void operator()(lame_global_flags* gf) const { lame_close(gf); }
};
using LamePtr = std::unique_ptr<lame_global_flags, LameCloser>;

struct Stream {
    LamePtr lame;
    DWORD samplesPerChunk = 0;
    DWORD outputBufferSize = 0;
    int channels = 1;
    bool writesVbrHeader = false;
    bool flushed = false;
};

std::mutex gInitMutex;       // one stream set up at a time
std::mutex gMutex;           // guards the two below
std::set<Stream*> gStreams;  // every stream handed out and not yet closed
LamePtr gVbrStream;          // the last closed stream that wants its Xing header

// LAME reports through printf-like callbacks; a library has no console to use.
void quiet(const char*, va_list) {}

// The settings the record carries, read at their fixed offsets.
struct Settings {
    DWORD sampleRate, reSampleRate;
    LONG mode;
    DWORD bitrate, maxBitrate;
    LONG preset;
    DWORD emphasis;
    BOOL isPrivate, crc, copyright, original, writeVbrHeader, enableVbr;
    INT vbrQuality;
    DWORD vbrAbrBps;
    LONG vbrMethod;
    BOOL noReservoir, strictIso;
    WORD quality;
};

Settings readSettings(const uint8_t* p) {
    using velmo::readLe16;
    using velmo::readLe32;
    Settings s{};
    s.sampleRate = readLe32(p + 12);
    s.reSampleRate = readLe32(p + 16);
    s.mode = static_cast<LONG>(readLe32(p + 20));
    s.bitrate = readLe32(p + 24);
    s.maxBitrate = readLe32(p + 28);
    s.preset = static_cast<LONG>(readLe32(p + 32));
    // 36 MPEG version and 40 psychoacoustic model: LAME derives both itself.
    s.emphasis = readLe32(p + 44);
    s.isPrivate = static_cast<BOOL>(readLe32(p + 48));
    s.crc = static_cast<BOOL>(readLe32(p + 52));
    s.copyright = static_cast<BOOL>(readLe32(p + 56));
    s.original = static_cast<BOOL>(readLe32(p + 60));
    s.writeVbrHeader = static_cast<BOOL>(readLe32(p + 64));
    s.enableVbr = static_cast<BOOL>(readLe32(p + 68));
    s.vbrQuality = static_cast<INT>(readLe32(p + 72));
    s.vbrAbrBps = readLe32(p + 76);
    s.vbrMethod = static_cast<LONG>(readLe32(p + 80));
    s.noReservoir = static_cast<BOOL>(readLe32(p + 84));
    s.strictIso = static_cast<BOOL>(readLe32(p + 88));
    s.quality = readLe16(p + 92);
    return s;
}

bool isLayer3Bitrate(DWORD kbps) {
    static const DWORD rates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256, 320};
    for (DWORD r : rates)
        if (r == kbps) return true;
    return false;
}

bool isMpegSampleRate(DWORD hz) {
    static const DWORD rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    for (DWORD r : rates)
        if (r == hz) return true;
    return false;
}

// LAME's quality for a preset code; -1 leaves LAME's default.
int presetQuality(LONG preset) {
    switch (preset) {
        case LQP_NORMAL_QUALITY:
            return 5;
        case LQP_LOW_QUALITY:
            return 7;
        case LQP_HIGH_QUALITY:
            return 2;
        case LQP_VOICE_QUALITY:
            return 5;
        case LQP_R3MIX:
            return 2;
        case LQP_VERYHIGH_QUALITY:
            return 0;
        default:
            return -1;
    }
}

vbr_mode vbrModeFor(LONG method) {
    switch (method) {
        case VBR_METHOD_OLD:
            return vbr_rh;
        case VBR_METHOD_NEW:
        case VBR_METHOD_MTRH:
            return vbr_mtrh;
        case VBR_METHOD_ABR:
            return vbr_abr;
        default:
            return vbr_default;
    }
}

BE_ERR configure(lame_global_flags* gf, const Settings& s, int channels) {
    lame_set_errorf(gf, quiet);
    lame_set_debugf(gf, quiet);
    lame_set_msgf(gf, quiet);
    lame_set_in_samplerate(gf, static_cast<int>(s.sampleRate));
    lame_set_out_samplerate(gf, static_cast<int>(s.reSampleRate));
    lame_set_num_channels(gf, channels);
    static const MPEG_mode modes[] = {STEREO, JOINT_STEREO, DUAL_CHANNEL, MONO};
    lame_set_mode(gf, modes[s.mode]);
    int quality = presetQuality(s.preset);
    if (quality >= 0) lame_set_quality(gf, quality);
    const unsigned low = s.quality & 0xFFu, high = (s.quality >> 8) & 0xFFu;
    if (high == (~low & 0xFFu) && low <= 9) lame_set_quality(gf, static_cast<int>(low));
    lame_set_emphasis(gf, static_cast<int>(s.emphasis));
    lame_set_extension(gf, s.isPrivate ? 1 : 0);
    lame_set_error_protection(gf, s.crc ? 1 : 0);
    lame_set_copyright(gf, s.copyright ? 1 : 0);
    lame_set_original(gf, s.original ? 1 : 0);
    lame_set_strict_ISO(gf, s.strictIso ? 1 : 0);
    lame_set_disable_reservoir(gf, s.noReservoir ? 1 : 0);
    lame_set_bWriteVbrTag(gf, s.writeVbrHeader ? 1 : 0);
    if (s.enableVbr) {
        const vbr_mode vm = vbrModeFor(s.vbrMethod);
        lame_set_VBR(gf, vm);
        lame_set_VBR_q(gf, s.vbrQuality);
        if (s.bitrate) lame_set_VBR_min_bitrate_kbps(gf, static_cast<int>(s.bitrate));
        if (s.maxBitrate) lame_set_VBR_max_bitrate_kbps(gf, static_cast<int>(s.maxBitrate));
        if (vm == vbr_abr) lame_set_VBR_mean_bitrate_kbps(gf, static_cast<int>(s.vbrAbrBps / 1000));
    } else {
        lame_set_VBR(gf, vbr_off);
        lame_set_brate(gf, static_cast<int>(s.bitrate));
    }
    if (lame_init_params(gf) < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    // LAME quietly moves a constant rate that the output's MPEG version lacks
    // to the nearest one it has; the caller asked for exactly this rate.
    if (!s.enableVbr && lame_get_brate(gf) != static_cast<int>(s.bitrate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    return BE_ERR_SUCCESSFUL;
}

// Looks a handle up among the open streams; null when it is not one of ours.
Stream* findStream(HBE_STREAM handle) {
    Stream* s = reinterpret_cast<Stream*>(handle);
    std::lock_guard<std::mutex> lock(gMutex);
    return gStreams.count(s) ? s : nullptr;
}

}  // namespace

LAME_ENC_EXPORT BE_ERR beInitStream(BE_CONFIG* config, DWORD* samplesPerChunk, DWORD* outputBufferSize,
                                    HBE_STREAM* stream) {
    if (!config || !samplesPerChunk || !outputBufferSize || !stream) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(config);
    if (velmo::readLe32(p) != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
    if (velmo::readLe32(p + 4) != CURRENT_STRUCT_VERSION || velmo::readLe32(p + 8) != CURRENT_STRUCT_SIZE)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    const Settings s = readSettings(p);
    if (s.mode < BE_MP3_MODE_STEREO || s.mode > BE_MP3_MODE_MONO) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (s.sampleRate == 0 || s.sampleRate > 192000) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (s.reSampleRate != 0 && !isMpegSampleRate(s.reSampleRate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (!s.enableVbr && !isLayer3Bitrate(s.bitrate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (s.emphasis > 3) return BE_ERR_INVALID_FORMAT_PARAMETERS;

    auto st = std::make_unique<Stream>();
    st->channels = s.mode == BE_MP3_MODE_MONO ? 1 : 2;
    {
        // LAME fills process-wide tables (quantisation powers, the log table)
        // each time a stream is set up; streams opened on several threads at
        // once must not fill them together.
        std::lock_guard<std::mutex> lock(gInitMutex);
        st->lame.reset(lame_init());
        if (!st->lame) return BE_ERR_NO_MORE_HANDLES;
        const BE_ERR err = configure(st->lame.get(), s, st->channels);
        if (err != BE_ERR_SUCCESSFUL) return err;
    }

    st->samplesPerChunk = static_cast<DWORD>(lame_get_framesize(st->lame.get()) * st->channels);
    st->outputBufferSize = st->samplesPerChunk * 5 / 4 + 7200;
    st->writesVbrHeader = s.writeVbrHeader != 0;
    *samplesPerChunk = st->samplesPerChunk;
    *outputBufferSize = st->outputBufferSize;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gStreams.insert(st.get());
    }
    *stream = reinterpret_cast<HBE_STREAM>(st.release());
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT BE_ERR beEncodeChunk(HBE_STREAM handle, DWORD sampleCount, int16_t* samples, BYTE* output,
                                     DWORD* outputBytes) {
    Stream* st = findStream(handle);
    if (!st || st->flushed) return BE_ERR_INVALID_HANDLE;
    if (!output || !outputBytes || (sampleCount && !samples)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    // The caller's buffer was sized for one chunk; more input could overrun it.
    if (sampleCount > st->samplesPerChunk) return BE_ERR_BUFFER_TOO_SMALL;
    int n;
    if (st->channels == 1) {
        n = lame_encode_buffer(st->lame.get(), samples, samples, static_cast<int>(sampleCount), output,
                               static_cast<int>(st->outputBufferSize));
    } else {
        n = lame_encode_buffer_interleaved(st->lame.get(), samples, static_cast<int>(sampleCount / 2), output,
                                           static_cast<int>(st->outputBufferSize));
    }
    if (n == -1) return BE_ERR_BUFFER_TOO_SMALL;
    if (n < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *outputBytes = static_cast<DWORD>(n);
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT BE_ERR beDeinitStream(HBE_STREAM handle, BYTE* output, DWORD* outputBytes) {
    Stream* st = findStream(handle);
    if (!st || st->flushed) return BE_ERR_INVALID_HANDLE;
    if (!output || !outputBytes) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const int n = lame_encode_flush(st->lame.get(), output, static_cast<int>(st->outputBufferSize));
    if (n == -1) return BE_ERR_BUFFER_TOO_SMALL;
    if (n < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    st->flushed = true;
    *outputBytes = static_cast<DWORD>(n);
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT BE_ERR beCloseStream(HBE_STREAM handle) {
    std::unique_ptr<Stream> st;
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gStreams.find(reinterpret_cast<Stream*>(handle));
    if (it == gStreams.end()) return BE_ERR_INVALID_HANDLE;
    st.reset(*it);
    gStreams.erase(it);
    // The Xing header can only be written once the file is complete, after the
    // stream is closed; keep the encoder that knows the frame counts until then.
    if (st->writesVbrHeader && st->flushed) gVbrStream = std::move(st->lame);
    return BE_ERR_SUCCESSFUL;
}

LAME_ENC_EXPORT void beVersion(BE_VERSION* version) {
    if (!version) return;
    std::memset(version, 0, sizeof *version);
    lame_version_t v{};
    get_lame_version_numerical(&v);
    version->byDLLMajorVersion = kLibraryMajor;
    version->byDLLMinorVersion = kLibraryMinor;
    version->byMajorVersion = static_cast<BYTE>(v.major);
    version->byMinorVersion = static_cast<BYTE>(v.minor);
    version->byDay = kReleaseDay;
    version->byMonth = kReleaseMonth;
    version->wYear = kReleaseYear;
    std::snprintf(version->zHomepage, sizeof version->zHomepage, "%s", get_lame_url());
    version->byAlphaLevel = static_cast<BYTE>(v.alpha);
    version->byBetaLevel = static_cast<BYTE>(v.beta);
}

LAME_ENC_EXPORT BE_ERR beWriteVBRHeader(const char* fileName) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gVbrStream) return BE_ERR_INVALID_HANDLE;
    if (!fileName) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    std::FILE* f = std::fopen(fileName, "r+b");
    if (!f) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    lame_mp3_tags_fid(gVbrStream.get(), f);
    const bool ok = std::fclose(f) == 0;
    gVbrStream.reset();
    return ok ? BE_ERR_SUCCESSFUL : BE_ERR_INVALID_FORMAT_PARAMETERS;
}
