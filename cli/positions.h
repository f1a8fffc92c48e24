// Positions in the list as velmo-cli's commands take them: "2" or a range
// "4-6", counted from 1 as `list` shows them.
#pragma once

#include <string>
#include <vector>

namespace velmo::cli {

// One position or a range of them: [first, last], first <= last.
struct PositionRange {
    long first = 0;
    long last = 0;
};

// Reads "N" or "N-M" (decimal digits only, N <= M); false for anything
// else, "6-4" and "-1" included. Position 0 is read: linesOf refuses it.
bool parsePositionRange(const std::string& token, PositionRange& range);

// The lines (from 0, ascending, each once) that `ranges` name in a list of
// `songCount` songs. False, with the first position past the list in
// `missing`, when one names no song.
bool linesOf(const std::vector<PositionRange>& ranges, long songCount, std::vector<int>& lines, long& missing);

}  // namespace velmo::cli
