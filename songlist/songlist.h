// Operations on the song list held in the shared `songs` array: the fitting
// count that Add and Drop apply, the cut to fit at Download, removing and
// exchanging records, and rescaling the estimates to another quality. They
// touch records only; the list box lines are the caller's.
#pragma once

#include <cstdint>

#include "songrecord.h"

namespace velmo {

// Running sum of sizeEstimate over songs[0..count). At the first song at which
// the sum reaches `cap` (sum >= cap) the count becomes that index + 1 and the
// sum including it is returned; otherwise the count stays and the whole sum is
// returned. Records are not changed.
uint32_t fittingCount(const Song* songs, uint32_t& count, uint32_t cap);

// Cuts the list so that its estimates fill exactly `cap` bytes: every song
// gets cutFlag 0 and cutLimit = its estimate, until the song at which the sum
// reaches `cap`, which is cut to the remaining space (cutFlag 1) and becomes
// the last one. Returns 1 when a song was cut, 0 when all fit.
int cutToFit(Song* songs, uint16_t& count, uint32_t cap);

// Removes record i (< count), moving the records after it up one place.
void removeSong(Song* songs, uint16_t& count, uint16_t i);

// Exchanges two records whole.
void exchangeSongs(Song* songs, uint16_t a, uint16_t b);

// Replaces every estimate by estimate x newQuality / oldQuality in 32-bit
// unsigned arithmetic (multiply first, drop the remainder); returns the new sum.
// An old quality of 0 leaves the estimates unchanged.
uint32_t rescaleEstimates(Song* songs, uint16_t count, uint16_t newQuality, uint16_t oldQuality);

}  // namespace velmo
