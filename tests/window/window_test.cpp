// The main window run as a user would run it, against the simulated clock in
// a start folder of its own. Message boxes are answered through the dialog's
// message box runner and file dialogs through its file dialog runner, after
// the events a modal loop would deliver.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "about_dialog.h"
#include "bitmapbutton.h"
#include "bitmappicture.h"
#include "main_window.h"
#include "resources.h"
#include "song_fixtures.h"
#include "songlistbox.h"
#include "songrecord.h"
#include "songtable.h"
#include "start_options.h"
#include "storage_layout.h"
#include "tempdir.h"
#include "presenter.h"
#include "velmo_core.h"
#include "window_language.h"
#include "zentro_sim_control.h"

using namespace velmo;
using velmo::test::TempDir;
using velmo::test::writeFileBytes;
namespace fs = std::filesystem;

namespace {

constexpr const char* kMp3Fixture = "l3_44100_cbr128_stereo.mp3";  // about 2 s
constexpr const char* kWavFixture = "wav_pcm16_mono.wav";          // about 0.5 s
// The end of a Download read back (Verify after Download is on by default).
const std::string kFinishedVerified =
    "Downloading songs finished !\nVerified: what was written was read back from the clock and matches.";

struct ShownBox {
    std::string text;
    std::string caption;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    bool enabled;             // it can take input, even while the window is disabled
    bool ownedByWindow;       // shown over the main window
    bool windowEnabled;       // the main window's state meanwhile
    std::string description;  // its accessible description
};

struct SeenFileDialog {
    QStringList nameFilters;
    QFileDialog::FileMode mode;
};

// Dialog units as the template means them, worked out here on their own:
// the average width of the 52 letters and the line height of the font.
struct Units {
    int cw, ch;
    static int round(int a, int b, int c) { return (a * b + c / 2) / c; }
    QRect rect(int x, int y, int w, int h) const {
        return QRect(round(x, cw, 4), round(y, ch, 8), round(w, cw, 4), round(h, ch, 8));
    }
};

Units unitsOf(const QFont& font) {
    const QFontMetrics m(font);
    const int letters = m.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return Units{(letters / 26 + 1) / 2, m.height()};
}

QString textOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* p = qobject_cast<BitmapPicture*>(w)) return p->text();
    return {};
}

// The caption as the window shows it: a mnemonic's "&" is not drawn ("&&"
// draws one "&").
QString visibleText(QWidget* w) {
    const QString text = textOf(w);
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

class WindowTestBase : public ::testing::Test {
  public:
    TempDir dir;
    std::string start;
    std::string sim;
    std::unique_ptr<MainWindow> dlg;
    std::vector<ShownBox> boxes;
    std::deque<QMessageBox::StandardButton> answers;  // default: OK
    std::vector<SeenFileDialog> fileDialogs;
    std::deque<QStringList> fileChoices;  // none left, or an empty list: cancelled

  protected:
    void SetUp() override {
        start = dir.file("start");
        sim = dir.file("sim");
        fs::create_directories(start);
        fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
        ASSERT_EQ(0, zentroSimSetDir(sim.c_str()));
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
            // A real box runs a modal loop: whatever is queued arrives meanwhile.
            QCoreApplication::processEvents();
            boxes.push_back({box.text().toStdString(), box.windowTitle().toStdString(), box.icon(),
                             box.standardButtons(), box.isEnabled(), box.parentWidget() == dlg.get(), dlg->isEnabled(),
                             box.accessibleDescription().toStdString()});
            if (answers.empty()) return static_cast<int>(QMessageBox::Ok);
            const QMessageBox::StandardButton answer = answers.front();
            answers.pop_front();
            return static_cast<int>(answer);
        });
        dlg->setFileDialogRunner([this](QFileDialog& d) -> std::optional<QStringList> {
            fileDialogs.push_back({d.nameFilters(), d.fileMode()});
            if (fileChoices.empty()) return std::nullopt;
            QStringList chosen = fileChoices.front();
            fileChoices.pop_front();
            if (chosen.isEmpty()) return std::nullopt;
            return chosen;
        });
        dlg->start();
        if (!dlg->isClosed()) {
            dlg->show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        }
    }

    template <class T = QWidget>
    T* control(int id) const {
        T* w = dlg->findChild<T*>(QString::number(id));
        EXPECT_NE(nullptr, w) << "control " << id;
        return w;
    }

    QListWidget* list() const { return control<QListWidget>(kIdSongList); }

    QStringList lines() const {
        QStringList out;
        for (int i = 0; i < list()->count(); ++i) out << list()->item(i)->text();
        return out;
    }

    int selectedLine() const {
        const QList<QListWidgetItem*> items = list()->selectedItems();
        return items.isEmpty() ? -1 : list()->row(items.first());
    }

    void click(int id) { QTest::mouseClick(control(id), Qt::LeftButton); }

    // Selects a line as the user does, by clicking it.
    void clickLine(int row) {
        QListWidget* l = list();
        const QRect r = l->visualItemRect(l->item(row));
        QTest::mouseClick(l->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
    }

    bool pumpUntil(const std::function<bool()>& done, int milliseconds = 60000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > milliseconds) return false;
            QTest::qWait(5);
        }
        return true;
    }

    bool jobEnded() {
        return pumpUntil([this] { return !dlg->core().operationRunning() && !dlg->core().workersRunning(); });
    }

    // A copy of a fixture under the given name, in a folder of the test's own.
    std::string song(const std::string& name, const char* fixture) {
        return velmo::test::copyFixture(fixture, dir.file("songs"), name);
    }

    // The list as a previous run left it: songs whose estimates are given.
    void writeTable(const std::vector<uint32_t>& estimates, uint16_t quality = 4) {
        velmo::test::writeSongTable(start, estimates, quality, 1, [this](size_t i) {
            return song("song" + std::to_string(i) + ".mp3", kMp3Fixture);
        });
    }

    bool shown(const std::string& text) const {
        for (const ShownBox& b : boxes)
            if (b.text == text) return true;
        return false;
    }
    // A box that begins with `text`, whatever lines follow it.
    bool shownStarting(const std::string& text) const {
        for (const ShownBox& b : boxes)
            if (b.text.rfind(text, 0) == 0) return true;
        return false;
    }
};

class WindowTest : public WindowTestBase {};

// ---------------------------------------------------------------------------
// Layout

TEST_F(WindowTest, ControlsSitWhereTheTemplatePutsThem) {
    startWindow();
    const QFontInfo font(dlg->font());
    EXPECT_TRUE(font.family() == "Times New Roman" || font.family() == "Liberation Serif")
        << font.family().toStdString();
    EXPECT_EQ(11, dlg->font().pointSize());
    const Units u = unitsOf(dlg->font());
    ASSERT_GT(u.cw, 0);

    struct Row {
        int id;
        const char* className;
        const char* text;  // nullptr: not checked here
        int x, y, w, h;
    } rows[] = {
        {1002, "QPushButton", "Download", 240, 131, 48, 17},
        {1000, "QPushButton", "Add", 19, 131, 48, 17},
        {1001, "QPushButton", "Delete", 92, 131, 48, 17},
        {1011, "QPushButton", "Reload", 170, 131, 48, 17},
        {1008, "BitmapButton", "BUTTON_DOWN", 293, 103, 12, 12},
        {129, "BitmapButton", "BUTTON_UP", 293, 45, 12, 12},
        {1004, "QPushButton", "Upgrade Firmware", 231, 165, 75, 18},
        {1005, "QListWidget", nullptr, 20, 39, 268, 89},
        {1016, "BitmapPicture", "Music Song:", 17, 28, 43, 10},
        {1003, "QProgressBar", nullptr, 20, 167, 197, 17},
        {1018, "QLabel", "Progress:", 20, 158, 112, 9},
        {1009, "QRadioButton", "Good", 218, 23, 27, 8},
        {1010, "QRadioButton", "Best", 186, 22, 26, 10},
        {1017, "QLabel", nullptr, 0, 197, 324, 12},
        {1019, "QRadioButton", "Normal", 251, 22, 35, 10},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        QWidget* w = control(row.id);
        ASSERT_NE(nullptr, w);
        EXPECT_TRUE(w->inherits(row.className)) << w->metaObject()->className();
        EXPECT_EQ(dlg.get(), w->parentWidget());
        EXPECT_EQ(u.rect(row.x, row.y, row.w, row.h), w->geometry());
        if (row.text) {
            EXPECT_EQ(row.text, visibleText(w).toStdString());
        }
        EXPECT_TRUE(w->isVisible());
    }

    const QList<QGroupBox*> groups = dlg->findChildren<QGroupBox*>();
    ASSERT_EQ(1, groups.size());
    EXPECT_EQ("Music quality", groups[0]->title().toStdString());
    EXPECT_EQ(Qt::AlignHCenter, groups[0]->alignment() & Qt::AlignHorizontal_Mask);
    EXPECT_EQ(u.rect(183, 12, 105, 24), groups[0]->geometry());
    // The frame lies under the radio buttons and never takes their clicks.
    for (int id : {1009, 1010, 1019}) EXPECT_EQ(control(id), dlg->childAt(control(id)->geometry().center())) << id;

    // 324 x 209 units at first, and never smaller; it may grow and be maximised.
    const QSize size = u.rect(0, 0, 324, 209).size();
    EXPECT_EQ(size, dlg->size());
    EXPECT_EQ(size, dlg->minimumSize());
    EXPECT_GT(dlg->maximumWidth(), size.width());
    EXPECT_GT(dlg->maximumHeight(), size.height());
    EXPECT_TRUE(dlg->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(dlg->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(dlg->windowFlags() & Qt::WindowContextHelpButtonHint);
}

TEST_F(WindowTest, EveryCaptionFitsItsControl) {
    startWindow();
    QStyle* style = dlg->style();
    const int indicator =
        style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) + style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing);
    for (int id : {1002, 1000, 1001, 1011, 1004, 1016, 1018, 1009, 1010, 1019}) {
        SCOPED_TRACE(id);
        QWidget* w = control(id);
        const QFontMetrics m(w->font());
        int room = w->width();
        if (qobject_cast<QRadioButton*>(w)) room -= indicator;
        EXPECT_LE(m.horizontalAdvance(visibleText(w)), room);
        EXPECT_LE(m.ascent(), w->height());
    }
}

// In each language the window shows every caption whole (the long
// translations too, and every caption of a job's progress), names every
// control for a screen reader, and gives a message box's text as its
// description.
TEST_F(WindowTest, EveryLanguageFitsAndNamesItsControls) {
    const char* const progressCaptions[] = {"Progress: converting music data...",
                                            "Progress: downloading music data...",
                                            "Progress: verifying music data...",
                                            "Progress:Reloading music data...",
                                            "Progress:Verifying firmware code...",
                                            "Progress:checking music data...",
                                            "Writing firmware: the clock must not be unplugged"};
    for (const char* language : velmo::test::kLanguages) {
        SCOPED_TRACE(language);
        velmo::test::useLanguage(language);
        const bool english = std::strcmp(language, "C") == 0;
        boxes.clear();
        startWindow();
        ASSERT_FALSE(dlg->isClosed());
        velmo::test::expectCaptionsWhole(*dlg);
        velmo::test::expectControlsNamed(*dlg);
        // The English captions fit the template's font as they always did.
        if (english) {
            for (int id : {1002, 1000, 1001, 1011, 1004, 1016, 1018, 1009, 1010, 1019})
                EXPECT_EQ(dlg->font().pointSize(), control(id)->font().pointSize()) << id;
        }
        for (const char* caption : progressCaptions) {
            dlg->setProgressCaption(velmo::tr_(caption));
            auto* label = control<QLabel>(kIdProgressCaption);
            EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(label->text()), label->width()) << caption;
            EXPECT_EQ(label->text(), control(kIdProgressBar)->accessibleDescription());
        }
        dlg->setProgressCaption(velmo::tr_("Progress:"));

        // The arrows say what they do, in the user's language, also as tooltips.
        for (auto [id, englishName] :
             {std::pair{kIdUp, "Move the selected song up"}, std::pair{kIdDown, "Move the selected song down"}}) {
            QWidget* arrow = control(id);
            EXPECT_EQ(english, arrow->accessibleName().toStdString() == englishName) << id;
            EXPECT_EQ(arrow->accessibleName(), arrow->toolTip());
        }
        EXPECT_EQ(english, list()->accessibleName() == QStringLiteral("Songs"));
        EXPECT_EQ(english, control(kIdProgressBar)->accessibleName() == QStringLiteral("Progress"));
        EXPECT_EQ(english, control<QPushButton>(kIdAdd)->text() == QStringLiteral("&Add"));

        // An empty list refuses the Download with a box whose text a screen reader reads.
        click(kIdDownload);
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(boxes[0].text, boxes[0].description);
        EXPECT_EQ(english, boxes[0].text == "No song files are in list box !") << boxes[0].text;
        dlg->close();
        dlg.reset();
    }
    velmo::test::useLanguage("C");
}

