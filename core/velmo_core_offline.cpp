// Starting the core without a clock. The terminal front end edits and lists
// the song list and runs the conversion alone on machines where no clock (or no
// device library) is present; the window never starts this way.
#include "velmo_core.h"

namespace velmo {

void VelmoCore::onInitDialogOffline(uint32_t storageKB) {
    conn_ = DeviceConnection{};  // connectState 0: nothing is loaded, nothing is polled
    if (storageKB != 0) shared_->storageKB = storageKB;
    finishInitialisation(loadStartTable());
}

}  // namespace velmo
