// The window's list edited as a list: several songs selected with Shift, Ctrl
// and Ctrl+A, deleted and moved together, the list's context menu, and the
// folders the Add and firmware dialogs open in.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main_window.h"
#include "settings.h"
#include "song_fixtures.h"
#include "tempdir.h"
#include "velmo_core.h"
#include "zentro_sim_control.h"

using namespace velmo;
using velmo::test::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr const char* kMp3Fixture = "l3_44100_cbr128_stereo.mp3";

struct SeenDialog {
    QStringList nameFilters;
    QString directory;
};

class WindowListTest : public ::testing::Test {
  public:
    TempDir dir;
    std::string start;
    std::unique_ptr<MainWindow> dlg;
    std::vector<std::string> boxes;
    std::vector<SeenDialog> dialogs;
    std::deque<QStringList> choices;  // none left, or an empty list: cancelled

  protected:
    void SetUp() override {
        start = dir.file("start");
        fs::create_directories(start);
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
        ASSERT_EQ(0, zentroSimSetDir(dir.file("sim").c_str()));
        ASSERT_EQ(0, zentroSimReset());
    }

    void TearDown() override {
        if (dlg && !dlg->isClosed()) dlg->close();
        dlg.reset();
    }

  public:
    void startWindow() {
        dlg = std::make_unique<MainWindow>(nullptr, QString::fromStdString(start));
        dlg->setMessageBoxRunner([this](QMessageBox& box) {
            boxes.push_back(box.text().toStdString());
            return static_cast<int>(QMessageBox::Ok);
        });
        dlg->setFileDialogRunner([this](QFileDialog& d) -> std::optional<QStringList> {
            dialogs.push_back({d.nameFilters(), d.directory().absolutePath()});
            if (choices.empty()) return std::nullopt;
            QStringList chosen = choices.front();
            choices.pop_front();
            if (chosen.isEmpty()) return std::nullopt;
            return chosen;
        });
        dlg->start();
        ASSERT_FALSE(dlg->isClosed());
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        dlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    }

    QListWidget* list() const { return dlg->findChild<QListWidget*>(QString::number(kIdSongList)); }
    QWidget* control(int id) const { return dlg->findChild<QWidget*>(QString::number(id)); }

    QStringList lines() const {
        QStringList out;
        for (int i = 0; i < list()->count(); ++i) out << list()->item(i)->text();
        return out;
    }

    std::vector<int> selected() const {
        std::vector<int> rows;
        for (int i = 0; i < list()->count(); ++i)
            if (list()->item(i)->isSelected()) rows.push_back(i);
        return rows;
    }

    void clickLine(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        const QRect r = list()->visualItemRect(list()->item(row));
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, modifiers, r.center());
    }

    // Songs named as given, dropped on the list.
    void songs(const QStringList& names) {
        std::vector<std::string> paths;
        for (const QString& n : names)
            paths.push_back(velmo::test::copyFixture(kMp3Fixture, dir.file("songs"), n.toStdString()));
        dlg->core().dropSongs(paths);
        ASSERT_EQ(names, lines());
    }

    // Line i still shows record i.
    void expectLinesAreRecords() {
        ASSERT_EQ(list()->count(), dlg->core().songCount());
        for (int i = 0; i < list()->count(); ++i)
            EXPECT_EQ(list()->item(i)->text().toStdString(),
                      fs::path(dlg->core().song(static_cast<size_t>(i)).sourcePath).filename().string());
    }

    QAction* entry(const char* text) const {
        for (QAction* a : dlg->listActions())
            if (a->text() == QLatin1String(text)) return a;
        ADD_FAILURE() << "no entry " << text;
        return nullptr;
    }
};

