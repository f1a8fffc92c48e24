#include "message.h"

namespace velmo {

bool isFailure(const Message& message) {
    switch (message.say) {
        case Say::TableProblem:
        case Say::SettingsProblem:
            // Moved aside, the list or the options start afresh: a warning.
            return !message.setAside;
        case Say::StorageLimitReached:
        case Say::ListJoined:
        case Say::NoSongs:
        case Say::StorageNotFoundForDownload:
        case Say::DownloadFinished:
        case Say::DownloadStoppedErased:
        case Say::DownloadStoppedUntouched:
        case Say::DownloadStoppedUnverified:
        case Say::ImageMade:
        case Say::ImageStopped:
        case Say::NoMusicData:
        case Say::SongsDamaged:
        case Say::ReloadFinished:
        case Say::ReloadStopped:
        case Say::FirmwareWritten:
        case Say::VerifyStopped:
        case Say::EraseFinished:
        case Say::EraseStopped:
            return false;
        default:
            return true;
    }
}

}  // namespace velmo
