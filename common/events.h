// What the workers of an operation tell the user-interface thread. Each
// message is one value of `Event`, queued (event_queue.h) and handled there
// with std::visit; the fields say what a message means, never a bare number.
//
// Every worker posts exactly one end event, as its very last act: the types
// marked "end" below, whose kEndsWorker says so. Progress and notices come
// before it. kWorker says which kind of worker posts the event, so that an
// operation's visitor can prove it handles every event of the workers it
// starts (see isWorkerEvent).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <initializer_list>
#include <type_traits>
#include <vector>

#include "songrecord.h"

namespace velmo {

// Which worker posts an event.
enum class Worker { Write, Conversion, Read, Estimates, Parse, Firmware, Any };

// The bar's position, 1 to 100.
struct WriteProgress {  // a write to the clock
    static constexpr bool kEndsWorker = false;
    static constexpr Worker kWorker = Worker::Write;

    int percent = 0;
    // A Download's write: where the block just sent ends in the image (the
    // offset past its last byte, counted from the header's first byte; up
    // to kStorageHeaderBytes: a block of the header), and the bytes sent so
    // far of `bytesTotal` (the list's estimate while the songs still
    // convert, then the image; by the record: the bytes to write). A
    // Download's streamed write tells every block, its percent repeated
    // where it did not grow. 0 for other writes.
    uint32_t imageEnd = 0;
    uint32_t bytesDone = 0;
    uint32_t bytesTotal = 0;
    // Written by the record of the last verified Download: only the sectors
    // that differ are sent, and `imageBytes` is the whole image's size.
    bool byRecord = false;
    uint32_t imageBytes = 0;
};
struct EncodeProgress {  // the conversion alone, which reports its own bar
    static constexpr bool kEndsWorker = false;
    static constexpr Worker kWorker = Worker::Conversion;

    int percent = 0;
};
struct ReadProgress {  // a read from the clock
    static constexpr bool kEndsWorker = false;
    static constexpr Worker kWorker = Worker::Read;

    int percent = 0;
};

// The write worker of a Download or a firmware write.
enum class WriteFailure {
    Connection,  // the erase could not start, or a block failed to program
    Erase,       // the agent refused the erase
    Program,     // the agent refused to program a block (the clock is still there)
    LocalFile,   // a file of this computer could not be opened or read
};
struct WriteFailed {  // end
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Write;

    WriteFailure kind = WriteFailure::Connection;
    int errorNumber = 0;  // LocalFile: the system's error number (errno)
};
// A Download's write begins to erase the clock's song storage: from now on a
// stop leaves the clock without songs.
struct StorageErasing {
    static constexpr bool kEndsWorker = false;
    static constexpr Worker kWorker = Worker::Write;
};
struct DownloadDone {  // end: the whole image is on the clock, header last
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Write;

    uint32_t imageBytes = 0;
    uint32_t bytesWritten = 0;  // programmed; below imageBytes when unchanged sectors were kept
    uint32_t songsUnchanged = 0;  // songs whose sectors were neither erased nor written
    // Written by the record of the last verified Download: only these image
    // spans (offsets from the header's address) were programmed. Empty for a
    // full write.
    bool byRecord = false;
    std::vector<std::pair<uint32_t, uint32_t>> written;
};
// end: the conversion made no image and was not stopped; nothing was sent
// after the erase (the conversion's own end event says why).
struct WriteAbandoned {
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Write;
};

// The conversion (the Download's, or the conversion alone).
// What the conversion did to one song of its job: the job works on a copy of
// the songs of its own, and the operation applies this to the list on the
// user-interface thread, whichever way the conversion ended.
struct SongPlacement {
    bool copyMade = false;    // its working copy was made: the list's copyPending goes to 0
    bool placed = false;      // taken into the image in list order: the two fields below are its own
    uint32_t dataOffset = 0;  // from the data area's start
    uint32_t dataSize = 0;    // the bytes of its data the image holds (0: none kept)
};
// A problem the user is told of while the conversion goes on (the encoder
// library does not load); the worker does not wait for it to be read.
struct ConvertNotice {
    static constexpr bool kEndsWorker = false;
    static constexpr Worker kWorker = Worker::Conversion;

