// Starting the core without a clock. The terminal front end edits and lists
// the song list and runs the conversion alone on machines where no clock (or no
// device library) is present; the window never starts this way.
#include <filesystem>

#include "songtable.h"
#include "velmo_core.h"

namespace velmo {

void VelmoCore::onInitDialogOffline(uint32_t storageKB) {
    conn_ = DeviceConnection{};  // connectState 0: nothing is loaded, nothing is polled
    if (storageKB != 0) shared_->storageKB = storageKB;
    songCount_ = 0;
    totalEstimate_ = 0;
    quality_ = 4;

    SongTableHeader table;
    const bool tableLoaded = loadSongTable(shared_->startDir, table, shared_->songs) == 0;
    if (tableLoaded) {
        songCount_ = table.songCount;
        quality_ = table.quality;
        totalEstimate_ = table.totalEstimate;
    }

    view_.setWindowTitle(windowTitle_);
    if (tableLoaded) fillLines(0, songCount_);
    showStatus(totalEstimate_);
    view_.setHorizontalExtent(kListExtentPixels);
    if (quality_ == 8) view_.setQualityButtons(true, false, false);
    if (quality_ == 4) view_.setQualityButtons(false, true, false);
    if (quality_ == 2) view_.setQualityButtons(false, false, true);
    deleteTemporaryFiles();
    std::error_code ec;
    std::filesystem::create_directories(shared_->path(kWorkDir), ec);
    enableControls(true);
    shared_->convertEvent.reset();
    initialised_ = true;
}

}  // namespace velmo
