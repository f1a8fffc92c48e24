// How much of the image a Download wrote, for people.
#pragma once

#include <string>

#include "outcome.h"

namespace velmo {

// "wrote 212 KiB of 2.9 MiB; 31 songs unchanged".
std::string writtenSummaryText(const Outcome& outcome);
// What the Download's end adds to its message: a line with the summary when
// the clock kept sectors it held already; nothing after a whole write, whose
// end reads as it always has.
std::string writtenSummaryLine(const Outcome& outcome);

}  // namespace velmo