// The controls that Tab visits, from the window's focus chain.
std::vector<QWidget*> tabStops(MainWindow& dlg) {
    std::vector<QWidget*> stops;
    QWidget* w = &dlg;
    do {
        w = w->nextInFocusChain();
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->window() == &dlg && w != &dlg) stops.push_back(w);
    } while (w != &dlg && stops.size() < 30);
    return stops;
}

int idOf(const QWidget* w) {
    bool numeric = false;
    const int id = w->objectName().toInt(&numeric);
    return numeric ? id : -1;
}

TEST_F(WindowTest, TabStopsFollowTheVisualOrder) {
    startWindow();
    std::vector<QWidget*> stops = tabStops(*dlg);
    std::vector<int> order;
    for (QWidget* w : stops) order.push_back(idOf(w));
    // Top to bottom, and left to right on one row: the list, the arrows
    // beside it, the row of buttons, Upgrade Firmware.
    std::vector<QWidget*> byPlace = stops;
    std::stable_sort(byPlace.begin(), byPlace.end(), [](const QWidget* a, const QWidget* b) {
        return a->y() != b->y() ? a->y() < b->y() : a->x() < b->x();
    });
    EXPECT_EQ(byPlace, stops);
    EXPECT_EQ((std::vector<int>{1005, 129, 1008, 1000, 1001, 1011, 1002, 1004}), order);

    // The Tab key itself walks that chain and comes round again; Shift+Tab goes back.
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    stops.front()->setFocus(Qt::OtherFocusReason);
    for (size_t i = 1; i <= stops.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(idOf(stops[i % stops.size()]), idOf(QApplication::focusWidget())) << "after " << i << " tabs";
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(idOf(stops.back()), idOf(QApplication::focusWidget()));
}

TEST_F(WindowTest, EveryControlThatTakesFocusShowsIt) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture)});
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    const std::vector<QWidget*> stops = tabStops(*dlg);
    std::vector<QWidget*> focusable;
    for (QWidget* w : dlg->findChildren<QWidget*>())
        if (w->focusPolicy() != Qt::NoFocus && w->isVisible() && w->parentWidget() == dlg.get()) focusable.push_back(w);
    ASSERT_EQ(11u, focusable.size());  // eight tab stops and the three radio buttons

    // Each control drawn with the focus, the keyboard's way (Tab, or the
    // mnemonic of a radio button), and again once Tab has taken it away.
    for (QWidget* w : focusable) {
        SCOPED_TRACE(idOf(w));
        if (std::find(stops.begin(), stops.end(), w) != stops.end()) {
            QWidget* before =
                stops[(std::find(stops.begin(), stops.end(), w) - stops.begin() + stops.size() - 1) % stops.size()];
            before->setFocus(Qt::OtherFocusReason);
            QTest::keyClick(before, Qt::Key_Tab);
        } else {
            QTest::keySequence(dlg.get(), QKeySequence::mnemonic(textOf(w)));
            ASSERT_TRUE(pumpUntil([w] { return !static_cast<QAbstractButton*>(w)->isDown(); }, 5000));
        }
        ASSERT_EQ(w, QApplication::focusWidget());
        const QImage focused = w->grab().toImage();
        QTest::keyClick(w, Qt::Key_Tab);
        ASSERT_NE(w, QApplication::focusWidget());
        const QImage unfocused = w->grab().toImage();
        EXPECT_NE(focused, unfocused) << "the focus does not show";
    }
}

TEST_F(WindowTest, ButtonsCarryDistinctMnemonicsOnTheirOwnLetters) {
    startWindow();
    std::vector<QKeySequence> keys;
    for (QAbstractButton* b : dlg->findChildren<QAbstractButton*>()) {
        if (qobject_cast<BitmapButton*>(b)) continue;  // no caption is drawn
        SCOPED_TRACE(b->text().toStdString());
        const QKeySequence key = QKeySequence::mnemonic(b->text());
        ASSERT_FALSE(key.isEmpty()) << "no mnemonic";
        EXPECT_EQ(1, b->text().count(QLatin1Char('&')));
        // The underlined letter is one of the caption's own.
        const QChar letter = b->text()[b->text().indexOf(QLatin1Char('&')) + 1];
        EXPECT_TRUE(letter.isLetter());
        EXPECT_EQ(QKeySequence(QKeyCombination(Qt::AltModifier, static_cast<Qt::Key>(letter.toUpper().unicode()))),
                  key);
        for (const QKeySequence& other : keys) EXPECT_NE(other, key) << "used twice";
        keys.push_back(key);
    }
    EXPECT_EQ(8u, keys.size());  // five push buttons, three radio buttons
}

TEST_F(WindowTest, TheDeleteKeyInTheListDeletesTheSelectedSong) {
    startWindow();
    dlg->core().dropSongs(
        {song("One.mp3", kMp3Fixture), song("Two.wav", kWavFixture), song("Three.mp3", kMp3Fixture)});
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    clickLine(1);
    ASSERT_TRUE(list()->hasFocus());
    QTest::keyClick(list(), Qt::Key_Delete);
    EXPECT_EQ((QStringList{"One.mp3", "Three.mp3"}), lines());
    EXPECT_EQ(2, dlg->core().songCount());
    // The song after it is selected: a second press deletes it.
    EXPECT_EQ(1, selectedLine());
    QTest::keyClick(list(), Qt::Key_Delete);
    EXPECT_EQ((QStringList{"One.mp3"}), lines());
    EXPECT_EQ(0, selectedLine());
    dlg->core().dropSongs({song("Two.wav", kWavFixture)});
    ASSERT_EQ(2, dlg->core().songCount());

    // Elsewhere in the window the key deletes nothing.
    clickLine(0);
    control(kIdDownload)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(control(kIdDownload), Qt::Key_Delete);
    EXPECT_EQ(2, dlg->core().songCount());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, StartUpShowsTheConnectedClock) {
    startWindow();
    ASSERT_FALSE(dlg->isClosed());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ("Zentro", dlg->windowTitle().toStdString());
    EXPECT_TRUE(dlg->isEnabled());
    EXPECT_TRUE(control<QRadioButton>(kIdGood)->isChecked());
    EXPECT_FALSE(control<QRadioButton>(kIdBest)->isChecked());
    EXPECT_FALSE(control<QRadioButton>(kIdNormal)->isChecked());
    EXPECT_EQ(" Space usage: 0.0%", control<QLabel>(kIdStatusLine)->text().toStdString());
    EXPECT_EQ("Progress:", control<QLabel>(kIdProgressCaption)->text().toStdString());

    auto* status = control<QLabel>(kIdStatusLine);
    EXPECT_EQ(QFrame::Panel, status->frameShape());
    EXPECT_EQ(QFrame::Sunken, status->frameShadow());

    auto* bar = control<QProgressBar>(kIdProgressBar);
    EXPECT_EQ(0, bar->minimum());
    EXPECT_EQ(100, bar->maximum());
    EXPECT_EQ(0, bar->value());
    EXPECT_TRUE(bar->isTextVisible()) << "the bar shows its percentage";
    EXPECT_EQ("0%", bar->text().toStdString());
    EXPECT_TRUE(control<QLabel>(kIdProgressDetail)->text().isEmpty());

    // The list scrolls across 4000 pixels whatever its lines hold.
    QScrollBar* across = list()->horizontalScrollBar();
    EXPECT_TRUE(across->isVisible());
    EXPECT_EQ(4000 - list()->viewport()->width(), across->maximum());
    // Several songs may be selected, as in a file manager.
    EXPECT_EQ(QAbstractItemView::ExtendedSelection, list()->selectionMode());
    EXPECT_TRUE(list()->viewport()->acceptDrops());

    auto* picture = control<BitmapPicture>(kIdPicture);
    EXPECT_FALSE(picture->hasBitmap());
    EXPECT_TRUE(picture->centerImage());

    struct Faces {
        int id, normal, selected, disabled;
    } faces[] = {{kIdUp, kBitmapUp, kBitmapUpSelected, kBitmapUpDisabled},
                 {kIdDown, kBitmapDown, kBitmapDownSelected, kBitmapDownDisabled}};
    for (const Faces& f : faces) {
        SCOPED_TRACE(f.id);
        auto* b = control<BitmapButton>(f.id);
        EXPECT_EQ(loadBitmapResource(f.normal), b->image(BitmapButton::Face::Normal));
        EXPECT_EQ(loadBitmapResource(f.selected), b->image(BitmapButton::Face::Selected));
        EXPECT_EQ(loadBitmapResource(f.normal), b->image(BitmapButton::Face::Focus));
        EXPECT_EQ(loadBitmapResource(f.disabled), b->image(BitmapButton::Face::Disabled));
    }

    // The minimised window and the task bar show the program icon.
    const QList<QSize> sizes = dlg->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
}

TEST_F(WindowTest, StoredQualityPicksItsButton) {
    struct Row {
        uint16_t quality;
        bool best, good, normal;
    } rows[] = {{8, true, false, false}, {4, false, true, false}, {2, false, false, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.quality);
        writeTable({1000}, row.quality);
        startWindow();
        EXPECT_EQ(row.best, control<QRadioButton>(kIdBest)->isChecked());
        EXPECT_EQ(row.good, control<QRadioButton>(kIdGood)->isChecked());
        EXPECT_EQ(row.normal, control<QRadioButton>(kIdNormal)->isChecked());
        EXPECT_EQ(QStringList{"song0.mp3"}, lines());
        dlg->close();
        dlg.reset();
    }
}

// A quality the encoder cannot use is damage: the window says so in a box at
// start, names where the table was kept, and starts empty at Good.
TEST_F(WindowTest, AnUnknownStoredQualityIsShownAsDamage) {
    writeTable({1000}, 5);
    startWindow();
    EXPECT_TRUE(control<QRadioButton>(kIdGood)->isChecked());
    EXPECT_TRUE(lines().isEmpty());
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(QMessageBox::Warning, boxes[0].icon);
    EXPECT_NE(std::string::npos, boxes[0].text.find("quality code 5 is not 2, 4 or 8")) << boxes[0].text;
    EXPECT_NE(std::string::npos, boxes[0].text.find("zt_hdr.tbl.damaged")) << boxes[0].text;
    EXPECT_TRUE(fs::exists(start + "/zt_hdr.tbl.damaged"));
}

TEST_F(WindowTest, AStartUpFailureClosesTheWindowAfterItsMessage) {
    writeTable({1000, 2000});
    zentroSimSetPlugged(0);
    startWindow();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("USB connection error !\nPlease plug-in USB first.", boxes[0].text);
    EXPECT_EQ("Error", boxes[0].caption);
    EXPECT_EQ(QMessageBox::Critical, boxes[0].icon);
    EXPECT_TRUE(dlg->isClosed());
    EXPECT_FALSE(dlg->isVisible());
    // The close handler ran: the list went back to its file.
    SongTableHeader header;
    std::unique_ptr<Song[]> songs(new Song[kMaxSongs]());
    ASSERT_EQ(0, loadSongTable(start, header, songs.get()));
    EXPECT_EQ(2, header.songCount);
}

// ---------------------------------------------------------------------------
// Every control reaches its handler

struct ButtonRow {
    const char* name;
    int id;
    std::function<void(WindowTestBase&)> arrange;
    std::function<void(WindowTestBase&)> check;
};

class ButtonHandlers : public WindowTestBase, public ::testing::WithParamInterface<ButtonRow> {};

void PrintTo(const ButtonRow& row, std::ostream* os) { *os << row.name; }

