#include "velmo_core.h"

#include <set>

#include <filesystem>

#include "convert_job.h"
#include "convert_pool.h"
#include "device.h"
#include "operations/operation.h"
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
    // An operation still under way ends as at the close: every worker stops
    // at its next safe point and is joined before the library it uses goes
    // away, and the list keeps what it did. The front end may be half
    // destroyed by now (the window destroys the core in its own destructor):
    // nothing is shown.
    if (running_) discardOperation();
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

const char* VelmoCore::agentFileName() { return kAgentFileName; }

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
        Message m{Say::TableProblem};
        m.detail = problem;
        m.setAside = !loaded.setAsideAs.empty();
        state_.tell(m);
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
    Message m{Say::SettingsProblem};
    m.detail = problem;
    m.setAside = !loaded.setAsideAs.empty();
    state_.tell(m);
}

void VelmoCore::start() {
    const bool tableLoaded = loadStartTable();
    if (!state_.session.load(deviceLibraryPath_)) {
        state_.tell({Say::NoDeviceLibrary});
        requestClose();
        return;
    }
    state_.session.setState(ConnectionState::Waiting);
    connectionCheck();
    finishInitialisation(tableLoaded);
}

void VelmoCore::startOffline(uint32_t storageKB) {
    // Nothing is loaded, nothing is polled.
    if (storageKB != 0) state_.session.setStorageKB(storageKB);
    finishInitialisation(loadStartTable());
}

void VelmoCore::startOfflineForAttachedClock() {
    startOffline(ClockSession::attachedStorageKB(deviceLibraryPath_, state_.startDir));
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
        state_.tell(state_.noClock(Say::NoClockAtStart));
        requestClose();
        return;
    }
    const int result = session.startAgent(state_.startDir);
    if (result < 0) {
        session.drop(false);
        view.enableControls(true);
        state_.tell(state_.agentLost(Say::ReplugClock));
        requestClose();
        return;
    }
    const uint32_t kb = session.reportedStorageKB();
    // A code without a storage size would make every capacity wrap around.
    if (result == kDeviceAgentFailed || kb == 0) {
        state_.tell({Say::StorageDeviceNotFound});
        view.enableControls(true);
        requestClose();
        return;
    }
    session.setStorageKB(kb);
    windowTitle_ = "Zentro";
}

void VelmoCore::requestClose() {
    close();
    state_.view.closeWindow();
}

void VelmoCore::close() {
    if (closed_) return;
    closed_ = true;
    if (state_.session.state() != ConnectionState::NotLoaded) state_.view.stopTimer();

    // A worker still running is stopped at its next safe point and joined
    // before the library it uses goes away; the list keeps what it did.
    if (running_) discardOperation();
    state_.facts.stop();
    state_.session.shutdown();
    if (folderReadOnly_) return;
    // A save that fails is said: the list or the options of this run are lost.
    FileWriteError failure;
    const auto notSaved = [&](Say say) {
        Message m{say};
        m.detail = failure.text();
        saveFailures_.push_back(m);
    };
    if (tableSavable_ && saveSongTable(state_.startDir, state_.quality, state_.songCount, state_.songs.data(),
                                       state_.totalEstimate, &failure) != 0)
        notSaved(Say::ListNotSaved);
    if (state_.settings.changed() && !state_.settings.save(state_.startDir, &failure)) notSaved(Say::OptionsNotSaved);
    if (tableSavable_ && state_.facts.fatesChanged()) {
        std::set<std::string> listed;
        for (uint16_t i = 0; i < state_.songCount; ++i) listed.insert(factsKey(state_.songs[i]));
        state_.facts.saveFates(state_.startDir, listed);
    }
    for (const Message& m : saveFailures_) state_.tell(m);
    deleteTemporaryFiles();
}

