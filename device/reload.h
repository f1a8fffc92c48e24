// Reading the clock's songs back: the two read workers, and turning the header
// and data that were read into song records and song files in "./dat/".
//
// File names are relative to the start folder ("./dat/tmp.tbl") and resolved
// against `startDir`; the process's current folder is never used.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "events.h"
#include "songrecord.h"
#include "storage_layout.h"
#include "transfer.h"
#include "work_context.h"

namespace velmo {

constexpr const char* kReloadTableFile = "./dat/tmp.tbl";
constexpr const char* kReloadDataFile = "./dat/tmp.ztd";
// Longest song name (in bytes, before ".mp3") that a reload gives a file.
constexpr size_t kMaxReloadNameBytes = 200;

// Thread bodies: readStorageToFile on the job (job.path resolved against
// ctx.startDir), posting ReadProgress, looking at `stop` (may be null) between
// blocks, then a check of what was read, since a read that changes a byte on
// the way gives no error of its own:
// - the header: unless it is the header of the record of the last verified
//   Download (reload_record.h), read again; reads that disagree are repeated
//   (4 reads at most) until two agree, which is kept in "./dat/tmp.tbl";
// - the songs, when the header is the recorded one: each song's digest is
//   compared with the record, and a song that differs read again (4 reads at
//   most) until a read matches; without a record and with `readTwice`, the
//   whole data is read a second time (the bar's second half) and a song
//   whose two reads differ read again until two reads agree. Corrected
//   bytes are written into "./dat/tmp.ztd".
// End events: TableReadDone / DataReadDone; ReadFailed{Table / Data, errno
// of the local file, or 0 when the connection failed or, with `check` set,
// when the reads never agreed (the song's position and name)};
// JobStopped{Read}.
void tableReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                     const std::atomic<bool>* stop);
void dataReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                    const std::atomic<bool>* stop, bool readTwice);

// Reads of one range of the clock a Reload makes at most before it gives the
// range up as unreadable.
constexpr int kMostReads = 4;
// settleReads: the reads never agreed.
constexpr int kReadsDisagree = 5;

// Reads a range of the clock again until a read can be taken, with `reads`
// the reads made so far (one or two), kMostReads reads in all at most. With
// `right` (the record's digest), a read is taken when right(read); without,
// when it equals an earlier read (two reads agreeing). `readAgain` reads the
// range once more (kDeviceOk or its failure, given back as it is). kDeviceOk
// with `taken` set, or kReadsDisagree.
int settleReads(std::vector<std::vector<uint8_t>> reads, const std::function<int(std::vector<uint8_t>&)>& readAgain,
                const std::function<bool(const std::vector<uint8_t>&)>& right, std::vector<uint8_t>& taken);

// What the header in "./dat/tmp.tbl" is.
enum class ReloadHeader {
    Missing,  // the file is missing, short or has no "VELMO" signature (deleted then)
    Damaged,  // signed, but not what a Download writes (saneStorageHeader)
    Sane,
};

// True when the header describes what a Download writes: a quality of 2, 4
// or 8, at most 32 songs,
// every name ending in a NUL inside its field, and every entry, in list
// order, beginning at or after the end of the one before it and ending inside
// the data area of `dataCapacity` bytes (so no two songs overlap). A song
// count raised by a damaged byte fails the order: the entries it adds begin
// at 0, inside the songs before them.
bool saneStorageHeader(const StorageHeader& header, uint32_t dataCapacity);

// Reads and checks "./dat/tmp.tbl". When sane, `dataLength` is the bytes of
// song data the header describes: up to the end of its furthest song.
ReloadHeader checkReloadedHeader(const std::string& startDir, uint32_t dataCapacity, uint32_t& dataLength);

// A song name from the clock made safe as a file name: up to its first NUL,
// '/' and control characters replaced by '_', at most 200 bytes (cut at a
// character boundary), and "Song N" (N = index + 1) when nothing usable is left.
std::string safeReloadName(const char* songName, size_t fieldBytes, size_t index);

// True when `bytes` start with an MPEG audio frame header (sync, a known
// version and layer, a usable bitrate and sample rate): every song the clock
// is given starts with one. An erased song reads as 0xFF bytes, which no
// usable header is.
bool startsWithMp3Frame(const uint8_t* bytes, size_t size);

// True when `size` bytes are one chain of MPEG audio frames from the first
// byte: each frame's header is usable and of the first one's version, layer,
// sample rate and channel mode, and the next frame begins where its length
// says. The last frame may run past `size` (a song cut at a byte limit, or at
// the storage's end), and fewer bytes than a header at the end must be the
// start of one. Only headers are checked: a changed byte inside a frame's
// audio data, which carries no checksum, is not seen.
bool mp3FrameChainIntact(const uint8_t* bytes, size_t size);

// Reload's work on the files read from the clock: the header in
// "./dat/tmp.tbl" checked and turned into song records, and the songs of
// "./dat/tmp.ztd" walked (mp3FrameChainIntact) and made songs whose workPath
// is "./dat/" + safe name + ".mp3" (names made distinct with " (2)" ...;
// sourcePath = workPath, copyPending 0, dataOffset and dataSize from the
// entries). Each song's bytes are written to a file of a new name of its own
// in "./dat/" (`staged`), never to its workPath: a file there may be a working
// copy of the list shown, which stays whole unless the Reload ends well
// (commitReloadedSongs). A song with data whose chain breaks, or whose bytes
// the data file does not hold, is left out, its file not written, and named
// in `damaged`; a song of size 0 is kept with an empty file. Every write is
// checked: on a failure the files this call wrote are removed and `failure`
// is WriteFailed. `stop` (may be null) is looked at between songs; when seen,
// the files written are removed and `stopped` set. Estimates are left empty.
ReloadParsed reloadSongs(const std::string& startDir, uint32_t dataCapacity, const std::atomic<bool>* stop,
                         bool& stopped);

// Renames every staged file over its song's workPath, in list order. On a
// failure (`file`, `error`) the staged files not yet renamed are removed.
bool commitReloadedSongs(const std::string& startDir, ReloadParsed& parsed, std::string& file, int& error);
// Removes the staged files (names relative to `startDir`) and empties the list.
void discardStagedSongs(const std::string& startDir, std::vector<std::string>& staged);

}  // namespace velmo
