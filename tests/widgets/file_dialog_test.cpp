#include "file_dialog.h"

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QTimer>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tempdir.h"

using velmo::caseInsensitivePattern;
using velmo::test::TempDir;
using velmo::test::writeFileBytes;

namespace {

TEST(CaseInsensitivePattern, MatchesEveryCaseWithACaseSensitiveMatcher) {
    EXPECT_EQ("*.[mM][pP]3", caseInsensitivePattern("*.MP3"));
    EXPECT_EQ("[ab]*.[xX]", caseInsensitivePattern("[ab]*.x"));

    struct Row {
        const char* pattern;
        const char* file;
        bool matches;
    };
    const Row rows[] = {
        {"*.MP3", "SONG.MP3", true},   {"*.MP3", "song.mp3", true}, {"*.MP3", "Song.Mp3", true},
        {"*.wav", "a.WaV", true},      {"*.wav", "b.wav", true},    {"*.MP3", "notes.txt", false},
        {"*.MP3", "a.mp3.txt", false}, {"*.bin", "CODE.BIN", true}, {"*.bin", "code.bin.bak", false},
    };
    for (const Row& row : rows) {
        const std::string pattern = caseInsensitivePattern(row.pattern);
        EXPECT_EQ(row.matches, fnmatch(pattern.c_str(), row.file, 0) == 0) << row.pattern << " " << row.file;
    }
}

TEST(FileType, NamesItsPatternsForACaseSensitiveMatcher) {
    struct Row {
        const char* description;
        const char* patterns;
        const char* expected;
    } rows[] = {
        {"Music files", "*.MP3;*.wav", "Music files (*.[mM][pP]3 *.[wW][aA][vV])"},
        {"Binary files", "*.bin", "Binary files (*.[bB][iI][nN])"},
        {"Some", " *.m4a ;;*.flac", "Some (*.[mM]4[aA] *.[fF][lL][aA][cC])"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(QString::fromUtf8(row.expected), velmo::nameFilter(QString::fromUtf8(row.description), row.patterns));
        QFileDialog dialog;
        velmo::setFileType(dialog, QString::fromUtf8(row.description), row.patterns);
        EXPECT_EQ(QStringList{QString::fromUtf8(row.expected)}, dialog.nameFilters());
        EXPECT_TRUE(dialog.testOption(QFileDialog::HideNameFilterDetails));
        EXPECT_FALSE(dialog.filter().testFlag(QDir::CaseSensitive));
    }
}

// A file type that leaves one name out: every other name with its
// extension matches one of the patterns, as a desktop's own dialog reads them.
TEST(FileType, LeavesOutOneName) {
    const std::string patterns = velmo::patternsWithout("spn.bin");
    EXPECT_EQ("?.bin;??.bin;????*.bin;[!s]??.bin;s[!p]?.bin;sp[!n].bin", patterns);
    const QStringList split = QString::fromStdString(patterns).split(';');
    struct Row {
        const char* file;
        bool listed;
    } rows[] = {
        {"spn.bin", false}, {"a.bin", true},    {"sp.bin", true},    {"spnn.bin", true}, {"xpn.bin", true},
        {"sxn.bin", true},  {"spx.bin", true},  {"Spn.bin", true},   {"spn.txt", false}, {"firmware-1.2.bin", true},
        {".bin", false},    {"spn.bin.bak", false},
    };
    for (const Row& row : rows) {
        bool matched = false;
        for (const QString& p : split) matched = matched || fnmatch(p.toUtf8().constData(), row.file, 0) == 0;
        EXPECT_EQ(row.listed, matched) << row.file;
    }
}

TEST(RunFileDialog, GivesTheChosenPathsCleanAndInOrder) {
    struct Row {
        const char* name;
        std::optional<QStringList> chosen;  // nullopt: the user cancels
        std::vector<std::string> paths;
    } rows[] = {
        {"one", QStringList{"/home/u/Music/one.mp3"}, {"/home/u/Music/one.mp3"}},
        {"in the order chosen",
         QStringList{"/home/u/Music/b.wav", "/home/u/Music/A.MP3", "/home/u/Music/c d.mp3"},
         {"/home/u/Music/b.wav", "/home/u/Music/A.MP3", "/home/u/Music/c d.mp3"}},
        {"at the root", QStringList{"/x.mp3", "/y.wav"}, {"/x.mp3", "/y.wav"}},
        {"a folder", QStringList{"/srv/music/./rock/../pop/"}, {"/srv/music/pop"}},
        {"cancelled", std::nullopt, {}},
        {"nothing chosen", QStringList{}, {}},
    };
    for (const Row& row : rows) {
        QFileDialog dialog;
        bool ran = false;
        const auto paths = velmo::runFileDialog(dialog, [&](QFileDialog& shown) {
            ran = &shown == &dialog;
            return row.chosen;
        });
        EXPECT_TRUE(ran) << row.name;
        EXPECT_EQ(row.paths, paths) << row.name;
    }
}

// Waits in the dialog's own event loop until `done` holds or 5 s pass.
template <typename Done>
bool waitFor(Done done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// Runs the real Qt dialog: it lists the music files of a folder whatever the
// case of their extensions, and gives back the files typed into it.
TEST(RunFileDialog, RealDialogListsMusicFilesInAnyCaseAndReturnsTheChoice) {
    TempDir dir;
    for (const char* name : {"SONG.MP3", "a.WaV", "b.mp3", "notes.txt", "code.bin"})
        writeFileBytes(dir.file(name), {1, 2, 3});
    const QString folder = QString::fromStdString(dir.path());

    std::set<std::string> listed;
    bool found = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            if (QWidget* other = QApplication::activeModalWidget()) other->close();
            return;
        }
        found = true;
        dialog->setDirectory(folder);
        auto* model = dialog->findChild<QFileSystemModel*>();
        auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!model || !edit) {
            dialog->reject();
            return;
        }
        auto visibleFiles = [&] {
            std::set<std::string> names;
            const QModelIndex root = model->index(folder);
            for (int i = 0; i < model->rowCount(root); ++i)
                names.insert(model->index(i, 0, root).data().toString().toStdString());
            return names;
        };
        waitFor([&] { return visibleFiles().size() >= 3; });
        // Give a wrongly admitted file the time to show up as well.
        QElapsedTimer settle;
        settle.start();
        waitFor([&] { return settle.elapsed() > 300; });
        listed = visibleFiles();
        edit->setText(QStringLiteral("\"SONG.MP3\" \"a.WaV\""));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    // A dialog that is not answered must not hang the test.
    QTimer::singleShot(20000, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });

    QFileDialog dialog;
    dialog.setFileMode(QFileDialog::ExistingFiles);
    velmo::setFileType(dialog, QStringLiteral("Music files"), "*.MP3;*.wav");
    const std::vector<std::string> paths = velmo::runFileDialog(dialog, nullptr);
    ASSERT_TRUE(found) << "no file dialog was shown";
    EXPECT_EQ((std::set<std::string>{"SONG.MP3", "a.WaV", "b.mp3"}), listed);
    EXPECT_EQ((std::vector<std::string>{dir.file("SONG.MP3"), dir.file("a.WaV")}), paths);
}

}  // namespace
