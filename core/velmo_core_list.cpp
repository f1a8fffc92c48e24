// The song list's handlers: Add, Drop, Delete, Up, Down and the quality.
#include <unistd.h>

#include <cstring>

#include "admission.h"
#include "operations/operation.h"
#include "songlist.h"
#include "translation.h"
#include "velmo_core.h"

namespace velmo {

namespace {

void copyText(char* field, const std::string& text) {
    // Only the text and its terminating zero are written: what lies after the
    // zero in the record stays as it was.
    std::memcpy(field, text.c_str(), text.size() + 1);
}

}  // namespace

bool VelmoCore::workNameInUse(const std::string& workPath, uint16_t upTo, int except) const {
    for (uint16_t i = 0; i < upTo; ++i)
        if (static_cast<int>(i) != except && workPath == fieldText(state_.songs[i].workPath)) return true;
    return false;
}

std::string VelmoCore::uniqueWorkPath(const std::string& workPath, uint16_t upTo) const {
    if (!workNameInUse(workPath, upTo, -1)) return workPath;
    // Two songs with one working copy would play the same music: the later
    // one gets "name (2).flac", "name (3).flac" ...: the number goes before
    // the extension, whatever its length.
    const size_t slash = workPath.rfind('/');
    const size_t dot = workPath.rfind('.');
    const size_t cut = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : workPath.size();
    const std::string stem = workPath.substr(0, cut);
    const std::string ext = workPath.substr(cut);
    for (int k = 2;; ++k) {
        std::string candidate = stem + " (" + std::to_string(k) + ")" + ext;
        if (candidate.size() >= kPathBytes) return {};
        if (!workNameInUse(candidate, upTo, -1)) return candidate;
    }
}

void VelmoCore::addSongsFitted(uint16_t oldCount, uint32_t n) {
    uint32_t count = n;
    state_.totalEstimate = fittingCount(state_.songs.data(), count, state_.capacityNow());
    if (state_.totalEstimate >= state_.capacityNow())
        state_.view.messageBox(tr_("Storage size limit reached !"), kCaptionInformation, MessageIcon::Information,
                               MessageButtons::Ok);
    state_.fillLines(oldCount, static_cast<uint16_t>(count));
    state_.songCount = static_cast<uint16_t>(count);
    state_.showStatus(state_.totalEstimate);
}

void VelmoCore::onAdd(const std::vector<std::string>& chosenPaths) {
    // The running operation works on the list as it was when it started.
    if (running_) return;
    if (state_.songCount >= kMaxAddSongs) {
        state_.view.messageBox(tr_("Song counts are over than limit !"), kCaptionError, MessageIcon::Error,
                               MessageButtons::Ok);
        return;
    }
    if (state_.totalEstimate >= state_.capacityNow()) {
        state_.view.messageBox(tr_("Songs over than storage limit !"), kCaptionError, MessageIcon::Error,
                               MessageButtons::Ok);
        return;
    }
    const uint16_t oldCount = state_.songCount;
    uint16_t n = state_.songCount;
    for (const std::string& path : chosenPaths) {
        chosenPath_ = path;
        // A path that does not fit the record is never cut short into it.
        const bool fits = path.size() < kPathBytes;
        std::string work;
        // Every refused file is named with its reason, and the next one is tried.
        const int openError = fits ? songFileOpenError(path) : 0;
        if (openError != 0) {
            state_.view.messageBox(format(tr_("Cannot open %s: %s"), path.c_str(), std::strerror(openError)),
                                   kCaptionError, MessageIcon::Error, MessageButtons::Ok);
            continue;
        }
        if (fits && songWorkPath(path, work)) work = uniqueWorkPath(work, n);
        Song& rec = state_.songs[n];
        const uint32_t estimate = !work.empty() ? estimateSongSize(path, state_.quality) : 0;
        if (estimate != 0) {
            copyText(rec.workPath, work);
            rec.sizeEstimate = estimate;
            copyText(rec.sourcePath, path);
            rec.copyPending = 1;
            ++n;
        } else {
            state_.view.messageBox(format(tr_("The file format of %s is not supported"), path.c_str()), kCaptionError,
                                   MessageIcon::Error, MessageButtons::Ok);
        }
        if (n >= kMaxAddSongs) {
            state_.view.messageBox(tr_("Song counts are over than limit"), kCaptionError, MessageIcon::Error,
                                   MessageButtons::Ok);
            break;
        }
    }
    addSongsFitted(oldCount, n);
}

void VelmoCore::onDropFiles(const std::vector<std::string>& droppedPaths) {
    if (running_) return;
    const size_t k = droppedPaths.size();
    if (k == 0) return;
    if (state_.songCount + k > kMaxSongs) {
        state_.view.messageBox(tr_("Total song files are over than sixty four files !"), kCaptionError,
                               MessageIcon::Error, MessageButtons::Ok);
        return;
    }
    if (state_.totalEstimate >= state_.capacityNow()) {
        state_.view.messageBox(tr_("Songs over than storage limit !"), kCaptionError, MessageIcon::Error,
                               MessageButtons::Ok);
        return;
    }
    const uint16_t oldCount = state_.songCount;
    uint16_t n = state_.songCount;
    size_t accepted = 0;
    for (const std::string& path : droppedPaths) {
        // A path the record cannot hold whole is left out like an unsupported file.
        if (path.size() >= kPathBytes) continue;
        if (!hasSongExtension(path)) continue;
        std::string work;
        if (songWorkPath(path, work)) work = uniqueWorkPath(work, n);
        if (work.empty()) {
            state_.view.messageBox(tr_("Only support '.mp3' & '.wav' file format."), kCaptionError, MessageIcon::None,
                                   MessageButtons::Ok);
            break;
        }
        Song& rec = state_.songs[n];
        copyText(rec.workPath, work);
        copyText(rec.sourcePath, path);
        rec.sizeEstimate = estimateSongSize(path, state_.quality);
        rec.copyPending = 1;
        ++n;
        ++accepted;
    }
    if (accepted != k)
        state_.view.messageBox(tr_("Only support '.mp3' & '.wav' file format."), kCaptionError, MessageIcon::Error,
                               MessageButtons::Ok);
    addSongsFitted(oldCount, n);
}

void VelmoCore::onDelete(int selectedLine) {
    if (running_) return;
    if (state_.songCount == 0 || selectedLine < 0 || selectedLine >= state_.songCount) return;
    const uint16_t i = static_cast<uint16_t>(selectedLine);
    state_.view.removeLine(i);
    Song& rec = state_.songs[i];
    state_.totalEstimate -= rec.sizeEstimate;
    // The working copy goes with its song, unless another song still names it
    // (a list saved by an older version may share one).
    const std::string work = fieldText(rec.workPath);
    if (!workNameInUse(work, state_.songCount, i)) state_.removeFile(work);
    removeSong(state_.songs.data(), state_.songCount, i);
    state_.removeStrayWorkingCopies(workingFilesToKeep());
    state_.showStatus(state_.totalEstimate);
    state_.view.selectLine(-1);
}

void VelmoCore::onUp(int selectedLine) {
    if (running_) return;
    if (state_.songCount == 0 || selectedLine <= 0 || selectedLine >= state_.songCount) return;
    const uint16_t i = static_cast<uint16_t>(selectedLine);
    state_.view.removeLine(i);
    state_.view.insertLine(i - 1, songName(state_.songs[i]));
    state_.view.selectLine(i - 1);
    exchangeSongs(state_.songs.data(), static_cast<uint16_t>(i - 1), i);
}

void VelmoCore::onDown(int selectedLine) {
    if (running_) return;
    if (state_.songCount == 0 || selectedLine < 0 || selectedLine + 1 >= state_.songCount) return;
    const uint16_t i = static_cast<uint16_t>(selectedLine);
    state_.view.removeLine(i);
    state_.view.insertLine(i + 1, songName(state_.songs[i]));
    state_.view.selectLine(i + 1);
    exchangeSongs(state_.songs.data(), i, static_cast<uint16_t>(i + 1));
}

void VelmoCore::onQuality(uint16_t code) {
    if (running_) return;
    state_.view.setQualityButtons(code == kQualityBest, code == kQualityGood, code == kQualityNormal);
    if (code == state_.quality) return;
    state_.totalEstimate = rescaleEstimates(state_.songs.data(), state_.songCount, code, state_.quality);
    state_.showStatus(state_.totalEstimate);
    state_.quality = code;
}

}  // namespace velmo
