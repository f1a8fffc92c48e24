// Reading the clock's songs back: the two read workers, and turning the header
// and data that were read into song records and song files in "./dat/".
//
// File names are relative to the start folder ("./dat/tmp.tbl") and resolved
// against `startDir`; the process's current folder is never used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events.h"
#include "songrecord.h"
#include "transfer.h"
#include "work_context.h"

namespace velmo {

constexpr const char* kReloadTableFile = "./dat/tmp.tbl";
constexpr const char* kReloadDataFile = "./dat/tmp.ztd";
// Longest song name (in bytes, before ".mp3") that a reload gives a file.
constexpr size_t kMaxReloadNameBytes = 200;

// Thread bodies: readStorageToFile on the job (job.path resolved against
// ctx.startDir), posting ReadProgress, looking at `stop` (may be null) between
// blocks. End events: TableReadDone / DataReadDone; ReadFailed{Table / Data,
// errno of the local file, or 0 when the connection failed}; JobStopped{Read}.
void tableReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                     const std::atomic<bool>* stop);
void dataReadWorker(const DeviceJob& job, const WorkContext& ctx, const DeviceLibrary& lib, EventSink& events,
                    const std::atomic<bool>* stop);

// Bytes of song data the header in "./dat/tmp.tbl" describes: the sum of the
// dataSize of its first songCount entries (at most 32), never more than
// `limit` (the data area's size). 0 when the file is missing, short or has no
// "VELMO" signature; the file is deleted in the last case.
uint32_t reloadDataLength(const std::string& startDir, uint32_t limit);

// A song name from the clock made safe as a file name: up to its first NUL,
// '/' and control characters replaced by '_', at most 200 bytes (cut at a
// character boundary), and "Song N" (N = index + 1) when nothing usable is left.
std::string safeReloadName(const char* songName, size_t fieldBytes, size_t index);

// Fills songs[0..count) from the header in "./dat/tmp.tbl": copyPending 0,
// dataOffset and dataSize from the entries, sourcePath = workPath =
// "./dat/" + safe name + ".mp3" (names made distinct with " (2)" ...). An
// entry whose data does not lie within `dataLength` bytes gets dataSize 0.
// Sets songCount (at most 32) and quality from the header.
// 0 done; -1 the file is missing, short or not a header (deleted then).
int loadReloadedTable(const std::string& startDir, uint32_t dataLength, Song* songs, uint16_t& songCount,
                      uint16_t& quality);

// True when `bytes` start with an MPEG audio frame header (sync, a known
// version and layer, a usable bitrate and sample rate): every song the clock
// is given starts with one. An erased song reads as 0xFF bytes, which no
// usable header is.
bool startsWithMp3Frame(const uint8_t* bytes, size_t size);

// The songs among songs[0..songCount) whose bytes in "./dat/tmp.ztd" are
// damaged: not empty, and not starting with a frame header (erased, half
// written or overwritten). Indexes in ascending order; every song with data
// counts as damaged when the data file cannot be read.
std::vector<uint16_t> damagedReloadedSongs(const std::string& startDir, const Song* songs, uint16_t songCount);

// Writes every song's bytes from "./dat/tmp.ztd" to its workPath.
// 0 done; -1 the data file does not open or a song file cannot be written.
int splitReloadedData(const std::string& startDir, const Song* songs, uint16_t songCount);

}  // namespace velmo
