#include "application.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <string>
#include <vector>

#include "core_state.h"
#include "fileio.h"
#include "folder_lock.h"
#include "install_paths.h"

#include "main_window.h"
#include "resources.h"
#include "start_options.h"
#include "translation.h"

Application::Application(int& argc, char** argv) : app_(std::make_unique<QApplication>(argc, argv)) {
    // QApplication has set the whole locale from the environment, numbers
    // included: ours are printed as the English texts have them.
    velmo::initTranslations(velmo::localeFolder(velmo::executableFolder()));
    // Qt's own texts (the message boxes' buttons, the file dialog) from Qt's
    // translations, when the system has them.
    auto* qtTexts = new QTranslator(app_.get());
    if (qtTexts->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qtTexts);
    // No application name is set: Qt takes the program file's name ("velmo"),
    // which the window uses as the caption of the conversion's failure.
    QApplication::setWindowIcon(velmo::programIcon());
    // The menu entry's name: desktops match the running window to it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.velmo.velmo"));
}

Application::~Application() = default;

int Application::run() {
    // QApplication has taken its own arguments out; the rest are ours.
    std::vector<std::string> args;
    const QStringList all = QCoreApplication::arguments();
    for (qsizetype i = 1; i < all.size(); ++i) args.push_back(QFile::encodeName(all[i]).toStdString());
    const velmo::StartOptions options = velmo::parseStartOptions(args, false);
    if (options.action == velmo::StartOptions::Action::Usage) {
        std::fprintf(stderr, "velmo: %s\n%s",
                     velmo::format(velmo::tr_("unknown argument %s"), options.unknown.c_str()).c_str(),
                     velmo::startUsage().c_str());
        return 2;
    }
    std::string folder, error;
    if (!velmo::chooseStartFolder(options, QFile::encodeName(QDir::currentPath()).toStdString(), folder, error)) {
        // Started from the menu there is no terminal to read a line on.
        QMessageBox::critical(nullptr, QStringLiteral("velmo"),
                              QString::fromStdString(velmo::format(
                                  velmo::tr_("The folder for the song list cannot be made: %s"), error.c_str())));
        return 1;
    }
    // A second Velmo in the same start folder would overwrite this one's list
    // and working files. The lock stays with the application object until the
    // program ends; a folder where the lock file cannot be made runs unlocked.
    if (folderLock_.acquire(folder, velmo::FolderAccess::Exclusive) == velmo::FolderLockResult::InUse) {
        QMessageBox::critical(nullptr, QString::fromUtf8(velmo::tr_("Error")),
                              QString::fromUtf8(velmo::tr_(velmo::kFolderInUseText)));
        return 1;
    }
    MainWindow window(nullptr, QFile::decodeName(folder.c_str()));
    window.start();
    // A failed start-up has already run the close handler: nothing to show.
    if (window.isClosed()) return 0;
    if (!options.files.empty()) {
        // Named against the folder the program was started in, which the
        // start folder need not be; added once the window is up, so that a
        // refusal's message box has the window to sit on.
        std::vector<std::string> files;
        for (const std::string& f : options.files)
            files.push_back(
                QFile::encodeName(QFileInfo(QFile::decodeName(f.c_str())).absoluteFilePath()).toStdString());
        QTimer::singleShot(0, &window, [&window, files] { window.addFiles(files); });
    }
    window.exec();
    return 0;
}
