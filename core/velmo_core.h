// The main window's state and handlers, without a toolkit. A front end (the Qt
// window, the terminal) forwards every control's event to one handler here
// and implements View; the events of the operations' workers arrive in the
// front end's EventQueue and are handed to handle() on the user-interface thread.
//
// The core keeps the song list, the clock session and the settings, and
// routes each handler to the one operation that runs (core/operations/).
// Calls come from the user-interface thread only. While an operation runs the
// front end's controls are disabled, so no command starts a second one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core_state.h"
#include "event_queue.h"
#include "outcome.h"
#include "question.h"
#include "songrecord.h"
#include "view.h"

namespace velmo {

class RunningOperation;

constexpr int kMaxAddSongs = 32;  // Add stops here
constexpr int kTimerMilliseconds = 300;
constexpr int kListExtentPixels = 4000;

class VelmoCore {
  public:
    // `startDir`: the folder every relative name is resolved against (the
    // current folder at start-up). `events` is where the operations' workers
    // post; the front end hands each event to handle() on its own thread.
    VelmoCore(View& view, EventQueue& events, std::string startDir);
    // Ends an operation still under way as the close does (stops and joins
    // its workers; the list keeps what it did), without showing anything.
    ~VelmoCore();
    VelmoCore(const VelmoCore&) = delete;
    VelmoCore& operator=(const VelmoCore&) = delete;

    // The window's caption for "Music files converted error !" (the program's name).
    void setApplicationName(std::string name) { state_.appName = std::move(name); }
    const std::string& applicationName() const { return state_.appName; }
    // Where the device library is loaded from; empty (default): the executable's folder.
    void setDeviceLibraryPath(std::string path) { deviceLibraryPath_ = std::move(path); }
    // For a front end that only looks at the list under a shared folder lock
    // (folder_lock.h): the start and the close then leave the song table and
    // dat/ as they are, since other readers may be looking at them too.
    // A damaged song table or settings file is then reported and left as
    // it is instead of being renamed aside.
    void setFolderReadOnly(bool readOnly) { folderReadOnly_ = readOnly; }
    // Whether the close can save the list: false when the song table's name
    // holds something that could neither be loaded nor set aside (a folder,
    // a symlink, an unreadable file); the start has said so. A front end
    // refuses to edit such a list.
    bool listSavable() const { return tableSavable_; }
    // Whether the close can save the options (Settings::savable).
    bool optionsSavable() const { return state_.settings.savable(); }
    // What the close could not save (its messages, also shown as boxes);
    // empty when everything was saved.
    const std::vector<Message>& saveFailures() const { return saveFailures_; }
    // How many songs a Download (or the conversion alone) converts at once;
    // 0: one for each core (the default). The image is the same whatever it is.
    void setConversionWorkers(unsigned workers);
    unsigned conversionWorkers() const { return state_.conversionWorkers; }

    // What the user does, one call each. None shows anything: what the user
    // is told goes to View::tell as data, in order, for the front end to word
    // (present/) and show.

    // The start: the song table, the settings, the device library and the
    // connection check. Call once.
    void start();
    // The start for work that needs no clock: the terminal front end's list
    // editing, listing and conversion alone. It does everything start() does
    // except loading the device library and the connection check: the timer
    // polls nothing and there is no handle (Download, Reload and Upgrade
    // Firmware answer as with no clock attached). `storageKB` is the storage
    // size the list is planned for; 0 keeps the initial 2048 KiB. Call it
    // instead of start(), once; close() then saves the table and removes the
    // working files as after a normal start.
    void startOffline(uint32_t storageKB = 0);
    // The same, planned for the storage of a clock that happens to be
    // attached (its agent is asked once and the clock let go again), as the
    // window would plan; the initial size without one.
    void startOfflineForAttachedClock();
    // The program ends: any operation is stopped and joined, the list and
    // the options are saved, the working files removed.
    void close();
    // The window's timer: the clock's connection is polled.
    void tick();

    // The list. Each refusal and each file left out is told.
    void addSongs(const std::vector<std::string>& paths);
    void dropSongs(const std::vector<std::string>& paths);
    void removeSong(int index);
    void moveSongUp(int index);
    void moveSongDown(int index);
    // The same for several lines at once (the window's multiple selection,
    // velmo-cli's ranges), by the single-song rules: a working copy goes only
    // when no song left in the list names it, and the status line is
    // refreshed once. Lines out of the list are left out; one line takes the
    // single-song handler. Removing leaves the song after the first removed
    // line selected (the last, when the list ends there). Moving moves the
    // lines as a block by one place and keeps them selected; when the first
    // line is at the top (Up) or the last at the bottom (Down), nothing moves.
    void removeSongs(std::vector<int> lines);
    void moveSongsUp(std::vector<int> lines);
    void moveSongsDown(std::vector<int> lines);
    // Every song removed, as removeSongs with every line.
    void clearList();
    void setQuality(uint16_t code);  // a QualityCode