TEST_P(ButtonHandlers, AClickReachesTheHandler) {
    const ButtonRow& row = GetParam();
    startWindow();
    ASSERT_FALSE(dlg->isClosed());
    if (row.arrange) row.arrange(*this);
    click(row.id);
    QCoreApplication::processEvents();
    row.check(*this);
}

// The same without the mouse: Alt and the caption's mnemonic, or for the
// arrow buttons (no caption) Tab to them and Space.
TEST_P(ButtonHandlers, TheKeyboardReachesTheHandler) {
    const ButtonRow& row = GetParam();
    startWindow();
    ASSERT_FALSE(dlg->isClosed());
    if (row.arrange) row.arrange(*this);
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    auto* button = control<QAbstractButton>(row.id);
    const QKeySequence mnemonic = QKeySequence::mnemonic(button->text());
    if (!mnemonic.isEmpty()) {
        QTest::keySequence(dlg.get(), mnemonic);
        // A mnemonic presses the button visibly: the click comes once it is released.
        ASSERT_TRUE(pumpUntil([button] { return !button->isDown(); }, 5000));
    } else {
        const std::vector<QWidget*> stops = tabStops(*dlg);
        ASSERT_NE(stops.end(), std::find(stops.begin(), stops.end(), button));
        // Focus stays on the list after a click: Tab on from there.
        if (!QApplication::focusWidget()) stops.front()->setFocus(Qt::OtherFocusReason);
        for (size_t i = 0; i < stops.size() && QApplication::focusWidget() != button; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(button, QApplication::focusWidget());
        QTest::keyClick(button, Qt::Key_Space);
    }
    QCoreApplication::processEvents();
    row.check(*this);
}

// Short names for what the rows do with the fixture.
struct Peek {
    static MainWindow& dialog(WindowTestBase& t) { return *t.dlg; }
    static QStringList linesOf(WindowTestBase& t) { return t.lines(); }
    static int selected(WindowTestBase& t) { return t.selectedLine(); }
    static void select(WindowTestBase& t, int row) { t.clickLine(row); }
    static std::vector<ShownBox>& shownBoxes(WindowTestBase& t) { return t.boxes; }
    static std::deque<QMessageBox::StandardButton>& answersOf(WindowTestBase& t) { return t.answers; }
    static std::vector<SeenFileDialog>& dialogsOf(WindowTestBase& t) { return t.fileDialogs; }
    static std::deque<QStringList>& choicesOf(WindowTestBase& t) { return t.fileChoices; }
    static std::string songOf(WindowTestBase& t, const std::string& name, const char* fixture) {
        return t.song(name, fixture);
    }
    static void twoSongs(WindowTestBase& t) {
        dialog(t).core().dropSongs({songOf(t, "One.mp3", kMp3Fixture), songOf(t, "Two.wav", kWavFixture)});
    }
    static QRadioButton* radio(WindowTestBase& t, int id) {
        return dialog(t).findChild<QRadioButton*>(QString::number(id));
    }
};

const ButtonRow kButtonRows[] = {
    {"Add", kIdAdd,
     [](WindowTestBase& t) {
         Peek::choicesOf(t).push_back({QString::fromStdString(Peek::songOf(t, "A.mp3", kMp3Fixture)),
                                       QString::fromStdString(Peek::songOf(t, "B.WAV", kWavFixture))});
     },
     [](WindowTestBase& t) {
         ASSERT_EQ(1u, Peek::dialogsOf(t).size());
         // One "Music files" filter naming every accepted extension, in any case.
         const QStringList filters = Peek::dialogsOf(t)[0].nameFilters;
         ASSERT_EQ(1, filters.size());
         EXPECT_TRUE(filters[0].startsWith("Music files (*.[mM][pP]3 *.[wW][aA][vV] ")) << filters[0].toStdString();
         for (const char* pattern : {"*.[fF][lL][aA][cC]", "*.[oO][gG][gG]", "*.[oO][pP][uU][sS]", "*.[mM]4[aA]",
                                     "*.[aA][iI][fF][fF]", "*.[aA][iI][fF]", "*.[wW][mM][aA]", "*.[aA][aA][cC]"})
             EXPECT_TRUE(filters[0].split(QRegularExpression("[ ()]")).contains(pattern)) << pattern;
         EXPECT_EQ(QFileDialog::ExistingFiles, Peek::dialogsOf(t)[0].mode);
         EXPECT_EQ((QStringList{"A.mp3", "B.WAV"}), Peek::linesOf(t));
         EXPECT_EQ(2, Peek::dialog(t).core().songCount());
     }},
    {"Delete", kIdDelete,
     [](WindowTestBase& t) {
         Peek::twoSongs(t);
         Peek::select(t, 0);
     },
     [](WindowTestBase& t) {
         EXPECT_EQ(QStringList{"Two.wav"}, Peek::linesOf(t));
         EXPECT_EQ(0, Peek::selected(t));  // the song after the deleted one
         EXPECT_EQ(1, Peek::dialog(t).core().songCount());
     }},
    {"Download", kIdDownload, nullptr,
     [](WindowTestBase& t) {
         ASSERT_EQ(1u, Peek::shownBoxes(t).size());
         EXPECT_EQ("No song files are in list box !", Peek::shownBoxes(t)[0].text);
     }},
    {"Reload", kIdReload, [](WindowTestBase& t) { Peek::answersOf(t).push_back(QMessageBox::Cancel); },
     [](WindowTestBase& t) {
         ASSERT_EQ(1u, Peek::shownBoxes(t).size());
         EXPECT_EQ("Reload song data into P.C ?", Peek::shownBoxes(t)[0].text);
         EXPECT_FALSE(Peek::dialog(t).core().operationRunning());
     }},
    {"Upgrade Firmware", kIdUpgradeFirmware, nullptr,
     [](WindowTestBase& t) {
         ASSERT_EQ(1u, Peek::dialogsOf(t).size());
         // Every *.bin file but the agent program (WindowListTest lists a folder through it).
         ASSERT_EQ(1, Peek::dialogsOf(t)[0].nameFilters.size());
         EXPECT_TRUE(Peek::dialogsOf(t)[0].nameFilters[0].startsWith("Binary files (?.[bB][iI][nN] "));
         EXPECT_EQ(QFileDialog::ExistingFile, Peek::dialogsOf(t)[0].mode);
         EXPECT_TRUE(Peek::shownBoxes(t).empty());
     }},
    {"Up", kIdUp,
     [](WindowTestBase& t) {
         Peek::twoSongs(t);
         Peek::select(t, 1);
     },
     [](WindowTestBase& t) {
         EXPECT_EQ((QStringList{"Two.wav", "One.mp3"}), Peek::linesOf(t));
         EXPECT_EQ(0, Peek::selected(t));
     }},
    {"Down", kIdDown,
     [](WindowTestBase& t) {
         Peek::twoSongs(t);
         Peek::select(t, 0);
     },
     [](WindowTestBase& t) {
         EXPECT_EQ((QStringList{"Two.wav", "One.mp3"}), Peek::linesOf(t));
         EXPECT_EQ(1, Peek::selected(t));
     }},
    {"Best", kIdBest, Peek::twoSongs,
     [](WindowTestBase& t) {
         EXPECT_EQ(8, Peek::dialog(t).core().quality());
         EXPECT_TRUE(Peek::radio(t, kIdBest)->isChecked());
         EXPECT_FALSE(Peek::radio(t, kIdGood)->isChecked());
     }},
    {"Normal", kIdNormal, Peek::twoSongs,
     [](WindowTestBase& t) {
         EXPECT_EQ(2, Peek::dialog(t).core().quality());
         EXPECT_TRUE(Peek::radio(t, kIdNormal)->isChecked());
         EXPECT_FALSE(Peek::radio(t, kIdGood)->isChecked());
     }},
    {"Good", kIdGood,
     [](WindowTestBase& t) {
         Peek::twoSongs(t);
         Peek::dialog(t).core().setQuality(velmo::kQualityBest);
     },
     [](WindowTestBase& t) {
         EXPECT_EQ(4, Peek::dialog(t).core().quality());
         EXPECT_TRUE(Peek::radio(t, kIdGood)->isChecked());
         EXPECT_FALSE(Peek::radio(t, kIdBest)->isChecked());
     }},
};

INSTANTIATE_TEST_SUITE_P(Window, ButtonHandlers, ::testing::ValuesIn(kButtonRows),
                         [](const ::testing::TestParamInfo<ButtonRow>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == ' ') c = '_';
                             return name;
                         });

TEST_F(WindowTest, QualityButtonsRescaleTheStatusLine) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture)});
    auto* status = control<QLabel>(kIdStatusLine);
    const QString good = status->text();
    click(kIdBest);
    const QString best = status->text();
    click(kIdNormal);
    const QString normal = status->text();
    EXPECT_NE(good, best);
    EXPECT_NE(best, normal);
    EXPECT_EQ(velmo::present::spaceUsage(dlg->core().totalEstimate(), dlg->core().capacity()), normal.toStdString());
}

// ---------------------------------------------------------------------------
// Message boxes

