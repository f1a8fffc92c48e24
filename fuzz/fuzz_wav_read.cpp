#include <cstdlib>

#include "fuzz_input.h"
#include "wav_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo::fuzz::MemoryFile in(data, size);
    velmo::WavInfo info;
    // The PCM is not looked at, only that every input ends in a defined result.
    const int r = velmo::readWav(in.path(), "/dev/null", info);
    if (r != velmo::kWavReadOk && r != velmo::kWavReadFailed) std::abort();
    return 0;
}
