// What a Download and the conversion alone tell of their songs while they
// work, beyond the bar (View::setProgressDetail): the song a conversion
// worker began last and how many it has begun, the song whose bytes the
// write is sending and its place in the list, the bytes a write by the
// record has sent, and the time left of the stage under way. Fed with the
// workers' progress events on the user-interface thread; the time comes
// from a steady clock (or the clock a test gives).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "events.h"
#include "songrecord.h"
#include "time_left.h"
#include "view.h"

namespace velmo {

class SongProgress {
  public:
    using Now = std::function<double()>;  // seconds of a steady clock
    // `songs`: the job's songs, in list order (only the first 32 are
    // converted). The conversion's stage starts now.
    SongProgress(View& view, const std::vector<Song>& songs, Now now = {});

    // The conversion began a song: named while the conversion's caption is up.
    void started(const SongStarted& e);
    // A song took its place in the image. Returns the conversion's percent
    // (the placed songs' estimates of the list's), 1 to 99.
    int placed(const SongPlaced& e);
    // A block of a Download's write was sent. The first one begins the
    // write's stage: its caption must be up before this is called.
    void written(const WriteProgress& e);
    // A block of the read-back was read (its caption up before the first).
    void readBack(int percent);

  private:
    enum class Stage { Converting, Writing, Reading };
    void enter(Stage stage);
    void show(ProgressDetail detail);
    // The song whose data holds `dataOffset`; count_ when none is known.
    size_t songAt(uint32_t dataOffset) const;

    View& view_;
    Now now_;
    std::vector<std::string> names_;
    std::vector<uint32_t> estimates_;
    uint64_t estimateTotal_ = 0;
    size_t count_;
    Stage stage_ = Stage::Converting;
    TimeLeft timeLeft_;
    ProgressDetail shown_;

    // The conversion.
    size_t startedCount_ = 0;
    size_t startedSong_ = 0;
    uint64_t placedEstimates_ = 0;
    struct Span {
        uint32_t offset = 0;
        uint32_t size = 0;
    };
    std::vector<Span> spans_;  // one per song placed, in list order
    // The write.
    size_t writtenSong_ = 0;
};

}  // namespace velmo