    std::string text;
};
// A worker of the conversion begins song `position` (list order, 0-based):
// the `started`-th song the job begins of its `count`. Posted from the
// conversion's workers, so two may arrive out of order.
struct SongStarted {
    static constexpr bool kEndsWorker = false;
    static constexpr Worker kWorker = Worker::Conversion;

    uint16_t position = 0;
    uint16_t started = 0;
    uint16_t count = 0;
};
// Song `position` has its final place in the image (in list order, each
// song once): `dataSize` bytes from `dataOffset` of the data area (0: none
// kept).
struct SongPlaced {
    static constexpr bool kEndsWorker = false;
    static constexpr Worker kWorker = Worker::Conversion;

    uint16_t position = 0;
    uint32_t dataOffset = 0;
    uint32_t dataSize = 0;
};
// Every song that keeps an entry of size 0 is in exactly one of
// `unconverted` and `didNotFit`: none reaches the clock empty unnamed.
struct ConvertDone {          // end: the image is complete
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Conversion;

    uint32_t imageBytes = 0;  // bytes of the image to transfer
    // List positions of the songs that could not be converted and keep an
    // entry of size 0 (songs passed over for want of space are not among them).
    std::vector<uint16_t> unconverted;
    // One per `unconverted`: the system's error number (errno) of the write
    // that failed (ENOSPC: the disk is full), or 0 when the cause is the
    // song itself or not known.
    std::vector<int> unconvertedErrors;
    // List positions of the songs whose data did not fit in the data area
    // once their real size was known (or that came after it was full): they
    // keep an entry of size 0.
    std::vector<uint16_t> didNotFit;
    // One per song of the job, in list order: the bytes its MP3 data really
    // took, kept or not; 0 for a song not converted.
    std::vector<uint32_t> convertedBytes;
    // One per song of the job, in list order.
    std::vector<SongPlacement> placements{};
};
struct ConvertFailed {  // end: no MP3 data was kept, or the image could not be made
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Conversion;

    // The system's error number (errno) of the image's write that failed;
    // 0 when nothing was kept for another reason.
    int errorNumber = 0;
    std::vector<SongPlacement> placements{};  // one per song of the job: what was done before the end
};
struct ConvertAborted {   // end: a working copy could not be made
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Conversion;

    std::string text;     // the message to show, naming the file
    std::vector<SongPlacement> placements{};  // one per song of the job: what was done before the end
};

// The read workers of Reload, the firmware's verification and Verify.
enum class ReadStage { Table, Data, Firmware, Verify };
struct TableReadDone {  // end: "./dat/tmp.tbl" holds the clock's header
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Read;
};
struct DataReadDone {   // end: "./dat/tmp.ztd" holds the clock's song data
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Read;
};
enum class FirmwareStep { Written, ReadBack };
struct FirmwareStepDone {  // end
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Firmware;

    FirmwareStep step = FirmwareStep::Written;
};
// A Reload's read that came back whole but not as the clock holds it.
enum class ReadCheck {
    None,
    HeaderDiffers,        // the header read differently at every read
    SongDiffers,          // a song read differently at every read
    SongNotAsDownloaded,  // a song kept differing from the last verified Download's record
};
struct ReadFailed {  // end
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Read;

    // Not an aggregate, so that the stages that know no check name only
    // the first two fields.
    ReadFailed(ReadStage stage_ = ReadStage::Table, int errorNumber_ = 0, ReadCheck check_ = ReadCheck::None,
               uint16_t song_ = 0, std::string name_ = {})
        : stage(stage_), errorNumber(errorNumber_), check(check_), song(song_), name(std::move(name_)) {}
    ReadStage stage = ReadStage::Table;
    int errorNumber = 0;  // 0: the connection failed (or `check` says why); else a local file's errno
    ReadCheck check = ReadCheck::None;
    uint16_t song = 0;  // SongDiffers, SongNotAsDownloaded: the song's position on the clock (1-based)
    std::string name;   // ... and its name there
};
// end: the clock compared with the image, which was read whole.
struct VerifyDone {
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Read;

