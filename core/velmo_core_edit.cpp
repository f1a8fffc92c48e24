// The song list's handlers for several songs at once: Delete, Up and Down of
// a multiple selection, and Clear List. One song takes the single-song
// handlers (velmo_core_list.cpp), whose rules these keep.
#include <algorithm>

#include "admission.h"
#include "conversion_cache.h"
#include "songlist.h"
#include "velmo_core.h"

namespace velmo {

namespace {

// The lines that name songs of the list, ascending, each once.
std::vector<int> listLines(std::vector<int> lines, uint16_t songCount) {
    lines.erase(std::remove_if(lines.begin(), lines.end(), [songCount](int i) { return i < 0 || i >= songCount; }),
                lines.end());
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

}  // namespace

void VelmoCore::removeSongs(std::vector<int> lines) {
    if (running_) return;
    lines = listLines(std::move(lines), state_.songCount);
    if (lines.empty()) return;
    const int first = lines.front();
    if (lines.size() == 1) {
        removeSong(first);
    } else {
        // From the last line up, so that the lines still to go keep their
        // places; a working copy shared with a song removed later is kept
        // until that song goes, and then goes with it.
        for (auto at = lines.rbegin(); at != lines.rend(); ++at) takeOutSong(static_cast<uint16_t>(*at));
        tidyAfterRemoval();
    }
    // The song that followed the first one removed is where the user goes
    // on: Delete pressed again removes it.
    state_.view.selectLine(state_.songCount == 0 ? -1 : std::min<int>(first, state_.songCount - 1));
}

void VelmoCore::moveSongsUp(std::vector<int> lines) {
    if (running_) return;
    lines = listLines(std::move(lines), state_.songCount);
    if (lines.empty() || lines.front() == 0) return;
    if (lines.size() == 1) {
        moveSongUp(lines.front());
        return;
    }
    for (int& line : lines) {
        const uint16_t i = static_cast<uint16_t>(line);
        state_.view.removeLine(i);
        state_.view.insertLine(i - 1, songName(state_.songs[i]));
        exchangeSongs(state_.songs.data(), static_cast<uint16_t>(i - 1), i);
        --line;
    }
    state_.view.selectLines(lines);
}

void VelmoCore::moveSongsDown(std::vector<int> lines) {
    if (running_) return;
    lines = listLines(std::move(lines), state_.songCount);
    if (lines.empty() || lines.back() + 1 >= state_.songCount) return;
    if (lines.size() == 1) {
        moveSongDown(lines.front());
        return;
    }
    for (auto at = lines.rbegin(); at != lines.rend(); ++at) {
        const uint16_t i = static_cast<uint16_t>(*at);
        state_.view.removeLine(i);
        state_.view.insertLine(i + 1, songName(state_.songs[i]));
        exchangeSongs(state_.songs.data(), i, static_cast<uint16_t>(i + 1));
        ++*at;
    }
    state_.view.selectLines(lines);
}

void VelmoCore::clearList() {
    std::vector<int> all(state_.songCount);
    for (int i = 0; i < static_cast<int>(all.size()); ++i) all[static_cast<size_t>(i)] = i;
    removeSongs(std::move(all));
}

}  // namespace velmo