TEST_F(WindowListTest, SelectedSongsAreDeletedTogetherAndTheNextSongIsSelected) {
    startWindow();
    songs({"A.mp3", "B.mp3", "C.mp3", "D.mp3", "E.mp3", "F.mp3"});

    // Ctrl adds single lines, the Delete key takes them all.
    clickLine(1);
    clickLine(3, Qt::ControlModifier);
    EXPECT_EQ((std::vector<int>{1, 3}), selected());
    ASSERT_TRUE(list()->hasFocus());
    QTest::keyClick(list(), Qt::Key_Delete);
    EXPECT_EQ((QStringList{"A.mp3", "C.mp3", "E.mp3", "F.mp3"}), lines());
    EXPECT_EQ((std::vector<int>{1}), selected());
    expectLinesAreRecords();

    // Delete pressed again goes on with the song now selected.
    QTest::keyClick(list(), Qt::Key_Delete);
    EXPECT_EQ((QStringList{"A.mp3", "E.mp3", "F.mp3"}), lines());
    EXPECT_EQ((std::vector<int>{1}), selected());

    // Shift takes the lines between; at the end of the list the last song is selected.
    clickLine(1);
    clickLine(2, Qt::ShiftModifier);
    EXPECT_EQ((std::vector<int>{1, 2}), selected());
    QTest::mouseClick(control(kIdDelete), Qt::LeftButton);
    EXPECT_EQ((QStringList{"A.mp3"}), lines());
    EXPECT_EQ((std::vector<int>{0}), selected());
    expectLinesAreRecords();
    EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowListTest, TheArrowsMoveTheSelectionAsABlock) {
    startWindow();
    songs({"A.mp3", "B.mp3", "C.mp3", "D.mp3"});
    clickLine(1);
    clickLine(2, Qt::ShiftModifier);
    struct Row {
        int button;
        QStringList lines;
        std::vector<int> selected;
    } rows[] = {
        {kIdUp, {"B.mp3", "C.mp3", "A.mp3", "D.mp3"}, {0, 1}},
        {kIdUp, {"B.mp3", "C.mp3", "A.mp3", "D.mp3"}, {0, 1}},  // at the top
        {kIdDown, {"A.mp3", "B.mp3", "C.mp3", "D.mp3"}, {1, 2}},
        {kIdDown, {"A.mp3", "D.mp3", "B.mp3", "C.mp3"}, {2, 3}},
        {kIdDown, {"A.mp3", "D.mp3", "B.mp3", "C.mp3"}, {2, 3}},  // at the bottom
    };
    int step = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(step++);
        QTest::mouseClick(control(row.button), Qt::LeftButton);
        EXPECT_EQ(row.lines, lines());
        EXPECT_EQ(row.selected, selected());
        expectLinesAreRecords();
    }
}