void VelmoCore::tick() {
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

void VelmoCore::refuse(Operation op, const Message& message) {
    lastOutcome_ = Outcome{};
    lastOutcome_.operation = op;
    lastOutcome_.kind = OutcomeKind::Refused;
    lastOutcome_.message = message;
    state_.view.operationEnded(lastOutcome_);
}

void VelmoCore::discardOperation() {
    running_->shutdown();
    // Its workers' last events are left undelivered: what they did to the
    // list is kept all the same.
    for (const Event& event : state_.queue.pending(running_->serial())) running_->keepResults(event);
    running_->settle();
    running_.reset();
}

void VelmoCore::endIfOver() {
    if (!running_ || !running_->over()) return;
    View& view = state_.view;
    // Its workers have posted their last event: they end at once.
    running_->shutdown();
    state_.session.closeDeferred();
    view.setStopAvailable(false);
    view.enableControls(true);
    running_->settle();
    running_->afterControlsEnabled();
    lastOutcome_ = running_->outcome();
    // The songs the operation replaced leave their copies behind.
    if (running_->traits().replacesList && !folderReadOnly_) {
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

void VelmoCore::handle(const PostedEvent& posted) {
    if (closed_ || !running_ || posted.operation != running_->serial()) return;
    running_->deliver(posted.event);
    endIfOver();
}

std::optional<Question> VelmoCore::stopQuestion() const {
    return running_ && !closed_ ? running_->stopQuestion() : std::nullopt;
}

bool VelmoCore::stop() {
    if (!running_ || closed_) return true;
    return running_->stop();
}

bool VelmoCore::mayClose() {
    if (closed_ || !running_ || !running_->traits().closeWaits) return true;
    running_->stop();
    closeAfterOperation_ = true;
    return false;
}

std::optional<Question> VelmoCore::begin(Operation kind, Answers answers) {
    pending_.reset();
    const OperationEntry* entry = findOperation(kind);
    if (running_ || closed_ || entry == nullptr) return std::nullopt;
    Launch launch;
    launch.verify = verifyAfterDownload();
    launch.fullVerify = fullVerify();
    const Admission admission = entry->admit(state_, answers, launch);
    switch (admission.verdict) {
        case Admission::Verdict::Go:
            run(entry->make(state_, nextSerial_++, launch));
            return std::nullopt;
        case Admission::Verdict::Refused:
            if (admission.told) state_.tell(*admission.refusal);
            refuse(kind, *admission.refusal);
            return std::nullopt;
        case Admission::Verdict::Declined: {
            Message declined{admission.question.kind == QuestionKind::FirmwareFile ? Say::NoFirmwareChosen
                                                                                   : Say::Declined};
            declined.question = static_cast<int>(admission.question.kind);
            refuse(kind, declined);
            return std::nullopt;
        }
        case Admission::Verdict::Ask:
            break;
    }
    pending_ = Pending{kind, std::move(answers), admission.question};
    return admission.question;
}

std::optional<Question> VelmoCore::begin(Operation kind) { return begin(kind, Answers{}); }

std::optional<Question> VelmoCore::answer(bool yes) {
    if (!pending_) return std::nullopt;
    Pending p = std::move(*pending_);
    p.answers.given[p.question.kind] = yes;
    return begin(p.kind, std::move(p.answers));
}

std::optional<Question> VelmoCore::answerPath(std::string path) {
    if (!pending_) return std::nullopt;
    Pending p = std::move(*pending_);
    p.answers.path = std::move(path);
    return begin(p.kind, std::move(p.answers));
}

std::optional<Question> VelmoCore::download() { return begin(Operation::Download); }

std::optional<Question> VelmoCore::makeImage() { return begin(Operation::Image); }

std::optional<Question> VelmoCore::reload() { return begin(Operation::Reload); }

std::optional<Question> VelmoCore::verify() { return begin(Operation::Verify); }

std::optional<Question> VelmoCore::upgradeFirmware(std::optional<std::string> file) {
    Answers answers;
    answers.path = std::move(file);
    return begin(Operation::Firmware, std::move(answers));
}

std::vector<std::pair<Operation, std::string>> VelmoCore::simpleOperations() {
    std::vector<std::pair<Operation, std::string>> out;
    for (const OperationEntry* e : operationTable())
        if (e->traits.command != nullptr) out.emplace_back(e->traits.kind, e->traits.command);
    return out;
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

}  // namespace velmo
