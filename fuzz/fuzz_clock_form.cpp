#include <cstdlib>
#include <string>

#include "clock_form.h"
#include "fileio.h"
#include "fuzz_input.h"

// Any bytes: the walk ends in a defined answer, and a file it takes is
// copied to exactly the bytes it found, whole or cut.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo::fuzz::MemoryFile in(data, size);
    for (uint16_t quality : {uint16_t{8}, uint16_t{4}, uint16_t{2}}) {
        const velmo::ClockFormAudio audio = velmo::findClockFormAudio(in.path(), quality);
        if (!audio.inForm) continue;
        if (audio.frames == 0 || audio.begin >= audio.end || audio.end > size) std::abort();
        for (uint8_t cut : {uint8_t{0}, uint8_t{1}}) {
            velmo::fuzz::MemoryFile out(nullptr, 0);
            uint32_t written = 0;
            const uint32_t limit = size > 0 ? data[0] * 16u : 0;
            if (velmo::copyClockFormFrames(in.path(), audio, quality, cut, limit, out.path(), written) !=
                velmo::kCopyOk)
                std::abort();
            if (velmo::fileSize(out.path()).value_or(0) != written) std::abort();
            if (!cut && written != audio.end - audio.begin) std::abort();
            if (written > audio.end - audio.begin) std::abort();
        }
    }
    velmo::clockFormQuality(in.path());
    return 0;
}
