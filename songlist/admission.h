// Admission of song files to the list: which files are songs, the name of a
// song's working copy and its list line, and its size on the clock.
//
// Pure functions of their arguments: they read no shared state (the caller
// passes the quality) and never touch the current folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "songrecord.h"

namespace velmo {

constexpr const char* kMp3Extension = ".mp3";
constexpr const char* kWavExtension = ".wav";

// The extensions of the files a song may come from, lower case: MP3 (libmad),
// WAV (the 16-bit reader or FFmpeg) and what FFmpeg's libraries decode.
// Which reader takes a file is decided by its content (song_reader.h); the
// extension only names the file as a song.
extern const char* const kSongExtensions[];
extern const size_t kSongExtensionCount;

// True when `path` ends in `extension` without regard to case; a path shorter
// than the extension never matches.
bool hasExtension(std::string_view path, std::string_view extension);

// True when `path` ends in one of kSongExtensions, in any case.
bool hasSongExtension(std::string_view path);

// The file dialog's patterns for kSongExtensions: "*.mp3;*.wav;*.flac;...".
std::string songFilePatterns();

// How deep songFilesInFolder goes below the folder it is given; deeper
// folders are left out (a music collection is a few levels deep at most).
constexpr int kSongFolderDepth = 16;

// How many entries (files, folders, links) a folder walk looks at in all
// before it stops: a folder added by mistake (a home folder, a mount of a
// whole disk) is not walked for minutes.
constexpr size_t kMaxFolderEntries = 10000;

struct FolderWalk {
    std::vector<std::string> files;  // as songFilesInFolder
    bool tooManyEntries = false;     // the walk stopped at kMaxFolderEntries entries
    bool tooDeep = false;            // a song deeper than kSongFolderDepth levels was left out
};

// The song files in `folder` and its sub-folders, as full paths: regular
// files (or links to them) whose name has a song extension, in name order
// (byte order of the names, each folder's songs and sub-folders merged in
// that order, depth first). Every folder (by device and inode) is listed once
// however often links lead to it, and a link to a folder is followed only
// when the folder lies inside `folder` (by its real path). Folders that
// cannot be read are left out; an empty result means no song was found.
FolderWalk walkSongFolder(const std::string& folder);
std::vector<std::string> songFilesInFolder(const std::string& folder);
// What the user is told of a walk's limits, one translated sentence each
// ("... deeper than 16 levels ..."); empty when none was reached.
std::vector<std::string> folderWalkNotes(const std::string& folder, const FolderWalk& walk);

// `paths` with every folder replaced by songFilesInFolder of it, in place;
// anything else (files, missing paths) is kept for admission to judge. The
// walks' notes are appended to `notes` when given.
std::vector<std::string> songFilesOf(const std::vector<std::string>& paths, std::vector<std::string>* notes = nullptr);

// True when `path` names a folder (or a link to one).
bool isFolder(const std::string& path);

// 0 when the file can be opened for reading; otherwise the system's error
// number (errno) that says why (a folder gives EISDIR).
int songFileOpenError(const std::string& path);

// The component of `path` that names the song: split at '/' (runs of slashes
// are one separator, empty pieces are not components); a relative path's first
// component is skipped (an absolute path has no drive component to skip); then
// the first remaining component that ends in one of kSongExtensions (any case)
// with at least one character before the extension. Spelled as in the path; empty
// when none qualifies. "/home/u/Old.wav/Track.mp3" gives "Old.wav";
// "./dat/Song.mp3" gives "Song.mp3"; "Song.mp3" gives "" (its only component
// is skipped).
std::string songComponent(std::string_view path);

// "./dat/" + songComponent(path) into `out`. False (and `out` left alone) when
// no component qualifies or the result would not fit a record's path field
// (kPathBytes including the terminating NUL).
bool songWorkPath(std::string_view path, std::string& out);

// The text of the song's list line: songComponent(path), at most
// kPathBytes - 1 bytes, empty when nothing qualifies.
std::string songDisplayName(std::string_view path);

// The song's name as the list shows it and the messages name it: the
// display name of its working copy.
std::string songName(const Song& song);

// Bytes the song will take on the clock at `quality` (8, 4 or 2, the bitrate in
// units of 8 kbit/s): quality x 1000 bytes a second over the play time and
// what the encoder adds to it (estimateForDuration). The
// play time comes from the probe of the reader that takes the file
// (songDuration: the MP3 length probe for ".mp3" paths, the WAV length probe
// for WAV that the 16-bit reader takes, the container's duration or a packet
// scan for the rest). 0 means the file is not a usable song: unreadable, no
// MP3 frame, nothing any reader decodes, or a play time whose estimate does
// not fit 32 bits.
// `path` is a full path: resolve "./dat/..." names against the start folder first.
uint32_t estimateSongSize(const std::string& path, uint16_t quality);

// The estimate for a play time of `seconds` at `quality`: quality x 1000
// bytes a second over the play time and what the encoder adds to every song
// (its last chunk filled up, its start-up delay and its last frame: 80 ms at
// Best and Good, 75 ms at Normal), truncated. 0 for no play time or one whose
// estimate does not fit 32 bits.
uint32_t estimateForDuration(double seconds, uint16_t quality);
// The play time an estimate stands for: its inverse, to the millisecond.
double durationForEstimate(uint32_t estimate, uint16_t quality);

// What is known of a song beyond its record, from when it joined the list.
struct SongFacts {
    double duration = 0.0;  // seconds; 0 when not known
    std::string format;     // the decoder's name of the audio ("mp3", "flac", "pcm_s16le" ...); empty when not known
    std::string title;      // UTF-8 from the tags; empty when there is none
    std::string artist;
    // The quality (8, 4 or 2) whose form the clock's songs take that the
    // file is in already, so that a Download at it copies its frames
    // (clock_form.h); 0 for none.
    uint16_t clockFormQuality = 0;
};

// Probes the file's play time and format and, when `withTags`, reads its
// tags (song_tags.h). `path` is a full path.
SongFacts probeSongFacts(const std::string& path, bool withTags);

// The longest name, in bytes, a song takes from its tags. A Reload gives a
// song's file at most this many bytes of its name from the clock, so a name
// cut here comes back whole; with " (NN)" and an extension it also stays
// inside a file name's 255 bytes, and so inside the clock's name field.
constexpr size_t kMaxTagNameBytes = 200;

// `text` cut to at most `maxBytes` bytes, never inside a UTF-8 sequence.
std::string cutUtf8(std::string text, size_t maxBytes);

// The name a song takes from its tags: "Artist - Title", or "Title" without
// an artist; empty when there is no title (the file name stands then).
// Bytes that cannot stand in a file name or on a terminal ('/', NUL, C0 and
// C1 controls, DEL, malformed UTF-8) become '_'; spaces around each part are
// dropped; a title of nothing but dots and spaces counts as none. At most
// kMaxTagNameBytes, cut on a character boundary.
std::string tagSongName(const std::string& title, const std::string& artist);

// "./dat/" + `name` + the extension of songComponent(path), as spelled there,
// into `out`. False (and `out` left alone) when `name` is empty or the path
// names no song.
bool tagWorkPath(std::string_view path, const std::string& name, std::string& out);

}  // namespace velmo
