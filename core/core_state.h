// What the core keeps from one operation to the next: the song list, the
// clock session and the screen it draws on. The core's handlers and the
// operations share it; only the user-interface thread touches it, and while
// an operation runs the list is left to that operation (the controls are
// disabled then).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "admission.h"

#include "clock_session.h"
#include "event_queue.h"
#include "settings.h"
#include "song_facts.h"
#include "songrecord.h"
#include "translation.h"
#include "message.h"
#include "view.h"
#include "work_context.h"

namespace velmo {

// The option that has every Download read the clock back (on by default).
constexpr const char* kVerifyAfterDownloadKey = "verifyAfterDownload";
constexpr const char* kFullVerifyKey = "verifyEveryByte";
// The option that brings every song to one loudness (off by default: the
// songs' bytes as they are converted without it).
constexpr const char* kEvenVolumeKey = "evenVolume";

// The option that has a Reload read the clock's songs twice and compare the
// reads when the folder holds no record of the songs' digests to compare
// with (on by default: MPEG audio carries no checksum of its own).
constexpr const char* kReloadReadTwiceKey = "reloadReadTwice";
constexpr const char* kReloadReadTwiceText = N_("Check Reload by reading twice");

// The option that names songs joining the list from their tags (off by default).
constexpr const char* kNamesFromTagsKey = "namesFromTags";
constexpr const char* kNamesFromTagsText = N_("Names from Tags");


// Which of a record's paths a re-estimate measures: the user's file, or the
// working copy in ./dat/ (all a reloaded song has).
enum class EstimateSource { SourcePath, WorkPath };

struct CoreState {
    CoreState(View& view, EventQueue& queue, std::string startDir)
        : view(view), queue(queue), startDir(std::move(startDir)), songs(kMaxSongs) {}

    View& view;
    EventQueue& queue;
    std::string startDir;  // the current folder when the window initialised
    ClockSession session;
    Settings settings;
    std::vector<Song> songs;  // kMaxSongs records; the first songCount are the list
    uint16_t songCount = 0;
    uint16_t quality = kQualityGood;
    uint32_t totalEstimate = 0;
    std::string appName = "velmo";
    // What is known of the songs beyond their records, by factsKey.
    SongFactsStore facts;
    unsigned conversionWorkers = 1;

    WorkContext work() const { return WorkContext{startDir, session.storageKB()}; }
    std::string path(const std::string& name) const { return resolvePath(startDir, name); }
    void removeFile(const std::string& name) const;
    uint32_t capacityNow() const;
    void showStatus(uint32_t total) { view.setSpaceUsage(total, capacityNow()); }
    void tell(Message message) { view.tell(message); }
    // Appends the lines of songs [first, end).
    void fillLines(uint16_t first, uint16_t end);
    // Removes the files in dat/ that no song of the list names (as its working
    // copy or its source) and that are not one of the working files in
    // `keep`: copies left by songs deleted or replaced by a Reload. Nothing
    // outside dat/ is touched, and folders there are left alone.
    void removeStrayWorkingCopies(const std::vector<std::string>& keep) const;
    // A message that the clock is not there; it says so when the last open
    // found the clock held by another program.
    Message noClock(Say say) const;
    // The message for an agent that did not start: with where the agent
    // program was looked for when it could not be read, since no replugging
    // helps then.
    Message agentLost(Say say) const;
};

// The key of a song in CoreState::facts: both its paths, which together
// tell apart even songs whose working copies share a name.
std::string factsKey(const Song& song);


// Why the file at `path` (a full path) cannot be read, or empty when it can:
// only a regular file that opens for reading is a song's file.
std::string unreadableReason(const std::string& path);

// Estimates every song of `songs` from the given path at `quality`, one
// after another until `stop` is set; the estimates in list order (0 for the
// songs not reached). Probes files: never on the user-interface thread.
std::vector<uint32_t> estimateSongs(const std::vector<Song>& songs, const std::string& startDir, uint16_t quality,
                                    EstimateSource source, const std::atomic<bool>* stop);

}  // namespace velmo
