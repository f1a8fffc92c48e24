#include "velmo_core.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "admission.h"
#include "convert_job.h"
#include "convert_pool.h"
#include "songlist.h"
#include "songtable.h"
#include "storage_layout.h"

namespace velmo {

namespace {

constexpr const char* kProgressIdle = "Progress:";
// Followed by the system's reason, as strerror gives it.
constexpr const char* kCannotOpenFormat = "Cannot open %s: ";
// The working files the cleanup at start-up and at close removes: every one
// that an interrupted run can leave behind. Songs' working copies stay.
constexpr const char* kTemporaryFiles[] = {"./dat/tmp.bin", "./dat/mp3.tmp",  "./dat/tmp.tbl",  "./dat/tmp.ztd",
                                           "./dat/raw.tmp", "./dat/raw2.tmp", "./dat/code.tmp", "./dat/check.tmp"};
constexpr const char* kDownloadFinishedText = "Downloading songs finished !";

std::string formatWithPath(const char* pattern, const std::string& path) {
    std::string out = pattern;
    const size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, path);
    return out;
}

void copyText(char* field, const std::string& text) {
    // Only the text and its terminating zero are written: what lies after the
    // zero in the record stays as it was.
    std::memcpy(field, text.c_str(), text.size() + 1);
}

}  // namespace

VelmoCore::VelmoCore(View& view, MessageTarget& window, std::string startDir)
    : view_(view), window_(window), shared_(std::make_unique<SharedState>()) {
    shared_->startDir = std::move(startDir);
    setConversionWorkers(0);
}

void VelmoCore::setConversionWorkers(unsigned workers) {
    conversionWorkers_ = workers == 0 ? defaultConversionWorkers() : workers;
}

VelmoCore::~VelmoCore() {
    {
        std::lock_guard<std::mutex> lock(boxMutex_);
        boxCancelled_ = true;
    }
    boxCv_.notify_all();
    shared_->keepConverting = 0;
    shared_->stopRequested = true;
    for (Worker& w : workers_)
        if (w.thread.joinable()) w.thread.join();
}

uint32_t VelmoCore::capacityNow() const { return capacity(shared_->storageKB); }

std::string VelmoCore::statusText(uint32_t total) const {
    const uint32_t cap = capacityNow();
    const double usage = static_cast<double>(total) * 100.0 / static_cast<double>(cap);
    if (usage >= 100.0) return " Space usage: Storage is full !";
    char text[64];
    std::snprintf(text, sizeof text, " Space usage: %2.1f%c", usage, '%');
    return text;
}

void VelmoCore::showStatus(uint32_t total) { view_.setStatusLine(statusText(total)); }

void VelmoCore::enableControls(bool enable) { view_.enableControls(enable); }

void VelmoCore::fillLines(uint16_t first, uint16_t end) {
    for (uint16_t i = first; i < end; ++i) view_.appendLine(songDisplayName(fieldText(shared_->songs[i].workPath)));
}

void VelmoCore::removeFile(const std::string& name) const { ::unlink(shared_->path(name).c_str()); }

void VelmoCore::deleteTemporaryFiles() {
    for (const char* name : kTemporaryFiles) removeFile(name);
    for (size_t i = 0; i < kMaxHeaderSongs; ++i) {
        removeFile(songPcmWorkFile(i));
        removeFile(songMp3WorkFile(i));
    }
}

// ---------------------------------------------------------------------------
// Start-up and close

bool VelmoCore::loadStartTable() {
    songCount_ = 0;
    totalEstimate_ = 0;
    quality_ = kQualityGood;
    SongTableHeader table;
    if (loadSongTable(shared_->startDir, table, shared_->songs) != 0) return false;
    songCount_ = table.songCount;
    quality_ = table.quality;
    totalEstimate_ = table.totalEstimate;
    return true;
}

