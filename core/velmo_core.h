// The main window's state and handlers, without a toolkit. A front end (the Qt
// window, the terminal) forwards every control's event to one handler here
// and implements View; workers' messages come back through the front end's
// MessageTarget and are handed to onWorkerMessage on the user-interface thread.
//
// Calls come from the user-interface thread only. While an operation runs the
// front end's controls are disabled, so no command starts a second one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert_job.h"
#include "device.h"
#include "messages.h"
#include "outcome.h"
#include "shared_state.h"
#include "transfer.h"
#include "usb_library.h"
#include "view.h"

namespace velmo {

// A worker thread asks for a message box through this message; the core
// shows it on the user-interface thread and releases the worker afterwards.
constexpr uint32_t WM_WORKER_MESSAGE_BOX = 0x8F01;

constexpr int kMaxAddSongs = 32;  // Add stops here

constexpr const char* kCaptionError = "Error";
constexpr const char* kCaptionWarning = "Warning";

// What a stopped operation leaves, said when it ends.
constexpr const char* kDownloadStoppedErasedText = "Download stopped: the clock now holds no songs.";
constexpr const char* kDownloadStoppedUntouchedText = "Download stopped: the clock was not changed.";
constexpr const char* kReloadStoppedText = "Reload stopped: the song list was not changed.";
// Shown while a firmware write that cannot be stopped is waited for.
constexpr const char* kFirmwareWaitCaption = "Writing firmware: the clock must not be unplugged";
constexpr const char* kCaptionInformation = "Information";
// When a clock is attached but another program (a second Velmo on another
// folder) holds it: told apart from an unplugged clock, whose messages stay.
constexpr const char* kClockBusyText = "The clock is in use by another program !";

// Which of a record's paths a re-estimate measures: the user's file, or the
// working copy in ./dat/ (all a reloaded song has).
enum class EstimateSource { SourcePath, WorkPath };

// Where a command's message box stands among the steps that end it when the
// agent cannot be started: each command keeps its own order.
enum class BoxAt { BeforeProgressReset, BeforeReEnable, AfterReEnable };

struct AgentFailureBox {
    const char* text;
    const char* caption;
    MessageIcon icon;
    BoxAt at;
};
constexpr int kTimerMilliseconds = 300;
constexpr int kListExtentPixels = 4000;

class VelmoCore {
  public:
    // `startDir`: the folder every relative name is resolved against (the
    // current folder at start-up). `window` receives the workers' messages and
    // must hand them back to onWorkerMessage on the user-interface thread.
    VelmoCore(View& view, MessageTarget& window, std::string startDir);
    // Stops and joins any worker still running.
    ~VelmoCore();
    VelmoCore(const VelmoCore&) = delete;
    VelmoCore& operator=(const VelmoCore&) = delete;

    // The window's caption for "Music files converted error !" (the program's name).
    void setApplicationName(std::string name) { appName_ = std::move(name); }
    // Where the device library is loaded from; empty (default): the executable's folder.
    void setDeviceLibraryPath(std::string path) { deviceLibraryPath_ = std::move(path); }
    // For a front end that only looks at the list under a shared folder lock
    // (folder_lock.h): the start and the close then leave the song table and
    // dat/ as they are, since other readers may be looking at them too.
    void setFolderReadOnly(bool readOnly) { folderReadOnly_ = readOnly; }
    // How many songs a Download (or the conversion alone) converts at once;
    // 0: one for each core (the default). The image is the same whatever it is.
    void setConversionWorkers(unsigned workers);
    unsigned conversionWorkers() const { return conversionWorkers_; }

