#include "velmo_app.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>

#include "folder_lock.h"

#include "resources.h"
#include "velmo_dlg.h"

CVelmoApp::CVelmoApp(int& argc, char** argv) : app_(std::make_unique<QApplication>(argc, argv)) {
    // No application name is set: Qt takes the program file's name ("velmo"),
    // which the dialog uses as the caption of the conversion's failure.
    QApplication::setWindowIcon(velmo::programIcon());
}

CVelmoApp::~CVelmoApp() = default;

bool CVelmoApp::InitInstance() {
    // The dialog starts in the current folder; a second Velmo there would
    // overwrite this one's list and working files. The lock stays with the
    // application object until the program ends.
    const std::string startDir = QFile::encodeName(QDir::currentPath()).toStdString();
    // A folder where the lock file cannot be made runs unlocked, as before.
    if (folderLock_.acquire(startDir, velmo::FolderAccess::Exclusive) == velmo::FolderLockResult::InUse) {
        QMessageBox::critical(nullptr, QStringLiteral("Error"), QString::fromLatin1(velmo::kFolderInUseText));
        return false;
    }
    CVelmoDlg dialog;
    dialog.initDialog();
    // A failed start-up has already run the close handler: nothing to show.
    if (!dialog.isClosed()) dialog.exec();
    return false;
}
