// Converted songs kept in "./dat/cache/" between Downloads, so that a song
// whose working copy, quality and options have not changed since its last
// conversion is not converted again: its bytes are taken as they were, and
// the image is the same as a full conversion's.
//
// One entry per song of the list at most, named by the song's working copy;
// an entry holds what it was converted from (the working copy's identity:
// size, change time, file number; the quality, the cut, even volume), the
// MP3 bytes' length and their SHA-256, then the bytes. An entry that does not
// match in every point is not used. Entries of songs no longer in the list
// are removed (keepOnly) at every conversion and at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "songrecord.h"
#include "work_context.h"

namespace velmo {

constexpr const char* kConversionCacheDir = "./dat/cache";

class ConversionCache {
  public:
    explicit ConversionCache(const WorkContext& ctx) : ctx_(ctx) {}

    // What the song's conversion depends on; empty when its working copy
    // cannot be looked at (nothing is cached for it then).
    std::string keyOf(const Song& song, uint16_t quality, bool evenVolume) const;
    // Copies the song's cached bytes into `mp3Path` (created anew); false
    // when there is no entry for `key` or it is not whole.
    bool fetch(const Song& song, const std::string& key, const std::string& mp3Path, uint32_t& bytes) const;
    // Keeps `bytes` of `mp3Path` as the song's entry, replacing any older one.
    void store(const Song& song, const std::string& key, const std::string& mp3Path, uint32_t bytes) const;

  private:
    std::string entryPath(const Song& song) const;
    const WorkContext& ctx_;
};

// The entry file name of each song (entries are named by the working copy).
std::string conversionCacheName(const Song& song, const WorkContext& ctx);
// Removes every entry that belongs to none of `songs`.
void keepOnlyCachedSongs(const Song* songs, size_t count, const WorkContext& ctx);

}  // namespace velmo
