#include <cmath>
#include <cstdlib>

#include "fuzz_input.h"
#include "mp3_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo::fuzz::MemoryFile in(data, size);
    velmo::Mp3Info info;
    const int r = velmo::probeMp3Length(in.path(), info);
    if (r != velmo::kMp3ProbeOk && r != velmo::kMp3ProbeFailed) std::abort();
    if (!std::isfinite(info.duration) || info.duration < 0) std::abort();
    if (info.layer == 0 && info.duration != 0) std::abort();
    velmo::mp3TagSize(in.path());
    return 0;
}
