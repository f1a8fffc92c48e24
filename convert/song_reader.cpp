#include "song_reader.h"

#include "ffmpeg_decoder.h"
#include "mp3_decoder.h"
#include "wav_input.h"

namespace velmo {
namespace {

bool endsWithMp3(const std::string& path) {
    static const char kExt[] = ".mp3";
    constexpr size_t n = sizeof kExt - 1;
    if (path.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = path[path.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kExt[i]) return false;
    }
    return true;
}

}  // namespace

SongReader songReaderFor(const std::string& path) {
    if (endsWithMp3(path)) return SongReader::Mp3;
    if (wavReaderTakes(path)) return SongReader::Wav;
    return SongReader::Ffmpeg;
}

double songDuration(const std::string& path) { return probeSong(path).duration; }

SongProbe probeSong(const std::string& path) {
    SongProbe out;
    switch (songReaderFor(path)) {
        case SongReader::Mp3: {
            Mp3Info info;
            // The duration counts whatever the probe reports: it is 0 whenever
            // the probe found no usable frame.
            probeMp3Length(path, info);
            out.duration = info.duration;
            if (info.duration > 0.0) out.format = "mp3";
            break;
        }
        case SongReader::Wav: {
            WavLength length;
            if (probeWavLength(path, length) != kWavProbeOk) break;
            out.duration = length.duration;
            out.format = "pcm_s16le";
            break;
        }
        case SongReader::Ffmpeg: {
            FfmpegInfo info;
            if (probeFfmpegLength(path, info) != kFfmpegOk) break;
            out.duration = info.duration;
            out.format = info.codec;
            break;
        }
    }
    return out;
}

uint32_t convertSongToPcm(const std::string& path, const std::string& pcmPath, const std::atomic<bool>* stop) {
    switch (songReaderFor(path)) {
        case SongReader::Mp3: {
            Mp3Info info;
            if (decodeMp3(path, pcmPath, info, stop) != kMp3DecodeOk || !mp3HasAudio(info)) return 0;
            return info.sampleRate;
        }
        case SongReader::Wav: {
            WavInfo info;
            if (readWav(path, pcmPath, info, stop) != kWavReadOk) return 0;
            return info.sampleRate;
        }
        case SongReader::Ffmpeg: {
            FfmpegInfo info;
            if (decodeFfmpeg(path, pcmPath, info, stop) != kFfmpegOk) return 0;
            return info.sampleRate;
        }
    }
    return 0;
}

uint32_t decodeSong(const std::string& path, PcmSink& sink, const std::atomic<bool>* stop) {
    switch (songReaderFor(path)) {
        case SongReader::Mp3: {
            Mp3Info info;
            if (decodeMp3(path, sink, info, stop) != kMp3DecodeOk || !mp3HasAudio(info)) return 0;
            return info.sampleRate;
        }
        case SongReader::Wav: {
            WavInfo info;
            if (readWav(path, sink, info, stop) != kWavReadOk) return 0;
            return info.sampleRate;
        }
        case SongReader::Ffmpeg: {
            FfmpegInfo info;
            if (decodeFfmpeg(path, sink, info, stop) != kFfmpegOk) return 0;
            return info.sampleRate;
        }
    }
    return 0;
}

}  // namespace velmo
