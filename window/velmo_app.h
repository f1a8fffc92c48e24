// The application object: owns the QApplication and runs the main dialog
// modally; when the dialog closes, the program ends.
#pragma once

#include <memory>

#include "folder_lock.h"

class QApplication;

class CVelmoApp {
  public:
    CVelmoApp(int& argc, char** argv);
    ~CVelmoApp();
    CVelmoApp(const CVelmoApp&) = delete;
    CVelmoApp& operator=(const CVelmoApp&) = delete;

    // Runs the main dialog until it closes. Returns false: there is nothing
    // to run after it, the program ends.
    bool InitInstance();

    // 0, or 2 for an argument the window does not take, 1 when the start
    // folder could not be made.
    int exitStatus() const { return exitStatus_; }

  private:
    std::unique_ptr<QApplication> app_;
    int exitStatus_ = 0;
    velmo::FolderLock folderLock_;
};
