#include "written_summary.h"

#include <cstdint>

#include "translation.h"

namespace velmo {

namespace {

std::string sizeText(uint32_t bytes) {
    if (bytes < 1024u) return format(trn_("%u byte", "%u bytes", bytes), bytes);
    if (bytes < 1024u * 1024u) return format(tr_("%u KiB"), (bytes + 512u) / 1024u);
    return format(tr_("%.1f MiB"), static_cast<double>(bytes) / (1024.0 * 1024.0));
}

}  // namespace

std::string writtenSummaryText(const Outcome& outcome) {
    // TRANSLATORS: the bytes written, the image's size, then the songs the clock kept as they were.
    return format(trn_("wrote %s of %s; %u song unchanged", "wrote %s of %s; %u songs unchanged",
                       outcome.songsUnchanged),
                  sizeText(outcome.bytesWritten).c_str(), sizeText(outcome.imageBytes).c_str(),
                  static_cast<unsigned>(outcome.songsUnchanged));
}

std::string writtenSummaryLine(const Outcome& outcome) {
    if (outcome.imageBytes == 0 || outcome.bytesWritten >= outcome.imageBytes) return {};
    return "\n" + writtenSummaryText(outcome);
}

}  // namespace velmo
