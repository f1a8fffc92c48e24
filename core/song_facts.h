// What is known of the list's songs beyond their records (play time, format,
// title, artist): the song table has no room for it, so it is kept here, by
// song (factsKey), for the run. Songs that joined the list in this run are
// put in at admission; the others are probed on a thread of this store's.
//
// Every call but the worker's comes from the user-interface thread; find()
// may be called while the worker runs.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "admission.h"

namespace velmo {

// Beside the song table: what the last Download did with each song.
constexpr const char* kFatesFileName = "velmo.fit";

class SongFactsStore {
  public:
    // A song to probe: its key and the full paths to try, in order (its
    // file, then its working copy).
    struct Wanted {
        std::string key;
        std::vector<std::string> paths;
    };

    SongFactsStore() = default;
    // Stops and joins the worker.
    ~SongFactsStore();
    SongFactsStore(const SongFactsStore&) = delete;
    SongFactsStore& operator=(const SongFactsStore&) = delete;

    // What the last Download did with a song: its real size once converted,
    // and whether it was left off the clock and why.
    struct Fate {
        enum class LeftOff { No, NotConverted, DidNotFit };
        uint16_t quality = 0;         // the quality it was converted at
        uint32_t convertedBytes = 0;  // its MP3 data's real size; 0 when not converted
        LeftOff leftOff = LeftOff::No;
        int errorNumber = 0;  // NotConverted: the failed write's errno, 0 when not known
        bool isLeftOff() const { return leftOff != LeftOff::No; }
    };
    // Replaces every song's fate by those of `fates` (by key).
    void setFates(std::map<std::string, Fate> fates);
    std::optional<Fate> findFate(const std::string& key) const;
    // The fates kept beside the song table, so that they outlive the run (the
    // terminal's list runs after its download): `startDir`/kFatesFileName.
    // Only the fates of `keys` (the listed songs) are saved; a missing or
    // unreadable file leaves none; a malformed line is passed over.
    void loadFates(const std::string& startDir);
    bool saveFates(const std::string& startDir, const std::set<std::string>& keys) const;
    bool fatesChanged() const { return fatesChanged_; }

    void put(const std::string& key, SongFacts facts);
    std::optional<SongFacts> find(const std::string& key) const;
    bool known(const std::string& key) const { return find(key).has_value(); }
    // Forgets every song but those in `keys`.
    void retain(const std::set<std::string>& keys);

    // Probes the songs of `wanted` not yet known, one after another, on the
    // store's thread; each one's facts can be found as soon as it is probed.
    // A probe already under way is stopped first (after its current song).
    void probeInBackground(std::vector<Wanted> wanted);
    // Waits until the probe under way has ended.
    void wait();
    // Stops the probe under way after its current song and waits for it.
    void stop();

  private:
    void probe(const std::vector<Wanted>& wanted);

    mutable std::mutex mutex_;
    std::map<std::string, SongFacts> facts_;
    std::map<std::string, Fate> fates_;
    bool fatesChanged_ = false;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

}  // namespace velmo
