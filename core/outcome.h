// How an operation of the core ended, handed to every front end at its end
// (View::operationEnded, VelmoCore::lastOutcome). Front ends decide what to do
// from these values; the presenter words them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "message.h"

namespace velmo {


enum class OutcomeKind {
    Finished,  // done as asked
    // Done, but songs are not whole on the clock (or in the image): each is
    // named in `leftOff`.
    Incomplete,
    Refused,   // not started: a check or the user's answer kept it from starting
    Failed,    // started and could not be completed
    Stopped,   // the user asked it to stop
};

struct Outcome {
    Operation operation = Operation::None;
    OutcomeKind kind = OutcomeKind::Finished;
    // How it ended, as the user was told (the first message, when the
    // operation told several); none for a plain finish.
    std::optional<Message> message;
    // A Download or image: the songs left off the clock (or the image), by name.
    LeftOff leftOff;
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
