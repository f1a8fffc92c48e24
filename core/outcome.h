// How an operation of the core ended, handed to every front end at its end
// (View::operationEnded, VelmoCore::lastOutcome). Front ends decide what to do
// from these values; the texts in them are for people only.
#pragma once

#include <string>
#include <vector>

namespace velmo {

// The long operations of the main window, the conversion alone and the
// read-back of a Download.
enum class Operation { None, Download, Reload, Firmware, Image, Verify };

enum class OutcomeKind {
    Finished,  // done as asked
    // Done, but songs are not whole on the clock (or in the image): each is
    // named in `unconverted` or `didNotFit`.
    Incomplete,
    Refused,   // not started: a check or the user's answer kept it from starting
    Failed,    // started and could not be completed
    Stopped,   // the user asked it to stop
};

struct Outcome {
    Operation operation = Operation::None;
    OutcomeKind kind = OutcomeKind::Finished;
    // Why it was refused, failed or stopped: the message the user was shown
    // (the first one, when the operation showed several).
    std::string reason;
    // A Download or image: the songs (their list lines) that could not be
    // converted and reached the image with no data.
    std::vector<std::string> unconverted;
    // One per `unconverted`: why, for people ("the disk is full"); empty when not known.
    std::vector<std::string> unconvertedCauses;
    // A Download or image: the songs (their list lines) whose converted data
    // did not fit in the clock's data area; they are not on it.
    std::vector<std::string> didNotFit;
    // A Download: the clock was read back after the write and held the image.
    bool verified = false;
    // A Download that reached the clock: the image's size, the bytes
    // programmed (below the size when sectors the clock held already were
    // kept), and the songs whose sectors were neither erased nor written.
    uint32_t imageBytes = 0;
    uint32_t bytesWritten = 0;
    uint32_t songsUnchanged = 0;
};

}  // namespace velmo