struct BoxRow {
    const char* name;
    std::function<void(WindowTestBase&)> arrange;  // before the window starts
    std::function<void(WindowTestBase&)> act;
    const char* text;
    const char* caption;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

void PrintTo(const BoxRow& row, std::ostream* os) { *os << row.name; }

class MessageBoxes : public WindowTestBase, public ::testing::WithParamInterface<BoxRow> {};

struct Act {
    static void click(WindowTestBase& t, int id) { t.click(id); }
    static void writeTable(WindowTestBase& t, const std::vector<uint32_t>& e) { t.writeTable(e); }
    static bool pumpUntil(WindowTestBase& t, const std::function<bool()>& f) { return t.pumpUntil(f, 10000); }
    static std::string path(WindowTestBase& t, const std::string& name) { return t.dir.file(name); }
};

const BoxRow kBoxRows[] = {
    {"empty list", nullptr, [](WindowTestBase& t) { Act::click(t, kIdDownload); }, "No song files are in list box !",
     "Information", QMessageBox::Information, QMessageBox::Ok},
    {"reload question", nullptr,
     [](WindowTestBase& t) {
         Peek::answersOf(t).push_back(QMessageBox::Cancel);
         Act::click(t, kIdReload);
     },
     "Reload song data into P.C ?", "Warning", QMessageBox::NoIcon, QMessageBox::Ok | QMessageBox::Cancel},
    {"unsupported song", nullptr,
     [](WindowTestBase& t) {
         writeFileBytes(Act::path(t, "bad.mp3"), {'n', 'o', 't', ' ', 'a', ' ', 's', 'o', 'n', 'g'});
         Peek::choicesOf(t).push_back({QString::fromStdString(Act::path(t, "bad.mp3"))});
         Act::click(t, kIdAdd);
     },
     nullptr /* with the path */, "Error", QMessageBox::Critical, QMessageBox::Ok},
    {"unplugged clock", nullptr,
     [](WindowTestBase& t) {
         zentroSimSetPlugged(0);
         // The 300 ms poll notices the removal, then finds no clock.
         ASSERT_TRUE(Act::pumpUntil(t, [&t] {
             return Peek::dialog(t).core().connectState() == 1 && Peek::dialog(t).core().deviceHandle() == 0;
         }));
         Act::click(t, kIdUpgradeFirmware);
     },
     "Please plug-in USB again !", "Error", QMessageBox::Critical, QMessageBox::Ok},
    {"firmware question", nullptr,
     [](WindowTestBase& t) {
         writeFileBytes(Act::path(t, "fw.bin"), {'(', '8', 'G', '$'});
         Peek::choicesOf(t).push_back({QString::fromStdString(Act::path(t, "fw.bin"))});
         Peek::answersOf(t).push_back(QMessageBox::Cancel);
         Act::click(t, kIdUpgradeFirmware);
         // The file dialog was asked, and its choice taken, before the question.
         EXPECT_TRUE(Peek::choicesOf(t).empty());
     },
     "Upgrade Firmware ?", "Warning", QMessageBox::NoIcon, QMessageBox::Ok | QMessageBox::Cancel},
    {"list over the storage",
     [](WindowTestBase& t) {
         Act::writeTable(t, {1500000, 1500000});
     },
     [](WindowTestBase& t) {
         Peek::answersOf(t).push_back(QMessageBox::Cancel);
         Act::click(t, kIdDownload);
     },
     "Auto cut songs to fit storage size ?", "Warning !", QMessageBox::NoIcon, QMessageBox::Ok | QMessageBox::Cancel},
};

TEST_P(MessageBoxes, ShowTextCaptionIconAndButtons) {
    const BoxRow& row = GetParam();
    if (row.arrange) row.arrange(*this);
    startWindow();
    ASSERT_FALSE(dlg->isClosed());
    row.act(*this);
    // An Add that refused its one song then says that none of its files joined.
    ASSERT_EQ(row.text ? 1u : 2u, boxes.size());
    const std::string text = row.text ? row.text : "The file format of " + dir.file("bad.mp3") + " is not supported";
    EXPECT_EQ(text, boxes[0].text);
    EXPECT_EQ(row.caption, boxes[0].caption);
    EXPECT_EQ(row.icon, boxes[0].icon);
    EXPECT_EQ(row.buttons, boxes[0].buttons);
    EXPECT_TRUE(boxes[0].enabled);
    EXPECT_TRUE(boxes[0].ownedByWindow);
    // A question answered Cancel starts nothing.
    EXPECT_FALSE(dlg->core().operationRunning());
    EXPECT_TRUE(dlg->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(Window, MessageBoxes, ::testing::ValuesIn(kBoxRows),
                         [](const ::testing::TestParamInfo<BoxRow>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == ' ') c = '_';
                             return name;
                         });

TEST_F(WindowTest, WithoutARunnerTheRealBoxIsShownModally) {
    startWindow();
    dlg->setMessageBoxRunner(nullptr);
    std::string seen;
    QTimer::singleShot(0, dlg.get(), [&seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen = box->windowTitle().toStdString() + "|" + box->text().toStdString();
        box->button(QMessageBox::Ok)->click();
    });
    click(kIdDownload);
    EXPECT_EQ("Information|No song files are in list box !", seen);
}

// ---------------------------------------------------------------------------
// A job

TEST_F(WindowTest, DownloadMovesTheBarAndCaptionToTheEnd) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture), song("Two.wav", kWavFixture)});
    auto* bar = control<QProgressBar>(kIdProgressBar);
    auto* caption = control<QLabel>(kIdProgressCaption);
    struct Step {
        std::string caption;
        int value;
        bool windowEnabled;
        bool progressEnabled;
    };
    std::vector<Step> steps;
    QObject::connect(bar, &QProgressBar::valueChanged, dlg.get(), [&](int value) {
        steps.push_back({caption->text().toStdString(), value, control(kIdAdd)->isEnabled(),
                         bar->isEnabled() && caption->isEnabled()});
    });

    click(kIdDownload);
    EXPECT_EQ("Progress: converting music data...", caption->text().toStdString());
    // The job runs with every control disabled but Download, which reads Stop.
    EXPECT_TRUE(dlg->core().operationRunning());
    EXPECT_TRUE(control(kIdDownload)->isEnabled());
    EXPECT_EQ("Stop", visibleText(control(kIdDownload)).toStdString());
    for (int id : {kIdUpgradeFirmware, kIdAdd, kIdDelete, kIdReload, kIdUp, kIdDown, kIdSongList, kIdBest})
        EXPECT_FALSE(control(id)->isEnabled()) << id;
    // The job looks alive: its caption and bar are drawn enabled.
    EXPECT_TRUE(bar->isEnabled());
    EXPECT_TRUE(caption->isEnabled());
    ASSERT_TRUE(jobEnded());
    EXPECT_EQ("Download", visibleText(control(kIdDownload)).toStdString());

    EXPECT_TRUE(shown(kFinishedVerified));
    EXPECT_TRUE(dlg->isEnabled());
    EXPECT_TRUE(control(kIdDownload)->isEnabled());
    EXPECT_TRUE(control(kIdUpgradeFirmware)->isEnabled());
    EXPECT_EQ("Progress:", caption->text().toStdString());
    EXPECT_EQ(0, bar->value());

    // One bar for the whole download: it never goes back until the end,
    // climbs while the songs are written and reaches its end, with the
    // window disabled all the while. The read-back that follows has a bar
    // of its own.
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ("Progress:", steps.back().caption);
    EXPECT_EQ(0, steps.back().value);
    int writeSteps = 0, writeHigh = 0, verifyHigh = 0;
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
        const Step& s = steps[i];
        EXPECT_FALSE(s.windowEnabled) << s.caption << " " << s.value;
        EXPECT_TRUE(s.progressEnabled) << s.caption << " " << s.value;
        if (s.caption == "Progress: verifying music data...") {
            verifyHigh = std::max(verifyHigh, s.value);
            continue;
        }
        if (i > 0) {
            EXPECT_GE(s.value, steps[i - 1].value) << "the bar went back at step " << i;
        }
        if (s.caption == "Progress: downloading music data...") {
            ++writeSteps;
            writeHigh = std::max(writeHigh, s.value);
        }
    }
    EXPECT_GT(writeSteps, 1);
    EXPECT_EQ(100, writeHigh);
    EXPECT_EQ(100, verifyHigh);

    // The song image really reached the clock.
    std::vector<uint8_t> bytes(kStorageHeaderBytes);
    ASSERT_EQ(0, zentroSimReadFlash(kStorageHeaderAddress, kStorageHeaderBytes, bytes.data()));
    StorageHeader header;
    ASSERT_TRUE(decodeStorageHeader(bytes.data(), bytes.size(), header));
    EXPECT_TRUE(hasStorageSignature(header));
    EXPECT_EQ(2, header.songCount);
}

// While a Download writes, the caption reads on with the song whose bytes
// go to the clock and its place among the songs, each song in turn, and
// the bar shows its percentage; at the end both are gone.
TEST_F(WindowTest, ADownloadNamesTheSongBeingWrittenAndItsPlace) {
    startWindow();
    fs::create_directories(dir.file("songs"));
    std::vector<std::string> songs;
    for (const char* name : {"Alpha", "Bravo", "Charlie"}) {
        songs.push_back(dir.file("songs") + "/" + name + ".wav");
        velmo::test::writeToneWav(songs.back(), 3);
    }
    dlg->core().dropSongs(songs);
    ASSERT_EQ(0, zentroSimSetDelay(1));
    auto* caption = control<QLabel>(kIdProgressCaption);
    auto* detail = control<QLabel>(kIdProgressDetail);
    auto* bar = control<QProgressBar>(kIdProgressBar);
    std::vector<std::string> seen;
    bool barTextShown = false;
    // Looked at as the bar moves (the song is told first) and in between.
    const auto look = [&] {
        if (caption->text() == "Progress: downloading music data..." && !detail->text().isEmpty()) {
            if (seen.empty() || seen.back() != detail->text().toStdString())
                seen.push_back(detail->text().toStdString());
            EXPECT_LE(QFontMetrics(detail->font()).horizontalAdvance(detail->text()), detail->width());
            // Read as the caption is: not greyed with the controls the job disables.
            EXPECT_TRUE(detail->isEnabled());
            barTextShown =
                barTextShown || (bar->isTextVisible() && bar->text().startsWith(QString("%1%").arg(bar->value())));
        }
    };
    QObject::connect(bar, &QProgressBar::valueChanged, dlg.get(), look);
    click(kIdDownload);
    ASSERT_TRUE(pumpUntil([&] {
        look();
        return !dlg->core().operationRunning() && !dlg->core().workersRunning();
    }));
    EXPECT_TRUE(shown(kFinishedVerified));
    EXPECT_EQ((std::vector<std::string>{"Alpha.wav (1 of 3)", "Bravo.wav (2 of 3)", "Charlie.wav (3 of 3)"}), seen);
    EXPECT_TRUE(barTextShown);
    EXPECT_EQ("Progress:", caption->text().toStdString());
    EXPECT_TRUE(detail->text().isEmpty());
    EXPECT_EQ("0%", bar->text().toStdString());
}

// A long name gives way to the song's place, which is always read whole;
// the bar tells what is written and the time left beside its percentage.
TEST_F(WindowTest, TheProgressDetailFitsAndTheBarTellsTheRest) {
    startWindow();
    auto* detail = control<QLabel>(kIdProgressDetail);
    auto* bar = control<QProgressBar>(kIdProgressBar);
    dlg->setProgressStage(velmo::ProgressStage::Downloading);
    dlg->setProgressBar(42);
    velmo::ProgressDetail d;
    d.song = std::string(200, 'x') + ".wav";
    d.index = 2;
    d.count = 3;
    d.bytesDone = 217088;
    d.bytesTotal = 3040870;
    d.secondsLeft = 12;
    dlg->setProgressDetail(d);
    EXPECT_TRUE(detail->text().endsWith(" (2 of 3)")) << detail->text().toStdString();
    EXPECT_TRUE(detail->text().startsWith("xx")) << detail->text().toStdString();
    EXPECT_LE(QFontMetrics(detail->font()).horizontalAdvance(detail->text()), detail->width());
    EXPECT_EQ(QString::fromStdString(d.song + " (2 of 3)"), detail->toolTip());
    EXPECT_EQ(QString::fromUtf8("42% \u00b7 wrote 212 KiB of 2.9 MiB, 0:12 left"), bar->text());
    // A new stage forgets the last one's detail.
    dlg->setProgressStage(velmo::ProgressStage::Verifying);
    EXPECT_TRUE(detail->text().isEmpty());
    EXPECT_EQ("42%", bar->text().toStdString());
}

TEST_F(WindowTest, ADisabledWindowTakesNoCommand) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture)});
    zentroSimSetDelay(1);
    click(kIdDownload);
    ASSERT_FALSE(control(kIdAdd)->isEnabled());
    click(kIdAdd);
    bool about = false;
    QTimer::singleShot(0, dlg.get(), [&about] {
        if (auto* box = qobject_cast<AboutDialog*>(QApplication::activeModalWidget())) {
            about = true;
            box->accept();
        }
    });
    QTest::keyClick(dlg.get(), Qt::Key_F1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(fileDialogs.empty());
    EXPECT_FALSE(about);
    ASSERT_TRUE(jobEnded());
    EXPECT_TRUE(dlg->isEnabled());
}

TEST_F(WindowTest, ClosingDuringAJobEndsItThroughTheCloseHandler) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture), song("Two.wav", kWavFixture)});
    zentroSimSetDelay(1);
    click(kIdDownload);
    ASSERT_TRUE(dlg->core().operationRunning());
    // The close asks first; Yes stops the job, and the window goes at its end.
    answers.push_back(QMessageBox::Yes);
    EXPECT_FALSE(dlg->close());
    ASSERT_TRUE(pumpUntil([this] { return dlg->isClosed(); }, 20000));
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_FALSE(dlg->core().workersRunning());
    SongTableHeader header;
    std::unique_ptr<Song[]> songs(new Song[kMaxSongs]());
    ASSERT_EQ(0, loadSongTable(start, header, songs.get()));
    EXPECT_EQ(2, header.songCount);
    EXPECT_FALSE(fs::exists(start + "/dat/tmp.bin"));
    // Whatever the workers still posted finds a closed window.
    QTest::qWait(50);
}

TEST_F(WindowTest, WorkerMessagesWaitWhileAHandlersBoxIsOpen) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture), song("Two.wav", kWavFixture)});
    // The write worker fails at its erase; the conversion stops at once and
    // reports its own end, with no message of its own.
    ASSERT_EQ(0, zentroSimSetFault(ZENTRO_FAULT_ERASE_FAIL, ZENTRO_TRIGGER_AT, 1, 0));
    auto* bar = control<QProgressBar>(kIdProgressBar);
    bool inBox = false;
    int changesInBox = 0;
    QObject::connect(bar, &QProgressBar::valueChanged, dlg.get(), [&](int) { changesInBox += inBox ? 1 : 0; });
    size_t boxesDuringFirst = 0;
    bool workersEndedDuringFirst = false;
    dlg->setMessageBoxRunner([&](QMessageBox& box) {
        boxes.push_back({box.text().toStdString(), box.windowTitle().toStdString(), box.icon(), box.standardButtons(),
                         box.isEnabled(), true, dlg->isEnabled(), box.accessibleDescription().toStdString()});
        if (boxes.size() == 1) {
            // The modal loop runs on until every worker has posted its last
            // message; none of them may reach the core before this box closes.
            inBox = true;
            workersEndedDuringFirst = pumpUntil([this] { return !dlg->core().workersRunning(); }, 20000);
            QTest::qWait(50);
            boxesDuringFirst = boxes.size();
            inBox = false;
        }
        return static_cast<int>(QMessageBox::Ok);
    });
    click(kIdDownload);
    ASSERT_TRUE(jobEnded());
    EXPECT_TRUE(workersEndedDuringFirst);
    EXPECT_EQ(1u, boxesDuringFirst);
    EXPECT_EQ(0, changesInBox);
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Storage erase error !", boxes[0].text);
    EXPECT_TRUE(dlg->isEnabled());
    EXPECT_EQ("Progress:", control<QLabel>(kIdProgressCaption)->text().toStdString());
}

