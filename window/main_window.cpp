#include "main_window.h"

// The window's construction: its controls, their layout and captions, its
// context menu, and its size.
#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "bitmapbutton.h"
#include "bitmappicture.h"
#include "main_window_internal.h"
#include "resources.h"
#include "settings.h"
#include "songlistbox.h"
#include "template_layout.h"
#include "translation.h"
#include "presenter.h"
#include "velmo_core.h"

using velmo::N_;
using namespace velmo::window;

namespace {

// Template 102: 324 x 209 dialog units in "Times New Roman" at 11 points.
constexpr int kTemplateWidth = 324;
constexpr int kTemplateHeight = 209;
constexpr int kTemplatePointSize = 11;
// Room for the window manager's title bar, which is not known before the
// window is shown: desktops draw it about 30 pixels high.
constexpr int kTitleBarAllowance = 32;

}  // namespace

MainWindow::MainWindow(QWidget* parent, const QString& startDir)
    : QDialog(parent), units_(velmo::templateFont(kTemplateFamily, 11)) {
    // A dialog with a title bar, its menu, and minimise and maximise boxes:
    // the template's size is the smallest, the list takes what is added.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(velmo::templateFont(kTemplateFamily, fittingPointSize()));
    units_ = velmo::DialogUnits(font());
    setMinimumSize(templateSize());
    resize(templateSize());
    // A grip would sit on the status line; the window's edges resize it.
    setSizeGripEnabled(false);
    // The minimised window and the task bar show the program icon.
    setWindowIcon(velmo::programIcon());
    createControls();
    layoutControls();
    connectControls();
    fitCaptions();

    // A folder cannot be chosen in Add's dialog of files: it has an entry of its own.
    addFolderAction_ = new QAction(translated(kAddFolderText), this);
    connect(addFolderAction_, &QAction::triggered, this, &MainWindow::onAddFolder);
    addAction(addFolderAction_);
    // The core's table names the operations that need no more than their
    // questions: each gets an entry here, asked and run as the buttons are.
    for (const auto& [kind, command] : velmo::VelmoCore::simpleOperations()) {
        (void)command;
        auto* action = new QAction(fromCore(velmo::present::menuText(kind)), this);
        connect(action, &QAction::triggered, this,
                [this, op = kind] { enterCore([this, op] { answer(core_->begin(op)); }); });
        addAction(action);
        operationActions_.push_back(action);
    }
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    aboutAction_ = new QAction(translated(N_("&About Zentro...")), this);
    aboutAction_->setShortcut(QKeySequence(Qt::Key_F1));
    aboutAction_->setShortcutContext(Qt::WindowShortcut);
    connect(aboutAction_, &QAction::triggered, this, &MainWindow::showAboutBox);
    addAction(aboutAction_);
    // Checked from the folder's settings once the core has read them.
    verifyAction_ = new QAction(translated(N_("Verify after Download")), this);
    verifyAction_->setCheckable(true);
    verifyAction_->setChecked(true);
    connect(verifyAction_, &QAction::toggled, this, [this](bool on) {
        if (!core_->isClosed() && core_->verifyAfterDownload() != on) core_->setVerifyAfterDownload(on);
    });
    addAction(verifyAction_);
    // A Download writes only the sectors that changed; this reads back the rest too.
    fullVerifyAction_ = new QAction(translated(N_("Verify Every Byte")), this);
    fullVerifyAction_->setCheckable(true);
    connect(fullVerifyAction_, &QAction::toggled, this, [this](bool on) {
        if (!core_->isClosed() && core_->fullVerify() != on) core_->setFullVerify(on);
    });
    addAction(fullVerifyAction_);
    namesAction_ = new QAction(translated(velmo::kNamesFromTagsText), this);
    namesAction_->setCheckable(true);
    connect(namesAction_, &QAction::toggled, this, [this](bool on) {
        if (!core_->isClosed() && core_->namesFromTags() != on) core_->setNamesFromTags(on);
    });
    addAction(namesAction_);
    evenVolumeAction_ = new QAction(translated(N_("Even Volume")), this);
    evenVolumeAction_->setCheckable(true);
    connect(evenVolumeAction_, &QAction::toggled, this, [this](bool on) {
        if (!core_->isClosed() && core_->evenVolume() != on) core_->setEvenVolume(on);
    });
    addAction(evenVolumeAction_);
    readTwiceAction_ = new QAction(translated(velmo::kReloadReadTwiceText), this);
    readTwiceAction_->setCheckable(true);
    readTwiceAction_->setChecked(true);
    connect(readTwiceAction_, &QAction::toggled, this, [this](bool on) {
        if (!core_->isClosed() && core_->reloadReadTwice() != on) core_->setReloadReadTwice(on);
    });
    addAction(readTwiceAction_);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    timer_.setTimerType(Qt::CoarseTimer);
    connect(&timer_, &QTimer::timeout, this, &MainWindow::onTimerTick);

    const QString dir = startDir.isEmpty() ? QDir::currentPath() : QDir(startDir).absolutePath();
    // Runs on worker threads: postEvent only queues the notification.
    queue_.setWakeUp([this] { QCoreApplication::postEvent(this, new WorkerEvent); });
    core_ = std::make_unique<velmo::VelmoCore>(*this, queue_, QFile::encodeName(dir).toStdString());
    // The program file's name, as the caption of the conversion's failure.
    const QString name = QCoreApplication::applicationName();
    if (!name.isEmpty()) core_->setApplicationName(name.toStdString());
}

