// The words of the song list: tooltips, lengths, sizes and quality names.
#include <cstdio>
#include <optional>

#include "admission.h"
#include "presenter.h"
#include "songlist.h"
#include "translation.h"
#include "velmo_core.h"

namespace velmo::present {

namespace {

// What a song is, as its tooltip in the window says it, one line each.
constexpr const char* kSongSourceFormat = N_("Source file: %s");
constexpr const char* kSongFormatFormat = N_("Format: %s");
constexpr const char* kSongLengthFormat = N_("Length: %s");
// TRANSLATORS: the quality's name ("Best", "Good", "Normal"), then a size ("801.6 KiB").
constexpr const char* kSongSizeFormat = N_("Estimated size at %s quality: %s");
constexpr const char* kSongShareFormat = N_("Share of the clock: %.1f %%");
// What a Download does with the song: copies the frames of a file already in
// the clock's form at the list's quality, or encodes it.
constexpr const char* kSongCopiedText = N_("Download: copied as it is, already in the clock's form");
constexpr const char* kSongCopiedIfEvenText =
    N_("Download: copied as it is if its loudness is already even, otherwise encoded");
constexpr const char* kSongEncodedText = N_("Download: encoded to the clock's form");
// A song's format or length that cannot be told.
constexpr const char* kUnknownText = N_("unknown");
// How full the clock would be at a quality: the quality's name, then the percentage.
constexpr const char* kQualityFitsFormat = N_("%s: %.1f %%, fits");
constexpr const char* kQualityDoesNotFitFormat = N_("%s: %.1f %%, does not fit");
constexpr const char* kQualityBestName = N_("Best");
constexpr const char* kQualityGoodName = N_("Good");
constexpr const char* kQualityNormalName = N_("Normal");

double percentOf(uint64_t total, uint32_t cap) {
    // No capacity at all is full, whatever the list.
    return cap == 0 ? 100.0 : static_cast<double>(total) * 100.0 / static_cast<double>(cap);
}

}  // namespace

std::string formatLength(double seconds) {
    const uint64_t total = seconds > 0.0 && seconds < 1e12 ? static_cast<uint64_t>(seconds + 0.5) : 0;
    char text[48];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(total / 3600),
                      static_cast<unsigned>(total / 60 % 60), static_cast<unsigned>(total % 60));
    else
        std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(total / 60),
                      static_cast<unsigned>(total % 60));
    return text;
}

std::string formatSize(uint64_t bytes) { return format(tr_("%.1f KiB"), static_cast<double>(bytes) / 1024.0); }

std::string qualityDisplayName(uint16_t code) {
    switch (code) {
        case kQualityBest:
            return tr_(kQualityBestName);
        case kQualityGood:
            return tr_(kQualityGoodName);
        case kQualityNormal:
            return tr_(kQualityNormalName);
        default:
            return "code " + std::to_string(code);
    }
}

std::string songToolTip(const VelmoCore& core, size_t i) {
    const Song& rec = core.song(i);
    const SongFacts facts = core.songFacts(i);
    const uint32_t estimate = rec.sizeEstimate;
    const std::string length = facts.duration > 0.0 ? formatLength(facts.duration) : tr_(kUnknownText);
    std::string tip = format(tr_(kSongSourceFormat), fieldText(rec.sourcePath).c_str());
    tip += "\n" + format(tr_(kSongFormatFormat), facts.format.empty() ? tr_(kUnknownText) : facts.format.c_str());
    tip += "\n" + format(tr_(kSongLengthFormat), length.c_str());
    tip +=
        "\n" + format(tr_(kSongSizeFormat), qualityDisplayName(core.quality()).c_str(), formatSize(estimate).c_str());
    tip += "\n" + format(tr_(kSongShareFormat), percentOf(estimate, core.capacity()));
    const std::optional<uint32_t> real = core.songConvertedSize(i);
    const std::string leftOff = songLeftOffText(core, i);
    if (!leftOff.empty()) {
        if (real) tip += "\n" + format(tr_("Converted size: %s"), formatSize(*real).c_str());
        tip += "\n" + format(tr_("Not on the clock: %s"), leftOff.c_str());
    } else if (real) {
        tip += "\n" + format(tr_("Size on the clock: %s"), formatSize(*real).c_str());
    }
    const VelmoCore::SongConversionPlan plan = core.conversionPlan(i);
    tip += "\n";
    tip += plan == VelmoCore::SongConversionPlan::Copy         ? tr_(kSongCopiedText)
           : plan == VelmoCore::SongConversionPlan::CopyIfEven ? tr_(kSongCopiedIfEvenText)
                                                    : tr_(kSongEncodedText);
    return tip;
}

std::string songLeftOffText(const VelmoCore& core, size_t i) {
    const std::optional<SongFactsStore::Fate> fate = core.songFate(i);
    if (!fate) return {};
    switch (fate->leftOff) {
        case SongFactsStore::Fate::LeftOff::No:
            return {};
        case SongFactsStore::Fate::LeftOff::DidNotFit:
            return tr_("did not fit on the clock");
        case SongFactsStore::Fate::LeftOff::NotConverted:
            break;
    }
    if (fate->errorNumber == 0) return tr_("could not be converted");
    return format(tr_("%s (%s)"), tr_("could not be converted"), causeText(fate->errorNumber).c_str());
}

std::string qualityToolTip(const VelmoCore& core, uint16_t code) {
    const VelmoCore::QualityFill fill = core.qualityFill(code);
    return format(fill.fits ? tr_(kQualityFitsFormat) : tr_(kQualityDoesNotFitFormat), qualityDisplayName(code).c_str(),
                  fill.percent);
}

}  // namespace velmo::present