TEST_F(WindowTest, ClosingEndsTheModalRun) {
    startWindow();
    QTimer::singleShot(20, dlg.get(), [this] { QTest::keyClick(list(), Qt::Key_Escape); });
    EXPECT_EQ(QDialog::Rejected, dlg->exec());
    EXPECT_TRUE(dlg->isClosed());
    EXPECT_TRUE(fs::exists(start + "/zt_hdr.tbl"));
}

// ---------------------------------------------------------------------------
// Up and Down

TEST_F(WindowTest, UpAndDownCarryTheSelectionWithTheSong) {
    startWindow();
    dlg->core().dropSongs({song("A.mp3", kMp3Fixture), song("B.wav", kWavFixture), song("C.mp3", kMp3Fixture)});
    ASSERT_EQ((QStringList{"A.mp3", "B.wav", "C.mp3"}), lines());

    struct Row {
        int button;
        QStringList lines;
        int selected;
    } rows[] = {
        {kIdDown, {"A.mp3", "C.mp3", "B.wav"}, 2},  // B moves down
        {kIdDown, {"A.mp3", "C.mp3", "B.wav"}, 2},  // the last line stays
        {kIdUp, {"A.mp3", "B.wav", "C.mp3"}, 1},   {kIdUp, {"B.wav", "A.mp3", "C.mp3"}, 0},
        {kIdUp, {"B.wav", "A.mp3", "C.mp3"}, 0},  // the first line stays
    };
    clickLine(1);
    ASSERT_EQ(1, selectedLine());
    int step = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(step++);
        click(row.button);
        EXPECT_EQ(row.lines, lines());
        EXPECT_EQ(row.selected, selectedLine());
        // Line i is still record i.
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(row.lines[i].toStdString(), fs::path(dlg->core().song(i).sourcePath).filename().string());
    }

    // With nothing selected, neither moves anything.
    list()->clearSelection();
    click(kIdUp);
    click(kIdDown);
    EXPECT_EQ((QStringList{"B.wav", "A.mp3", "C.mp3"}), lines());
}

// ---------------------------------------------------------------------------
// Drag and drop

TEST_F(WindowTest, DroppedFilesJoinTheListInDropOrder) {
    startWindow();
    const std::string second = song("Second.wav", kWavFixture);
    const std::string first = song("First.mp3", kMp3Fixture);
    QMimeData mime;
    mime.setUrls(
        {QUrl::fromLocalFile(QString::fromStdString(second)), QUrl::fromLocalFile(QString::fromStdString(first))});
    QWidget* target = list()->viewport();
    const QPoint at = target->rect().center();

    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &move);
    EXPECT_TRUE(move.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
    // The source only lends the files.
    EXPECT_EQ(Qt::CopyAction, drop.dropAction());

    ASSERT_TRUE(pumpUntil([this] { return lines().size() == 2; }, 5000));
    EXPECT_EQ((QStringList{"Second.wav", "First.mp3"}), lines());
    EXPECT_EQ(2, dlg->core().songCount());
    EXPECT_EQ(second, std::string(dlg->core().song(0).sourcePath));
    EXPECT_EQ(first, std::string(dlg->core().song(1).sourcePath));
    EXPECT_TRUE(boxes.empty());
    EXPECT_NE(" Space usage: 0.0%", control<QLabel>(kIdStatusLine)->text().toStdString());
}

TEST_F(WindowTest, ADropWithoutLocalFilesIsRefused) {
    startWindow();
    QMimeData mime;
    mime.setUrls({QUrl("https://example.com/song.mp3")});
    QWidget* target = list()->viewport();
    QDragEnterEvent enter(target->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent drop(QPointF(target->rect().center()), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    QTest::qWait(20);
    EXPECT_TRUE(lines().isEmpty());
    EXPECT_TRUE(boxes.empty());
}

// ---------------------------------------------------------------------------
// Keys, the close request and the About box

TEST_F(WindowTest, EscapeClosesThroughTheCloseHandler) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture)});
    list()->setFocus();
    QTest::keyClick(list(), Qt::Key_Escape);
    EXPECT_TRUE(dlg->isClosed());
    EXPECT_FALSE(dlg->isVisible());
    SongTableHeader header;
    std::unique_ptr<Song[]> songs(new Song[kMaxSongs]());
    ASSERT_EQ(0, loadSongTable(start, header, songs.get()));
    EXPECT_EQ(1, header.songCount);
    EXPECT_STREQ("./dat/One.mp3", songs[0].workPath);
}

TEST_F(WindowTest, EnterPressesNothing) {
    startWindow();
    for (int id : {kIdDownload, kIdAdd, kIdSongList}) {
        SCOPED_TRACE(id);
        control(id)->setFocus();
        QTest::keyClick(control(id), Qt::Key_Return);
        QTest::keyClick(control(id), Qt::Key_Enter);
    }
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(fileDialogs.empty());
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_FALSE(dlg->isClosed());
}

// "Verify after Download" is on by default, and what the user chooses is
// kept for the folder: the next start shows it, and Downloads follow it.
TEST_F(WindowTest, VerifyAfterDownloadIsAnOptionOfTheContextMenu) {
    startWindow();
    QAction* verify = dlg->verifyAction();
    ASSERT_NE(nullptr, verify);
    EXPECT_TRUE(dlg->actions().contains(verify));
    EXPECT_EQ("Verify after Download", verify->text().toStdString());
    EXPECT_TRUE(verify->isCheckable());
    EXPECT_TRUE(verify->isChecked());
    EXPECT_TRUE(dlg->core().verifyAfterDownload());
    verify->trigger();
    EXPECT_FALSE(dlg->core().verifyAfterDownload());
    dlg->close();
    ASSERT_TRUE(dlg->isClosed());
    EXPECT_TRUE(fs::exists(start + "/velmo.conf"));

    startWindow();
    EXPECT_FALSE(dlg->verifyAction()->isChecked());
    EXPECT_FALSE(dlg->core().verifyAfterDownload());
}

// "Verify Every Byte" is off by default and kept for the folder like the others.
TEST_F(WindowTest, VerifyEveryByteIsAnOptionOfTheContextMenu) {
    startWindow();
    QAction* full = dlg->fullVerifyAction();
    ASSERT_NE(nullptr, full);
    EXPECT_TRUE(dlg->actions().contains(full));
    EXPECT_EQ("Verify Every Byte", full->text().toStdString());
    EXPECT_TRUE(full->isCheckable());
    EXPECT_FALSE(full->isChecked());
    EXPECT_FALSE(dlg->core().fullVerify());
    full->trigger();
    EXPECT_TRUE(dlg->core().fullVerify());
    dlg->close();
    ASSERT_TRUE(dlg->isClosed());

    startWindow();
    EXPECT_TRUE(dlg->fullVerifyAction()->isChecked());
    EXPECT_TRUE(dlg->core().fullVerify());
}

// "Names from Tags" is off by default; what the user chooses is kept for the
// folder, and names the songs that join the list from then on.
TEST_F(WindowTest, NamesFromTagsIsAnOptionOfTheContextMenu) {
    startWindow();
    QAction* names = dlg->namesFromTagsAction();
    ASSERT_NE(nullptr, names);
    EXPECT_TRUE(dlg->actions().contains(names));
    EXPECT_EQ("Names from Tags", names->text().toStdString());
    EXPECT_TRUE(names->isCheckable());
    EXPECT_FALSE(names->isChecked());
    EXPECT_FALSE(dlg->core().namesFromTags());
    names->trigger();
    EXPECT_TRUE(dlg->core().namesFromTags());
    dlg->close();
    ASSERT_TRUE(dlg->isClosed());

    startWindow();
    EXPECT_TRUE(dlg->namesFromTagsAction()->isChecked());
    fs::create_directories(dir.file("tagged"));
    const std::string file = dir.file("tagged") + "/01 - track.mp3";
    fs::copy_file(std::string(VELMO_TAG_FIXTURES) + "/id3v24.mp3", file);
    dlg->core().dropSongs({file});
    EXPECT_EQ(QStringList{"Ana - Sunrise Theme.mp3"}, lines());
}

// Each song's tooltip says what it is; it is asked for when shown, so it
// follows the quality.
TEST_F(WindowTest, SongsShowWhatTheyAreInTheirTooltips) {
    startWindow();
    const std::string file = song("One<br>Two.wav", "wav_pcm16_mono.wav");
    dlg->core().dropSongs({file});
    auto* box = qobject_cast<velmo::SongListBox*>(list());
    ASSERT_NE(nullptr, box);
    const QString tip = box->lineToolTip(0);
    EXPECT_TRUE(tip.startsWith(QString::fromStdString("Source file: " + file + "\nFormat: pcm_s16le\nLength: ")))
        << tip.toStdString();
    EXPECT_TRUE(tip.contains("Estimated size at Good quality: ")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("Share of the clock: ")) << tip.toStdString();
    EXPECT_EQ(velmo::present::songToolTip(dlg->core(), 0), tip.toStdString());
    click(kIdBest);
    EXPECT_TRUE(box->lineToolTip(0).contains("Estimated size at Best quality: "));
    EXPECT_TRUE(box->lineToolTip(1).isEmpty());

    // Hovering over the line shows it.
    const QRect r = box->visualItemRect(box->item(0));
    QHelpEvent help(QEvent::ToolTip, r.center(), box->viewport()->mapToGlobal(r.center()));
    QCoreApplication::sendEvent(box->viewport(), &help);
    // As plain text: a file name that looks like markup is shown as it is.
    EXPECT_EQ(Qt::convertFromPlainText(box->lineToolTip(0), Qt::WhiteSpaceNormal), QToolTip::text());
    EXPECT_TRUE(QToolTip::text().contains("One&lt;br&gt;Two.wav")) << QToolTip::text().toStdString();
    QToolTip::hideText();
}

// A Download whose songs' real sizes pass the clock, though their estimates
// did not, says in its end box which song is not on the clock; the list draws
// that song's line as left out and its tooltip says why, and tells every
// song's real size. A Download that fits says what it always said. The grown
// song's working copy was made by the first Download; its estimate comes from
// the file it was added from, which stayed short.
TEST_F(WindowTest, ASongThatDidNotFitIsNamedAndMarkedInTheList) {
    ASSERT_EQ(0, zentroSimSetStorageCode(4));  // 128 KiB: a data area of 106208 bytes
    ASSERT_EQ(0, zentroSimSetDelay(0));
    startWindow();
    click(kIdBest);
    fs::create_directories(dir.file("songs"));
    for (const char* name : {"A.wav", "B.wav", "C.wav"}) velmo::test::writeToneWav(dir.file("songs/") + name, 1);
    dlg->core().dropSongs({dir.file("songs/A.wav"), dir.file("songs/B.wav"), dir.file("songs/C.wav")});
    ASSERT_EQ(3, list()->count());
    auto* box = qobject_cast<velmo::SongListBox*>(list());
    ASSERT_NE(nullptr, box);
    const auto texts = [this] {
        std::vector<std::string> out;
        for (const ShownBox& b : boxes) out.push_back(b.text);
        return out;
    };

    click(kIdDownload);
    ASSERT_TRUE(jobEnded());
    EXPECT_EQ(std::vector<std::string>{kFinishedVerified}, texts()) << "all fit: as it always was, read back";
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(box->lineMarked(i)) << i;
        EXPECT_TRUE(box->lineToolTip(i).contains("Size on the clock: ")) << box->lineToolTip(i).toStdString();
    }

    // About 112000 bytes at Best, where its source estimates 8000.
    velmo::test::writeToneWav(start + "/dat/B.wav", 14);
    boxes.clear();
    click(kIdDownload);
    ASSERT_TRUE(jobEnded());
    // The clock held the first Download: the box also says how much was written.
    ASSERT_EQ(1u, texts().size()) << "named in the end box, once";
    EXPECT_EQ(0u, texts()[0].rfind("Downloading songs finished ! 1 song did not fit on the clock and is not on it: "
                                   "B.wav\nwrote ",
                                   0))
        << texts()[0];
    EXPECT_EQ(velmo::OutcomeKind::Incomplete, dlg->core().lastOutcome().kind);
    EXPECT_FALSE(box->lineMarked(0));
    EXPECT_TRUE(box->lineMarked(1));
    EXPECT_FALSE(box->lineMarked(2));
    const QString tip = box->lineToolTip(1);
    EXPECT_TRUE(tip.contains("\nConverted size: ")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("\nNot on the clock: did not fit on the clock\n")) << tip.toStdString();
    EXPECT_TRUE(box->lineToolTip(2).contains("Size on the clock: ")) << "a later song that fits is on the clock";
}

