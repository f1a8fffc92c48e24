// What the core tells the user, as data: which message it is and the facts it
// names. The core never words anything; the presenter (present/) turns a
// Message into the text, caption and icon a front end shows, in the user's
// language. Front ends decide from `say` and the facts, never from a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

// The long operations of the main window, the conversion alone and the
// read-back of a Download.
enum class Operation { None, Download, Reload, Firmware, Image, Verify, Erase };

// What an operation asks before it goes on (question.h).
enum class QuestionKind {
    AutoCut,          // the list is larger than the clock: cut songs to fit?
    ReloadSongs,      // replace the list by the clock's songs?
    UpgradeFirmware,  // write new firmware?
    FirmwareFile,     // which firmware file? (answered with a path)
    EraseClock,       // erase every song from the clock?
    StopOperation,    // stop the operation under way? (Escape or the close)
};

// What stopping the operation under way leaves, for StopOperation.
enum class StopLeaves { Nothing, ClockUnchanged, ClockEmpty, ClockUnverified, ListUnchanged };

enum class Say : uint16_t {
    // The start and the close.
    TableProblem,           // `detail`: what is wrong with the song table; `setAside`: it was moved aside
    SettingsProblem,        // the same for the settings file
    NoDeviceLibrary,        // the device library did not load
    NoClockAtStart,         // no clock answered the start (`busy`: another program holds it)
    ReplugClock,            // the clock's agent did not start
    StorageDeviceNotFound,  // the agent reported no storage at the start
    ListNotSaved,           // `detail`: the write's failure
    OptionsNotSaved,        // `detail`: the write's failure

    // The list.
    StorageLimitReached,
    SongCountOverLimit,         // the list is full before an Add
    SongCountReachedLimit,      // an Add filled the list
    SongsOverStorageLimit,      // the list fills the clock before an Add or a Drop
    CannotOpenSong,             // `file`, `errorNumber`
    FormatNotSupported,         // `file`
    DropOverSixtyFour,          // a Drop would make the list longer than its records
    OnlyMp3AndWav,              // a dropped file that no name could be made for
    DroppedFilesLeftOut,        // some dropped files were not song files
    ListJoined,                 // `joined`: how many files of an Add or Drop joined the list, and why the others did not

    // The Download and the conversion alone.
    NoClockForDownload,         // `busy`
    NoSongs,
    SongsUnreadable,            // `items`: one "path: reason" pair per song, `detail`s in `reasons`
    NotEnoughSpace,             // `file`: the working folder; `needed`, `free`: whole megabytes
    StorageNotFoundForDownload,
    ConvertNotice,              // `detail`: the conversion's own notice
    ConvertFailed,              // `errorNumber`: the write that failed, 0: none
    ConvertAborted,             // `detail`: the conversion's own text, naming the file
    DownloadFinished,           // `leftOff`, `written`
    DownloadStoppedErased,
    DownloadStoppedUntouched,
    DownloadStoppedUnverified,
    VerifyMismatch,             // `address`, `clockByte`, `imageByte`, `place`, `song`, `name`
    ImageMade,                  // `leftOff`
    ImageStopped,

    // Transfers.
    CannotReadFile,             // `file`, `errorNumber`
    CannotWriteFile,            // `file`, `errorNumber`
    UsbConnectionError,         // a write or a read-back lost the clock
    UsbConnectionErrorBang,     // a Reload's read lost the clock
    StorageWriteError,
    StorageEraseError,

    // Reload.
    NoClockForReload,           // `busy`
    ReloadAgentLost,
    StorageNotFoundForReload,
    ReadHeaderDiffers,
    ReadSongDiffers,            // `song` (1-based), `name`
    ReadSongNotAsDownloaded,    // `song` (1-based), `name`
    HeaderDamaged,
    NoMusicData,
    ReloadFailed,
    SongsDamaged,               // `numbers`: clock positions, 1-based
    ReloadFinished,
    ReloadStopped,

