#include "filedialogst.h"

#include <gtest/gtest.h>

#include <ostream>

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

using velmo::OFN_ALLOWMULTISELECT;
using velmo::OFN_HIDEREADONLY;
using velmo::OFN_OVERWRITEPROMPT;
using velmo::PathPosition;
using velmo::test::TempDir;
using velmo::test::writeFileBytes;

namespace {

// The two dialogs the window opens.
constexpr std::uint32_t kAddFlags = OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
constexpr std::uint32_t kFirmwareFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
const std::vector<FileFilter> kMusicFilter{{"Music files", "*.MP3;*.wav"}};
const std::vector<FileFilter> kBinaryFilter{{"Binary files", "*.bin"}};

std::vector<std::string> walk(const CFileDialogST& dialog) {
    std::vector<std::string> paths;
    for (PathPosition pos = dialog.FirstPathPosition(); pos && paths.size() < 100;)
        paths.push_back(dialog.NextSelectedPath(pos));
    return paths;
}

// Installs a runner for one test and restores the default afterwards.
class ScopedRunner {
  public:
    explicit ScopedRunner(CFileDialogST::Runner runner) : previous_(CFileDialogST::SetRunner(std::move(runner))) {}
    ~ScopedRunner() { CFileDialogST::SetRunner(std::move(previous_)); }