    bool same = false;
    // When not the same: the first storage address that differs, and the
    // bytes there on the clock and in the image.
    uint32_t address = 0;
    uint8_t clockByte = 0;
    uint8_t imageByte = 0;
};

// The size estimates a Download or the conversion alone makes again from
// the songs' files before it converts, off the user-interface thread.
struct UnreadableSong {
    std::string path;    // the file the Download would read: the source, or the working copy
    std::string reason;  // why it cannot be read, for people
};
struct EstimatesDone {                // end
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Estimates;

    std::vector<uint32_t> estimates;  // one per song, in list order; 0: not usable
    // A Download's songs whose file cannot be read now, in list order.
    std::vector<UnreadableSong> unreadable;
};

// Reload's last step, after the song data is read: the header checked, the
// song data walked and split into song files, the songs estimated, off the
// user-interface thread. What went wrong is told by kind, so the messages
// stay with the operation.
enum class ReloadFailure {
    None,
    NotAHeader,     // "./dat/tmp.tbl" is missing, short or has no signature
    HeaderDamaged,  // the header describes what no Download writes
    WriteFailed,    // a song file could not be written: `file`, `errorNumber`
};
struct ReloadParsed {  // end
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Parse;

    ReloadFailure failure = ReloadFailure::None;
    std::string file;     // WriteFailed: the file's full path
    int errorNumber = 0;  // WriteFailed: the system's error number (errno)
    // The songs reloaded, in the clock's order, the damaged ones left out;
    // their files are written.
    std::vector<Song> songs;
    // Full paths of the files that hold `songs`' bytes until the list takes
    // them (commitReloadedSongs renames each to its workPath), one per song.
    std::vector<std::string> staged;
    uint16_t quality = 0;             // the quality the header names
    std::vector<uint16_t> damaged;    // clock positions (0-based) of the songs left out, ascending
    std::vector<uint32_t> estimates;  // one per song of `songs`
};

// Any worker that ended early on its operation's cancellation.
enum class StoppedWorker { Conversion, Write, Read };
struct JobStopped {  // end
    static constexpr bool kEndsWorker = true;
    static constexpr Worker kWorker = Worker::Any;

    StoppedWorker worker = StoppedWorker::Conversion;
    // The write worker: the clock's song storage had been erased.
    bool erased = false;
    // The conversion: one per song of its job, what was done before the stop.
    std::vector<SongPlacement> placements{};
};

using Event =
    std::variant<WriteProgress, EncodeProgress, ReadProgress, WriteFailed, StorageErasing, DownloadDone, WriteAbandoned,
                 SongStarted, SongPlaced, ConvertNotice, ConvertDone, ConvertFailed, ConvertAborted, TableReadDone,
                 DataReadDone, FirmwareStepDone, ReadFailed, VerifyDone, EstimatesDone, ReloadParsed, JobStopped>;

// True for the events that end their worker; an event type without
// kEndsWorker does not compile here.
inline bool isEndEvent(const Event& event) {
    return std::visit([](const auto& e) { return std::decay_t<decltype(e)>::kEndsWorker; }, event);
}

// For an operation's catch-all visitor: whether event type E may come from
// one of the `workers` the operation starts (JobStopped from any).
template <class E>
constexpr bool isWorkerEvent(std::initializer_list<Worker> workers) {
    for (Worker w : workers)
        if (E::kWorker == w || E::kWorker == Worker::Any) return true;
    return false;
}

// Where a worker posts its events. post() is called from worker threads and
// only queues; the receiver handles the event on its own thread.
class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void post(Event event) = 0;
};

}  // namespace velmo