// The quality buttons forecast how full the clock would be at each quality,
// and follow every change of the list.
TEST_F(WindowTest, QualityButtonsForecastTheSpaceInTheirTooltips) {
    writeTable({1500000});
    startWindow();
    EXPECT_EQ("Best: 147.7 %, does not fit", control<QRadioButton>(kIdBest)->toolTip().toStdString());
    EXPECT_EQ("Good: 73.8 %, fits", control<QRadioButton>(kIdGood)->toolTip().toStdString());
    EXPECT_EQ("Normal: 36.9 %, fits", control<QRadioButton>(kIdNormal)->toolTip().toStdString());
    clickLine(0);
    click(kIdDelete);
    ASSERT_EQ(0, list()->count());
    EXPECT_EQ("Best: 0.0 %, fits", control<QRadioButton>(kIdBest)->toolTip().toStdString());
}

// "Even Volume" is off by default (the songs as they are), and what the user
// chooses is kept for the folder: the next start shows it.
TEST_F(WindowTest, EvenVolumeIsAnOptionOfTheContextMenuKeptAcrossARestart) {
    startWindow();
    QAction* even = dlg->evenVolumeAction();
    ASSERT_NE(nullptr, even);
    EXPECT_TRUE(dlg->actions().contains(even));
    EXPECT_EQ("Even Volume", even->text().toStdString());
    EXPECT_TRUE(even->isCheckable());
    EXPECT_FALSE(even->isChecked());
    EXPECT_FALSE(dlg->core().evenVolume());
    even->trigger();
    EXPECT_TRUE(dlg->core().evenVolume());
    dlg->close();
    ASSERT_TRUE(dlg->isClosed());

    startWindow();
    EXPECT_TRUE(dlg->evenVolumeAction()->isChecked());
    EXPECT_TRUE(dlg->core().evenVolume());
    EXPECT_TRUE(dlg->verifyAction()->isChecked()) << "one option does not touch another";
    dlg->evenVolumeAction()->trigger();
    dlg->close();

    startWindow();
    EXPECT_FALSE(dlg->evenVolumeAction()->isChecked());
    EXPECT_FALSE(dlg->core().evenVolume());
}

TEST_F(WindowTest, AboutBoxOpensOnF1AndFromTheContextMenu) {
    startWindow();
    ASSERT_NE(nullptr, dlg->aboutAction());
    EXPECT_EQ(Qt::ActionsContextMenu, dlg->contextMenuPolicy());
    EXPECT_TRUE(dlg->actions().contains(dlg->aboutAction()));
    EXPECT_EQ("&About Zentro...", dlg->aboutAction()->text().toStdString());

    int opened = 0;
    auto inspect = [this, &opened] {
        auto* about = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
        if (!about) return;
        ++opened;
        EXPECT_EQ("Demo", about->windowTitle().toStdString());
        EXPECT_EQ(dlg.get(), about->parentWidget());
        auto* text = about->findChild<QLabel*>(kAboutTextName);
        auto* picture = about->findChild<QLabel*>(kAboutPictureName);
        auto* ok = about->findChild<QPushButton*>(QString::number(kIdOk));
        ASSERT_TRUE(text && picture && ok);
        EXPECT_EQ("Zentro Version 1.0", text->text().toStdString());
        EXPECT_EQ(QSize(32, 32), picture->pixmap().size());
        EXPECT_EQ("OK", ok->text().toStdString());
        EXPECT_TRUE(ok->isDefault());
        const Units u = unitsOf(about->font());
        EXPECT_EQ(u.rect(0, 0, 235, 55).size(), about->size());
        EXPECT_EQ(u.rect(175, 14, 50, 14), ok->geometry());
        EXPECT_EQ(u.rect(40, 10, 119, 8), text->geometry());
        EXPECT_EQ(u.rect(11, 17, 18, 20).topLeft(), picture->geometry().topLeft());
        ok->click();
    };

    QTimer::singleShot(0, dlg.get(), inspect);
    QTest::keyClick(dlg.get(), Qt::Key_F1);
    QCoreApplication::processEvents();
    EXPECT_EQ(1, opened);

    QTimer::singleShot(0, dlg.get(), inspect);
    dlg->aboutAction()->trigger();
    QCoreApplication::processEvents();
    EXPECT_EQ(2, opened);
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(WindowTest, ThePollFollowsTheClockWithoutAWord) {
    startWindow();
    ASSERT_EQ(2, dlg->core().connectState());
    zentroSimSetPlugged(0);
    ASSERT_TRUE(pumpUntil([this] { return dlg->core().connectState() == 1; }, 5000));
    zentroSimSetPlugged(1);
    ASSERT_TRUE(pumpUntil([this] { return dlg->core().connectState() == 2; }, 5000));
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ("Zentro", dlg->windowTitle().toStdString());
    EXPECT_TRUE(dlg->isEnabled());
}

// ---------------------------------------------------------------------------
// The command line and the start folder

TEST(StartOptions, ParseTheWindowsArguments) {
    using Action = StartOptions::Action;
    struct Row {
        std::vector<std::string> args;
        bool qtTakesRest;
        Action action;
        bool fromMenu;
        const char* unknown;
    } rows[] = {
        {{}, false, Action::Run, false, ""},
        {{"--from-menu"}, false, Action::Run, true, ""},
        {{"--version"}, false, Action::Version, false, ""},
        {{"--from-menu", "--help"}, false, Action::Help, true, ""},
        {{"-h"}, false, Action::Help, false, ""},
        {{"--menu"}, false, Action::Usage, false, "--menu"},
        {{"a.flac", "--from-menu", "b.mp3"}, false, Action::Run, true, ""},
        // Before Qt has taken its own arguments, anything else may be Qt's.
        {{"-platform", "offscreen", "--version"}, true, Action::Version, false, ""},
        {{"-style", "fusion", "--from-menu"}, true, Action::Run, true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        const StartOptions o = parseStartOptions(row.args, row.qtTakesRest);
        EXPECT_EQ(row.action, o.action);
        EXPECT_EQ(row.fromMenu, o.fromMenu);
        EXPECT_EQ(row.unknown, o.unknown);
    }
    // The files a file manager passes, in order; before Qt has taken its
    // own arguments none are counted (a value of -platform is no file).
    EXPECT_EQ((std::vector<std::string>{"a.flac", "b.mp3"}), parseStartOptions({"a.flac", "b.mp3"}, false).files);
    EXPECT_TRUE(parseStartOptions({"-platform", "offscreen", "a.flac"}, true).files.empty());
    EXPECT_NE(std::string::npos, startUsage().find("--from-menu"));
}

TEST(StartOptions, FromTheMenuTheStartFolderIsTheUsersDataFolder) {
    TempDir dir;
    const QByteArray savedXdg = qgetenv("XDG_DATA_HOME");
    const bool hadXdg = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.file("data")));

    std::string folder, error;
    StartOptions terminal;
    ASSERT_TRUE(chooseStartFolder(terminal, "/some/current", folder, error));
    EXPECT_EQ("/some/current", folder);
    EXPECT_FALSE(fs::exists(dir.file("data")));

    StartOptions menu;
    menu.fromMenu = true;
    ASSERT_TRUE(chooseStartFolder(menu, "/some/current", folder, error)) << error;
    EXPECT_EQ(dir.file("data") + "/velmo", folder);
    EXPECT_TRUE(fs::is_directory(folder));
    // Made once, used again.
    ASSERT_TRUE(chooseStartFolder(menu, "/some/current", folder, error)) << error;

    // A file in the way: the start is refused with a reason.
    writeFileBytes(dir.file("blocked"), {1});
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.file("blocked")));
    EXPECT_FALSE(chooseStartFolder(menu, "/some/current", folder, error));
    EXPECT_FALSE(error.empty());

    if (hadXdg)
        qputenv("XDG_DATA_HOME", savedXdg);
    else
        qunsetenv("XDG_DATA_HOME");
}

}  // namespace

// ---------------------------------------------------------------------------
// Stopping and closing during a job

namespace {

// A clock whose storage holds one song of `bytes` bytes behind its header.
void fillClock(uint32_t bytes, uint16_t quality = 8) {
    StorageHeader h;
    h.songCount = 1;
    std::memcpy(h.signature, kSignature, sizeof kSignature);
    h.quality = quality;
    h.entries[0].dataSize = bytes;
    std::memcpy(h.entries[0].songName, "Big", 4);
    std::vector<uint8_t> header(kStorageHeaderBytes);
    encodeStorageHeader(h, header.data());
    ASSERT_EQ(0, zentroSimWriteFlash(kStorageHeaderAddress, kStorageHeaderBytes, header.data()));
    // One song as the clock is given it: a chain of MP3 frames (MPEG-1
    // layer III, 128 kbit/s, 44100 Hz: 417 bytes each), the last one cut.
    std::vector<uint8_t> data(bytes, 0x55);
    const uint8_t frame[4] = {0xFF, 0xFB, 0x90, 0x44};
    for (uint32_t at = 0; at < bytes; at += 417) std::memcpy(data.data() + at, frame, std::min<size_t>(4, bytes - at));
    ASSERT_EQ(0, zentroSimWriteFlash(kDataAreaAddress, bytes, data.data()));
}

}  // namespace

TEST_F(WindowTest, StopEndsADownloadAndGivesTheButtonBack) {
    startWindow();
    fs::create_directories(dir.file("songs"));
    velmo::test::writeToneWav(dir.file("songs") + "/Long.wav", 60);
    dlg->core().dropSongs({dir.file("songs") + "/Long.wav", song("One.mp3", kMp3Fixture)});
    dlg->core().setQuality(velmo::kQualityBest);
    ASSERT_EQ(0, zentroSimSetDelay(1));
    click(kIdDownload);
    ASSERT_TRUE(pumpUntil([this] {
        return control<QLabel>(kIdProgressCaption)->text() == "Progress: downloading music data..." &&
               control<QProgressBar>(kIdProgressBar)->value() > 1;
    }));
    click(kIdDownload);  // it reads Stop now
    ASSERT_TRUE(jobEnded());
    EXPECT_TRUE(shown("Download stopped: the clock now holds no songs."));
    for (const ShownBox& b : boxes) EXPECT_EQ(std::string::npos, b.text.find("Stop it?")) << "Stop asks nothing";
    EXPECT_FALSE(shownStarting("Downloading songs finished !"));
    EXPECT_EQ("Download", visibleText(control(kIdDownload)).toStdString());
    EXPECT_TRUE(control(kIdAdd)->isEnabled());
    EXPECT_EQ(2, list()->count());
    std::vector<uint8_t> bytes(kStorageHeaderBytes);
    ASSERT_EQ(0, zentroSimReadFlash(kStorageHeaderAddress, kStorageHeaderBytes, bytes.data()));
    StorageHeader header;
    EXPECT_FALSE(decodeStorageHeader(bytes.data(), bytes.size(), header) && hasStorageSignature(header));
}

