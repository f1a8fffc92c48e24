// The tag reader and the name made of its result: TagLib through our bounded
// stream, the ID3v2 checks before it, and the clean-up of what it gives.
#include <cstdlib>

#include "admission.h"
#include "fuzz_input.h"
#include "song_tags.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo::fuzz::MemoryFile in(data, size);
    const velmo::SongTags tags = velmo::readSongTags(in.path());
    const std::string name = velmo::tagSongName(tags.title, tags.artist);
    if (name.size() > velmo::kMaxTagNameBytes || name.find('/') != std::string::npos) std::abort();
    return 0;
}
