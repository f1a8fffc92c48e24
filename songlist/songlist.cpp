#include "songlist.h"

#include <cstring>
#include <utility>

namespace velmo {

uint32_t fittingCount(const Song* songs, uint32_t& count, uint32_t cap) {
    const uint16_t n = static_cast<uint16_t>(count);  // only the low 16 bits are a count
    uint32_t sum = 0;
    for (uint16_t i = 0; i < n; ++i) {
        sum += songs[i].sizeEstimate;
        if (sum >= cap) {
            count = i + 1u;
            return sum;
        }
    }
    count = n;
    return sum;
}

int cutToFit(Song* songs, uint16_t& count, uint32_t cap) {
    uint32_t before = 0;
    for (uint16_t i = 0; i < count; ++i) {
        Song& s = songs[i];
        const uint32_t sum = before + s.sizeEstimate;
        s.cutFlag = 0;
        s.cutLimit = s.sizeEstimate;
        if (sum >= cap) {
            s.cutLimit = cap - before;
            s.cutFlag = 1;
            count = static_cast<uint16_t>(i + 1);
            return 1;
        }
        before = sum;
    }
    return 0;
}

void removeSong(Song* songs, uint16_t& count, uint16_t i) {
    if (i >= count) return;
    std::memmove(&songs[i], &songs[i + 1], sizeof(Song) * (count - i - 1u));
    --count;
}

void exchangeSongs(Song* songs, uint16_t a, uint16_t b) { std::swap(songs[a], songs[b]); }

uint32_t rescaleEstimates(Song* songs, uint16_t count, uint16_t newQuality, uint16_t oldQuality) {
    uint32_t total = 0;
    for (uint16_t i = 0; i < count; ++i) {
        // A table file may carry a code of 0; its estimates then stay as they
        // are rather than being divided by it (Download measures them again).
        if (oldQuality != 0) songs[i].sizeEstimate = songs[i].sizeEstimate * uint32_t{newQuality} / oldQuality;
        total += songs[i].sizeEstimate;
    }
    return total;
}

}  // namespace velmo