    // Handlers, one per event of the main window.
    void onInitDialog();
    // The start for work that needs no clock (velmo_core_offline.cpp): the
    // terminal front end's list editing, listing and conversion alone. It does
    // everything onInitDialog does except loading the device library and the
    // connection check: connectState stays 0 (the timer polls nothing) and
    // deviceHandle 0 (Download, Reload and Upgrade Firmware answer as with no
    // clock attached). `storageKB` is the storage size the list is planned
    // for: the initial 2048 KiB, or the size of a clock the front end has
    // probed itself; 0 keeps the initial size. Call it instead of
    // onInitDialog, once; onClose then saves the table and removes the
    // working files as after a normal start.
    void onInitDialogOffline(uint32_t storageKB = 0);
    void onClose();
    void onTimer();
    void onAdd(const std::vector<std::string>& chosenPaths);
    void onDropFiles(const std::vector<std::string>& droppedPaths);
    void onDelete(int selectedLine);
    void onUp(int selectedLine);
    void onDown(int selectedLine);
    void onQuality(uint16_t code);  // a QualityCode
    void onBest() { onQuality(kQualityBest); }
    void onGood() { onQuality(kQualityGood); }
    void onNormal() { onQuality(kQualityNormal); }
    void onDownload();
    // The conversion alone, for front ends that make an image without a
    // clock: Download's checks (all but the clock's), its cut question and
    // its conversion, into "./dat/tmp.bin" (removed at close). The list
    // itself stays as it is: the conversion works on a copy of it.
    void onMakeImage();
    void onReload();
    void onUpgradeFirmware();
    // The user asks to stop the operation under way (the Stop button, Ctrl-C).
    // A Download or Reload stops within one block or chunk; its workers then
    // report WM_JOB_STOPPED and the operation ends with a message that says
    // what the clock and the list hold. A firmware write is never stopped once
    // started: the progress caption says so, and false is returned.
    bool onStop();
    // The window asks to close. True: it may close now (onClose stops and
    // joins any worker). False: a firmware write is under way; the window is
    // closed by the core once the firmware has been verified.
    bool onCloseRequest();
    // Returns true for every worker message code (they are all handled here).
    bool onWorkerMessage(uint32_t code, uint32_t wParam, uint32_t lParam);

    // Read access for front ends and tests.
    const SharedState& shared() const { return *shared_; }
    SharedState& shared() { return *shared_; }
    uint16_t songCount() const { return songCount_; }
    uint16_t quality() const { return quality_; }
    uint32_t totalEstimate() const { return totalEstimate_; }
    int32_t connectState() const { return conn_.connectState; }
    uint32_t deviceHandle() const { return conn_.deviceHandle; }
    // The loaded device library, for front ends that talk to the clock with
    // deviceHandle() between operations (never while workersRunning()).
    const DeviceLibrary& deviceLibrary() const { return lib_; }
    const std::string& chosenPath() const { return chosenPath_; }
    bool isClosed() const { return closed_; }
    // An operation runs: the controls stay disabled until it ends.
    bool operationRunning() const { return operationRunning_; }
    // The operation under way, or None.
    using Operation = velmo::Operation;
    Operation operation() const { return operationRunning_ ? operation_ : Operation::None; }
    // How the last operation ended (also handed to View::operationEnded).
    const Outcome& lastOutcome() const { return lastOutcome_; }
    // Waits until every worker thread has ended and joins them (for the
    // terminal front end and tests; the window never waits).
    void joinWorkers();
    bool workersRunning() const;

    // The space-usage line for a byte total at the current storage size.
    std::string statusText(uint32_t total) const;
    // Re-estimates every listed song from the given path at the current
    // quality; returns the new sum.
    uint32_t reEstimate(EstimateSource source);

  private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
        bool device;
    };

    bool loadStartTable();
    void finishInitialisation(bool tableLoaded);
    void connectionCheck();
    void requestClose();
    // `unplugged`, or the busy text when the last open found the clock held.
    std::string noClockText(const char* unplugged) const;
    void deleteTemporaryFiles();
    void showStatus(uint32_t total);
    void enableControls(bool enable);
    void fillLines(uint16_t first, uint16_t end);
    void endOfOperation();
    void finishOperation();
    void addSongsFitted(uint16_t oldCount, uint32_t n);
    bool workNameInUse(const std::string& workPath, uint16_t upTo, int except) const;
    std::string uniqueWorkPath(const std::string& workPath, uint16_t upTo) const;
    void removeFile(const std::string& name) const;
    uint32_t capacityNow() const;

