#include <cstdlib>

#include "fuzz_input.h"
#include "wav_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo::fuzz::MemoryFile in(data, size);
    velmo::WavInfo info;
    // A data chunk may claim up to 4 GiB that the input does not hold; that
    // silence goes to /dev/null.
    const int r = velmo::readWav(in.path(), "/dev/null", info);
    if (r != velmo::kWavReadOk && r != velmo::kWavReadFailed) std::abort();
    return 0;
}