  private:
    CFileDialogST::Runner previous_;
};

struct ChoiceRow {
    const char* name;
    std::uint32_t flags;
    std::vector<FileFilter> filters;
    std::optional<QStringList> chosen;  // nullopt: the user cancels
    QFileDialog::FileMode mode;
    QStringList nameFilters;
    int result;
    std::vector<std::string> paths;
};

// Parameterised tests print the row by its name.
void PrintTo(const ChoiceRow& row, std::ostream* os) { *os << row.name; }

class FileDialogChoices : public ::testing::TestWithParam<ChoiceRow> {};

TEST_P(FileDialogChoices, RunTheConfiguredDialogAndWalkTheChosenPaths) {
    const ChoiceRow& row = GetParam();
    bool ran = false;
    ScopedRunner runner([&](QFileDialog& dialog) {
        ran = true;
        EXPECT_EQ(QFileDialog::AcceptOpen, dialog.acceptMode());
        EXPECT_EQ(row.mode, dialog.fileMode());
        EXPECT_EQ(row.nameFilters, dialog.nameFilters());
        EXPECT_TRUE(dialog.testOption(QFileDialog::HideNameFilterDetails));
        EXPECT_FALSE(dialog.filter().testFlag(QDir::CaseSensitive));
        return row.chosen;
    });
    CFileDialogST dialog(true, "", row.flags, row.filters);
    EXPECT_EQ(row.result, dialog.RunDialog());
    EXPECT_TRUE(ran);
    EXPECT_EQ(row.paths, walk(dialog));
}

const QStringList kMusicQt{QStringLiteral("Music files (*.[mM][pP]3 *.[wW][aA][vV])")};
const QStringList kBinaryQt{QStringLiteral("Binary files (*.[bB][iI][nN])")};

INSTANTIATE_TEST_SUITE_P(
    Dialogs, FileDialogChoices,
    ::testing::Values(ChoiceRow{"AddOneFile",
                                kAddFlags,
                                kMusicFilter,
                                QStringList{"/home/u/Music/one.mp3"},
                                QFileDialog::ExistingFiles,
                                kMusicQt,
                                CFileDialogST::IDOK,
                                {"/home/u/Music/one.mp3"}},
                      ChoiceRow{"AddThreeFiles",
                                kAddFlags,
                                kMusicFilter,
                                QStringList{"/home/u/Music/b.wav", "/home/u/Music/A.MP3", "/home/u/Music/c d.mp3"},
                                QFileDialog::ExistingFiles,
                                kMusicQt,
                                CFileDialogST::IDOK,
                                {"/home/u/Music/b.wav", "/home/u/Music/A.MP3", "/home/u/Music/c d.mp3"}},
                      ChoiceRow{"AddAtTheRoot",
                                kAddFlags,
                                kMusicFilter,
                                QStringList{"/x.mp3", "/y.wav"},
                                QFileDialog::ExistingFiles,
                                kMusicQt,
                                CFileDialogST::IDOK,
                                {"/x.mp3", "/y.wav"}},
                      ChoiceRow{"AddCancelled",
                                kAddFlags,
                                kMusicFilter,
                                std::nullopt,
                                QFileDialog::ExistingFiles,
                                kMusicQt,
                                CFileDialogST::IDCANCEL,
                                {}},
                      ChoiceRow{"AddNothingChosen",
                                kAddFlags,
                                kMusicFilter,
                                QStringList{},
                                QFileDialog::ExistingFiles,
                                kMusicQt,
                                CFileDialogST::IDCANCEL,
                                {}},
                      ChoiceRow{"Firmware",
                                kFirmwareFlags,
                                kBinaryFilter,
                                QStringList{"/fw/code.bin"},
                                QFileDialog::ExistingFile,
                                kBinaryQt,
                                CFileDialogST::IDOK,
                                {"/fw/code.bin"}}),
    [](const ::testing::TestParamInfo<ChoiceRow>& info) { return std::string(info.param.name); });

TEST(FileDialog, SelectedPartsOfTheChosenFile) {
    ScopedRunner runner([](QFileDialog&) { return std::optional<QStringList>(QStringList{"/fw/v1.2/code.bin"}); });
    CFileDialogST dialog(true, "", kFirmwareFlags, kBinaryFilter);
    ASSERT_EQ(CFileDialogST::IDOK, dialog.RunDialog());
    EXPECT_EQ("/fw/v1.2/code.bin", dialog.SelectedPath());
    EXPECT_EQ("code.bin", dialog.SelectedFileName());
    EXPECT_EQ("code", dialog.SelectedTitle());
    EXPECT_EQ(".bin", dialog.SelectedExtension());
    EXPECT_EQ("/fw/v1.2/", dialog.SelectedFolder());
    EXPECT_EQ("", dialog.SelectedDrive());
}

TEST(FileDialog, ACancelAfterAChoiceLeavesNoPath) {
    std::optional<QStringList> answer = QStringList{"/m/a.mp3", "/m/b.mp3"};
    ScopedRunner runner([&](QFileDialog&) { return answer; });
    CFileDialogST dialog(true, "", kAddFlags, kMusicFilter);
    ASSERT_EQ(CFileDialogST::IDOK, dialog.RunDialog());
    EXPECT_EQ(2u, walk(dialog).size());
    answer.reset();
    EXPECT_EQ(CFileDialogST::IDCANCEL, dialog.RunDialog());
    EXPECT_FALSE(dialog.FirstPathPosition());
    EXPECT_EQ("", dialog.SelectedPath());
}

TEST(FileDialog, BrowseFolderGivesTheChosenFolder) {
    ScopedRunner runner([](QFileDialog& dialog) {
        EXPECT_EQ(QFileDialog::Directory, dialog.fileMode());
        EXPECT_EQ(QStringLiteral("Pick"), dialog.windowTitle());
        return std::optional<QStringList>(QStringList{"/srv/music/"});
    });
    CFileDialogST dialog;
    EXPECT_EQ(CFileDialogST::IDOK, dialog.BrowseFolder(QStringLiteral("Pick"), QStringLiteral("/")));
    EXPECT_EQ("/srv/music", dialog.BrowsedFolder());
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
TEST(FileDialog, RealDialogListsMusicFilesInAnyCaseAndReturnsTheChoice) {
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

    CFileDialogST dialog(true, "", kAddFlags, kMusicFilter);
    const int result = dialog.RunDialog();
    ASSERT_TRUE(found) << "no file dialog was shown";
    EXPECT_EQ((std::set<std::string>{"SONG.MP3", "a.WaV", "b.mp3"}), listed);
    ASSERT_EQ(CFileDialogST::IDOK, result);
    EXPECT_EQ((std::vector<std::string>{dir.file("SONG.MP3"), dir.file("a.WaV")}), walk(dialog));
}

}  // namespace