TEST_F(WindowListTest, TheListsContextMenuEditsTheList) {
    startWindow();
    songs({"A.mp3", "B.mp3", "C.mp3"});

    // Its own entries first, then the window's.
    QMenu menu;
    dlg->fillListMenu(menu);
    QStringList texts;
    for (QAction* a : menu.actions()) texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    const QStringList own{"&Delete", "Move &Up", "Move Do&wn", "-", "Select A&ll", "&Clear List", "-"};
    ASSERT_GT(texts.size(), own.size());
    EXPECT_EQ(own, texts.mid(0, own.size()));
    EXPECT_TRUE(menu.actions().contains(dlg->addFolderAction()));
    EXPECT_TRUE(menu.actions().contains(dlg->aboutAction()));

    // Nothing selected: only what acts on the whole list.
    list()->clearSelection();
    EXPECT_FALSE(entry("&Delete")->isEnabled());
    EXPECT_FALSE(entry("Move &Up")->isEnabled());
    EXPECT_FALSE(entry("Move Do&wn")->isEnabled());
    EXPECT_TRUE(entry("Select A&ll")->isEnabled());
    clickLine(0);
    EXPECT_TRUE(entry("&Delete")->isEnabled());
    EXPECT_FALSE(entry("Move &Up")->isEnabled());
    EXPECT_TRUE(entry("Move Do&wn")->isEnabled());

    entry("Move Do&wn")->trigger();
    EXPECT_EQ((QStringList{"B.mp3", "A.mp3", "C.mp3"}), lines());
    entry("Move &Up")->trigger();
    EXPECT_EQ((QStringList{"A.mp3", "B.mp3", "C.mp3"}), lines());
    entry("Select A&ll")->trigger();
    EXPECT_EQ((std::vector<int>{0, 1, 2}), selected());
    clickLine(2);
    entry("&Delete")->trigger();
    EXPECT_EQ((QStringList{"A.mp3", "B.mp3"}), lines());
    EXPECT_EQ((std::vector<int>{1}), selected());

    // Ctrl+A in the list selects every song, as the entry does.
    list()->setFocus(Qt::OtherFocusReason);
    clickLine(0);
    QTest::keyClick(list(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ((std::vector<int>{0, 1}), selected());

    // No entry while a job runs.
    dlg->enableControls(false);
    for (QAction* a : dlg->listActions()) EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    dlg->enableControls(true);
    EXPECT_TRUE(entry("&Clear List")->isEnabled());

    entry("&Clear List")->trigger();
    EXPECT_TRUE(lines().isEmpty());
    EXPECT_EQ(0, dlg->core().songCount());
    EXPECT_EQ(0u, dlg->core().totalEstimate());
    EXPECT_FALSE(entry("&Clear List")->isEnabled());
    EXPECT_FALSE(entry("Select A&ll")->isEnabled());
    EXPECT_TRUE(boxes.empty());
}

// The Add dialogs open where songs were last taken from, kept for the next
// run; before that, and when that folder has gone, in the music folder.
TEST_F(WindowListTest, TheAddDialogOpensWhereSongsWereLastTaken) {
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    const QString fallback = !music.isEmpty() && QFileInfo(music).isDir() ? music : QDir::homePath();
    const std::string album = dir.file("album");
    const std::string song = velmo::test::copyFixture(kMp3Fixture, album, "A.mp3");
    startWindow();

    QPushButton* add = dlg->findChild<QPushButton*>(QString::number(kIdAdd));
    choices.push_back({QString::fromStdString(song)});
    QTest::mouseClick(add, Qt::LeftButton);
    ASSERT_EQ(1u, dialogs.size());
    EXPECT_EQ(QDir(fallback).absolutePath(), dialogs[0].directory);
    EXPECT_NE(QDir(QString::fromStdString(start)).absolutePath(), dialogs[0].directory);
    EXPECT_EQ((QStringList{"A.mp3"}), lines());

    QTest::mouseClick(add, Qt::LeftButton);  // cancelled
    ASSERT_EQ(2u, dialogs.size());
    EXPECT_EQ(QString::fromStdString(album), dialogs[1].directory);

    dlg->close();
    startWindow();
    dlg->addFolderAction()->trigger();
    ASSERT_EQ(3u, dialogs.size());
    EXPECT_EQ(QString::fromStdString(album), dialogs[2].directory);

    dlg->close();
    fs::remove_all(album);
    startWindow();
    QTest::mouseClick(dlg->findChild<QPushButton*>(QString::number(kIdAdd)), Qt::LeftButton);
    ASSERT_EQ(4u, dialogs.size());
    EXPECT_EQ(QDir(fallback).absolutePath(), dialogs[3].directory);
}

// The firmware dialog's file type, applied to a folder, lists every *.bin
// file but the agent program.
TEST_F(WindowListTest, TheFirmwareDialogLeavesOutTheAgentProgram) {
    const std::string folder = dir.file("firmware");
    fs::create_directories(folder);
    for (const char* name : {"spn.bin", "SPN.BIN", "a.bin", "sp.bin", "spx.bin", "xpn.bin", "spnn.bin",
                             "clock-2.1.BIN", "notes.txt", "spn.bin.txt"})
        velmo::test::writeFileBytes(folder + "/" + name, {1});
    startWindow();
    QTest::mouseClick(control(kIdUpgradeFirmware), Qt::LeftButton);
    ASSERT_EQ(1u, dialogs.size());
    ASSERT_EQ(1, dialogs[0].nameFilters.size());
    const QString filter = dialogs[0].nameFilters[0];
    ASSERT_TRUE(filter.startsWith(QLatin1String("Binary files ("))) << filter.toStdString();
    // The patterns between the brackets, as the dialog reads them.
    const QStringList patterns = filter.mid(filter.indexOf('(') + 1).chopped(1).split(' ', Qt::SkipEmptyParts);
    QDir listing(QString::fromStdString(folder));
    listing.setNameFilters(patterns);
    // As the dialog lists them, without regard to case.
    listing.setFilter(QDir::Files);
    listing.setSorting(QDir::Name | QDir::IgnoreCase);
    EXPECT_EQ((QStringList{"a.bin", "clock-2.1.BIN", "sp.bin", "spnn.bin", "spx.bin", "xpn.bin"}),
              listing.entryList());
}

}  // namespace
