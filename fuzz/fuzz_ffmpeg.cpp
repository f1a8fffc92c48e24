// The FFmpeg decoder's probe and decoding on the same bytes: both end in one of
// their results, and what they report is a rate the encoder takes.
#include <cmath>
#include <cstdlib>

#include "ffmpeg_decoder.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo::fuzz::MemoryFile in(data, size);
    velmo::FfmpegInfo probed;
    const int p = velmo::probeFfmpegLength(in.path(), probed);
    if (p != velmo::kFfmpegOk && p != velmo::kFfmpegRefused) std::abort();
    if (p == velmo::kFfmpegOk) {
        if (!(probed.duration > 0.0) || !std::isfinite(probed.duration)) std::abort();
        if (probed.sourceRate == 0 || probed.sampleRate != velmo::ffmpegPcmRate(probed.sourceRate)) std::abort();
        if (probed.sampleRate > velmo::kMaxEncoderRate || probed.channels == 0) std::abort();
    }
    velmo::FfmpegInfo decoded;
    const int d = velmo::decodeFfmpeg(in.path(), "/dev/null", decoded);
    if (d != velmo::kFfmpegOk && d != velmo::kFfmpegRefused) std::abort();
    if (d == velmo::kFfmpegOk) {
        if (decoded.sampleRate == 0 || decoded.sampleRate > velmo::kMaxEncoderRate) std::abort();
        if (decoded.sampleRate != velmo::ffmpegPcmRate(decoded.sourceRate)) std::abort();
    }
    return 0;
}