void VelmoCore::onInitDialog() {
    conn_ = DeviceConnection{};
    const bool tableLoaded = loadStartTable();

    const int loaded =
        deviceLibraryPath_.empty() ? loadDeviceLibrary(lib_) : loadDeviceLibraryFrom(lib_, deviceLibraryPath_);
    if (loaded != 0) {
        view_.messageBox("Please install USB driver first !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        requestClose();
        return;
    }

    conn_.connectState = 1;
    connectionCheck();
    finishInitialisation(tableLoaded);
}

void VelmoCore::finishInitialisation(bool tableLoaded) {
    view_.setWindowTitle(windowTitle_);
    if (tableLoaded) fillLines(0, songCount_);
    showStatus(totalEstimate_);
    view_.setHorizontalExtent(kListExtentPixels);
    if (quality_ == kQualityBest) view_.setQualityButtons(true, false, false);
    if (quality_ == kQualityGood) view_.setQualityButtons(false, true, false);
    if (quality_ == kQualityNormal) view_.setQualityButtons(false, false, true);
    if (!folderReadOnly_) {
        deleteTemporaryFiles();
        std::error_code ec;
        std::filesystem::create_directories(shared_->path(kWorkDir), ec);
    }
    enableControls(true);
    if (!closed_ && conn_.connectState != 0) view_.startTimer(kTimerMilliseconds);
    shared_->convertEvent.reset();
    initialised_ = true;
}

void VelmoCore::connectionCheck() {
    enableControls(false);
    OpenFailure why = OpenFailure::None;
    conn_.deviceHandle = openDevice(lib_, &why);
    conn_.clockBusy = why == OpenFailure::Busy;
    if (conn_.deviceHandle == 0) {
        closeDevice(lib_, 0);
        view_.messageBox(noClockText("USB connection error !\nPlease plug-in USB first."), kCaptionError,
                         MessageIcon::Error, MessageButtons::Ok);
        requestClose();
        return;
    }
    conn_.connectState = 2;
    fillStorageSizeTable(shared_->storageSizeTable);
    uint16_t storageCode = kNoStorageCode;
    const int result = startAgent(lib_, conn_.deviceHandle, shared_->startDir, storageCode);
    if (result < 0) {
        dropDeviceConnection();
        enableControls(true);
        view_.messageBox("Please plug-out & plug-in USB again !", kCaptionError, MessageIcon::Error,
                         MessageButtons::Ok);
        requestClose();
        return;
    }
    const uint32_t size = storageSizeLookup(shared_->storageSizeTable, storageCode);
    // A code without a storage size would make every capacity wrap around.
    if (result == 1 || size == 0) {
        view_.messageBox("Storage device is not found !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        enableControls(true);
        requestClose();
        return;
    }
    shared_->storageKB = size >> 10;
    windowTitle_ = "Zentro";
}

std::string VelmoCore::noClockText(const char* unplugged) const { return conn_.clockBusy ? kClockBusyText : unplugged; }

void VelmoCore::requestClose() {
    onClose();
    view_.closeWindow();
}

void VelmoCore::onClose() {
    if (closed_) return;
    closed_ = true;
    if (conn_.connectState != 0) view_.stopTimer();

    // A worker still running is stopped at its next safe point and joined
    // before the library it uses goes away.
    {
        std::lock_guard<std::mutex> lock(boxMutex_);
        boxCancelled_ = true;
    }
    boxCv_.notify_all();
    shared_->keepConverting = 0;
    shared_->stopRequested = true;
    joinWorkers();

    closeDeferredHandle(lib_, conn_);
    shutdownDevice(lib_, conn_.deviceHandle);
    conn_.deviceHandle = 0;
    if (folderReadOnly_) return;
    saveSongTable(shared_->startDir, quality_, songCount_, shared_->songs, totalEstimate_);
    deleteTemporaryFiles();
}

// ---------------------------------------------------------------------------
// Timer and workers

void VelmoCore::onTimer() {
    if (closed_) return;
    reapWorkers();
    pollConnectionStep(lib_, conn_, deviceWorkerRunning());
}

void VelmoCore::startWorker(bool device, std::function<void()> body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([body = std::move(body), done] {
        body();
        done->store(true);
    });
    workers_.push_back(Worker{std::move(t), done, device});
}

void VelmoCore::reapWorkers() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
    if (!deviceWorkerRunning()) closeDeferredHandle(lib_, conn_);
}

void VelmoCore::joinWorkers() {
    for (Worker& w : workers_)
        if (w.thread.joinable()) w.thread.join();
    workers_.clear();
    closeDeferredHandle(lib_, conn_);
}

bool VelmoCore::workersRunning() const {
    for (const Worker& w : workers_)
        if (!w.done->load()) return true;
    return false;
}

bool VelmoCore::deviceWorkerRunning() const {
    for (const Worker& w : workers_)
        if (w.device && !w.done->load()) return true;
    return false;
}

void VelmoCore::dropDeviceConnection() { dropConnection(lib_, conn_, deviceWorkerRunning()); }

void VelmoCore::endOfOperation() {
    view_.setProgressCaption(kProgressIdle);
    view_.setProgressBar(0);
    finishOperation();
}

void VelmoCore::finishOperation() {
    reapWorkers();
    // The conversion reads the song records until it ends: the list stays
    // locked until its own end message arrives, whatever ended first.
    if (conversionRunning_) return;
    view_.setStopAvailable(false);
    enableControls(true);
    if (operationRunning_) {
        operationRunning_ = false;
        // The conversion may write the image until its own end: an image
        // that did not reach the clock whole goes only now.
        if ((operation_ == Operation::Download || operation_ == Operation::Image) &&
            !(outcomeNoted_ && outcome_.kind == OutcomeKind::Finished))
            removeFile(kImageFile);
        deliverOutcome();
    }
    if (closeAfterOperation_) {
        closeAfterOperation_ = false;
        requestClose();
    }
}

void VelmoCore::beginOperation(Operation op) {
    joinWorkers();  // a worker of the last operation may still be finishing
    enableControls(false);
    operationRunning_ = true;
    operation_ = op;
    stopMessageShown_ = false;
    shared_->stopRequested = false;
    outcomeNoted_ = false;
    outcome_ = Outcome{};
}

void VelmoCore::refuse(Operation op, const std::string& reason) {
    lastOutcome_ = Outcome{op, OutcomeKind::Refused, reason, {}};
    view_.operationEnded(lastOutcome_);
}

void VelmoCore::noteOutcome(OutcomeKind kind, const std::string& reason) {
    if (outcomeNoted_) return;
    outcomeNoted_ = true;
    outcome_.kind = kind;
    outcome_.reason = reason;
}

void VelmoCore::deliverOutcome() {
    // Every end notes its outcome; one that did not is no success.
    if (!outcomeNoted_) noteOutcome(OutcomeKind::Failed);
    outcome_.operation = operation_;
    lastOutcome_ = outcome_;
    outcomeNoted_ = false;
    view_.operationEnded(lastOutcome_);
}

std::vector<std::string> VelmoCore::unconvertedSongs() const {
    const SongRecord* songs = operation_ == Operation::Image ? imageSongs_.data() : shared_->songs;
    std::vector<std::string> names;
    for (uint16_t i : convertReport_.unconverted) names.push_back(songDisplayName(fieldText(songs[i].workPath)));
    return names;
}

bool VelmoCore::onStop() {
    if (!operationRunning_ || closed_) return true;
    if (operation_ == Operation::Firmware) {
        view_.setProgressCaption(kFirmwareWaitCaption);
        return false;
    }
    shared_->stopRequested = true;
    return true;
}

bool VelmoCore::onCloseRequest() {
    if (closed_ || !operationRunning_ || operation_ != Operation::Firmware) return true;
    view_.setProgressCaption(kFirmwareWaitCaption);
    closeAfterOperation_ = true;
    return false;
}

void VelmoCore::onJobStopped(uint32_t worker, uint32_t erased) {
    if (worker == kStoppedConversion) {
        // The write worker of a stopped download reports too, before or after
        // the conversion; the operation ends with the later of the two.
        conversionRunning_ = false;
        if (operation_ == Operation::Image) {
            noteOutcome(OutcomeKind::Stopped, "Stopped: no image was made.");
            view_.setProgressCaption(kProgressIdle);
            view_.setProgressBar(0);
        }
        if (writeEnded_) finishOperation();
        return;
    }
    if (worker == kStoppedWrite) writeEnded_ = true;
    if (worker == kStoppedRead) {
        removeFile("./dat/tmp.tbl");
        removeFile("./dat/tmp.ztd");
    }
    // The worker that touched the clock says what it holds.
    if (!stopMessageShown_) {
        stopMessageShown_ = true;
        const char* text = worker == kStoppedRead ? kReloadStoppedText
                           : erased != 0          ? kDownloadStoppedErasedText
                                                  : kDownloadStoppedUntouchedText;
        view_.setProgressBar(0);
        view_.messageBox(text, kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
        noteOutcome(OutcomeKind::Stopped, text);
    }
    endOfOperation();
}

void VelmoCore::onLocalFileFailure(const std::string& file, bool reading, uint32_t errorNumber) {
    std::string text = reading ? "Cannot read " : "Cannot write ";
    text += shared_->path(file) + ": " + std::strerror(static_cast<int>(errorNumber));
    view_.messageBox(text, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
    noteOutcome(OutcomeKind::Failed, text);
}

// ---------------------------------------------------------------------------
// The song list

bool VelmoCore::workNameInUse(const std::string& workPath, uint16_t upTo, int except) const {
    for (uint16_t i = 0; i < upTo; ++i)
        if (static_cast<int>(i) != except && workPath == fieldText(shared_->songs[i].workPath)) return true;
    return false;
}

std::string VelmoCore::uniqueWorkPath(const std::string& workPath, uint16_t upTo) const {
    if (!workNameInUse(workPath, upTo, -1)) return workPath;
    // Two songs with one working copy would play the same music: the later
    // one gets "name (2).flac", "name (3).flac" ...: the number goes before
    // the extension, whatever its length.
    const size_t slash = workPath.rfind('/');
    const size_t dot = workPath.rfind('.');
    const size_t cut = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : workPath.size();
    const std::string stem = workPath.substr(0, cut);
    const std::string ext = workPath.substr(cut);
    for (int k = 2;; ++k) {
        std::string candidate = stem + " (" + std::to_string(k) + ")" + ext;
        if (candidate.size() >= kPathBytes) return {};
        if (!workNameInUse(candidate, upTo, -1)) return candidate;
    }
}

void VelmoCore::addSongsFitted(uint16_t oldCount, uint32_t n) {
    uint32_t count = n;
    totalEstimate_ = fittingCount(shared_->songs, count, capacityNow());
    if (totalEstimate_ >= capacityNow())
        view_.messageBox("Storage size limit reached !", kCaptionInformation, MessageIcon::Information,
                         MessageButtons::Ok);
    fillLines(oldCount, static_cast<uint16_t>(count));
    songCount_ = static_cast<uint16_t>(count);
    showStatus(totalEstimate_);
}

void VelmoCore::onAdd(const std::vector<std::string>& chosenPaths) {
    if (songCount_ >= kMaxAddSongs) {
        view_.messageBox("Song counts are over than limit !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        return;
    }
    if (totalEstimate_ >= capacityNow()) {
        view_.messageBox("Songs over than storage limit !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        return;
    }
    const uint16_t oldCount = songCount_;
    uint16_t n = songCount_;
    for (const std::string& path : chosenPaths) {
        chosenPath_ = path;
        // A path that does not fit the record is never cut short into it.
        const bool fits = path.size() < kPathBytes;
        std::string work;
        // Every refused file is named with its reason, and the next one is tried.
        const int openError = fits ? songFileOpenError(path) : 0;
        if (openError != 0) {
            view_.messageBox(formatWithPath(kCannotOpenFormat, path) + std::strerror(openError), kCaptionError,
                             MessageIcon::Error, MessageButtons::Ok);
            continue;
        }
        if (fits && songWorkPath(path, work)) work = uniqueWorkPath(work, n);
        SongRecord& rec = shared_->songs[n];
        const uint32_t estimate = !work.empty() ? estimateSongSize(path, quality_) : 0;
        if (estimate != 0) {
            copyText(rec.workPath, work);
            rec.sizeEstimate = estimate;
            copyText(rec.sourcePath, path);
            rec.copyPending = 1;
            ++n;
        } else {
            view_.messageBox(formatWithPath("The file format of %s is not supported", path), kCaptionError,
                             MessageIcon::Error, MessageButtons::Ok);
        }
        if (n >= kMaxAddSongs) {
            view_.messageBox("Song counts are over than limit", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
            break;
        }
    }
    addSongsFitted(oldCount, n);
}

void VelmoCore::onDropFiles(const std::vector<std::string>& droppedPaths) {
    const size_t k = droppedPaths.size();
    if (k == 0) return;
    if (songCount_ + k > kMaxSongs) {
        view_.messageBox("Total song files are over than sixty four files !", kCaptionError, MessageIcon::Error,
                         MessageButtons::Ok);
        return;
    }
    if (totalEstimate_ >= capacityNow()) {
        view_.messageBox("Songs over than storage limit !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        return;
    }
    const uint16_t oldCount = songCount_;
    uint16_t n = songCount_;
    size_t accepted = 0;
    for (const std::string& path : droppedPaths) {
        // A path the record cannot hold whole is left out like an unsupported file.
        if (path.size() >= kPathBytes) continue;
        if (!hasSongExtension(path)) continue;
        std::string work;
        if (songWorkPath(path, work)) work = uniqueWorkPath(work, n);
        if (work.empty()) {
            view_.messageBox("Only support '.mp3' & '.wav' file format.", kCaptionError, MessageIcon::None,
                             MessageButtons::Ok);
            break;
        }
        SongRecord& rec = shared_->songs[n];
        copyText(rec.workPath, work);
        copyText(rec.sourcePath, path);
        rec.sizeEstimate = estimateSongSize(path, quality_);
        rec.copyPending = 1;
        ++n;
        ++accepted;
    }
    if (accepted != k)
        view_.messageBox("Only support '.mp3' & '.wav' file format.", kCaptionError, MessageIcon::Error,
                         MessageButtons::Ok);
    addSongsFitted(oldCount, n);
}

void VelmoCore::onDelete(int selectedLine) {
    if (songCount_ == 0 || selectedLine < 0 || selectedLine >= songCount_) return;
    const uint16_t i = static_cast<uint16_t>(selectedLine);
    view_.removeLine(i);
    SongRecord& rec = shared_->songs[i];
    totalEstimate_ -= rec.sizeEstimate;
    // The working copy goes with its song, unless another song still names it
    // (a list saved by an older version may share one).
    const std::string work = fieldText(rec.workPath);
    if (!workNameInUse(work, songCount_, i)) removeFile(work);
    removeSongRecord(shared_->songs, songCount_, i);
    showStatus(totalEstimate_);
    view_.selectLine(-1);
}

void VelmoCore::onUp(int selectedLine) {
    if (songCount_ == 0 || selectedLine <= 0 || selectedLine >= songCount_) return;
    const uint16_t i = static_cast<uint16_t>(selectedLine);
    view_.removeLine(i);
    view_.insertLine(i - 1, songDisplayName(fieldText(shared_->songs[i].workPath)));
    view_.selectLine(i - 1);
    exchangeSongRecords(shared_->songs, static_cast<uint16_t>(i - 1), i);
}

void VelmoCore::onDown(int selectedLine) {
    if (songCount_ == 0 || selectedLine < 0 || selectedLine + 1 >= songCount_) return;
    const uint16_t i = static_cast<uint16_t>(selectedLine);
    view_.removeLine(i);
    view_.insertLine(i + 1, songDisplayName(fieldText(shared_->songs[i].workPath)));
    view_.selectLine(i + 1);
    exchangeSongRecords(shared_->songs, i, static_cast<uint16_t>(i + 1));
}

void VelmoCore::onQuality(uint16_t code) {
    view_.setQualityButtons(code == kQualityBest, code == kQualityGood, code == kQualityNormal);
    if (code == quality_) return;
    totalEstimate_ = rescaleEstimates(shared_->songs, songCount_, code, quality_);
    showStatus(totalEstimate_);
    quality_ = code;
}

uint32_t VelmoCore::reEstimate(EstimateSource source) {
    uint32_t total = 0;
    for (uint16_t i = 0; i < songCount_; ++i) {
        SongRecord& rec = shared_->songs[i];
        // A reloaded song's source is "./dat/..." below the start folder, which
        // need not be the process's current folder.
        const std::string path =
            shared_->path(source == EstimateSource::SourcePath ? fieldText(rec.sourcePath) : fieldText(rec.workPath));
        rec.sizeEstimate = estimateSongSize(path, quality_);
        total += rec.sizeEstimate;
    }
    return total;
}

// ---------------------------------------------------------------------------
// Download

bool VelmoCore::downloadChecks(Operation op) {
    const auto refused = [&](const char* text, const char* caption, MessageIcon icon) {
        view_.messageBox(text, caption, icon, MessageButtons::Ok);
        refuse(op, text);
        return false;
    };
    if (op == Operation::Download && conn_.deviceHandle == 0) {
        // A clock that another program holds is no unplugged clock.
        const std::string text = noClockText("Please plug-in USB to download songs !");
        view_.messageBox(text, kCaptionError, MessageIcon::Error, MessageButtons::Ok);
        refuse(op, text);
        return false;
    }
    if (songCount_ == 0)
        return refused("No song files are in list box !", kCaptionInformation, MessageIcon::Information);
    // The clock's header describes 32 songs; a longer list is refused whole.
    if (songCount_ > kMaxHeaderSongs)
        return refused("Song counts are over than limit !", kCaptionError, MessageIcon::Error);
    if (totalEstimate_ >= capacityNow()) {
        if (view_.messageBox("Auto cut songs to fit storage size ?", "Warning !", MessageIcon::None,
                             MessageButtons::OkCancel) != MessageResult::Ok) {
            refuse(op, "Auto cut songs to fit storage size ? Cancel");
            return false;
        }
    }
    return true;
}

void VelmoCore::onDownload() {
    if (!downloadChecks(Operation::Download)) return;
    joinWorkers();  // a worker of the last operation may still be finishing
    const int cut = cutToFit(shared_->songs, songCount_, capacityNow());
    totalEstimate_ = reEstimate(EstimateSource::SourcePath);
    if (cut) {
        view_.resetLines();
        fillLines(0, songCount_);
        showStatus(totalEstimate_);
    }

    beginOperation(Operation::Download);
    view_.setProgressBar(1);
    if (!startAgentForCommand(
            {"Please plug-out & plug-in USB again !", kCaptionError, MessageIcon::Error, BoxAt::AfterReEnable},
            {"Storage is not found !", kCaptionInformation, MessageIcon::Information, BoxAt::BeforeReEnable}))
        return;

    shared_->convertEvent.reset();
    shared_->imageProduced = false;
    shared_->conversionStopped = false;
    shared_->keepConverting = 1;
    shared_->imageData.reset();
    writeEnded_ = false;
    writeCaptionShown_ = false;
    conversionRunning_ = true;
    view_.setStopAvailable(true);
    startWriteWorkerJob(kImageFile, kStorageHeaderAddress, shared_->storageKB * 1024u - kStorageHeaderAddress,
                        WriteMode::SongImage, WriteStart::AfterConversion, totalEstimate_ + kStorageHeaderBytes);
    startConversion(shared_->songs, songCount_, totalEstimate_, true);
}

void VelmoCore::onMakeImage() {
    if (!downloadChecks(Operation::Image)) return;
    joinWorkers();
    // The image is made from a copy of the list: the list itself, and the
    // table saved at close, stay as they were.
    imageSongs_.assign(std::begin(shared_->songs), std::end(shared_->songs));
    uint16_t count = songCount_;
    cutToFit(imageSongs_.data(), count, capacityNow());
    uint32_t total = 0;
    for (uint16_t i = 0; i < count; ++i) {
        SongRecord& rec = imageSongs_[i];
        rec.sizeEstimate = estimateSongSize(shared_->path(rec.sourcePath), quality_);
        total += rec.sizeEstimate;
    }

    beginOperation(Operation::Image);
    shared_->convertEvent.reset();
    shared_->imageProduced = false;
    shared_->conversionStopped = false;
    shared_->keepConverting = 1;
    shared_->imageData.reset();
    writeEnded_ = true;  // no clock, no write worker
    conversionRunning_ = true;
    view_.setStopAvailable(true);
    startConversion(imageSongs_.data(), count, total, false);
}

bool VelmoCore::startAgentForCommand(const AgentFailureBox& lost, const AgentFailureBox& noStorage) {
    uint16_t storageCode = kNoStorageCode;
    const int result = startAgent(lib_, conn_.deviceHandle, shared_->startDir, storageCode);
    if (result >= 0 && result != 1) return true;
    const AgentFailureBox& box = result < 0 ? lost : noStorage;
    const auto show = [this, &box] { view_.messageBox(box.text, box.caption, box.icon, MessageButtons::Ok); };
    if (box.at == BoxAt::BeforeProgressReset) show();
    view_.setProgressBar(0);
    if (result < 0) dropDeviceConnection();
    if (box.at == BoxAt::BeforeReEnable) show();
    enableControls(true);
    operationRunning_ = false;
    if (box.at == BoxAt::AfterReEnable) show();
    noteOutcome(OutcomeKind::Failed, box.text);
    deliverOutcome();
    return false;
}

void VelmoCore::startWriteWorkerJob(const std::string& path, uint32_t address, uint32_t eraseLength, WriteMode mode,
                                    WriteStart start, uint32_t expectedBytes) {
    deviceJob_.mode = mode;
    deviceJob_.handle = conn_.deviceHandle;
    deviceJob_.address = address;
    deviceJob_.path = path;
    deviceJob_.blockSize = kTransferBlockBytes;
    deviceJob_.window = &window_;
    deviceJob_.waitForConversion = start;
    deviceJob_.eraseLength = eraseLength;
    deviceJob_.expectedBytes = expectedBytes;
    // The worker keeps its own copy: the core may fill deviceJob for the next
    // step while this worker is still on its way out.
    SharedState* shared = shared_.get();
    const DeviceLibrary* lib = &lib_;
    startWorker(true, [job = deviceJob_, shared, lib] { writeWorker(&job, shared, lib); });
}

void VelmoCore::startConversion(SongRecord* songs, uint16_t count, uint32_t totalEstimate, bool streamed) {
    view_.setProgressCaption("Progress: converting music data...");
    view_.setProgressBar(1);
    if (!convertJob_) convertJob_ = std::make_unique<ConvertJob>();
    convertJob_->startOffset = 0;
    convertJob_->totalEstimate = totalEstimate;
    convertJob_->quality = quality_;
    convertJob_->songs = songs;
    convertJob_->count = count;
    convertJob_->window = &window_;
    convertJob_->workers = conversionWorkers_;
    convertJob_->streamed = streamed;
    convertJob_->report = &convertReport_;
    SharedState* shared = shared_.get();
    startWorker(false, [this, job = *convertJob_, shared] {
        runConvertJob(job, *shared, [this](const std::string& text) { workerMessageBox(text); });
    });
}

// Runs on the conversion's thread: the box is shown by the user-interface
// thread, and the worker waits until it has been closed.
void VelmoCore::workerMessageBox(const std::string& text) {
    std::unique_lock<std::mutex> lock(boxMutex_);
    if (boxCancelled_) return;
    boxText_ = text;
    boxPending_ = true;
    boxShown_ = false;
    lock.unlock();
    window_.post(WM_WORKER_MESSAGE_BOX, 0, 0);
    lock.lock();
    boxCv_.wait(lock, [this] { return boxShown_ || boxCancelled_; });
    boxPending_ = false;
}

void VelmoCore::showWorkerMessageBox() {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(boxMutex_);
        if (!boxPending_) return;
        text = boxText_;
    }
    // No owner and no caption of its own: the system's default caption.
    view_.messageBox(text, kCaptionError, MessageIcon::None, MessageButtons::Ok);
    lastWorkerBox_ = text;
    {
        std::lock_guard<std::mutex> lock(boxMutex_);
        boxShown_ = true;
    }
    boxCv_.notify_all();
}

// ---------------------------------------------------------------------------
// Worker messages

bool VelmoCore::onWorkerMessage(uint32_t code, uint32_t wParam, uint32_t lParam) {
    if (closed_) {
        switch (code) {
            case WM_WRITE_FAILED:
            case WM_DOWNLOAD_DONE:
            case WM_WRITE_PROGRESS:
            case WM_CONVERT_DONE:
            case WM_ENCODE_PROGRESS:
            case WM_TABLE_READ_DONE:
            case WM_READ_FAILED:
            case WM_DATA_READ_DONE:
            case WM_READ_PROGRESS:
            case WM_FIRMWARE_STEP_DONE:
            case WM_CONVERT_FAILED:
            case WM_CONVERT_ABORTED:
            case WM_JOB_STOPPED:
            case WM_WORKER_MESSAGE_BOX:
                return true;
            default:
                return false;
        }
    }
    switch (code) {
        case WM_WRITE_FAILED:
            writeEnded_ = true;
            if (wParam == 2) {
                // A file of this computer failed: the clock is not at fault.
                onLocalFileFailure(deviceJob_.path, true, lParam);
            } else if (wParam == 0) {
                reapWorkers();
                dropDeviceConnection();
                view_.messageBox("USB connection error", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
                noteOutcome(OutcomeKind::Failed, "USB connection error");
            } else {
                view_.messageBox("Storage erase error !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
                noteOutcome(OutcomeKind::Failed, "Storage erase error !");
            }
            endOfOperation();
            return true;
        case WM_DOWNLOAD_DONE: {
            writeEnded_ = true;
            // Songs that could not be converted reached the clock without
            // data: they are named, not left to be found silent.
            std::string text = kDownloadFinishedText;
            const std::vector<std::string> names = unconvertedSongs();
            if (!names.empty()) {
                text += " " + std::to_string(names.size()) +
                        (names.size() == 1 ? " song could not be converted: " : " songs could not be converted: ");
                for (size_t i = 0; i < names.size(); ++i) text += (i ? ", " : "") + names[i];
            }
            view_.messageBox(text, kCaptionInformation, MessageIcon::Information, MessageButtons::Ok);
            noteOutcome(OutcomeKind::Finished);
            outcome_.unconverted = names;
            endOfOperation();
            return true;
        }
        case WM_WRITE_PROGRESS:
            // One bar for the whole download: the caption says the songs are
            // being written once the first block goes to the clock.
            if (operation_ == Operation::Download && !writeCaptionShown_) {
                writeCaptionShown_ = true;
                view_.setProgressCaption("Progress: downloading music data...");
            }
            view_.setProgressBar(static_cast<int>(wParam));
            return true;
        case WM_ENCODE_PROGRESS:
        case WM_READ_PROGRESS:
            view_.setProgressBar(static_cast<int>(wParam));
            return true;
        case WM_CONVERT_DONE:
            conversionRunning_ = false;
            if (operation_ == Operation::Image) {
                noteOutcome(OutcomeKind::Finished);
                outcome_.unconverted = unconvertedSongs();
                endOfOperation();
                return true;
            }
            if (writeEnded_) {
                // The write worker failed before the image was ready: nothing
                // will be sent, and this is the operation's last message.
                endOfOperation();
            }
            return true;
        case WM_TABLE_READ_DONE:
            onTableReadDone();
            return true;
        case WM_READ_FAILED:
            reapWorkers();
            if (lParam != 0) {
                // A file of this computer failed: the clock is not at fault.
                onLocalFileFailure(deviceJob_.path, false, lParam);
                if (wParam == 1) {
                    removeFile("./dat/tmp.tbl");
                    removeFile("./dat/tmp.ztd");
                } else if (wParam == 2) {
                    removeFile("./dat/code.tmp");
                    removeFile("./dat/check.tmp");
                }
                endOfOperation();
                return true;
            }
            dropDeviceConnection();
            if (wParam == 0) {
                // The partly read table is of no use to anyone.
                removeFile("./dat/tmp.tbl");
                view_.messageBox("USB connection error !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
                noteOutcome(OutcomeKind::Failed, "USB connection error !");
            } else if (wParam == 1) {
                removeFile("./dat/tmp.tbl");
                removeFile("./dat/tmp.ztd");
                view_.messageBox("USB connection error !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
                noteOutcome(OutcomeKind::Failed, "USB connection error !");
            } else if (wParam == 2) {
                removeFile("./dat/code.tmp");
                removeFile("./dat/check.tmp");
                view_.messageBox("Verify code failed !", kCaptionError, MessageIcon::Error, MessageButtons::Ok);
                noteOutcome(OutcomeKind::Failed, "Verify code failed !");
            }
            endOfOperation();
            return true;
        case WM_DATA_READ_DONE:
            onDataReadDone();
            return true;
        case WM_FIRMWARE_STEP_DONE:
            onFirmwareStepDone(wParam);
            return true;
        case WM_CONVERT_FAILED:
            conversionRunning_ = false;
            view_.messageBox("Music files converted error !", appName_, MessageIcon::None, MessageButtons::Ok);
            noteOutcome(OutcomeKind::Failed, "Music files converted error !");
            view_.setProgressBar(0);
            view_.setProgressCaption(kProgressIdle);
            finishOperation();
            return true;
        case WM_CONVERT_ABORTED:
            conversionRunning_ = false;
            noteOutcome(OutcomeKind::Failed, lastWorkerBox_);
            view_.setProgressBar(0);
            view_.setProgressCaption(kProgressIdle);
            finishOperation();
            return true;
        case WM_JOB_STOPPED:
            onJobStopped(wParam, lParam);
            return true;
        case WM_WORKER_MESSAGE_BOX:
            showWorkerMessageBox();
            return true;
        default:
            return false;
    }
}

}  // namespace velmo