MainWindow::~MainWindow() {
    // The workers post to this object until they are joined.
    core_.reset();
    QCoreApplication::removePostedEvents(this, WorkerEvent::eventType());
    // The list empties its model as it goes, after this window has stopped
    // being a MainWindow: its signals must no longer reach it.
    if (list_ != nullptr) {
        QObject::disconnect(list_, nullptr, this, nullptr);
        QObject::disconnect(list_->model(), nullptr, this, nullptr);
    }
}

QSize MainWindow::templateSize() const {
    return QSize(units_.toPixelsX(kTemplateWidth), units_.toPixelsY(kTemplateHeight));
}

bool MainWindow::captionFits(const QWidget* w, const QFont& font) const {
    const QFontMetrics m(font);
    int room = w->width();
    QStringList texts;
    if (const auto* r = qobject_cast<const QRadioButton*>(w)) {
        texts << r->text();
        room -= style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, r) +
                style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, r);
    } else if (const auto* b = qobject_cast<const QPushButton*>(w)) {
        texts << b->text();
        // The Download button reads Stop while a job runs.
        if (b == download_) texts << translated(N_("&Stop"));
        room -= 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, b);
    } else if (const auto* l = qobject_cast<const QLabel*>(w)) {
        texts << l->text();
    } else if (const auto* p = qobject_cast<const BitmapPicture*>(w)) {
        texts << p->text();
    } else if (const auto* g = qobject_cast<const QGroupBox*>(w)) {
        // The title sits between the frame's corners.
        texts << g->title();
        room -= 2 * m.averageCharWidth();
    }
    for (const QString& text : texts)
        if (m.horizontalAdvance(shownText(text)) > room) return false;
    return true;
}

void MainWindow::fitCaptions() {
    const QList<QWidget*> captions = {download_, add_,  delete_, reload_,          upgrade_,     picture_,
                                      good_,     best_, normal_, progressCaption_, qualityGroup_};
    captionFont_ = font();
    for (int points = font().pointSize(); points > kSmallestPointSize; --points) {
        captionFont_ = velmo::templateFont(kTemplateFamily, points);
        if (std::all_of(captions.begin(), captions.end(),
                        [this](const QWidget* w) { return captionFits(w, captionFont_); }))
            break;
    }
    if (captionFont_.pointSize() == font().pointSize()) return;
    for (QWidget* w : captions) w->setFont(captionFont_);
}

int MainWindow::fittingPointSize() const {
    // The template's size follows its font. A large scale factor (or a small
    // screen) would push the window, and the status line at its bottom, off
    // the screen: the font steps down until the window and its title bar fit.
    const QScreen* screen = this->screen();
    if (screen == nullptr) return kTemplatePointSize;
    const QSize room = screen->availableGeometry().size();
    const int titleBar = std::max(kTitleBarAllowance, style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this));
    for (int points = kTemplatePointSize; points > kSmallestPointSize; --points) {
        const velmo::DialogUnits units(velmo::templateFont(kTemplateFamily, points));
        if (units.toPixelsX(kTemplateWidth) <= room.width() &&
            units.toPixelsY(kTemplateHeight) + titleBar <= room.height())
            return points;
    }
    return kSmallestPointSize;
}

