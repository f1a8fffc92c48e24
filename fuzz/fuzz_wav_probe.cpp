#include <cmath>
#include <cstdlib>

#include "fuzz_input.h"
#include "wav_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo::fuzz::MemoryFile in(data, size);
    velmo::WavLength length;
    const int r = velmo::probeWavLength(in.path(), length);
    if (r != velmo::kWavProbeOk && r != velmo::kWavProbeRefused) std::abort();
    if (!std::isfinite(length.duration) || length.duration < 0) std::abort();
    if (length.measured == 0 && length.duration != 0) std::abort();
    return 0;
}
