#include "time_left.h"

#include <algorithm>
#include <cmath>

namespace velmo {

std::optional<int> TimeLeft::at(double now, uint64_t done, uint64_t total) const {
    if (!started_ || total == 0 || done == 0 || done >= total) return std::nullopt;
    const double elapsed = now - start_;
    const double fraction = static_cast<double>(done) / static_cast<double>(total);
    if (!(elapsed >= kFirstEstimateSeconds) || fraction < kFirstEstimateFraction) return std::nullopt;
    // The same rate for the rest as for what is done.
    const double left = elapsed * (1.0 - fraction) / fraction;
    // A day is no estimate a user waits for; beyond that the rate says nothing.
    if (!(left < 86400.0)) return std::nullopt;
    // Work not yet done never takes no time at all.
    return std::max(1, static_cast<int>(std::lround(left)));
}

}  // namespace velmo