// Closing the window in the middle of a long transfer stops it within a block:
// the window goes at once, and the list is saved as it was.
TEST_F(WindowTest, ClosingDuringATransferReturnsAtOnce) {
    struct Row {
        const char* name;
        const char* caption;  // the stage during which the window is closed
    } rows[] = {
        {"a 4 MiB reload", "Progress:Reloading music data..."},
        {"a download's write", "Progress: downloading music data..."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(0, zentroSimReset());
        ASSERT_EQ(0, zentroSimSetStorageCode(7));  // 4096 KiB
        fs::remove(start + "/zt_hdr.tbl");
        const bool reload = std::string(row.name) == "a 4 MiB reload";
        if (reload) fillClock(4u * 1024 * 1024 - kDataAreaAddress);
        startWindow();
        fs::create_directories(dir.file("songs"));
        velmo::test::writeToneWav(dir.file("songs") + "/Long.wav", 60);
        dlg->core().dropSongs({dir.file("songs") + "/Long.wav"});
        dlg->core().setQuality(velmo::kQualityBest);
        ASSERT_EQ(0, zentroSimSetDelay(1));
        click(reload ? kIdReload : kIdDownload);
        ASSERT_TRUE(pumpUntil([&] {
            return control<QLabel>(kIdProgressCaption)->text() == row.caption &&
                   control<QProgressBar>(kIdProgressBar)->value() > 1;
        }));
        QElapsedTimer timer;
        timer.start();
        // Asked first; on Yes the transfer stops within a block and the
        // window goes once the stop has been reported.
        answers.push_back(QMessageBox::Yes);
        EXPECT_FALSE(dlg->close());
        ASSERT_TRUE(pumpUntil([this] { return dlg->isClosed(); }, 5000));
        EXPECT_LT(timer.elapsed(), 500);
        EXPECT_TRUE(shown(reload ? "Reload stopped: the song list was not changed." : "Download stopped: the clock now holds no songs."));
        EXPECT_FALSE(dlg->core().workersRunning());
        SongTableHeader table;
        std::unique_ptr<Song[]> songs(new Song[kMaxSongs]());
        ASSERT_EQ(0, loadSongTable(start, table, songs.get()));
        EXPECT_EQ(1, table.songCount);
        EXPECT_STREQ("./dat/Long.wav", songs[0].workPath);
        dlg.reset();
        boxes.clear();
    }
}

// A firmware write is never cut short: the close waits, says why, and the
// window goes once the firmware has been verified.
TEST_F(WindowTest, ClosingDuringAFirmwareWriteWaitsForIt) {
    startWindow();
    std::vector<uint8_t> code(4000);
    for (size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(i % 251);
    std::memcpy(code.data() + 100, "(8G$", 4);
    const std::string file = dir.file("fw.bin");
    writeFileBytes(file, code);
    fileChoices.push_back({QString::fromStdString(file)});
    ASSERT_EQ(0, zentroSimSetDelay(1));
    click(kIdUpgradeFirmware);
    ASSERT_TRUE(dlg->core().operationRunning());
    EXPECT_FALSE(dlg->close()) << "the close waits for the firmware";
    EXPECT_FALSE(dlg->isClosed());
    EXPECT_EQ("Writing firmware: the clock must not be unplugged", control<QLabel>(kIdProgressCaption)->text().toStdString());
    ASSERT_TRUE(pumpUntil([this] { return dlg->isClosed(); }, 20000));
    EXPECT_TRUE(shown("Writing code O.K !"));
    EXPECT_FALSE(dlg->isVisible());
}

// ---------------------------------------------------------------------------
// What a new user meets

// After a Reload the buttons show the quality of the songs it brought back,
// which the next Download uses.
TEST_F(WindowTest, ReloadShowsTheQualityOfTheClocksSongs) {
    struct Row {
        uint16_t clock, list;
        bool best, good, normal;
    } rows[] = {{8, 4, true, false, false}, {4, 2, false, true, false}, {2, 8, false, false, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.clock);
        ASSERT_EQ(0, zentroSimReset());
        fillClock(4000, row.clock);
        writeTable({1000}, row.list);
        startWindow();
        click(kIdReload);  // its question is answered OK
        ASSERT_TRUE(jobEnded());
        ASSERT_TRUE(shown("Reloading songs finished !"));
        EXPECT_EQ(row.clock, dlg->core().quality());
        EXPECT_EQ(row.best, control<QRadioButton>(kIdBest)->isChecked());
        EXPECT_EQ(row.good, control<QRadioButton>(kIdGood)->isChecked());
        EXPECT_EQ(row.normal, control<QRadioButton>(kIdNormal)->isChecked());
        dlg->close();
        dlg.reset();
        boxes.clear();
    }
}

// Escape by habit during a Download asks first: No lets it finish, Yes stops
// it with the stop's own message and then closes the window.
TEST_F(WindowTest, EscapeDuringADownloadAsksFirst) {
    const std::string question = "A download is under way. Stop it?\nThe clock will then hold no songs.";
    for (const bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        ASSERT_EQ(0, zentroSimReset());
        fs::remove(start + "/zt_hdr.tbl");
        startWindow();
        fs::create_directories(dir.file("songs"));
        velmo::test::writeToneWav(dir.file("songs") + "/Long.wav", yes ? 60 : 4);
        dlg->core().dropSongs({dir.file("songs") + "/Long.wav", song("One.mp3", kMp3Fixture)});
        dlg->core().setQuality(velmo::kQualityBest);
        ASSERT_EQ(0, zentroSimSetDelay(1));
        click(kIdDownload);
        // The erase has begun once the songs are being written.
        ASSERT_TRUE(pumpUntil([this] {
            return control<QLabel>(kIdProgressCaption)->text() == "Progress: downloading music data..." ||
                   !dlg->core().operationRunning();
        }));
        ASSERT_TRUE(dlg->core().operationRunning()) << "the download ended before Escape";
        answers.push_back(yes ? QMessageBox::Yes : QMessageBox::No);
        QTest::keyClick(dlg.get(), Qt::Key_Escape);
        ASSERT_FALSE(boxes.empty());
        EXPECT_EQ(question, boxes.front().text);
        EXPECT_EQ(QMessageBox::Yes | QMessageBox::No, boxes.front().buttons);
        EXPECT_TRUE(boxes.front().ownedByWindow);
        EXPECT_FALSE(dlg->isClosed());
        if (yes) {
            ASSERT_TRUE(pumpUntil([this] { return dlg->isClosed(); }, 20000));
            EXPECT_TRUE(shown("Download stopped: the clock now holds no songs."));
            EXPECT_FALSE(shownStarting("Downloading songs finished !"));
            EXPECT_FALSE(dlg->isVisible());
            std::vector<uint8_t> bytes(kStorageHeaderBytes);
            ASSERT_EQ(0, zentroSimReadFlash(kStorageHeaderAddress, kStorageHeaderBytes, bytes.data()));
            StorageHeader header;
            EXPECT_FALSE(decodeStorageHeader(bytes.data(), bytes.size(), header) && hasStorageSignature(header));
        } else {
            EXPECT_TRUE(dlg->core().operationRunning());
            ASSERT_TRUE(jobEnded());
            EXPECT_TRUE(shown(kFinishedVerified));
            EXPECT_FALSE(dlg->isClosed());
            EXPECT_TRUE(dlg->isVisible());
            EXPECT_EQ(1u + 1u, boxes.size());  // the question and the end's message
        }
        ASSERT_EQ(0, zentroSimSetDelay(0));
        dlg.reset();
        boxes.clear();
    }
}

// Made twice as large, the window gives the list the room; the rest keeps its
// distance to the edge it sits against, and the size is there at the next start.
TEST_F(WindowTest, AResizedWindowGrowsTheListAndIsRemembered) {
    startWindow();
    const QSize small = dlg->size();
    std::map<int, QRect> before;
    for (int id : {kIdSongList, kIdAdd, kIdDownload, kIdUp, kIdDown, kIdUpgradeFirmware, kIdProgressBar, kIdBest,
                   kIdStatusLine, kIdPicture})
        before[id] = control(id)->geometry();
    dlg->resize(small * 2);
    QCoreApplication::processEvents();
    ASSERT_EQ(small * 2, dlg->size());
    const int dx = small.width(), dy = small.height();
    EXPECT_EQ(before[kIdSongList].adjusted(0, 0, dx, dy), control(kIdSongList)->geometry());
    EXPECT_EQ(before[kIdAdd].translated(0, dy), control(kIdAdd)->geometry());
    EXPECT_EQ(before[kIdDownload].translated(dx, dy), control(kIdDownload)->geometry());
    EXPECT_EQ(before[kIdUp].translated(dx, 0), control(kIdUp)->geometry());
    EXPECT_EQ(before[kIdDown].translated(dx, dy), control(kIdDown)->geometry());
    EXPECT_EQ(before[kIdUpgradeFirmware].translated(dx, dy), control(kIdUpgradeFirmware)->geometry());
    EXPECT_EQ(before[kIdProgressBar].translated(0, dy).adjusted(0, 0, dx, 0), control(kIdProgressBar)->geometry());
    EXPECT_EQ(before[kIdBest].translated(dx, 0), control(kIdBest)->geometry());
    EXPECT_EQ(before[kIdPicture], control(kIdPicture)->geometry());
    EXPECT_EQ(dlg->height(), control(kIdStatusLine)->geometry().bottom() + 1);
    EXPECT_EQ(dlg->width(), control(kIdStatusLine)->width());
    for (QWidget* w : dlg->findChildren<QWidget*>()) {
        if (w->parentWidget() == dlg.get() && w->isVisible()) {
            EXPECT_TRUE(dlg->rect().contains(w->geometry())) << w->objectName().toStdString();
        }
    }

    // A size the screen holds is there at the next start.
    const QSize larger = small + QSize(40, 60);
    ASSERT_TRUE(dlg->screen()->availableGeometry().size().expandedTo(larger) ==
                dlg->screen()->availableGeometry().size());
    dlg->resize(larger);
    QCoreApplication::processEvents();
    dlg->close();
    dlg.reset();
    startWindow();
    EXPECT_EQ(larger, dlg->size());
    EXPECT_EQ(small, dlg->minimumSize());
    EXPECT_EQ(before[kIdSongList].adjusted(0, 0, 40, 60), control(kIdSongList)->geometry());
}

// Whatever the window is resized to, by a pixel or by much, the list takes
// all that is added, the controls right of it and below it keep their
// distance to those edges, the rest stay; back at the template's size every
// control is where it began.
TEST_F(WindowTest, TheListTakesTheRoomAtEverySizeAndGivesItBack) {
    startWindow();
    const QSize small = dlg->size();
    std::map<int, QRect> before;
    for (int id : {kIdSongList, kIdAdd, kIdDelete, kIdReload, kIdDownload, kIdUp, kIdDown, kIdUpgradeFirmware,
                   kIdProgressBar, kIdProgressCaption, kIdBest, kIdGood, kIdNormal, kIdStatusLine, kIdPicture})
        before[id] = control(id)->geometry();
    const QRect frame = dlg->findChild<QGroupBox*>()->geometry();
    for (const QSize grown : {QSize(1, 0), QSize(0, 1), QSize(137, 59), QSize(3, 250), QSize(0, 0)}) {
        SCOPED_TRACE(testing::Message() << grown.width() << " x " << grown.height());
        dlg->resize(small + grown);
        QCoreApplication::processEvents();
        ASSERT_EQ(small + grown, dlg->size());
        const int dx = grown.width(), dy = grown.height();
        EXPECT_EQ(before[kIdSongList].adjusted(0, 0, dx, dy), control(kIdSongList)->geometry());
        for (int id : {kIdAdd, kIdDelete, kIdReload, kIdProgressCaption})
            EXPECT_EQ(before[id].translated(0, dy), control(id)->geometry()) << id;
        for (int id : {kIdDownload, kIdDown, kIdUpgradeFirmware})
            EXPECT_EQ(before[id].translated(dx, dy), control(id)->geometry()) << id;
        for (int id : {kIdUp, kIdBest, kIdGood, kIdNormal})
            EXPECT_EQ(before[id].translated(dx, 0), control(id)->geometry()) << id;
        EXPECT_EQ(frame.translated(dx, 0), dlg->findChild<QGroupBox*>()->geometry());
        EXPECT_EQ(before[kIdPicture], control(kIdPicture)->geometry());
        EXPECT_EQ(before[kIdProgressBar].translated(0, dy).adjusted(0, 0, dx, 0), control(kIdProgressBar)->geometry());
        EXPECT_EQ(before[kIdStatusLine].translated(0, dy).adjusted(0, 0, dx, 0), control(kIdStatusLine)->geometry());
    }
}

TEST_F(WindowTest, AStoredSizeIsNeverBelowTheTemplates) {
    std::ofstream(start + "/velmo.conf") << "window.width=10\nwindow.height=10\n";
    startWindow();
    EXPECT_EQ(dlg->minimumSize(), dlg->size());
    dlg->close();
    dlg.reset();
    TempDir other;
    start = other.file("fresh");
    fs::create_directories(start);
    fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
    startWindow();
    dlg->close();
    // An unchanged size writes no file where there was none.
    EXPECT_FALSE(fs::exists(start + "/velmo.conf"));
    dlg.reset();
}

// `velmo a.flac b.mp3` (and a file manager's "Open with") lists both, as Add would.
TEST_F(WindowTest, FilesOnTheCommandLineJoinTheList) {
    const std::string flac = song("a.flac", "flac16_96000_stereo.flac");
    const std::string mp3 = song("b.mp3", kMp3Fixture);
    const StartOptions options = parseStartOptions({flac, mp3}, false);
    ASSERT_EQ(StartOptions::Action::Run, options.action);
    startWindow();
    dlg->addFiles(options.files);
    EXPECT_EQ((QStringList{"a.flac", "b.mp3"}), lines());
    EXPECT_TRUE(boxes.empty());
}

// A folder, from the Add Folder entry or dropped, adds its songs in name order.
TEST_F(WindowTest, AddFolderAndDropTakeFolders) {
    const std::string album = dir.file("album");
    velmo::test::copyFixture(kMp3Fixture, album + "/2 Disc", "x.mp3");
    velmo::test::copyFixture(kWavFixture, album, "1.wav");
    velmo::test::copyFixture(kMp3Fixture, album, "3.mp3");
    writeFileBytes(album + "/cover.txt", {'h', 'i'});
    startWindow();

    ASSERT_TRUE(dlg->actions().contains(dlg->addFolderAction()));
    EXPECT_EQ(MainWindow::kAddFolderText, dlg->addFolderAction()->text().toStdString());
    dlg->setFileDialogRunner([&](QFileDialog& d) -> std::optional<QStringList> {
        fileDialogs.push_back({d.nameFilters(), d.fileMode()});
        EXPECT_TRUE(d.testOption(QFileDialog::ShowDirsOnly));
        EXPECT_EQ(MainWindow::kAddFolderCaption, d.windowTitle().toStdString());
        return QStringList{QString::fromStdString(album)};
    });
    dlg->addFolderAction()->trigger();
    ASSERT_EQ(1u, fileDialogs.size());
    EXPECT_EQ(QFileDialog::Directory, fileDialogs[0].mode);
    EXPECT_EQ((QStringList{"1.wav", "x.mp3", "3.mp3"}), lines());
    EXPECT_TRUE(boxes.empty());

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(album + "/2 Disc"))});
    QWidget* target = list()->viewport();
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &move);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    ASSERT_TRUE(pumpUntil([this] { return lines().size() == 4; }, 5000));
    EXPECT_EQ(album + "/2 Disc/x.mp3", std::string(dlg->core().song(3).sourcePath));
}

