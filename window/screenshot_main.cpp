// velmo-screenshot OUT.png [SONG...]: draws the window as it looks at
// start-up into OUT.png, on the offscreen platform, against a simulated
// clock of its own in a temporary start folder. The songs given are the list
// a previous run left in the song table file.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "admission.h"
#include "fileio.h"
#include "install_paths.h"
#include "main_window.h"
#include "resources.h"
#include "songrecord.h"
#include "songtable.h"
#include "translation.h"

namespace {

bool writeSongTable(const std::string& startDir, int argc, char** argv) {
    std::unique_ptr<velmo::Song[]> songs(new velmo::Song[velmo::kMaxSongs]());
    uint16_t count = 0;
    uint32_t total = 0;
    for (int i = 2; i < argc && count < velmo::kMaxSongs; ++i) {
        const std::string path = QFile::encodeName(QDir(QString::fromLocal8Bit(argv[i])).absolutePath()).toStdString();
        std::string work;
        const uint32_t estimate = velmo::estimateSongSize(path, velmo::kQualityGood);
        if (path.size() >= velmo::kPathBytes || !velmo::songWorkPath(path, work) || estimate == 0) {
            std::fprintf(stderr, "velmo-screenshot: not a song: %s\n", argv[i]);
            return false;
        }
        velmo::Song& rec = songs[count++];
        std::memcpy(rec.sourcePath, path.c_str(), path.size() + 1);
        std::memcpy(rec.workPath, work.c_str(), work.size() + 1);
        rec.sizeEstimate = estimate;
        rec.copyPending = 1;
        total += estimate;
    }
    return velmo::saveSongTable(startDir, velmo::kQualityGood, count, songs.get(), total) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: velmo-screenshot OUT.png [SONG...]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // LANGUAGE=de draws the window in German, as a user would see it.
    velmo::initTranslations(velmo::localeFolder(velmo::executableFolder()));
    QApplication::setApplicationName(QStringLiteral("velmo"));

    QTemporaryDir temp;
    if (!temp.isValid()) return 1;
    const QString start = temp.filePath(QStringLiteral("start"));
    const QString sim = temp.filePath(QStringLiteral("zentro-sim"));
    QDir().mkpath(start);
    QDir().mkpath(sim);
    if (!QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/spn.bin"),
                     start + QStringLiteral("/spn.bin"))) {
        std::fprintf(stderr, "velmo-screenshot: no spn.bin beside the program\n");
        return 1;
    }
    // The simulated clock reads its folder at its first call.
    qputenv("ZENTRO_SIM_DIR", QFile::encodeName(sim));
    if (argc > 2 && !writeSongTable(QFile::encodeName(start).toStdString(), argc, argv)) return 1;

    MainWindow window(nullptr, start);
    window.start();
    if (window.isClosed()) {
        std::fprintf(stderr, "velmo-screenshot: the window closed at start-up\n");
        return 1;
    }
    window.show();
    QApplication::processEvents();
    const bool saved = window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG");
    window.close();
    if (!saved) {
        std::fprintf(stderr, "velmo-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
