// decode_bench decode SONG.mp3 OUT.raw   decodes as the conversion job does
// decode_bench probe SONG.mp3...          probes every song as admission does
// Prints what it found, so that a run that silently did nothing shows.
#include <cstdio>
#include <cstring>

#include "mp3_decoder.h"

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "decode") == 0) {
        velmo::Mp3Info info;
        const int r = velmo::decodeMp3(argv[2], argv[3], info);
        std::printf("decode result %d, %u Hz, layer %u\n", r, info.sampleRate, info.layer);
        return r == velmo::kMp3DecodeOk && velmo::mp3HasAudio(info) ? 0 : 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "probe") == 0) {
        double total = 0;
        int failed = 0;
        for (int i = 2; i < argc; ++i) {
            velmo::Mp3Info info;
            if (velmo::probeMp3Length(argv[i], info) != velmo::kMp3ProbeOk) ++failed;
            total += info.duration;
        }
        std::printf("probed %d songs, %.2f s in all, %d failed\n", argc - 2, total, failed);
        return failed == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "usage: %s decode SONG.mp3 OUT.raw | probe SONG.mp3...\n", argv[0]);
    return 2;
}