void MainWindow::createControls() {
    auto named = [](QWidget* w, int id) { w->setObjectName(QString::number(id)); };
    auto pushButton = [this, &named](const char* text, int id) {
        auto* b = new QPushButton(translated(text), this);
        named(b, id);
        // Enter never presses a button of this window.
        b->setAutoDefault(false);
        b->setDefault(false);
        b->setFocusPolicy(Qt::StrongFocus);
        return b;
    };
    auto radio = [this, &named](const char* text, int id) {
        auto* r = new QRadioButton(translated(text), this);
        named(r, id);
        // Not a tab stop: reached by the mouse (and the arrow keys once focused).
        r->setFocusPolicy(Qt::ClickFocus);
        return r;
    };

    // In the template's order, which is also the order they are drawn in.
    // Each caption carries a mnemonic (Alt and the underlined letter) on a
    // letter it already has; the radio buttons are no tab stops, so their
    // mnemonics are the keyboard's way to the quality.
    download_ = pushButton(N_("&Download"), velmo::kIdDownload);
    add_ = pushButton(N_("&Add"), velmo::kIdAdd);
    delete_ = pushButton(N_("D&elete"), velmo::kIdDelete);
    reload_ = pushButton(N_("&Reload"), velmo::kIdReload);

    down_ = new BitmapButton(QStringLiteral("BUTTON_DOWN"), this);
    named(down_, velmo::kIdDown);
    up_ = new BitmapButton(QStringLiteral("BUTTON_UP"), this);
    named(up_, velmo::kIdUp);
    // The arrows are pictures: a screen reader and the tooltip say what they do.
    for (auto [button, text] :
         {std::pair{up_, N_("Move the selected song up")}, std::pair{down_, N_("Move the selected song down")}}) {
        button->setAccessibleName(translated(text));
        button->setToolTip(translated(text));
    }

    upgrade_ = pushButton(N_("&Upgrade Firmware"), velmo::kIdUpgradeFirmware);

    list_ = new velmo::SongListBox(this);
    named(list_, velmo::kIdSongList);
    list_->setToolTipSource([this](int line) {
        return core_ && line < core_->songCount() ? fromCore(velmo::present::songToolTip(*core_, static_cast<size_t>(line))) : QString();
    });
    // The songs the last Download left off the clock.
    list_->setLineMarkSource([this](int line) {
        return core_ && line < core_->songCount() && !velmo::present::songLeftOffText(*core_, static_cast<size_t>(line)).empty();
    });
    list_->setAccessibleName(translated(N_("Songs")));
    list_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    picture_ = new BitmapPicture(translated(N_("Music Song:")), this);
    named(picture_, velmo::kIdPicture);
    picture_->setCenterImage(true);

    progress_ = new QProgressBar(this);
    named(progress_, velmo::kIdProgressBar);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(true);
    progress_->setFormat(QStringLiteral("%p%"));
    progress_->setAccessibleName(translated(N_("Progress")));

    progressCaption_ = new QLabel(fromCore(velmo::present::caption(velmo::ProgressStage::Idle)), this);
    named(progressCaption_, velmo::kIdProgressCaption);
    progressCaption_->setTextFormat(Qt::PlainText);
    progressCaption_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    progressDetail_ = new QLabel(this);
    named(progressDetail_, velmo::kIdProgressDetail);
    progressDetail_->setTextFormat(Qt::PlainText);
    progressDetail_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    good_ = radio(N_("&Good"), velmo::kIdGood);
    best_ = radio(N_("&Best"), velmo::kIdBest);

    qualityGroup_ = new QGroupBox(translated(N_("Music quality")), this);
    qualityGroup_->setObjectName(QStringLiteral("qualityGroup"));
    qualityGroup_->setAccessibleName(shownText(qualityGroup_->title()));
    qualityGroup_->setAlignment(Qt::AlignHCenter);
    // A frame drawn around its neighbours, never over them or in their way.
    qualityGroup_->lower();
    qualityGroup_->setAttribute(Qt::WA_TransparentForMouseEvents);

    status_ = new QLabel(QStringLiteral("Static"), this);
    named(status_, velmo::kIdStatusLine);
    status_->setTextFormat(Qt::PlainText);
    status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    status_->setLineWidth(1);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    normal_ = radio(N_("&Normal"), velmo::kIdNormal);

    // Tab goes the way the eye reads the window: the list, the arrows beside
    // it from the top, the row of buttons below it from the left, then
    // Upgrade Firmware at the bottom (the template's order jumped about).
    QWidget::setTabOrder(list_, up_);
    QWidget::setTabOrder(up_, down_);
    QWidget::setTabOrder(down_, add_);
    QWidget::setTabOrder(add_, delete_);
    QWidget::setTabOrder(delete_, reload_);
    QWidget::setTabOrder(reload_, download_);
    QWidget::setTabOrder(download_, upgrade_);
}