// Songs made in no particular order come in the order of their names (the
// names' bytes), whatever order the folder lists them in; a cancelled folder
// dialog adds nothing, and the entry is off while a job runs.
TEST_F(WindowTest, AddFolderAddsTheSongsInNameOrder) {
    const std::string folder = dir.file("mixed");
    const char* const created[] = {"b.mp3", "10.wav", "a.mp3", "C.mp3", "2.mp3"};
    for (const char* name : created)
        velmo::test::copyFixture(fs::path(name).extension() == ".wav" ? kWavFixture : kMp3Fixture, folder, name);
    startWindow();

    fileChoices.push_back({});
    dlg->addFolderAction()->trigger();
    ASSERT_EQ(1u, fileDialogs.size());
    EXPECT_EQ(QFileDialog::Directory, fileDialogs[0].mode);
    EXPECT_TRUE(lines().isEmpty());

    fileChoices.push_back({QString::fromStdString(folder)});
    dlg->addFolderAction()->trigger();
    ASSERT_EQ(2u, fileDialogs.size());
    const QStringList expected{"10.wav", "2.mp3", "C.mp3", "a.mp3", "b.mp3"};
    EXPECT_EQ(expected, lines());
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_EQ(folder + "/" + expected[i].toStdString(),
                  std::string(dlg->core().song(static_cast<size_t>(i)).sourcePath));
    EXPECT_TRUE(boxes.empty());

    dlg->enableControls(false);
    EXPECT_FALSE(dlg->addFolderAction()->isEnabled());
    dlg->addFolderAction()->trigger();
    EXPECT_EQ(2u, fileDialogs.size());
    dlg->enableControls(true);
    EXPECT_TRUE(dlg->addFolderAction()->isEnabled());
}

// The operations of the core's table without a control of their own are in
// the context menu, asked and run as the buttons are, and off during a job.
TEST_F(WindowTest, EraseTheClockIsInTheContextMenuFromTheCoresTable) {
    startWindow();
    QAction* erase = nullptr;
    for (QAction* a : dlg->actions())
        if (a->text() == QStringLiteral("&Erase the Clock...")) erase = a;
    ASSERT_NE(nullptr, erase);

    answers.push_back(QMessageBox::Cancel);
    erase->trigger();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Erase every song from the clock ?", boxes[0].text);
    EXPECT_EQ(velmo::OutcomeKind::Refused, dlg->core().lastOutcome().kind);
    EXPECT_EQ(velmo::Operation::Erase, dlg->core().lastOutcome().operation);

    dlg->enableControls(false);
    EXPECT_FALSE(erase->isEnabled());
    dlg->enableControls(true);
    EXPECT_TRUE(erase->isEnabled());
}

// ---------------------------------------------------------------------------
// Honest ends and named causes

// Escape during the write, answered Yes only once the write has written its
// last block (its end waits while the question is open): the clock holds
// the new songs, unverified, and the end says so, never a plain finish.
TEST_F(WindowTest, AStopAfterTheLastBlockSaysTheSongsAreUnverified) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture)});
    dlg->core().setQuality(velmo::kQualityNormal);
    ASSERT_EQ(0, zentroSimSetDelay(1));
    dlg->setMessageBoxRunner([this](QMessageBox& box) {
        const bool stopQuestion = box.text().contains(QStringLiteral("Stop it?"));
        // The workers run on while the question is open; their ends wait.
        while (stopQuestion && dlg->core().workersRunning()) QThread::msleep(5);
        boxes.push_back({box.text().toStdString(), box.windowTitle().toStdString(), box.icon(), box.standardButtons(),
                         box.isEnabled(), box.parentWidget() == dlg.get(), dlg->isEnabled(), {}});
        return static_cast<int>(stopQuestion ? QMessageBox::Yes : QMessageBox::Ok);
    });
    click(kIdDownload);
    ASSERT_TRUE(pumpUntil([this] {
        return control<QLabel>(kIdProgressCaption)->text() == "Progress: downloading music data..." ||
               !dlg->core().operationRunning();
    }));
    ASSERT_TRUE(dlg->core().operationRunning()) << "the download ended before Escape";
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    ASSERT_TRUE(pumpUntil([this] { return dlg->isClosed(); }, 20000));
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ("Download stopped: the clock holds the new songs, but they were not verified.", boxes[1].text);
    EXPECT_FALSE(shownStarting("Downloading songs finished !"));
    // The write had ended: the clock names the song.
    std::vector<uint8_t> bytes(kStorageHeaderBytes);
    ASSERT_EQ(0, zentroSimReadFlash(kStorageHeaderAddress, kStorageHeaderBytes, bytes.data()));
    StorageHeader header;
    EXPECT_TRUE(decodeStorageHeader(bytes.data(), bytes.size(), header) && hasStorageSignature(header));
    EXPECT_EQ(1, header.songCount);
}

// A Download read back says so after the defined sentence; the Download
// button reads Download again while the end's box is shown.
TEST_F(WindowTest, TheEndOfAVerifiedDownloadSaysSo) {
    startWindow();
    dlg->core().dropSongs({song("One.mp3", kMp3Fixture)});
    std::vector<std::string> buttonDuringBox;
    dlg->setMessageBoxRunner([this, &buttonDuringBox](QMessageBox& box) {
        boxes.push_back({box.text().toStdString(), box.windowTitle().toStdString(), box.icon(), box.standardButtons(),
                         box.isEnabled(), box.parentWidget() == dlg.get(), dlg->isEnabled(), {}});
        buttonDuringBox.push_back(visibleText(control(kIdDownload)).toStdString());
        return static_cast<int>(QMessageBox::Ok);
    });
    click(kIdDownload);
    ASSERT_TRUE(jobEnded());
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(kFinishedVerified, boxes[0].text);
    EXPECT_EQ("Information", boxes[0].caption);
    EXPECT_EQ(std::vector<std::string>{"Download"}, buttonDuringBox);
}

// A start folder without a readable agent program: the defined text, then
// the file and where it was looked for; the window closes.
TEST_F(WindowTest, AMissingAgentProgramIsNamedWithWhereItWasLookedFor) {
    struct Row {
        const char* name;
        bool folder;  // spn.bin is a folder, not missing
        std::string cause;
    } rows[] = {
        {"missing", false, "/spn.bin (the clock's agent program) is missing"},
        {"a folder", true, "/spn.bin cannot be read: Is a directory"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(0, zentroSimReset());
        fs::remove_all(start + "/spn.bin");
        if (row.folder) fs::create_directories(start + "/spn.bin");
        boxes.clear();
        startWindow();
        EXPECT_TRUE(dlg->isClosed());
        ASSERT_EQ(1u, boxes.size());
        const std::string& text = boxes[0].text;
        EXPECT_EQ(0u, text.rfind("Please plug-out & plug-in USB again !\n", 0)) << text;
        EXPECT_NE(std::string::npos, text.find(start + row.cause)) << text;
        EXPECT_EQ("Error", boxes[0].caption);
        dlg.reset();
    }
}

// An Add that leaves files out: the defined boxes, then one box with how many
// joined and why the others did not, which lists several refused files
// rather than a box each.
TEST_F(WindowTest, AnAddThatLeftFilesOutSaysHowManyJoinedAndWhy) {
    struct Row {
        const char* name;
        int good;
        int missing;
        std::vector<std::string> boxes;  // each box's first line
        std::string summary;             // the summary's lines after its first
    } rows[] = {
        {"40 songs", 40, 0,
         {"Song counts are over than limit", "32 of 40 files joined the list."},
         "8 files were left out: a list takes at most 32 songs."},
        {"three missing files", 1, 3,
         {"1 of 4 files joined the list."},
         "3 files were refused:"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(start + "/zt_hdr.tbl");
        boxes.clear();
        startWindow();
        QStringList chosen;
        for (int i = 0; i < row.good; ++i)
            chosen << QString::fromStdString(song(std::string(row.name) + std::to_string(i) + ".mp3", kMp3Fixture));
        for (int i = 0; i < row.missing; ++i)
            chosen << QString::fromStdString(dir.file("songs") + "/gone" + std::to_string(i) + ".mp3");
        fileChoices.push_back(chosen);
        click(kIdAdd);
        std::vector<std::string> firstLines;
        for (const ShownBox& b : boxes) firstLines.push_back(b.text.substr(0, b.text.find('\n')));
        EXPECT_EQ(row.boxes, firstLines);
        ASSERT_FALSE(boxes.empty());
        const ShownBox& last = boxes.back();
        EXPECT_EQ("Information", last.caption);
        const size_t firstLineEnd = last.text.find('\n');
        ASSERT_NE(std::string::npos, firstLineEnd) << last.text;
        EXPECT_EQ(0u, last.text.substr(firstLineEnd + 1).rfind(row.summary, 0)) << last.text;
        // Several refused files share one box, the closing one, with their reasons.
        for (int i = 0; i < row.missing; ++i) {
            const std::string named = "/gone" + std::to_string(i) + ".mp3: No such file or directory";
            int naming = 0;
            for (const ShownBox& b : boxes) naming += b.text.find(named) != std::string::npos ? 1 : 0;
            EXPECT_EQ(1, naming) << named;
            EXPECT_NE(std::string::npos, last.text.find(named)) << last.text;
        }
        dlg->close();
        dlg.reset();
    }
}
