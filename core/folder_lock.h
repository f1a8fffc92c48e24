// One Velmo per start folder. The song table is loaded at start and saved at
// close, and the working files in dat/ have fixed names, so two programs on
// one folder would overwrite each other's list and working files. Each program
// therefore holds an advisory lock (flock) on "zt_hdr.lock" beside
// "zt_hdr.tbl" for as long as it runs: exclusive for everything that changes
// the list or dat/, shared for the commands that only look. The kernel drops
// the lock when the process ends, however it ends, so no stale lock is left.
#pragma once

#include <string>
#include "translation.h"

namespace velmo {

constexpr const char* kFolderLockName = "zt_hdr.lock";
// Shown by the window (caption "Error") and, as one line, by velmo-cli.
constexpr const char* kFolderInUseText = N_("Another Velmo is using this folder !");

enum class FolderAccess {
    Exclusive,  // reads and changes the list or dat/
    Shared,     // only reads the list; changes nothing in the folder
};

enum class FolderLockResult {
    Locked,
    InUse,   // another process holds a lock that excludes this one
    Failed,  // the lock file cannot be created or locked (unwritable folder ...)
};

// Holds the lock from a successful acquire() until it is destroyed.
class FolderLock {
  public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    FolderLock(FolderLock&& other) noexcept;
    FolderLock& operator=(FolderLock&& other) noexcept;

    // Never waits: a second program refuses at once instead of hanging behind
    // a window that may stay open for hours.
    FolderLockResult acquire(const std::string& startDir, FolderAccess access);
    bool held() const { return fd_ >= 0; }
    void release();

  private:
    int fd_ = -1;
};

}  // namespace velmo