void MainWindow::layoutControls() {
    // Five bands from the top, each at the template's rectangles (dialog
    // units). Grown, the list takes the room both ways; what lies right of
    // it or below it keeps its distance to that edge, the rest stays put.
    const velmo::DialogUnits& du = units_;
    auto* bands = new QVBoxLayout(this);
    bands->setContentsMargins(0, 0, 0, 0);
    bands->setSpacing(0);

    // The list's caption, and the quality buttons in their frame at the right.
    velmo::TemplateBand top(du, 0, 39, kTemplateWidth);
    top.add(picture_, 17, 28, 43, 10);
    top.add(qualityGroup_, 183, 12, 105, 24);
    top.add(best_, 186, 22, 26, 10);
    top.add(good_, 218, 23, 27, 8);
    top.add(normal_, 251, 22, 35, 10);
    top.growAt(120);
    bands->addLayout(top.build(), 0);

    // The list, with the arrows at its right: up near its top, down near its bottom.
    velmo::TemplateBand songs(du, 39, 130, kTemplateWidth);
    songs.add(list_, 20, 39, 268, 89);
    songs.add(up_, 293, 45, 12, 12);
    songs.add(down_, 293, 103, 12, 12);
    songs.growAt(150, 80);
    bands->addLayout(songs.build(), 1);

    // Add, Delete and Reload at the left, Download at the right.
    velmo::TemplateBand buttons(du, 130, 155, kTemplateWidth);
    buttons.add(add_, 19, 131, 48, 17);
    buttons.add(delete_, 92, 131, 48, 17);
    buttons.add(reload_, 170, 131, 48, 17);
    buttons.add(download_, 240, 131, 48, 17);
    buttons.growAt(229);
    bands->addLayout(buttons.build(), 0);

    // The progress, its bar as wide as the room allows; Upgrade Firmware at the right.
    velmo::TemplateBand progress(du, 155, 197, kTemplateWidth);
    progress.add(progressCaption_, 20, 158, 112, 9);
    // The song at work reads on from the caption, as far as the bar reaches.
    progress.add(progressDetail_, 134, 158, 83, 9);
    progress.add(progress_, 20, 167, 197, 17);
    progress.add(upgrade_, 231, 165, 75, 18);
    progress.growAt(175);
    bands->addLayout(progress.build(), 0);

    // The status line across the bottom.
    velmo::TemplateBand bottom(du, 197, kTemplateHeight, kTemplateWidth);
    bottom.add(status_, 0, 197, 324, 12);
    bottom.growAt(0);
    bands->addLayout(bottom.build(), 0);

    // The captions are fitted to their controls' widths, which the layout gives.
    bands->activate();
}

void MainWindow::start() {
    enterCore([this] { core_->start(); });
    // The settings are read by the start-up.
    if (!core_->isClosed()) {
        verifyAction_->setChecked(core_->verifyAfterDownload());
        fullVerifyAction_->setChecked(core_->fullVerify());
        namesAction_->setChecked(core_->namesFromTags());
        // The songs of the table are described as the probe learns them.
        core_->learnSongFacts();
        evenVolumeAction_->setChecked(core_->evenVolume());
        readTwiceAction_->setChecked(core_->reloadReadTwice());
        const velmo::Settings& settings = core_->settings();
        const long width = settings.number("window.width", 0, 0, QWIDGETSIZE_MAX);
        const long height = settings.number("window.height", 0, 0, QWIDGETSIZE_MAX);
        if (width > 0 && height > 0) loadedSize_ = QSize(static_cast<int>(width), static_cast<int>(height));
        resize(rememberedSize());
    }
    // The bitmap buttons' faces: normal, pressed, focused, greyed.
    up_->loadBitmaps(velmo::kBitmapUp, velmo::kBitmapUpSelected, velmo::kBitmapUp, velmo::kBitmapUpDisabled);
    down_->loadBitmaps(velmo::kBitmapDown, velmo::kBitmapDownSelected, velmo::kBitmapDown, velmo::kBitmapDownDisabled);
}

bool MainWindow::isClosed() const { return core_->isClosed(); }

QSize MainWindow::rememberedSize() const {
    if (!loadedSize_.isValid()) return templateSize();
    QSize size = loadedSize_.expandedTo(templateSize());
    // A size kept on a larger screen is cut to this one.
    if (const QScreen* s = screen()) size = size.boundedTo(s->availableGeometry().size()).expandedTo(templateSize());
    return size;
}

void MainWindow::rememberSize() {
    // A maximised window is remembered at the size it comes back to.
    const QSize now = isMaximized() || isFullScreen() ? normalGeometry().size() : size();
    if (!now.isValid() || now == (loadedSize_.isValid() ? loadedSize_ : templateSize())) return;
    velmo::Settings& settings = core_->settings();
    settings.set("window.width", std::to_string(now.width()));
    settings.set("window.height", std::to_string(now.height()));
}
