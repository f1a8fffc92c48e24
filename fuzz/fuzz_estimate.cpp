// The size estimate over every reader's probe: the same bytes named .mp3 (libmad)
// and .wav and .flac (the 16-bit WAV reader or FFmpeg, as the content decides).
#include <unistd.h>

#include <cstdlib>

#include "admission.h"
#include "fuzz_input.h"

namespace {

// A private folder for the named links, removed when the fuzzer exits.
struct LinkFolder {
    std::string path;
    LinkFolder() {
        char pattern[] = "/tmp/velmo-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        path = pattern;
    }
    ~LinkFolder() { ::rmdir(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const LinkFolder folder;
    velmo::fuzz::MemoryFile in(data, size);
    // A link gives the in-memory file a name.
    for (const char* name : {"/song.mp3", "/song.wav", "/song.flac"}) {
        const std::string link = folder.path + name;
        ::unlink(link.c_str());
        if (::symlink(in.path().c_str(), link.c_str()) != 0) std::abort();
        for (uint16_t q : {2, 4, 8}) velmo::estimateSongSize(link, q);
        ::unlink(link.c_str());
    }
    return 0;
}
