#include <cstdlib>

#include "fuzz_input.h"
#include "mp3_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo::fuzz::MemoryFile in(data, size);
    velmo::Mp3Info info;
    const int r = velmo::decodeMp3(in.path(), "/dev/null", info);
    if (r != velmo::kMp3DecodeOk && r != velmo::kMp3DecodeReadFailed) std::abort();
    if (info.layer > 3) std::abort();
    return 0;
}