    // The operations. Each returns the question the user must answer before
    // it can start (answer it with answer() or answerPath(), which go on from
    // there and may return the next one), or nothing: it started, or it was
    // refused or declined (lastOutcome() and View::operationEnded say so).
    std::optional<Question> download();
    // The conversion alone, for front ends that make an image without a
    // clock, into "./dat/tmp.bin" (removed at close); the list stays as it is.
    std::optional<Question> makeImage();
    std::optional<Question> reload();
    // `file`: the firmware file when the caller knows it already; otherwise
    // the FirmwareFile question asks for it.
    std::optional<Question> upgradeFirmware(std::optional<std::string> file = std::nullopt);
    // Reads the clock back and compares it with the image the last Download
    // wrote; its outcome names the first address that differs.
    std::optional<Question> verify();
    // Any operation of the table (operations/operation.h) by its kind.
    std::optional<Question> begin(Operation kind);
    // The answer to the question last returned: Yes or No ...
    std::optional<Question> answer(bool yes);
    // ... or the path a FirmwareFile question asked for (empty: none chosen).
    std::optional<Question> answerPath(std::string path);
    // The agent program's file name ("spn.bin"): a file dialog for firmware
    // leaves it out, since it is not firmware.
    static const char* agentFileName();
    // The operations the table holds with a command of their own name and
    // nothing more than their questions (OperationTraits::command).
    static std::vector<std::pair<Operation, std::string>> simpleOperations();

    // The user asks to stop the operation under way (the Stop button, Ctrl-C).
    // A Download, Reload, Verify or the conversion alone stops within one
    // block or chunk and ends with a message that says what the clock and the
    // list hold. A firmware write is never stopped once started: the progress
    // caption says so, and false is returned.
    bool stop();
    // The window asks to close. True: it may close now (close() stops and
    // joins any worker). False: the operation under way is one the close
    // waits for (a firmware write); the core closes the window once it ends.
    bool mayClose();
    // The question Escape or the close puts before it stops the operation
    // under way (StopOperation, with what stopping leaves); none when none
    // runs or it is not stopped by a close.
    std::optional<Question> stopQuestion() const;
    // An event from the queue. Events of an operation that has ended are
    // left out.
    void handle(const PostedEvent& posted);

    // Read access for front ends and tests.
    uint16_t songCount() const { return state_.songCount; }
    const Song& song(size_t i) const { return state_.songs.at(i); }
    uint16_t quality() const { return state_.quality; }
    uint32_t totalEstimate() const { return state_.totalEstimate; }
    int32_t connectState() const { return static_cast<int32_t>(state_.session.state()); }
    uint32_t deviceHandle() const { return state_.session.handle(); }
    // The storage size the list is planned for, and the code the clock's
    // agent reported at its last start (none without a clock).
    uint32_t storageKB() const { return state_.session.storageKB(); }
    std::optional<uint16_t> storageCode() const { return state_.session.storageCode(); }
    const std::string& startDir() const { return state_.startDir; }
    // A name of the working folder ("./dat/tmp.bin") as a full path.
    std::string path(const std::string& name) const { return state_.path(name); }
    bool isClosed() const { return closed_; }
    // An operation runs: the controls stay disabled until it ends.
    bool operationRunning() const;
    // The operation under way, or None.
    Operation operation() const;
    // How the last operation ended (also handed to View::operationEnded).
    const Outcome& lastOutcome() const { return lastOutcome_; }
    // Waits until every worker thread has ended and joins them (for the
    // terminal front end and tests; the window never waits).
    void joinWorkers();
    bool workersRunning() const;

    // Whether a Download reads the clock back and compares it with the image
    // ("Verify after Download", on by default, kept in the settings).
    bool verifyAfterDownload() const;
    void setVerifyAfterDownload(bool on);
    // The same for this run only, not remembered (velmo-cli --no-verify).
    void overrideVerifyAfterDownload(bool on) { verifyOverride_ = on; }
    // "Verify every byte" (off by default, kept in the settings): the
    // read-back compares the whole image, also the sectors a Download kept
    // because the clock held them already.
    bool fullVerify() const;
    void setFullVerify(bool on);
    // The same for this run only (velmo-cli download --verify=full).
    void overrideFullVerify(bool on) { fullVerifyOverride_ = on; }

    // Whether a song joining the list is named from its tags ("Names from
    // Tags", off by default, kept in the settings). Songs already in the
    // list keep their names either way.
    bool namesFromTags() const;
    void setNamesFromTags(bool on);

