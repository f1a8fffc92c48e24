// The application object: owns the QApplication and runs the main window
// modally; when the window closes, the program ends.
#pragma once

#include <memory>

#include "folder_lock.h"

class QApplication;

class Application {
  public:
    Application(int& argc, char** argv);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs the main window until it closes. Returns the program's exit
    // status: 0, or 2 for an argument the window does not take, 1 when the
    // start folder could not be made or is in use.
    int run();

  private:
    std::unique_ptr<QApplication> app_;
    velmo::FolderLock folderLock_;
};