    void startWorker(bool device, std::function<void()> body);
    void reapWorkers();
    bool deviceWorkerRunning() const;
    void dropDeviceConnection();

    void startWriteWorkerJob(const std::string& path, uint32_t address, uint32_t eraseLength, WriteMode mode,
                             WriteStart start, uint32_t expectedBytes = 0);
    // Marks the start of an operation: controls disabled, no stop request left
    // over from an earlier one.
    void beginOperation(Operation op);
    void onJobStopped(uint32_t worker, uint32_t erased);
    // The Download checks that need no worker; false (and the outcome
    // delivered) when the operation is refused.
    bool downloadChecks(Operation op);
    // An operation that ends before it starts.
    void refuse(Operation op, const std::string& reason);
    // How the running operation ends; the first one noted counts.
    void noteOutcome(OutcomeKind kind, const std::string& reason = {});
    void deliverOutcome();
    std::vector<std::string> unconvertedSongs() const;
    void onLocalFileFailure(const std::string& file, bool reading, uint32_t errorNumber);
    // Starts the agent for a command that has disabled the controls and set
    // the bar to 1. True when it runs and found the storage; otherwise the
    // command ends here: the bar back to 0, the connection dropped when it was
    // lost, the controls enabled, and `lost` or `noStorage` shown at its place.
    bool startAgentForCommand(const AgentFailureBox& lost, const AgentFailureBox& noStorage);
    void startConversion(SongRecord* songs, uint16_t count, uint32_t totalEstimate, bool streamed);
    using ReadWorkerFn = void (*)(const DeviceJob*, const SharedState*, const DeviceLibrary*);
    void startReadWorker(uint32_t address, const char* path, uint32_t count, ReadWorkerFn worker);
    void showWorkerMessageBox();
    void workerMessageBox(const std::string& text);

    // Reload and firmware (velmo_core_device.cpp).
    void onTableReadDone();
    void onDataReadDone();
    void onFirmwareStepDone(uint32_t wParam);

    View& view_;
    MessageTarget& window_;
    std::unique_ptr<SharedState> shared_;
    DeviceLibrary lib_;
    DeviceConnection conn_;
    std::string appName_ = "velmo";
    std::string deviceLibraryPath_;
    bool folderReadOnly_ = false;

    uint16_t songCount_ = 0;
    uint16_t quality_ = kQualityGood;
    uint32_t totalEstimate_ = 0;
    std::string chosenPath_;
    DeviceJob deviceJob_;
    std::unique_ptr<ConvertJob> convertJob_;
    ConvertReport convertReport_;
    std::vector<SongRecord> imageSongs_;  // the list copy the conversion alone works on
    unsigned conversionWorkers_ = 0;
    uint32_t reloadLength_ = 0;

    std::string windowTitle_;
    bool closed_ = false;
    bool initialised_ = false;
    bool operationRunning_ = false;
    Operation operation_ = Operation::None;
    bool closeAfterOperation_ = false;  // the window asked to close during a firmware write
    bool stopMessageShown_ = false;     // this operation's stop has been reported
    bool conversionRunning_ = false;    // this download's conversion has not reported its end
    bool writeEnded_ = false;           // this download's write worker has reported its end
    bool writeCaptionShown_ = false;    // this download's first block has been written
    bool outcomeNoted_ = false;
    Outcome outcome_;      // the running operation's, once noted
    Outcome lastOutcome_;  // the last operation's
    std::string lastWorkerBox_;
    std::vector<Worker> workers_;

    // A message box asked for by a worker thread.
    std::mutex boxMutex_;
    std::condition_variable boxCv_;
    std::string boxText_;
    bool boxPending_ = false;
    bool boxShown_ = false;
    bool boxCancelled_ = false;
};

}  // namespace velmo
