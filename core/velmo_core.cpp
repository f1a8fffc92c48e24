#include "velmo_core.h"

#include <set>

#include <filesystem>

#include "convert_job.h"
#include "convert_pool.h"
#include "operations/download_operation.h"
#include "operations/firmware_operation.h"
#include "operations/image_operation.h"
#include "operations/reload_operation.h"
#include "operations/verify_operation.h"
#include "conversion_cache.h"
#include "songlist.h"
#include "songtable.h"
#include "storage_layout.h"
#include "translation.h"

namespace velmo {

namespace {

// The working files the cleanup at start-up and at close removes: every one
// that an interrupted run can leave behind. Songs' working copies stay.
constexpr const char* kTemporaryFiles[] = {"./dat/tmp.bin", "./dat/mp3.tmp",  "./dat/tmp.tbl",  "./dat/tmp.ztd",
                                           "./dat/raw.tmp", "./dat/raw2.tmp", "./dat/code.tmp", "./dat/check.tmp"};

}  // namespace

VelmoCore::VelmoCore(View& view, EventQueue& events, std::string startDir) : state_(view, events, std::move(startDir)) {
    setConversionWorkers(0);
}

VelmoCore::~VelmoCore() {
    // Every worker stops at its next safe point and is joined before the
    // library it uses goes away.
    running_.reset();
}

void VelmoCore::setConversionWorkers(unsigned workers) {
    state_.conversionWorkers = workers == 0 ? defaultConversionWorkers() : workers;
}

bool VelmoCore::operationRunning() const { return running_ != nullptr; }

Operation VelmoCore::operation() const { return running_ ? running_->kind() : Operation::None; }

bool VelmoCore::workersRunning() const { return running_ && running_->workersRunning(); }

bool VelmoCore::deviceWorkerRunning() const { return running_ && running_->deviceWorkerRunning(); }

void VelmoCore::joinWorkers() {
    if (running_) running_->joinWorkers();
    state_.session.closeDeferred();
}

std::vector<std::string> VelmoCore::workingFilesToKeep() {
    // The last image stays until the close: the terminal copies it out after
    // the conversion alone, and a Download's is the record of what was sent.
    std::vector<std::string> keep(std::begin(kTemporaryFiles), std::end(kTemporaryFiles));
    for (size_t i = 0; i < kMaxHeaderSongs; ++i) {
        keep.push_back(songPcmWorkFile(i));
        keep.push_back(songMp3WorkFile(i));
    }
    return keep;
}

void VelmoCore::deleteTemporaryFiles() {
    for (const char* name : kTemporaryFiles) state_.removeFile(name);
    for (size_t i = 0; i < kMaxHeaderSongs; ++i) {
        state_.removeFile(songPcmWorkFile(i));
        state_.removeFile(songMp3WorkFile(i));
    }
}

// ---------------------------------------------------------------------------
// Start-up and close

bool VelmoCore::loadStartTable() {
    state_.songCount = 0;
    state_.totalEstimate = 0;
    state_.quality = kQualityGood;
    SongTableHeader table;
    // A look at the list changes nothing in the folder, a damaged table included.
    const SongTableLoadResult loaded = loadSongTableChecked(
        state_.startDir, table, state_.songs.data(), folderReadOnly_ ? DamagedFile::Leave : DamagedFile::SetAside);
    // A table that was neither loaded nor moved out of the way is not
    // replaced by the list this run makes.
    tableSavable_ =
        loaded.status == SongTableLoad::Loaded || loaded.status == SongTableLoad::Missing || !loaded.setAsideAs.empty();
    const std::string problem = songTableProblemText(state_.startDir, loaded);
    if (!problem.empty()) {
        const bool handled = !loaded.setAsideAs.empty();
        state_.view.messageBox(problem, handled ? kCaptionWarning : kCaptionError,
                               handled ? MessageIcon::Warning : MessageIcon::Error, MessageButtons::Ok);
    }
    if (loaded.status != SongTableLoad::Loaded) return false;
    state_.songCount = table.songCount;
    state_.quality = table.quality;
    state_.totalEstimate = table.totalEstimate;
    return true;
}

void VelmoCore::loadStartSettings() {
    const SettingsLoadResult loaded =
        state_.settings.load(state_.startDir, folderReadOnly_ ? DamagedFile::Leave : DamagedFile::SetAside);
    const std::string problem = loaded.text(state_.startDir);
    if (problem.empty()) return;
    const bool handled = !loaded.setAsideAs.empty();
    state_.view.messageBox(problem, handled ? kCaptionWarning : kCaptionError,
                           handled ? MessageIcon::Warning : MessageIcon::Error, MessageButtons::Ok);
}

void VelmoCore::onInitDialog() {
    const bool tableLoaded = loadStartTable();
    if (!state_.session.load(deviceLibraryPath_)) {
        state_.view.messageBox(tr_("Please install USB driver first !"), kCaptionError, MessageIcon::Error,
                               MessageButtons::Ok);
        requestClose();
        return;
    }
    state_.session.setState(ConnectionState::Waiting);
    connectionCheck();
    finishInitialisation(tableLoaded);
}

void VelmoCore::onInitDialogOffline(uint32_t storageKB) {
    // Nothing is loaded, nothing is polled.
    if (storageKB != 0) state_.session.setStorageKB(storageKB);
    finishInitialisation(loadStartTable());
}

void VelmoCore::onInitDialogOfflineForAttachedClock() {
    onInitDialogOffline(ClockSession::attachedStorageKB(deviceLibraryPath_, state_.startDir));
}

void VelmoCore::finishInitialisation(bool tableLoaded) {
    View& view = state_.view;
    loadStartSettings();
    state_.facts.loadFates(state_.startDir);
    view.setWindowTitle(windowTitle_);
    if (tableLoaded) state_.fillLines(0, state_.songCount);
    state_.showStatus(state_.totalEstimate);
    view.setHorizontalExtent(kListExtentPixels);
    if (state_.quality == kQualityBest) view.setQualityButtons(true, false, false);
    if (state_.quality == kQualityGood) view.setQualityButtons(false, true, false);
    if (state_.quality == kQualityNormal) view.setQualityButtons(false, false, true);
    if (!folderReadOnly_) {
        // First, so that nothing below is deleted or written through a link.
        makeOwnFolder(state_.path(kWorkDir));
        deleteTemporaryFiles();
        // Copies an earlier run left behind would only grow dat/.
        state_.removeStrayWorkingCopies(workingFilesToKeep());
        keepOnlyCachedSongs(state_.songs.data(), state_.songCount, state_.work());
    }
    view.enableControls(true);
    if (!closed_ && state_.session.state() != ConnectionState::NotLoaded) view.startTimer(kTimerMilliseconds);
}

void VelmoCore::connectionCheck() {
    View& view = state_.view;
    ClockSession& session = state_.session;
    view.enableControls(false);
    if (!session.open()) {
        view.messageBox(state_.noClockText(tr_("USB connection error !\nPlease plug-in USB first.")), kCaptionError,
                        MessageIcon::Error, MessageButtons::Ok);
        requestClose();
        return;
    }
    const int result = session.startAgent(state_.startDir);
    if (result < 0) {
        session.drop(false);
        view.enableControls(true);
        view.messageBox(tr_("Please plug-out & plug-in USB again !"), kCaptionError, MessageIcon::Error,
                        MessageButtons::Ok);
        requestClose();
        return;
    }
    const uint32_t kb = session.reportedStorageKB();
    // A code without a storage size would make every capacity wrap around.
    if (result == kDeviceAgentFailed || kb == 0) {
        view.messageBox(tr_("Storage device is not found !"), kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        view.enableControls(true);
        requestClose();
        return;
    }
    session.setStorageKB(kb);
    windowTitle_ = "Zentro";
}

void VelmoCore::requestClose() {
    onClose();
    state_.view.closeWindow();
}

void VelmoCore::onClose() {
    if (closed_) return;
    closed_ = true;
    if (state_.session.state() != ConnectionState::NotLoaded) state_.view.stopTimer();

    // A worker still running is stopped at its next safe point and joined
    // before the library it uses goes away; the list keeps what it did.
    if (running_) {
        running_->cancel();
        running_->joinWorkers();
        running_->settle();
        running_.reset();
    }
    state_.facts.stop();
    state_.session.shutdown();
    if (folderReadOnly_) return;
    // A save that fails is said: the list or the options of this run are lost.
    FileWriteError failure;
    if (tableSavable_ && saveSongTable(state_.startDir, state_.quality, state_.songCount, state_.songs.data(),
                                       state_.totalEstimate, &failure) != 0)
        saveFailures_.push_back(format(tr_("The song list was not saved. %s"), failure.text().c_str()));
    if (state_.settings.changed() && !state_.settings.save(state_.startDir, &failure))
        saveFailures_.push_back(format(tr_("The options were not saved. %s"), failure.text().c_str()));
    if (tableSavable_ && state_.facts.fatesChanged()) {
        std::set<std::string> listed;
        for (uint16_t i = 0; i < state_.songCount; ++i) listed.insert(factsKey(state_.songs[i]));
        state_.facts.saveFates(state_.startDir, listed);
    }
    for (const std::string& text : saveFailures_)
        state_.view.messageBox(text, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
    deleteTemporaryFiles();
}

void VelmoCore::onTimer() {
    if (closed_) return;
    if (!deviceWorkerRunning()) state_.session.closeDeferred();
    state_.session.poll(deviceWorkerRunning());
}

// ---------------------------------------------------------------------------
// Operations

void VelmoCore::run(std::unique_ptr<RunningOperation> op) {
    state_.view.enableControls(false);
    running_ = std::move(op);
    running_->start();
    endIfOver();
}

void VelmoCore::refuse(Operation op, const std::string& reason) {
    lastOutcome_ = Outcome{};
    lastOutcome_.operation = op;
    lastOutcome_.kind = OutcomeKind::Refused;
    lastOutcome_.reason = reason;
    state_.view.operationEnded(lastOutcome_);
}

void VelmoCore::endIfOver() {
    if (!running_ || !running_->over()) return;
    View& view = state_.view;
    // Its workers have posted their last event: they end at once.
    running_->joinWorkers();
    state_.session.closeDeferred();
    view.setStopAvailable(false);
    view.enableControls(true);
    running_->settle();
    running_->afterControlsEnabled();
    lastOutcome_ = running_->outcome();
    // The songs a Reload replaced leave their copies behind.
    if (lastOutcome_.operation == Operation::Reload && !folderReadOnly_) {
        state_.removeStrayWorkingCopies(workingFilesToKeep());
        keepOnlyCachedSongs(state_.songs.data(), state_.songCount, state_.work());
    }
    running_.reset();
    view.operationEnded(lastOutcome_);
    if (closeAfterOperation_) {
        closeAfterOperation_ = false;
        requestClose();
    }
}

void VelmoCore::onEvent(const PostedEvent& posted) {
    if (closed_ || !running_ || posted.operation != running_->serial()) return;
    running_->deliver(posted.event);
    endIfOver();
}

std::string VelmoCore::stopQuestion() const { return running_ && !closed_ ? running_->stopQuestion() : std::string(); }

bool VelmoCore::onStop() {
    if (!running_ || closed_) return true;
    return running_->stop();
}

bool VelmoCore::onCloseRequest() {
    if (closed_ || !running_ || running_->kind() != Operation::Firmware) return true;
    running_->stop();
    closeAfterOperation_ = true;
    return false;
}

void VelmoCore::onDownload() {
    if (running_) return;
    std::string reason;
    if (!DownloadOperation::checks(state_, true, reason)) {
        refuse(Operation::Download, reason);
        return;
    }
    const bool cut = cutToFit(state_.songs.data(), state_.songCount, state_.capacityNow()) != 0;
    auto download = std::make_unique<DownloadOperation>(state_, nextSerial_++, cut, verifyAfterDownload());
    download->setFullVerify(fullVerify());
    run(std::move(download));
}

bool VelmoCore::verifyAfterDownload() const {
    return verifyOverride_.value_or(state_.settings.flag(kVerifyAfterDownloadKey, true));
}

void VelmoCore::setVerifyAfterDownload(bool on) {
    verifyOverride_.reset();
    state_.settings.setFlag(kVerifyAfterDownloadKey, on);
}

bool VelmoCore::fullVerify() const {
    return fullVerifyOverride_.value_or(state_.settings.flag(kFullVerifyKey, false));
}

void VelmoCore::setFullVerify(bool on) {
    fullVerifyOverride_.reset();
    state_.settings.setFlag(kFullVerifyKey, on);
}

bool VelmoCore::evenVolume() const { return state_.settings.flag(kEvenVolumeKey, false); }

void VelmoCore::setEvenVolume(bool on) { state_.settings.setFlag(kEvenVolumeKey, on); }

bool VelmoCore::reloadReadTwice() const { return state_.settings.flag(kReloadReadTwiceKey, true); }

void VelmoCore::setReloadReadTwice(bool on) { state_.settings.setFlag(kReloadReadTwiceKey, on); }

void VelmoCore::onMakeImage() {
    if (running_) return;
    std::string reason;
    if (!DownloadOperation::checks(state_, false, reason)) {
        refuse(Operation::Image, reason);
        return;
    }
    run(std::make_unique<ImageOperation>(state_, nextSerial_++));
}

void VelmoCore::onReload() {
    if (running_) return;
    std::string reason;
    if (!ReloadOperation::checks(state_, reason)) {
        refuse(Operation::Reload, reason);
        return;
    }
    run(std::make_unique<ReloadOperation>(state_, nextSerial_++));
}

void VelmoCore::onUpgradeFirmware() {
    if (running_) return;
    std::string reason;
    uint32_t bytes = 0;
    const bool accepted = FirmwareOperation::checks(state_, chosenPath_, bytes, reason);
    if (!accepted) {
        refuse(Operation::Firmware, reason);
        return;
    }
    run(std::make_unique<FirmwareOperation>(state_, nextSerial_++, bytes));
}

void VelmoCore::onVerify() {
    if (running_) return;
    std::string reason;
    if (!VerifyOperation::checks(state_, reason)) {
        refuse(Operation::Verify, reason);
        return;
    }
    run(std::make_unique<VerifyOperation>(state_, nextSerial_++));
}

}  // namespace velmo
