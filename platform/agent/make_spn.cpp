// Writes our agent image (layout in agent_format.h) to the file named on the
// command line. The bytes are the same on every build.
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent_format.h"
#include "bytes.h"

using namespace zentro::agent;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_spn OUTPUT\n");
        return 1;
    }
    std::vector<uint8_t> image(kImageBytes);
    // Filler from a fixed linear congruential sequence: opaque, but reproducible.
    uint32_t state = 0x5A454E54u;
    for (auto& b : image) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    const char banner[] = "Zentro storage agent for the Velmo simulated clock";
    std::memcpy(image.data() + 0x100, banner, sizeof(banner));

    std::memcpy(image.data(), kMagic, sizeof(kMagic));
    velmo::writeBe32(image.data() + kLengthOffset, kImageBytes);
    velmo::writeBe16(image.data() + kVersionOffset, kVersion);
    velmo::writeBe16(image.data() + kEntryCountOffset, static_cast<uint16_t>(kEntryCount));
    for (uint32_t i = 0; i < kEntryCount; ++i) {
        velmo::writeBe32(image.data() + kEntryTableOffset + 4 * i, kEntryOffsets[i]);
        std::memcpy(image.data() + kEntryOffsets[i], kEntryTags[i], kTagBytes);
    }
    velmo::writeBe32(image.data() + kChecksumOffset, imageChecksum(image.data(), kImageBytes));

    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "make_spn: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
