// What a Download and the conversion alone share: the estimates made again
// from the songs' files (on a worker), the conversion of a copy of the list,
// and the end messages of that conversion.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "image_handover.h"
#include "operation.h"
#include "song_progress.h"
#include "songrecord.h"

namespace velmo {

constexpr const char* kConvertFailedText = "Music files converted error !";

class ConvertingOperation : public RunningOperation {
  public:
    using RunningOperation::RunningOperation;
    // What the conversion did to each song, from whichever event ends it.
    void keepResults(const Event& event) override;

  protected:
    // Copies the list's first `count` songs (already cut to fit, when they
    // had to be) and estimates them again from their sources on a worker;
    // onEstimates follows with the new total.
    // `checkFiles`: every song's file is also checked readable (the working
    // copy once it is made, else the source), for a Download that must not
    // erase the clock for songs it cannot read.
    void startEstimates(const std::vector<Song>& songs, bool checkFiles);
    virtual void onEstimates(uint32_t total, const std::vector<UnreadableSong>& unreadable) = 0;
    // The conversion of the copy on its own worker; `handOver` non-null when
    // a write takes the image as it is made.
    void startConversion(ImageHandOver* handOver);
    // The events of the estimates and the conversion, common to both. What
    // the conversion did to each song is kept by keepResults, which every
    // event passes first, whatever ends it.
    void on(const EstimatesDone& e);
    void on(const EncodeProgress& e);
    // Where the conversion is: the song begun last, the songs placed.
    void on(const SongStarted& e);
    void on(const SongPlaced& e);
    // The conversion's percent from the songs placed so far, for a bar that
    // no EncodeProgress moves (a Download's).
    virtual void onConversionPercent(int percent) { (void)percent; }
    // The songs' detail beside the progress caption; null before the
    // conversion starts.
    SongProgress* songProgress() { return songProgress_.get(); }
    void on(const ConvertNotice& e);
    void on(const ConvertDone& e);
    void on(const ConvertFailed& e);
    void on(const ConvertAborted& e);
    // Each song's real size and whether it is on the clock, for the list.
    void keepSongFates() const;
    // The conversion's end, for the operation's own steps.
    virtual void onConversionEnded() {}
    // True when the conversion left songs that keep no data: could not be
    // converted, or did not fit once their real sizes were known.
    bool songsLeftOff() const { return !fate_.unconverted.empty() || !fate_.didNotFit.empty(); }
    // Every song left off, by name.
    LeftOff leftOff() const;
    // The operation's end once its image is complete: Finished, or
    // Incomplete naming the songs left off, with `message` what was said.
    void noteImageOutcome(const Message& message);
    // The list (core_.songs) takes what the conversion did to its songs, as
    // its end event said: working copies made, where each song's data lies.
    // On the user-interface thread, once the conversion has ended.
    void applyPlacements();
    // What the conversion did to song i; null before its end event.
    const SongPlacement* placement(size_t i) const;

    std::vector<Song> songs_;  // the operation's copy of the list
    uint32_t total_ = 0;
    ConvertDone fate_;  // what the conversion reported of each song

  private:
    std::vector<std::string> namesOf(const std::vector<uint16_t>& positions) const;

    std::vector<SongPlacement> placements_;  // from the conversion's end event, whatever it was
    std::unique_ptr<SongProgress> songProgress_;
};

// The cause of a failed write for people: a full disk named as such, else
// the system's text for `errorNumber`.
std::string writeErrorText(int errorNumber);

}  // namespace velmo