    // Upgrade Firmware.
    NoClockForFirmware,         // `busy`
    FirmwareAgentLost,
    StorageFormatError,
    FirmwareFormatError,
    FirmwareTooLarge,
    FirmwareUnreadable,
    FirmwareWritten,
    FirmwareWriteFailed,
    FirmwareVerifyFailed,

    // Verify (the terminal's outcome only).
    VerifyNoClock,
    VerifyImageGone,            // `file`
    VerifyFailedAt,             // `address`, `clockByte`, `imageByte`
    VerifyImageUnreadable,      // `file`, `errorNumber`
    VerifyReadFailed,
    VerifyStopped,

    // Erase.
    NoClockForErase,            // `busy`
    EraseAgentLost,
    StorageNotFoundForErase,
    EraseFinished,
    EraseStopped,               // `erased`: the clock's songs were already going

    // Answers the user gave that keep an operation from starting.
    Declined,                   // `question`: which one
    NoFirmwareChosen,
};

// The songs a Download or image left off, by name.
struct LeftOff {
    std::vector<std::string> unconverted;  // could not be converted
    std::vector<int> causes;               // one per `unconverted`: errno of the write, 0: the song itself
    std::vector<std::string> didNotFit;    // their real size did not fit
    bool empty() const { return unconverted.empty() && didNotFit.empty(); }
};

// How much of its image a Download wrote.
struct Written {
    uint32_t imageBytes = 0;
    uint32_t bytesWritten = 0;
    uint32_t songsUnchanged = 0;  // songs whose sectors the clock kept
};

// What the clock holds after its connection was lost during a Download.
enum class ClockHolds { Unknown, Unchanged, NoSongs, NewSongsUnverified };

// ReplugClock: the agent program could not be read where it was looked for.
struct AgentLookup {
    std::string startFolder;      // the start folder, where the agent is looked for first
    std::string name;             // the agent's file name
    std::string installedFolder;  // an installation's private folder (looked in too); empty: none
    std::string programFolder;    // the program's own folder
    std::string path;             // the file that was found but could not be read; empty: none found
    int errorNumber = 0;
};

// An Add or a Drop that left files out: the files given, those that joined,
// and why the others did not.
struct Joined {
    size_t given = 0;
    size_t joined = 0;
    size_t overCount = 0;    // not taken: the list had reached its most songs
    size_t overStorage = 0;  // not taken: the clock's storage was full
    size_t notSongs = 0;     // dropped files that are not song files
    size_t unnamed = 0;      // a dropped file no name could be made for, and those after it
    size_t countLimit = 0;   // the most songs an Add takes
};

// Where a storage address lies, for a Verify that failed.
enum class Place { Header, Song, PastSongs };

struct Message {
    Message() = default;
    Message(Say say_) : say(say_) {}  // NOLINT: a bare Say is a message without facts

    Say say = Say::NoSongs;
    std::string file;        // a file or folder the message names, as given
    int errorNumber = 0;     // the system's error number (errno) of a failure
    std::string detail;      // a text a lower layer made for people
    bool busy = false;       // the clock is attached but another program holds it
    bool setAside = false;   // a damaged file was moved aside
    bool verified = false;   // the clock was read back and matched
    bool erased = false;
    uint64_t needed = 0, free = 0;
    uint32_t address = 0;
    uint8_t clockByte = 0, imageByte = 0;
    Place place = Place::Header;
    uint32_t song = 0;  // 1-based
    std::string name;
    std::vector<std::string> items;    // SongsUnreadable: the paths
    std::vector<std::string> reasons;  // ... and why each cannot be read
    std::vector<uint32_t> numbers;
    LeftOff leftOff;
    Written written;  // DownloadFinished
    int question = 0;  // Declined: the QuestionKind
    ClockHolds holds = ClockHolds::Unknown;  // UsbConnectionError during a Download
    std::optional<AgentLookup> agent;        // ReplugClock: the agent program could not be read
    std::vector<Message> refused;            // ListJoined: each refused file's own message
    Joined joined;                           // ListJoined
};

// Whether the message says that what was asked failed or was refused (the
// terminal's exit status and its JSON "error" follow it).
bool isFailure(const Message& message);

}  // namespace velmo
