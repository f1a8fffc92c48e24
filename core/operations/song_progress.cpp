#include "song_progress.h"

#include <algorithm>
#include <chrono>

#include "admission.h"
#include "storage_layout.h"

namespace velmo {

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

SongProgress::SongProgress(View& view, const std::vector<Song>& songs, Now now)
    : view_(view),
      now_(now ? std::move(now) : Now(steadySeconds)),
      count_(std::min<size_t>(songs.size(), kMaxHeaderSongs)) {
    for (size_t i = 0; i < count_; ++i) {
        names_.push_back(songName(songs[i]));
        estimates_.push_back(songs[i].sizeEstimate);
        estimateTotal_ += songs[i].sizeEstimate;
    }
    writtenSong_ = count_;
    timeLeft_.restart(now_());
}

void SongProgress::enter(Stage stage) {
    if (stage_ == stage) return;
    stage_ = stage;
    // The stage's caption has just been put up, which forgot the last detail.
    shown_ = ProgressDetail{};
    timeLeft_.restart(now_());
}

void SongProgress::show(ProgressDetail detail) {
    if (detail == shown_) return;
    shown_ = detail;
    view_.setProgressDetail(detail);
}

void SongProgress::started(const SongStarted& e) {
    if (e.position >= count_) return;
    // Workers post from their own threads: the latest begun is the one with
    // the highest count, whatever order the events came in.
    if (e.started > startedCount_) {
        startedCount_ = e.started;
        startedSong_ = e.position;
    }
    if (stage_ != Stage::Converting) return;
    ProgressDetail d = shown_;
    d.song = names_[startedSong_];
    d.index = static_cast<int>(startedCount_);
    d.count = static_cast<int>(count_);
    show(d);
}

int SongProgress::placed(const SongPlaced& e) {
    if (e.position < count_) {
        if (spans_.size() <= e.position) spans_.resize(e.position + 1u);
        spans_[e.position] = Span{e.dataOffset, e.dataSize};
        placedEstimates_ += estimates_[e.position];
    }
    const uint64_t total = std::max<uint64_t>(estimateTotal_, 1);
    const int percent = static_cast<int>(std::clamp<uint64_t>(placedEstimates_ * 100u / total, 1, 99));
    if (stage_ == Stage::Converting && startedCount_ > 0) {
        ProgressDetail d = shown_;
        d.secondsLeft = timeLeft_.at(now_(), placedEstimates_, estimateTotal_);
        show(d);
    }
    return percent;
}

size_t SongProgress::songAt(uint32_t dataOffset) const {
    uint32_t end = 0;
    for (size_t i = 0; i < spans_.size(); ++i) {
        const Span& s = spans_[i];
        if (s.size != 0 && dataOffset >= s.offset && dataOffset - s.offset < s.size) return i;
        end = std::max(end, s.offset + s.size);
    }
    // Past the songs placed so far: the song at the head of the list, whose
    // bytes the write sends while it is still being converted.
    if (dataOffset >= end && spans_.size() < count_) return spans_.size();
    return count_;
}

void SongProgress::written(const WriteProgress& e) {
    enter(Stage::Writing);
    // The header goes last and names no song of its own: the song shown stays.
    if (e.imageEnd > kStorageHeaderBytes) {
        // A block that holds the end of one song and the start of the next
        // is the next one's: the first block of a song is where it begins.
        const size_t song = songAt(e.imageEnd - 1 - kStorageHeaderBytes);
        if (song < count_) writtenSong_ = song;
    }
    ProgressDetail d;
    if (writtenSong_ < count_) {
        d.song = names_[writtenSong_];
        d.index = static_cast<int>(writtenSong_ + 1);
        d.count = static_cast<int>(count_);
    }
    if (e.byRecord) {
        d.bytesDone = e.bytesDone;
        d.bytesTotal = e.imageBytes;
    }
    d.secondsLeft = timeLeft_.at(now_(), e.bytesDone, e.bytesTotal);
    show(d);
}

void SongProgress::readBack(int percent) {
    enter(Stage::Reading);
    ProgressDetail d;
    d.secondsLeft = timeLeft_.at(now_(), static_cast<uint64_t>(std::max(percent, 0)), 100);
    show(d);
}

}  // namespace velmo
