#include "positions.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace velmo::cli {

namespace {

bool readPosition(const std::string& text, long& value) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    errno = 0;
    value = std::strtol(text.c_str(), nullptr, 10);
    // Past the range a long holds: no list is that long anyway.
    if (errno == ERANGE) value = LONG_MAX;
    return true;
}

}  // namespace

bool parsePositionRange(const std::string& token, PositionRange& range) {
    const size_t dash = token.find('-');
    if (dash == std::string::npos) {
        if (!readPosition(token, range.first)) return false;
        range.last = range.first;
    } else if (!readPosition(token.substr(0, dash), range.first) || !readPosition(token.substr(dash + 1), range.last)) {
        return false;
    }
    return range.first <= range.last;
}

bool linesOf(const std::vector<PositionRange>& ranges, long songCount, std::vector<int>& lines, long& missing) {
    lines.clear();
    for (const PositionRange& r : ranges) {
        // Position 0 is a number, but names no song, as one past the end.
        if (r.first < 1 || r.last > songCount) {
            missing = r.first < 1 ? r.first : std::max(r.first, songCount + 1);
            return false;
        }
        for (long p = r.first; p <= r.last; ++p) lines.push_back(static_cast<int>(p - 1));
    }
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return true;
}

}  // namespace velmo::cli
