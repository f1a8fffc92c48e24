// The song list's handlers: Add, Drop, Delete, Up, Down and the quality.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

#include "admission.h"
#include "fileio.h"
#include "operations/converting_operation.h"
#include "operations/operation.h"
#include "reload.h"
#include "songlist.h"
#include "terminal_text.h"
#include "translation.h"
#include "velmo_core.h"

#include "conversion_cache.h"

namespace velmo {

static_assert(kMaxTagNameBytes <= kMaxReloadNameBytes, "a name from tags comes back whole from a Reload");

namespace {

void copyText(char* field, const std::string& text) {
    // Only the text and its terminating zero are written: what lies after the
    // zero in the record stays as it was.
    std::memcpy(field, text.c_str(), text.size() + 1);
}

// Why a dropped song file cannot join the list, as Add says it: one that
// cannot be opened, or one without a byte of audio. Nullopt when it may.
std::optional<Message> droppedFileRefusal(const std::string& path) {
    if (const int openError = songFileOpenError(path); openError != 0) {
        Message m{Say::CannotOpenSong};
        m.file = path;
        m.errorNumber = openError;
        return m;
    }
    if (fileSize(path).value_or(0) == 0) {
        Message m{Say::FormatNotSupported};
        m.file = path;
        return m;
    }
    return std::nullopt;
}

}  // namespace

bool VelmoCore::workNameInUse(const std::string& workPath, uint16_t upTo, int except) const {
    for (uint16_t i = 0; i < upTo; ++i)
        if (static_cast<int>(i) != except && workPath == fieldText(state_.songs[i].workPath)) return true;
    return false;
}

std::string VelmoCore::uniqueWorkPath(const std::string& workPath, uint16_t upTo, size_t maxNameBytes) const {
    if (!workNameInUse(workPath, upTo, -1)) return workPath;
    // Two songs with one working copy would play the same music: the later
    // one gets "name (2).flac", "name (3).flac" ...: the number goes before
    // the extension, whatever its length.
    const size_t slash = workPath.rfind('/');
    const size_t dot = workPath.rfind('.');
    const size_t cut = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : workPath.size();
    const std::string stem = workPath.substr(0, cut);
    const std::string ext = workPath.substr(cut);
    const size_t nameAt = std::min(stem.size(), std::strlen(kWorkDir));
    for (int k = 2;; ++k) {
        const std::string number = " (" + std::to_string(k) + ")";
        std::string name = stem.substr(nameAt);
        // A name from tags keeps its limit with the number: it is cut to make room.
        if (maxNameBytes != 0 && name.size() + number.size() > maxNameBytes)
            name = cutUtf8(name, maxNameBytes > number.size() ? maxNameBytes - number.size() : 0);
        std::string candidate = stem.substr(0, nameAt) + name + number + ext;
        if (candidate.size() >= kPathBytes) return {};
        if (!workNameInUse(candidate, upTo, -1)) return candidate;
    }
}

std::string VelmoCore::admit(const std::string& path, std::string work, uint16_t upTo, SongFacts& facts) const {
    // Tags are read whether or not they name the song: the list shows them.
    facts = probeSongFacts(path, true);
    const bool fromTags = namesFromTags() && tagWorkPath(path, tagSongName(facts.title, facts.artist), work);
    return uniqueWorkPath(work, upTo, fromTags ? kMaxTagNameBytes : 0);
}

void VelmoCore::keepFacts(const Song& song, SongFacts facts) { state_.facts.put(factsKey(song), std::move(facts)); }

void VelmoCore::learnSongFacts() {
    std::vector<SongFactsStore::Wanted> wanted;
    for (uint16_t i = 0; i < state_.songCount; ++i) {
        const Song& rec = state_.songs[i];
        wanted.push_back(
            {factsKey(rec), {state_.path(fieldText(rec.sourcePath)), state_.path(fieldText(rec.workPath))}});
    }
    state_.facts.probeInBackground(std::move(wanted));
}

void VelmoCore::waitForSongFacts() { state_.facts.wait(); }

void VelmoCore::tellRefused(const std::vector<Message>& refused) {
    // One file keeps its own box; several are listed in the one box that
    // closes the Add or Drop (tellJoined), not a box each.
    if (refused.size() == 1) state_.tell(refused.front());
}

void VelmoCore::tellJoined(uint16_t oldCount, Joined joined, std::vector<Message> refused) {
    joined.joined = state_.songCount >= oldCount ? state_.songCount - oldCount : 0;
    if (joined.joined >= joined.given) return;
    Message m{Say::ListJoined};
    m.joined = joined;
    m.refused = std::move(refused);
    state_.tell(m);
}

uint32_t VelmoCore::addSongsFitted(uint16_t oldCount, uint32_t n) {
    uint32_t count = n;
    state_.totalEstimate = fittingCount(state_.songs.data(), count, state_.capacityNow());
    // Facts of songs no longer in the list would only grow the map.
    std::set<std::string> listed;
    for (uint32_t i = 0; i < count; ++i) listed.insert(factsKey(state_.songs[i]));
    state_.facts.retain(listed);
    if (state_.totalEstimate >= state_.capacityNow())
        state_.tell({Say::StorageLimitReached});
    state_.fillLines(oldCount, static_cast<uint16_t>(count));
    state_.songCount = static_cast<uint16_t>(count);
    state_.showStatus(state_.totalEstimate);
    return n - count;
}

void VelmoCore::addSongs(const std::vector<std::string>& chosenPaths) {
    // The running operation works on the list as it was when it started.
    if (running_) return;
    if (state_.songCount >= kMaxAddSongs) {
        state_.tell({Say::SongCountOverLimit});
        return;
    }
    if (state_.totalEstimate >= state_.capacityNow()) {
        state_.tell({Say::SongsOverStorageLimit});
        return;
    }
    const uint16_t oldCount = state_.songCount;
    uint16_t n = state_.songCount;
    // A refused file is told once the loop is over, before the limit's box,
    // which came after it; several are listed in the closing box instead.
    std::vector<Message> refused;
    Joined joined;
    joined.given = chosenPaths.size();
    joined.countLimit = kMaxAddSongs;
    bool full = false;
    size_t tried = 0;
    for (const std::string& path : chosenPaths) {
        ++tried;
        // A path that does not fit the record is never cut short into it.
        const bool fits = path.size() < kPathBytes;
        std::string work;
        SongFacts facts;
        // Every refused file is named with its reason, and the next one is tried.
        const int openError = fits ? songFileOpenError(path) : 0;
        if (openError != 0) {
            Message m{Say::CannotOpenSong};
            m.file = path;
            m.errorNumber = openError;
            refused.push_back(m);
            continue;
        }
        if (fits && songWorkPath(path, work)) work = admit(path, work, n, facts);
        Song& rec = state_.songs[n];
        const uint32_t estimate = !work.empty() ? estimateForDuration(facts.duration, state_.quality) : 0;
        if (estimate != 0) {
            copyText(rec.workPath, work);
            rec.sizeEstimate = estimate;
            copyText(rec.sourcePath, path);
            rec.copyPending = 1;
            keepFacts(rec, std::move(facts));
            ++n;
        } else {
            Message m{Say::FormatNotSupported};
            m.file = path;
            refused.push_back(m);
        }
        if (n >= kMaxAddSongs) {
            full = true;
            break;
        }
    }
    tellRefused(refused);
    if (full) state_.tell({Say::SongCountReachedLimit});
    joined.overCount = chosenPaths.size() - tried;
    joined.overStorage = addSongsFitted(oldCount, n);
    tellJoined(oldCount, joined, std::move(refused));
}

void VelmoCore::dropSongs(const std::vector<std::string>& droppedPaths) {
    if (running_) return;
    const size_t k = droppedPaths.size();
    if (k == 0) return;
    if (state_.songCount + k > kMaxSongs) {
        state_.tell({Say::DropOverSixtyFour});
        return;
    }
    if (state_.totalEstimate >= state_.capacityNow()) {
        state_.tell({Say::SongsOverStorageLimit});
        return;
    }
    const uint16_t oldCount = state_.songCount;
    uint16_t n = state_.songCount;
    size_t accepted = 0;
    // Files refused with their own message: the closing message is for the
    // ones left out without a word.
    size_t named = 0;
    std::vector<Message> refused;
    Joined joined;
    joined.given = k;
    size_t tried = 0;
    for (const std::string& path : droppedPaths) {
        ++tried;
        // A path the record cannot hold whole is left out like an unsupported file.
        if (path.size() >= kPathBytes || !hasSongExtension(path)) {
            ++joined.notSongs;
            continue;
        }
        std::string work;
        SongFacts facts;
        const bool hasName = songWorkPath(path, work);
        // A file that is gone or empty would fail the next Download, or reach
        // the clock as a song without sound.
        if (hasName) {
            if (const std::optional<Message> refusal = droppedFileRefusal(path)) {
                refused.push_back(*refusal);
                ++named;
                continue;
            }
            work = admit(path, work, n, facts);
        }
        if (work.empty()) {
            joined.unnamed = k - tried + 1;
            tellRefused(refused);
            state_.tell({Say::OnlyMp3AndWav});
            break;
        }
        Song& rec = state_.songs[n];
        copyText(rec.workPath, work);
        copyText(rec.sourcePath, path);
        rec.sizeEstimate = estimateForDuration(facts.duration, state_.quality);
        rec.copyPending = 1;
        keepFacts(rec, std::move(facts));
        ++n;
        ++accepted;
    }
    if (joined.unnamed == 0) tellRefused(refused);
    if (accepted + named != k) state_.tell({Say::DroppedFilesLeftOut});
    joined.overStorage = addSongsFitted(oldCount, n);
    tellJoined(oldCount, joined, std::move(refused));
}

void VelmoCore::removeSong(int selectedLine) {
    if (running_) return;
    if (state_.songCount == 0 || selectedLine < 0 || selectedLine >= state_.songCount) return;
    takeOutSong(static_cast<uint16_t>(selectedLine));
    tidyAfterRemoval();
    state_.view.selectLine(-1);
}

void VelmoCore::takeOutSong(uint16_t i) {
    state_.view.removeLine(i);
    Song& rec = state_.songs[i];
    state_.totalEstimate -= rec.sizeEstimate;
    // The working copy goes with its song, unless another song still names it
    // (a list saved by an older version may share one).
    const std::string work = fieldText(rec.workPath);
    if (!workNameInUse(work, state_.songCount, i)) state_.removeFile(work);
    velmo::removeSong(state_.songs.data(), state_.songCount, i);
}

void VelmoCore::tidyAfterRemoval() {
    state_.removeStrayWorkingCopies(workingFilesToKeep());
    // The converted bytes go with their songs too.
    keepOnlyCachedSongs(state_.songs.data(), state_.songCount, state_.work());
    state_.showStatus(state_.totalEstimate);
}

void VelmoCore::moveSongUp(int selectedLine) {
    if (running_) return;
    if (state_.songCount == 0 || selectedLine <= 0 || selectedLine >= state_.songCount) return;
    const uint16_t i = static_cast<uint16_t>(selectedLine);
    state_.view.removeLine(i);
    state_.view.insertLine(i - 1, songName(state_.songs[i]));
    state_.view.selectLine(i - 1);
    exchangeSongs(state_.songs.data(), static_cast<uint16_t>(i - 1), i);
}

void VelmoCore::moveSongDown(int selectedLine) {
    if (running_) return;
    if (state_.songCount == 0 || selectedLine < 0 || selectedLine + 1 >= state_.songCount) return;
    const uint16_t i = static_cast<uint16_t>(selectedLine);
    state_.view.removeLine(i);
    state_.view.insertLine(i + 1, songName(state_.songs[i]));
    state_.view.selectLine(i + 1);
    exchangeSongs(state_.songs.data(), i, static_cast<uint16_t>(i + 1));
}

void VelmoCore::setQuality(uint16_t code) {
    if (running_) return;
    state_.view.setQualityButtons(code == kQualityBest, code == kQualityGood, code == kQualityNormal);
    if (code == state_.quality) return;
    state_.totalEstimate = rescaleEstimates(state_.songs.data(), state_.songCount, code, state_.quality);
    state_.showStatus(state_.totalEstimate);
    state_.quality = code;
}

bool VelmoCore::namesFromTags() const { return state_.settings.flag(kNamesFromTagsKey, false); }

void VelmoCore::setNamesFromTags(bool on) { state_.settings.setFlag(kNamesFromTagsKey, on); }

SongFacts VelmoCore::songFacts(size_t i) const {
    const Song& rec = state_.songs.at(i);
    SongFacts facts = state_.facts.find(factsKey(rec)).value_or(SongFacts{});
    // The estimate is the play time's bytes plus the encoder's share: it
    // gives the play time back to the millisecond, rescaled or not.
    if (!(facts.duration > 0.0) && state_.quality != 0)
        facts.duration = durationForEstimate(rec.sizeEstimate, state_.quality);
    return facts;
}

VelmoCore::SongConversionPlan VelmoCore::conversionPlan(size_t i) const {
    if (songFacts(i).clockFormQuality != state_.quality || state_.quality == 0) return SongConversionPlan::Encode;
    return evenVolume() ? SongConversionPlan::CopyIfEven : SongConversionPlan::Copy;
}

namespace {

double percentOf(uint64_t total, uint32_t cap) {
    // No capacity at all is full, whatever the list.
    return cap == 0 ? 100.0 : static_cast<double>(total) * 100.0 / static_cast<double>(cap);
}

}  // namespace


std::optional<SongFactsStore::Fate> VelmoCore::songFate(size_t i) const {
    return state_.facts.findFate(factsKey(state_.songs.at(i)));
}

std::optional<uint32_t> VelmoCore::songConvertedSize(size_t i) const {
    const std::optional<SongFactsStore::Fate> fate = songFate(i);
    // A size at another quality says nothing of this one.
    if (!fate || fate->convertedBytes == 0 || fate->quality != state_.quality) return std::nullopt;
    return fate->convertedBytes;
}


VelmoCore::QualityFill VelmoCore::qualityFill(uint16_t code) const {
    QualityFill fill;
    fill.capacity = state_.capacityNow();
    for (uint16_t i = 0; i < state_.songCount; ++i) {
        const uint64_t estimate = state_.songs[i].sizeEstimate;
        // As rescaleEstimates does it, song by song, dropping the remainder.
        fill.total += state_.quality == 0 ? estimate : estimate * code / state_.quality;
    }
    fill.percent = percentOf(fill.total, fill.capacity);
    fill.fits = fill.total < fill.capacity;
    return fill;
}


}  // namespace velmo