    // What is known of song i (< songCount): its facts from when it joined
    // the list in this run or from learnSongFacts; until then, only its play
    // time, worked out from its estimate (0 when that is 0).
    SongFacts songFacts(size_t i) const;
    // What a Download at the list's quality does with song i: its file is
    // in the clock's form at that quality, so its frames are copied (with
    // Even Volume on, only when its loudness is already even), or it is encoded.
    enum class SongConversionPlan { Encode, Copy, CopyIfEven };
    SongConversionPlan conversionPlan(size_t i) const;
    // Probes the songs whose facts are not known (those of the song table,
    // those a Reload brought) on a thread of the core's, which a later call,
    // the close and the core's end stop after the song at hand. The window
    // calls it after the start and after a Reload; songFacts gives each
    // song's facts as soon as it is probed.
    void learnSongFacts();
    // Waits until learnSongFacts has probed every song (the terminal's list).
    void waitForSongFacts();
    // What the last Download did with song i (kept from run to run beside
    // the song table): nothing when no Download has converted it since it
    // joined the list.
    std::optional<SongFactsStore::Fate> songFate(size_t i) const;
    // Song i's real size after the last Download's conversion, at the
    // quality in force; nothing when not known.
    std::optional<uint32_t> songConvertedSize(size_t i) const;

    // How full the clock would be with the list at quality `code`: the
    // estimates rescaled as the quality button would rescale them.
    struct QualityFill {
        uint64_t total = 0;  // bytes
        uint32_t capacity = 0;
        double percent = 0.0;  // of the capacity; 100 with no capacity at all
        bool fits = false;     // total below the capacity: no song would be cut
    };
    QualityFill qualityFill(uint16_t code) const;
    // Whether the conversion brings every song to one loudness ("Even
    // Volume", off by default, kept in the settings).
    bool evenVolume() const;
    void setEvenVolume(bool on);
    // Whether a Reload reads the songs twice and compares the reads when the
    // folder holds no record of the clock's songs ("Check Reload by reading
    // twice", on by default, kept in the settings).
    bool reloadReadTwice() const;
    void setReloadReadTwice(bool on);

    // The start folder's options (settings.h), shared by both front ends;
    // what is set here is saved at the close.
    Settings& settings() { return state_.settings; }
    const Settings& settings() const { return state_.settings; }

    // The data area's capacity at the storage size the list is planned for.
    uint32_t capacity() const { return state_.capacityNow(); }

  private:
    bool loadStartTable();
    void loadStartSettings();
    void finishInitialisation(bool tableLoaded);
    void connectionCheck();
    void requestClose();
    void deleteTemporaryFiles();
    static std::vector<std::string> workingFilesToKeep();
    // Fits the first `n` records and takes them into the list; the number of
    // songs the storage left out.
    uint32_t addSongsFitted(uint16_t oldCount, uint32_t n);
    // The file an Add or a Drop refused, when it refused one.
    void tellRefused(const std::vector<Message>& refused);
    // After an Add or a Drop that left files out: how many joined and why
    // the others did not; `oldCount`: the list's length before it.
    void tellJoined(uint16_t oldCount, Joined joined, std::vector<Message> refused);
    bool workNameInUse(const std::string& workPath, uint16_t upTo, int except) const;
    // Takes record `i` and its line out of the list, with its working copy
    // unless another song still names it; `tidyAfterRemoval` then follows.
    void takeOutSong(uint16_t i);
    // After songs left the list: stray working copies and their converted
    // bytes go too, and the status line shows what is left.
    void tidyAfterRemoval();
    // `maxNameBytes`: when not 0, the name between "./dat/" and the extension
    // is cut (between characters) so that it stays within that many bytes
    // with its " (N)".
    std::string uniqueWorkPath(const std::string& workPath, uint16_t upTo, size_t maxNameBytes = 0) const;
    // Probes the file at `path` (a full path, < kPathBytes), whose working
    // path by its file name is `work`, and gives the song's working path
    // under the list's first `upTo` songs: named from its tags when the
    // option is on and they give a name, from its file name otherwise; empty
    // when no unique name fits a record.
    std::string admit(const std::string& path, std::string work, uint16_t upTo, SongFacts& facts) const;
    void keepFacts(const Song& song, SongFacts facts);

    std::optional<Question> begin(Operation kind, Answers answers);
    // Starts an operation whose questions have been answered.
    void run(std::unique_ptr<RunningOperation> op);
    // An operation that ends before it starts.
    void refuse(Operation op, const Message& message);
    // Ends the running operation once it is over.
    void endIfOver();
    // Ends the running operation before it is over, showing nothing (the
    // close, the core's end): its workers are stopped and joined, and the
    // list keeps what they did.
    void discardOperation();
    bool deviceWorkerRunning() const;

    CoreState state_;
    std::string deviceLibraryPath_;
    bool folderReadOnly_ = false;
    // The song table may be replaced at the close (see loadStartTable).
    bool tableSavable_ = true;
    std::vector<Message> saveFailures_;
    std::string windowTitle_;
    bool closed_ = false;
    bool closeAfterOperation_ = false;  // the window asked to close during a firmware write
    uint64_t nextSerial_ = 1;
    std::unique_ptr<RunningOperation> running_;
    Outcome lastOutcome_;
    std::optional<bool> verifyOverride_;
    std::optional<bool> fullVerifyOverride_;
    // The request whose question is waiting for its answer.
    struct Pending {
        Operation kind;
        Answers answers;
        Question question;
    };
    std::optional<Pending> pending_;
};

}  // namespace velmo
