#include "presenter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core_state.h"
#include "operations/converting_operation.h"
#include "terminal_text.h"
#include "translation.h"

namespace velmo::present {

std::string writtenSummary(const Written& w);

namespace {

constexpr const char* kCaptionError = N_("Error");
constexpr const char* kCaptionWarning = N_("Warning");
constexpr const char* kCaptionInformation = N_("Information");

Box error(std::string text) { return Box{std::move(text), kCaptionError, MessageIcon::Error, MessageButtons::Ok}; }
Box information(std::string text) {
    return Box{std::move(text), kCaptionInformation, MessageIcon::Information, MessageButtons::Ok};
}
Box warning(std::string text) { return Box{std::move(text), kCaptionWarning, MessageIcon::Warning, MessageButtons::Ok}; }
// An error box with no icon: the system's default look for the caption.
Box plainError(std::string text) { return Box{std::move(text), kCaptionError, MessageIcon::None, MessageButtons::Ok}; }

// The clock is attached, but another program (a second Velmo on another
// folder) holds it: told apart from an unplugged clock, whose text stays.
std::string noClock(const Message& m, const char* unplugged) {
    return m.busy ? tr_("The clock is in use by another program !") : tr_(unplugged);
}

std::string cannot(const char* sentence, const Message& m) {
    return format(tr_(sentence), messageName(m.file).c_str(), std::strerror(m.errorNumber));
}

std::string placeText(const Message& m) {
    switch (m.place) {
        case Place::Header:
            return tr_("in the song header");
        case Place::Song:
            return format(tr_("in song %zu (%s)"), static_cast<size_t>(m.song), m.name.c_str());
        case Place::PastSongs:
            break;
    }
    return tr_("past the songs");
}

std::string songsUnreadable(const Message& m) {
    std::string text;
    for (size_t i = 0; i < m.items.size(); ++i)
        text += (text.empty() ? "" : "\n") +
                format(tr_("Cannot read %s: %s"), m.items[i].c_str(), i < m.reasons.size() ? m.reasons[i].c_str() : "");
    return text;
}

std::string songsDamaged(const Message& m) {
    std::string text;
    for (uint32_t n : m.numbers)
        text += (text.empty() ? "" : "\n") + format(tr_("Song %d on the clock is damaged and was not reloaded"), int(n));
    return text;
}

std::string sizeText(uint32_t bytes) {
    if (bytes < 1024u) return format(trn_("%u byte", "%u bytes", bytes), bytes);
    if (bytes < 1024u * 1024u) return format(tr_("%u KiB"), (bytes + 512u) / 1024u);
    return format(tr_("%.1f MiB"), static_cast<double>(bytes) / (1024.0 * 1024.0));
}

// A line with the summary when the clock kept sectors it held already;
// nothing after a whole write, whose end reads as it always has.
std::string writtenLine(const Written& w) {
    if (w.imageBytes == 0 || w.bytesWritten >= w.imageBytes) return {};
    return "\n" + writtenSummary(w);
}

}  // namespace

std::string writtenSummary(const Written& w) {
    // TRANSLATORS: the bytes written, the image's size, then the songs the clock kept as they were.
    return format(trn_("wrote %s of %s; %u song unchanged", "wrote %s of %s; %u songs unchanged", w.songsUnchanged),
                  sizeText(w.bytesWritten).c_str(), sizeText(w.imageBytes).c_str(),
                  static_cast<unsigned>(w.songsUnchanged));
}

std::string causeText(int errorNumber) { return writeErrorText(errorNumber); }

std::string withLeftOff(const std::string& finished, const LeftOff& leftOff) {
    std::string text = finished;
    if (!leftOff.unconverted.empty()) {
        std::string list;
        for (size_t k = 0; k < leftOff.unconverted.size(); ++k) {
            const int cause = k < leftOff.causes.size() ? leftOff.causes[k] : 0;
            const std::string& name = leftOff.unconverted[k];
            list += (k ? ", " : "") +
                    (cause == 0 ? name : format(tr_("%s (%s)"), name.c_str(), writeErrorText(cause).c_str()));
        }
        const char* sentence =
            // TRANSLATORS: %1$s is the finished message, %2$zu the count, %3$s the songs' names.
            trn_("%s %zu song could not be converted: %s", "%s %zu songs could not be converted: %s",
                 leftOff.unconverted.size());
        text = format(sentence, text.c_str(), leftOff.unconverted.size(), list.c_str());
    }
    if (!leftOff.didNotFit.empty()) {
        std::string list;
        for (size_t k = 0; k < leftOff.didNotFit.size(); ++k) list += (k ? ", " : "") + leftOff.didNotFit[k];
        const char* sentence =
            // TRANSLATORS: %1$s is what was said before (the finished message), %2$zu the count, %3$s the songs' names.
            trn_("%s %zu song did not fit on the clock and is not on it: %s",
                 "%s %zu songs did not fit on the clock and are not on it: %s", leftOff.didNotFit.size());
        text = format(sentence, text.c_str(), leftOff.didNotFit.size(), list.c_str());
    }
    return text;
}

namespace {

Box definedBox(const Message& m, const std::string& appName);

// Where the agent program was looked for, in the words velmo-cli uses.
std::string agentCause(const AgentLookup& a) {
    if (!a.path.empty()) {
        // TRANSLATORS: the agent program's path and why it cannot be read.
        return format(tr_("The clock's agent program %s cannot be read: %s"), a.path.c_str(),
                      std::strerror(a.errorNumber));
    }
    if (!a.installedFolder.empty())
        return format(tr_("%s/%s (the clock's agent program) is missing, and so is the installed copy in %s"),
                      a.startFolder.c_str(), a.name.c_str(), a.installedFolder.c_str());
    return format(tr_("%s/%s (the clock's agent program) is missing; it lies beside the program in %s"),
                  a.startFolder.c_str(), a.name.c_str(), a.programFolder.c_str());
}

// What the clock holds once its connection was lost during a Download.
const char* holdsText(ClockHolds holds) {
    switch (holds) {
        case ClockHolds::Unchanged:
            return tr_("The clock was not changed.");
        case ClockHolds::NoSongs:
            return tr_("The clock now holds no songs (its song header is erased first and written last), unless "
                       "the connection was lost after the last block. Download again once it is plugged in.");
        case ClockHolds::NewSongsUnverified:
            return tr_("The clock holds the new songs, but they were not verified.");
        case ClockHolds::Unknown:
            break;
    }
    return nullptr;
}

// Several files of one Add or Drop, one line each with its own reason.
std::string refusedLines(const std::vector<Message>& refused) {
    std::string text;
    for (const Message& r : refused) text += "\n" + definedBox(r, {}).text;
    return text;
}

// How many files of an Add or a Drop joined the list, and why the others did not.
std::string joinedText(const Message& m) {
    const Joined& j = m.joined;
    std::string text = format(tr_("%zu of %zu files joined the list"), j.joined, j.given);
    text += ".";
    if (j.overCount != 0)
        text += "\n" + format(trn_("%zu file was left out: a list takes at most %zu songs.",
                                   "%zu files were left out: a list takes at most %zu songs.", j.overCount),
                              j.overCount, j.countLimit);
    if (j.overStorage != 0)
        text += "\n" + format(trn_("%zu file was left out: the clock's storage is full.",
                                   "%zu files were left out: the clock's storage is full.", j.overStorage),
                              j.overStorage);
    if (j.notSongs != 0)
        text += "\n" + format(trn_("%zu file is not an .mp3 or .wav file.", "%zu files are not .mp3 or .wav files.",
                                   j.notSongs),
                              j.notSongs);
    if (j.unnamed != 0)
        text += "\n" + format(trn_("%zu file was left out: no name could be made for it in the list.",
                                   "%zu files were left out: no name could be made for the first of them in the list.",
                                   j.unnamed),
                              j.unnamed);
    if (!m.refused.empty())
        text += "\n" + format(trn_("%zu file was refused:", "%zu files were refused:", m.refused.size()),
                              m.refused.size()) +
                refusedLines(m.refused);
    return text;
}

}  // namespace

// The defined sentence first, then what this build adds to it.
Box box(const Message& m, const std::string& appName) {
    Box b = definedBox(m, appName);
    if (m.agent) b.text += "\n" + agentCause(*m.agent);
    if (m.say == Say::UsbConnectionError)
        if (const char* holds = holdsText(m.holds)) b.text += std::string("\n") + holds;
    if (m.say == Say::DownloadFinished && m.verified)
        b.text += std::string("\n") + tr_("Verified: what was written was read back from the clock and matches.");
    return b;
}

namespace {

Box definedBox(const Message& m, const std::string& appName) {
    switch (m.say) {
        case Say::TableProblem:
        case Say::SettingsProblem:
            return m.setAside ? warning(m.detail) : error(m.detail);
        case Say::NoDeviceLibrary:
            return error(tr_("Please install USB driver first !"));
        case Say::NoClockAtStart:
            return error(noClock(m, N_("USB connection error !\nPlease plug-in USB first.")));
        case Say::ReplugClock:
            return error(tr_("Please plug-out & plug-in USB again !"));
        case Say::StorageDeviceNotFound:
            return error(tr_("Storage device is not found !"));
        case Say::ListNotSaved:
            return error(format(tr_("The song list was not saved. %s"), m.detail.c_str()));
        case Say::OptionsNotSaved:
            return error(format(tr_("The options were not saved. %s"), m.detail.c_str()));

        case Say::StorageLimitReached:
            return information(tr_("Storage size limit reached !"));
        case Say::SongCountOverLimit:
            return error(tr_("Song counts are over than limit !"));
        case Say::SongCountReachedLimit:
            return error(tr_("Song counts are over than limit"));
        case Say::SongsOverStorageLimit:
            return error(tr_("Songs over than storage limit !"));
        case Say::CannotOpenSong:
            return error(cannot(N_("Cannot open %s: %s"), m));
        case Say::FormatNotSupported:
            return error(format(tr_("The file format of %s is not supported"), messageName(m.file).c_str()));
        case Say::DropOverSixtyFour:
            return error(tr_("Total song files are over than sixty four files !"));
        case Say::OnlyMp3AndWav:
            return plainError(tr_("Only support '.mp3' & '.wav' file format."));
        case Say::DroppedFilesLeftOut:
            return error(tr_("Only support '.mp3' & '.wav' file format."));
        case Say::ListJoined:
            return information(joinedText(m));

        case Say::NoClockForDownload:
            return error(noClock(m, N_("Please plug-in USB to download songs !")));
        case Say::NoSongs:
            return information(tr_("No song files are in list box !"));
        case Say::SongsUnreadable:
            return error(songsUnreadable(m));
        case Say::NotEnoughSpace:
            return error(format(tr_("Not enough space in %s: %llu MB needed, %llu MB free"), m.file.c_str(),
                                static_cast<unsigned long long>(m.needed), static_cast<unsigned long long>(m.free)));
        case Say::StorageNotFoundForDownload:
            return information(tr_("Storage is not found !"));
        case Say::ConvertNotice:
        case Say::ConvertAborted:
            return plainError(m.detail);
        case Say::ConvertFailed: {
            // A full disk is said; the failure's own text stands alone otherwise.
            const std::string text = m.errorNumber == 0 ? std::string(kConvertFailedText)
                                                        : format(tr_("%s (%s)"), kConvertFailedText,
                                                                 writeErrorText(m.errorNumber).c_str());
            return Box{text, appName, MessageIcon::None, MessageButtons::Ok};
        }
        case Say::DownloadFinished:
            return information(withLeftOff(tr_("Downloading songs finished !"), m.leftOff) + writtenLine(m.written));
        case Say::DownloadStoppedErased:
            return information(tr_("Download stopped: the clock now holds no songs."));
        case Say::DownloadStoppedUntouched:
            return information(tr_("Download stopped: the clock was not changed."));
        case Say::DownloadStoppedUnverified:
            return information(tr_("Download stopped: the clock holds the new songs, but they were not verified."));
        case Say::VerifyMismatch:
            // TRANSLATORS: the last %s is where the address lies, e.g. "in song 2 (Name)".
            return error(format(
                tr_("Verify failed: the clock holds 0x%02X at storage address 0x%X where the image has 0x%02X, %s"),
                m.clockByte, m.address, m.imageByte, placeText(m).c_str()));
        case Say::ImageMade:
            return information(withLeftOff(tr_("The image was made."), m.leftOff));
        case Say::ImageStopped:
            return information(tr_("Stopped: no image was made."));

        case Say::CannotReadFile:
            return error(cannot(N_("Cannot read %s: %s"), m));
        case Say::CannotWriteFile:
            return error(cannot(N_("Cannot write %s: %s"), m));
        case Say::UsbConnectionError:
            return error(tr_("USB connection error"));
        case Say::UsbConnectionErrorBang:
            return error(tr_("USB connection error !"));
        case Say::StorageWriteError:
            return error(tr_("Storage write error !"));
        case Say::StorageEraseError:
            return error(tr_("Storage erase error !"));

        case Say::NoClockForReload:
        case Say::NoClockForFirmware:
        case Say::FirmwareAgentLost:
            return error(noClock(m, N_("Please plug-in USB again !")));
        case Say::ReloadAgentLost:
            return error(tr_("USB connection error ! Please plug-in USB again."));
        case Say::StorageNotFoundForReload:
            return error(tr_("Storage is not found !"));
        case Say::ReadHeaderDiffers:
            return error(
                tr_("Read error: the clock's song header read differently at every read. Try the Reload again."));
        case Say::ReadSongDiffers:
            return error(format(tr_("Read error: song %u (%s) read differently at every read. Try the Reload again."),
                                unsigned{m.song}, m.name.c_str()));
        case Say::ReadSongNotAsDownloaded:
            return error(
                format(tr_("Read error: song %u (%s) did not read as it was downloaded. Try the Reload again."),
                       unsigned{m.song}, m.name.c_str()));
        case Say::HeaderDamaged:
            return error(tr_("The clock's song header is damaged"));
        case Say::NoMusicData:
            return information(tr_("Storage has no music data."));
        case Say::ReloadFailed:
            return error(tr_("Reload music data failed."));
        case Say::SongsDamaged:
            return warning(songsDamaged(m));
        case Say::ReloadFinished:
            return information(tr_("Reloading songs finished !"));
        case Say::ReloadStopped:
            return information(tr_("Reload stopped: the song list was not changed."));

        case Say::StorageFormatError:
            return error(tr_("Storage format reading error !\n"));
        case Say::FirmwareFormatError:
            return error(tr_("Firmware code format error !"));
        case Say::FirmwareTooLarge:
            return error(tr_("Firmware code file size is over limitation !"));
        case Say::FirmwareUnreadable:
            return error(tr_("Binary code file reading error!"));
        case Say::FirmwareWritten:
            return information(tr_("Writing code O.K !"));
        case Say::FirmwareWriteFailed:
            return error(tr_("Writing code failed !"));
        case Say::FirmwareVerifyFailed:
            return error(tr_("Verify code failed !"));

        // The terminal's words for a Verify, which has no box of its own.
        case Say::VerifyNoClock:
            return error("verify: the clock is no longer connected");
        case Say::VerifyImageGone:
            return error("verify: the image " + m.file + " is gone; nothing to compare");
        case Say::VerifyFailedAt:
            return error(format("verify failed: the clock holds 0x%02X at storage address 0x%X where the image has 0x%02X",
                                m.clockByte, m.address, m.imageByte));
        case Say::VerifyImageUnreadable:
            return error("verify: cannot read the image " + m.file + ": " + std::strerror(m.errorNumber));
        case Say::VerifyReadFailed:
            return error("verify: reading the clock's storage failed");
        case Say::VerifyStopped:
            return information(tr_("Verify stopped: the clock was not changed."));

        case Say::NoClockForErase:
            return error(noClock(m, N_("Please plug-in USB again !")));
        case Say::EraseAgentLost:
            return error(tr_("Please plug-out & plug-in USB again !"));
        case Say::StorageNotFoundForErase:
            return error(tr_("Storage is not found !"));
        case Say::EraseFinished:
            return information(tr_("The clock's songs were erased."));
        case Say::EraseStopped:
            return information(m.erased ? tr_("Erase stopped: the clock now holds no songs.")
                                        : tr_("Erase stopped: the clock was not changed."));

        case Say::Declined:
            return information(box(Question{static_cast<QuestionKind>(m.question)}).text + " Cancel");
        case Say::NoFirmwareChosen:
            return information(tr_("No firmware file was chosen."));
    }
    return error({});
}

}  // namespace

std::string text(const Message& message) { return box(message, "velmo").text; }

Box box(const Question& q) {
    switch (q.kind) {
        case QuestionKind::AutoCut:
            return Box{tr_("Auto cut songs to fit storage size ?"), N_("Warning !"), MessageIcon::None,
                       MessageButtons::OkCancel};
        case QuestionKind::ReloadSongs:
            return Box{tr_("Reload song data into P.C ?"), kCaptionWarning, MessageIcon::None,
                       MessageButtons::OkCancel};
        case QuestionKind::UpgradeFirmware:
            return Box{tr_("Upgrade Firmware ?"), kCaptionWarning, MessageIcon::None, MessageButtons::OkCancel};
        case QuestionKind::FirmwareFile:
            return Box{"Binary files", "*.bin", MessageIcon::None, MessageButtons::OkCancel};
        case QuestionKind::EraseClock:
            return Box{tr_("Erase every song from the clock ?"), kCaptionWarning, MessageIcon::None,
                       MessageButtons::OkCancel};
        case QuestionKind::StopOperation:
            break;
    }
    const char* what = q.operation == static_cast<int>(Operation::Reload)  ? tr_("A reload is under way. Stop it?")
                       : q.operation == static_cast<int>(Operation::Erase) ? tr_("An erase is under way. Stop it?")
                                                                           : tr_("A download is under way. Stop it?");
    const char* leaves = nullptr;
    switch (q.leaves) {
        case StopLeaves::ClockUnchanged:
            leaves = tr_("The clock will not be changed.");
            break;
        case StopLeaves::ClockEmpty:
            leaves = tr_("The clock will then hold no songs.");
            break;
        case StopLeaves::ClockUnverified:
            leaves = tr_("The clock will keep the new songs, but they will not be verified.");
            break;
        case StopLeaves::ListUnchanged:
            leaves = tr_("The song list will not be changed.");
            break;
        case StopLeaves::Nothing:
            break;
    }
    std::string text = what;
    if (leaves != nullptr) text += std::string("\n") + leaves;
    return Box{text, kCaptionWarning, MessageIcon::Warning, MessageButtons::OkCancel};
}

std::string menuText(Operation operation) {
    switch (operation) {
        case Operation::Erase:
            return tr_("&Erase the Clock...");
        default:
            break;
    }
    return {};
}

std::string commandHelp(Operation operation) {
    switch (operation) {
        case Operation::Erase:
            return tr_("erase every song from the clock (asks first; --yes answers OK)");
        default:
            break;
    }
    return {};
}

std::string caption(ProgressStage stage) {
    switch (stage) {
        case ProgressStage::Idle:
            break;
        case ProgressStage::Converting:
            return tr_("Progress: converting music data...");
        case ProgressStage::Downloading:
            return tr_("Progress: downloading music data...");
        case ProgressStage::Verifying:
            return tr_("Progress: verifying music data...");
        case ProgressStage::CheckingClock:
            return tr_("Progress:checking music data...");
        case ProgressStage::Reloading:
            return tr_("Progress:Reloading music data...");
        case ProgressStage::FirmwareWait:
            return tr_("Writing firmware: the clock must not be unplugged");
        case ProgressStage::VerifyingFirmware:
            return tr_("Progress:Verifying firmware code...");
        case ProgressStage::Erasing:
            return tr_("Progress: erasing the clock...");
    }
    return tr_("Progress:");
}

std::string progressSongText(const ProgressDetail& d) {
    if (d.index <= 0 || d.count <= 0) return {};
    // TRANSLATORS: the song at work and its place among the songs: "Walk (3 of 12)".
    return d.song.empty() ? format(tr_("%d of %d"), d.index, d.count)
                          : format(tr_("%s (%d of %d)"), d.song.c_str(), d.index, d.count);
}

std::string progressBarText(const ProgressDetail& d) {
    std::string text;
    if (d.bytesTotal != 0) {
        const auto size = [](uint64_t bytes) {
            return sizeText(static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX)));
        };
        // TRANSLATORS: the bytes a Download has written so far, of the image's size.
        text = format(tr_("wrote %s of %s"), size(d.bytesDone).c_str(), size(d.bytesTotal).c_str());
    }
    if (d.secondsLeft) {
        const std::string left = timeLeftText(*d.secondsLeft);
        // TRANSLATORS: two parts of the progress beside its bar: "wrote 212 KiB of 2.9 MiB, 0:12 left".
        text = text.empty() ? left : format(tr_("%s, %s"), text.c_str(), left.c_str());
    }
    return text;
}

std::string timeLeftText(int seconds) {
    // TRANSLATORS: the time a job still needs, as "m:ss" or "h:mm:ss".
    return format(tr_("%s left"), formatLength(seconds).c_str());
}

std::string spaceUsage(uint32_t total, uint32_t capacity) {
    const double usage = static_cast<double>(total) * 100.0 / static_cast<double>(capacity);
    if (usage >= 100.0) return tr_(" Space usage: Storage is full !");
    return format(tr_(" Space usage: %2.1f%c"), usage, '%');
}

}  // namespace velmo::present
