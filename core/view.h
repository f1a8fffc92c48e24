// What the application core needs from a screen. The Qt window, the terminal
// front end and the tests' recorder implement it. Every call comes from the
// user-interface thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "message.h"
#include "outcome.h"

namespace velmo {

enum class MessageIcon { None, Error, Information, Warning };
enum class MessageButtons { Ok, OkCancel };
enum class MessageResult { Ok, Cancel };

// What the progress caption says is under way.
enum class ProgressStage {
    Idle,
    Converting,
    Downloading,
    Verifying,
    CheckingClock,      // a Reload reads the song header
    Reloading,          // ... and the songs
    FirmwareWait,       // a firmware write, which cannot be stopped, is waited for
    VerifyingFirmware,
    Erasing,
};

// What the work of the stage under way has come to, beyond its bar: the song
// it is at and its place among the songs, the bytes a Download by the record
// has written, and the time it still needs once that can be estimated. The
// core gives the data; the presenter words it (present::progressDetailText).
struct ProgressDetail {
    std::string song;  // the song's name; empty: no song is named
    int index = 0;     // "n" of "n of m", from 1; 0: no count
    int count = 0;     // "m"
    // A Download written by the record of the last one: the bytes written
    // so far of the image's size (bytesTotal 0: not told).
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;
    std::optional<int> secondsLeft;  // whole seconds, once they can be estimated

    bool operator==(const ProgressDetail& o) const {
        return song == o.song && index == o.index && count == o.count && bytesDone == o.bytesDone &&
               bytesTotal == o.bytesTotal && secondsLeft == o.secondsLeft;
    }
    bool operator!=(const ProgressDetail& o) const { return !(*this == o); }
};

// Control ids of the main window, kept so that front ends and tests name the
// same controls.
enum ControlId : int {
    kIdAdd = 1000,
    kIdDelete = 1001,
    kIdDownload = 1002,
    kIdProgressBar = 1003,
    kIdUpgradeFirmware = 1004,
    kIdSongList = 1005,
    kIdDown = 1008,
    kIdGood = 1009,
    kIdBest = 1010,
    kIdReload = 1011,
    kIdPicture = 1016,
    kIdStatusLine = 1017,
    kIdProgressCaption = 1018,
    kIdNormal = 1019,
    kIdProgressDetail = 1020,  // beside the caption: the song and the time left (ProgressDetail)
    kIdUp = 129,
};

class View {
  public:
    virtual ~View() = default;

    virtual void setProgressStage(ProgressStage stage) = 0;  // control 1018
    virtual void setProgressBar(int percent) = 0;            // control 1003, 0..100
    // The detail of the stage under way; every setProgressStage forgets the
    // last one, so a detail always belongs to the stage shown. Front ends
    // without room for it may ignore it.
    virtual void setProgressDetail(const ProgressDetail& detail) { (void)detail; }
    // The space-usage line (control 1017): `total` bytes of `capacity`.
    virtual void setSpaceUsage(uint32_t total, uint32_t capacity) = 0;

    // The song list box (control 1005); line i belongs to record i.
    virtual void appendLine(const std::string& text) = 0;
    virtual void insertLine(int index, const std::string& text) = 0;
    virtual void removeLine(int index) = 0;
    virtual void resetLines() = 0;
    virtual void selectLine(int index) = 0;  // -1: no line selected
    // Several lines selected at once, in ascending order; a front end that
    // selects one line at most selects the first.
    virtual void selectLines(const std::vector<int>& lines) { selectLine(lines.empty() ? -1 : lines.front()); }
    virtual void setHorizontalExtent(int pixels) = 0;

    // Download and Upgrade Firmware, then the whole window.
    virtual void enableControls(bool enable) = 0;
    // While a Download or Reload runs, the Download button becomes "Stop" and
    // stays usable with everything else disabled; false gives it back its
    // text. Front ends without such a button may ignore it.
    virtual void setStopAvailable(bool available) { (void)available; }
    // Checks or unchecks the Best (1010), Good (1009) and Normal (1019) buttons.
    virtual void setQualityButtons(bool best, bool good, bool normal) = 0;
    virtual void setWindowTitle(const std::string& title) = 0;

    // Something the user is told, in the order the core tells it; the front
    // end words it through the presenter (present/) and shows it before it
    // returns (a modal box in the window).
    virtual void tell(const Message& message) = 0;

    // An operation has ended (every one of Download, Reload, Upgrade
    // Firmware and the conversion alone, refusals included), after its
    // last message box.
    virtual void operationEnded(const Outcome& outcome) { (void)outcome; }

    virtual void startTimer(int milliseconds) = 0;
    virtual void stopTimer() = 0;
    // Ends the window after the close handler has run.
    virtual void closeWindow() = 0;
};

}  // namespace velmo
