// A song file's title and artist from its tags, read with TagLib: ID3v1 and
// ID3v2 (every text encoding), Vorbis comments in FLAC, Ogg Vorbis and Opus,
// MP4 atoms, APE, ASF, RIFF INFO and AIFF's ID3 chunk. What TagLib leaves
// unread is taken from FFmpeg's reading of the container's header: Matroska
// and WebM tags, AIFF's NAME and AUTH chunks. Each field comes from the first
// tag that has it (a WAV file's ID3 chunk before its RIFF INFO list, an ID3v2
// tag at the start of an APE file after the APE tag). A field with several
// values gives its first title, and its artists joined with ", ".
//
// TagLib reads through a stream of ours over a regular file: no read goes
// past the size the file had when it was opened, none asks for more than
// kMaxTagBlockBytes at once, and an ID3v2 tag at the start whose header or
// frames claim more bytes than the tag or the file holds is refused before
// TagLib is given the file. Calls share nothing and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo {

// The most TagLib is given in one read: a tag's frames, a picture included.
// A tag that asks for more is refused, whatever the file's size.
constexpr uint64_t kMaxTagBlockBytes = 32u << 20;

enum class TagRead {
    Read,     // the file's tags were read (title and artist may still be empty)
    None,     // not a regular file, cannot be opened, or no format TagLib or FFmpeg knows
    Refused,  // a tag claims more bytes than it or the file holds
};

struct SongTags {
    TagRead status = TagRead::None;
    std::string title;       // UTF-8, as the tag holds it; empty when there is none
    std::string artist;      // UTF-8
    uint64_t bytesRead = 0;  // what TagLib and the checks before it read, for the curious and the tests
};

// `path` is a full path.
SongTags readSongTags(const std::string& path);

}  // namespace velmo
