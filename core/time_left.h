// How long a stage of an operation still needs, from how far it has come in
// how long: the rate so far, carried over what is left. A pure calculation:
// the caller gives the times (seconds of a steady clock), so it is tested
// with given numbers.
#pragma once

#include <cstdint>
#include <optional>

namespace velmo {

class TimeLeft {
  public:
    // Nothing is estimated before this much time has passed since the
    // stage's start, nor before this part of its work is done: the first
    // blocks (an erase, a song's start) say little of the rate.
    static constexpr double kFirstEstimateSeconds = 1.0;
    static constexpr double kFirstEstimateFraction = 0.03;

    // The stage begins (again) at `now`.
    void restart(double now) {
        start_ = now;
        started_ = true;
    }
    bool started() const { return started_; }

    // `done` of `total` units of work are done at `now`: the seconds still
    // needed, to the nearest whole one, or nothing while they cannot be estimated
    // (too early, nothing done yet, no total, or all done).
    std::optional<int> at(double now, uint64_t done, uint64_t total) const;

  private:
    double start_ = 0;
    bool started_ = false;
};

}  // namespace velmo
