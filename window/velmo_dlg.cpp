#include "velmo_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "about_dlg.h"
#include "admission.h"
#include "bitmapbutton.h"
#include "bitmappicture.h"
#include "filedialogst.h"
#include "resources.h"
#include "settings.h"
#include "songlistbox.h"
#include "translation.h"
#include "velmo_core.h"

using velmo::N_;

namespace {

// Tells the user-interface thread that a worker has queued an event.
class WorkerEvent : public QEvent {
  public:
    WorkerEvent() : QEvent(eventType()) {}

    static QEvent::Type eventType() {
        static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
};

QString fromCore(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

QString idName(int id) { return QString::number(id); }

// The caption as it is drawn: a mnemonic's "&" is not shown ("&&" shows one "&").
QString shownText(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

// A text of the window's own, in the user's language.
QString translated(const char* english) { return QString::fromUtf8(velmo::tr_(english)); }

// Template 102: 324 x 209 dialog units in "Times New Roman" at 11 points.
constexpr int kTemplateWidth = 324;
constexpr int kTemplateHeight = 209;
constexpr int kTemplatePointSize = 11;
// Below this the captions are no longer legible; a smaller screen crops.
constexpr int kSmallestPointSize = 6;
// Room for the window manager's title bar, which is not known before the
// window is shown: desktops draw it about 30 pixels high.
constexpr int kTitleBarAllowance = 32;

}  // namespace

CVelmoDlg::CVelmoDlg(QWidget* parent, const QString& startDir)
    : QDialog(parent), units_(velmo::templateFont(QStringLiteral("Times New Roman"), 11)) {
    // A dialog with a title bar, its menu, and minimise and maximise boxes:
    // the template's size is the smallest, the list takes what is added.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(velmo::templateFont(QStringLiteral("Times New Roman"), fittingPointSize()));
    units_ = velmo::DialogUnits(font());
    setMinimumSize(templateSize());
    resize(templateSize());
    // A grip would sit on the status line; the window's edges resize it.
    setSizeGripEnabled(false);
    // The minimised window and the task bar show the program icon.
    setWindowIcon(velmo::programIcon());
    createControls();
    fitCaptions();

    aboutAction_ = new QAction(translated(N_("&About Zentro...")), this);
    aboutAction_->setShortcut(QKeySequence(Qt::Key_F1));
    aboutAction_->setShortcutContext(Qt::WindowShortcut);
    connect(aboutAction_, &QAction::triggered, this, &CVelmoDlg::showAboutBox);
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
    connect(&timer_, &QTimer::timeout, this, &CVelmoDlg::onTimerTick);

    const QString dir = startDir.isEmpty() ? QDir::currentPath() : QDir(startDir).absolutePath();
    // Runs on worker threads: postEvent only queues the notification.
    queue_.setWakeUp([this] { QCoreApplication::postEvent(this, new WorkerEvent); });
    core_ = std::make_unique<velmo::VelmoCore>(*this, queue_, QFile::encodeName(dir).toStdString());
    // The program file's name, as the caption of the conversion's failure.
    const QString name = QCoreApplication::applicationName();
    if (!name.isEmpty()) core_->setApplicationName(name.toStdString());
}

CVelmoDlg::~CVelmoDlg() {
    // The workers post to this object until they are joined.
    core_.reset();
    QCoreApplication::removePostedEvents(this, WorkerEvent::eventType());
}

QSize CVelmoDlg::templateSize() const {
    return QSize(units_.toPixelsX(kTemplateWidth), units_.toPixelsY(kTemplateHeight));
}

bool CVelmoDlg::captionFits(const QWidget* w, const QFont& font) const {
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
    } else if (const auto* p = qobject_cast<const CBitmapPicture*>(w)) {
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

void CVelmoDlg::fitCaptions() {
    const QList<QWidget*> captions = {download_,
                                      add_,
                                      delete_,
                                      reload_,
                                      upgrade_,
                                      picture_,
                                      good_,
                                      best_,
                                      normal_,
                                      progressCaption_,
                                      findChild<QGroupBox*>()};
    captionFont_ = font();
    for (int points = font().pointSize(); points > kSmallestPointSize; --points) {
        captionFont_ = velmo::templateFont(QStringLiteral("Times New Roman"), points);
        if (std::all_of(captions.begin(), captions.end(),
                        [this](const QWidget* w) { return captionFits(w, captionFont_); }))
            break;
    }
    if (captionFont_.pointSize() == font().pointSize()) return;
    for (QWidget* w : captions) w->setFont(captionFont_);
}

int CVelmoDlg::fittingPointSize() const {
    // The template's size follows its font. A large scale factor (or a small
    // screen) would push the window, and the status line at its bottom, off
    // the screen: the font steps down until the window and its title bar fit.
    const QScreen* screen = this->screen();
    if (screen == nullptr) return kTemplatePointSize;
    const QSize room = screen->availableGeometry().size();
    const int titleBar = std::max(kTitleBarAllowance, style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this));
    for (int points = kTemplatePointSize; points > kSmallestPointSize; --points) {
        const velmo::DialogUnits units(velmo::templateFont(QStringLiteral("Times New Roman"), points));
        if (units.toPixelsX(kTemplateWidth) <= room.width() &&
            units.toPixelsY(kTemplateHeight) + titleBar <= room.height())
            return points;
    }
    return kSmallestPointSize;
}

void CVelmoDlg::createControls() {
    const velmo::DialogUnits& du = units_;
    auto place = [&du](QWidget* w, int id, int x, int y, int cx, int cy) {
        if (id != 0) w->setObjectName(idName(id));
        w->setGeometry(du.toPixels(x, y, cx, cy));
    };
    auto pushButton = [this, &place](const char* text, int id, int x, int y, int cx, int cy) {
        auto* b = new QPushButton(translated(text), this);
        place(b, id, x, y, cx, cy);
        // Enter never presses a button of this window.
        b->setAutoDefault(false);
        b->setDefault(false);
        b->setFocusPolicy(Qt::StrongFocus);
        return b;
    };
    auto radio = [this, &place](const char* text, int id, int x, int y, int cx, int cy) {
        auto* r = new QRadioButton(translated(text), this);
        place(r, id, x, y, cx, cy);
        // Not a tab stop: reached by the mouse (and the arrow keys once focused).
        r->setFocusPolicy(Qt::ClickFocus);
        return r;
    };

    // In the template's order. Each caption carries a mnemonic (Alt and the
    // underlined letter) on a letter it already has; the radio buttons are no
    // tab stops, so their mnemonics are the keyboard's way to the quality.
    download_ = pushButton(N_("&Download"), velmo::kIdDownload, 240, 131, 48, 17);
    add_ = pushButton(N_("&Add"), velmo::kIdAdd, 19, 131, 48, 17);
    delete_ = pushButton(N_("D&elete"), velmo::kIdDelete, 92, 131, 48, 17);
    reload_ = pushButton(N_("&Reload"), velmo::kIdReload, 170, 131, 48, 17);

    down_ = new CBitmapButton(QStringLiteral("BUTTON_DOWN"), this);
    place(down_, velmo::kIdDown, 293, 103, 12, 12);
    up_ = new CBitmapButton(QStringLiteral("BUTTON_UP"), this);
    place(up_, velmo::kIdUp, 293, 45, 12, 12);
    // The arrows are pictures: a screen reader and the tooltip say what they do.
    for (auto [button, text] :
         {std::pair{up_, N_("Move the selected song up")}, std::pair{down_, N_("Move the selected song down")}}) {
        button->setAccessibleName(translated(text));
        button->setToolTip(translated(text));
    }

    upgrade_ = pushButton(N_("&Upgrade Firmware"), velmo::kIdUpgradeFirmware, 231, 165, 75, 18);

    list_ = new velmo::SongListBox(this);
    list_->setToolTipSource([this](int line) {
        return core_ && line < core_->songCount() ? fromCore(core_->songToolTip(static_cast<size_t>(line))) : QString();
    });
    // The songs the last Download left off the clock.
    list_->setLineMarkSource([this](int line) {
        return core_ && line < core_->songCount() && !core_->songLeftOffText(static_cast<size_t>(line)).empty();
    });
    place(list_, velmo::kIdSongList, 20, 39, 268, 89);
    list_->setAccessibleName(translated(N_("Songs")));
    list_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    picture_ = new CBitmapPicture(translated(N_("Music Song:")), this);
    picture_->setCenterImage(true);
    place(picture_, velmo::kIdPicture, 17, 28, 43, 10);

    progress_ = new QProgressBar(this);
    place(progress_, velmo::kIdProgressBar, 20, 167, 197, 17);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    progress_->setAccessibleName(translated(N_("Progress")));

    progressCaption_ = new QLabel(translated(velmo::kProgressIdle), this);
    place(progressCaption_, velmo::kIdProgressCaption, 20, 158, 112, 9);
    progressCaption_->setTextFormat(Qt::PlainText);
    progressCaption_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    good_ = radio(N_("&Good"), velmo::kIdGood, 218, 23, 27, 8);
    best_ = radio(N_("&Best"), velmo::kIdBest, 186, 22, 26, 10);

    auto* group = new QGroupBox(translated(N_("Music quality")), this);
    group->setObjectName(QStringLiteral("qualityGroup"));
    group->setAccessibleName(shownText(group->title()));
    place(group, 0, 183, 12, 105, 24);
    group->setAlignment(Qt::AlignHCenter);
    // A frame drawn around its neighbours, never over them or in their way.
    group->lower();
    group->setAttribute(Qt::WA_TransparentForMouseEvents);

    status_ = new QLabel(QStringLiteral("Static"), this);
    place(status_, velmo::kIdStatusLine, 0, 197, 324, 12);
    status_->setTextFormat(Qt::PlainText);
    status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    status_->setLineWidth(1);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    normal_ = radio(N_("&Normal"), velmo::kIdNormal, 251, 22, 35, 10);

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

    // Resized, the list grows; everything beside or below it keeps its
    // distance to the right or bottom edge, the rest stays where it is.
    const std::pair<QWidget*, unsigned> anchors[] = {
        {download_, kMoveX | kMoveY},
        {add_, kMoveY},
        {delete_, kMoveY},
        {reload_, kMoveY},
        {down_, kMoveX | kMoveY},
        {up_, kMoveX},
        {upgrade_, kMoveX | kMoveY},
        {list_, kGrowX | kGrowY},
        {picture_, 0},
        {progress_, kMoveY | kGrowX},
        {progressCaption_, kMoveY},
        {good_, kMoveX},
        {best_, kMoveX},
        {group, kMoveX},
        {status_, kMoveY | kGrowX},
        {normal_, kMoveX},
    };
    for (const auto& [widget, how] : anchors) placed_.push_back({widget, widget->geometry(), how});

    // The Delete key in the list does what the Delete button does.
    auto* deleteKey = new QShortcut(QKeySequence(Qt::Key_Delete), list_);
    deleteKey->setContext(Qt::WidgetWithChildrenShortcut);
    connect(deleteKey, &QShortcut::activated, delete_, &QPushButton::click);

    connect(download_, &QPushButton::clicked, this, [this] {
        // During a Download or Reload the button reads "Stop".
        enterCore([this] { stopAvailable_ ? static_cast<void>(core_->onStop()) : core_->onDownload(); });
    });
    connect(add_, &QPushButton::clicked, this, &CVelmoDlg::onAdd);
    connect(delete_, &QPushButton::clicked, this,
            [this] { enterCore([this] { core_->onDelete(list_->selectedLine()); }); });
    connect(reload_, &QPushButton::clicked, this, [this] { enterCore([this] { core_->onReload(); }); });
    connect(down_, &QAbstractButton::clicked, this,
            [this] { enterCore([this] { core_->onDown(list_->selectedLine()); }); });
    connect(up_, &QAbstractButton::clicked, this,
            [this] { enterCore([this] { core_->onUp(list_->selectedLine()); }); });
    connect(upgrade_, &QPushButton::clicked, this, [this] { enterCore([this] { core_->onUpgradeFirmware(); }); });
    connect(good_, &QRadioButton::clicked, this, [this] { enterCore([this] { core_->onGood(); }); });
    connect(best_, &QRadioButton::clicked, this, [this] { enterCore([this] { core_->onBest(); }); });
    connect(normal_, &QRadioButton::clicked, this, [this] { enterCore([this] { core_->onNormal(); }); });
    // Handled once the drop itself has finished, as a posted notification:
    // the drag source is never kept waiting behind a message box.
    connect(
        list_, &velmo::SongListBox::filesDropped, this,
        [this](const QStringList& paths) {
            std::vector<std::string> dropped;
            dropped.reserve(static_cast<size_t>(paths.size()));
            for (const QString& p : paths) dropped.push_back(QFile::encodeName(p).toStdString());
            // A dropped folder stands for its songs, judged as if dropped one by one.
            std::vector<std::string> notes;
            const std::vector<std::string> files = velmo::songFilesOf(dropped, &notes);
            enterCore([this, &files] { core_->onDropFiles(files); });
            showWalkNotes(notes);
        },
        Qt::QueuedConnection);
}

void CVelmoDlg::initDialog() {
    enterCore([this] { core_->onInitDialog(); });
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
    up_->LoadBitmaps(velmo::kBitmapUp, velmo::kBitmapUpSelected, velmo::kBitmapUp, velmo::kBitmapUpDisabled);
    down_->LoadBitmaps(velmo::kBitmapDown, velmo::kBitmapDownSelected, velmo::kBitmapDown, velmo::kBitmapDownDisabled);
}

bool CVelmoDlg::isClosed() const { return core_->isClosed(); }

template <class F>
void CVelmoDlg::enterCore(F&& handler) {
    ++coreDepth_;
    handler();
    --coreDepth_;
    if (coreDepth_ != 0) return;
    deliverPending();
    if (closePending_) {
        closePending_ = false;
        close();
    }
}

void CVelmoDlg::deliverPending() {
    if (delivering_) return;
    delivering_ = true;
    while (!pending_.empty() && coreDepth_ == 0) {
        const velmo::PostedEvent m = std::move(pending_.front());
        pending_.pop_front();
        ++coreDepth_;
        core_->onEvent(m);
        --coreDepth_;
    }
    delivering_ = false;
}

bool CVelmoDlg::event(QEvent* event) {
    if (event->type() == WorkerEvent::eventType()) {
        // Events are taken in the order the workers posted them.
        velmo::PostedEvent m;
        while (queue_.take(m, std::chrono::milliseconds(0))) pending_.push_back(std::move(m));
        if (coreDepth_ == 0) deliverPending();
        return true;
    }
    return QDialog::event(event);
}

void CVelmoDlg::onTimerTick() {
    // A tick that comes while a handler waits in a modal loop is left out;
    // the next one is 300 ms away.
    if (coreDepth_ != 0) return;
    enterCore([this] { core_->onTimer(); });
}

void CVelmoDlg::onAdd() {
    CFileDialogST dialog(true, "", velmo::OFN_ALLOWMULTISELECT | velmo::OFN_HIDEREADONLY | velmo::OFN_OVERWRITEPROMPT,
                         {{velmo::tr_("Music files"), velmo::songFilePatterns()}}, this);
    dialog.SetFolderChoice(velmo::tr_(kFolderChoice));
    if (dialog.RunDialog() != CFileDialogST::IDOK) return;
    std::vector<std::string> paths;
    for (velmo::PathPosition pos = dialog.FirstPathPosition(); pos;) paths.push_back(dialog.NextSelectedPath(pos));
    addFiles(paths);
}

void CVelmoDlg::addFiles(const std::vector<std::string>& paths) {
    if (core_->isClosed()) return;
    // A folder stands for its songs: the core then judges them, limits and
    // messages included, exactly as the same files chosen one by one.
    std::vector<std::string> notes;
    const std::vector<std::string> files = velmo::songFilesOf(paths, &notes);
    enterCore([this, &files] { core_->onAdd(files); });
    showWalkNotes(notes);
}

void CVelmoDlg::showWalkNotes(const std::vector<std::string>& notes) {
    // A folder walked only in part says so: songs left out are not silent.
    for (const std::string& text : notes)
        messageBox(text, velmo::kCaptionWarning, velmo::MessageIcon::Warning, velmo::MessageButtons::Ok);
}

QSize CVelmoDlg::rememberedSize() const {
    if (!loadedSize_.isValid()) return templateSize();
    QSize size = loadedSize_.expandedTo(templateSize());
    // A size kept on a larger screen is cut to this one.
    if (const QScreen* s = screen()) size = size.boundedTo(s->availableGeometry().size()).expandedTo(templateSize());
    return size;
}

void CVelmoDlg::rememberSize() {
    // A maximised window is remembered at the size it comes back to.
    const QSize now = isMaximized() || isFullScreen() ? normalGeometry().size() : size();
    if (!now.isValid() || now == (loadedSize_.isValid() ? loadedSize_ : templateSize())) return;
    velmo::Settings& settings = core_->settings();
    settings.set("window.width", std::to_string(now.width()));
    settings.set("window.height", std::to_string(now.height()));
}

void CVelmoDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int dx = std::max(0, width() - templateSize().width());
    const int dy = std::max(0, height() - templateSize().height());
    for (const Placed& p : placed_) {
        QRect r = p.atTemplateSize;
        if (p.anchors & kMoveX) r.translate(dx, 0);
        if (p.anchors & kMoveY) r.translate(0, dy);
        if (p.anchors & kGrowX) r.setWidth(r.width() + dx);
        if (p.anchors & kGrowY) r.setHeight(r.height() + dy);
        p.widget->setGeometry(r);
    }
}

bool CVelmoDlg::askToStop(const std::string& question) {
    QMessageBox box(QMessageBox::Question, windowTitle(), fromCore(question), QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setAccessibleDescription(box.text());
    // Escape pressed once more, by the same habit, keeps the job running.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.setEnabled(true);
    const int answer = messageBoxRunner_ ? messageBoxRunner_(box) : box.exec();
    return answer == QMessageBox::Yes;
}

void CVelmoDlg::closeEvent(QCloseEvent* event) {
    if (coreDepth_ != 0) {
        // Closed from inside a handler's modal loop: the handler finishes first.
        closePending_ = true;
        event->ignore();
        return;
    }
    if (closeAfterStop_) {
        // Already stopping on the user's word: the window goes at its end.
        event->ignore();
        return;
    }
    // A Download or Reload is not dropped on a stray Escape or close: the
    // user is asked first, and a stopped one ends with its own message,
    // which says what the clock holds, before the window goes.
    const std::string question = core_->isClosed() ? std::string() : core_->stopQuestion();
    if (!question.empty()) {
        event->ignore();
        enterCore([this, &question] {
            if (!askToStop(question)) return;
            closeAfterStop_ = true;
            core_->onStop();
        });
        return;
    }
    // A firmware write is never cut short: the core closes the window once
    // the firmware has been verified.
    if (!core_->isClosed() && !core_->onCloseRequest()) {
        event->ignore();
        return;
    }
    // The close handler stops and joins any worker (each ends within one
    // block or chunk), saves the list and removes the working files; only
    // then does the window go.
    if (!core_->isClosed()) {
        rememberSize();
        enterCore([this] { core_->onClose(); });
    }
    timer_.stop();
    setResult(QDialog::Rejected);
    event->accept();
}

void CVelmoDlg::reject() { close(); }

void CVelmoDlg::accept() { close(); }

void CVelmoDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    // F1 normally arrives as the About entry's shortcut; this catches it
    // where no shortcut is dispatched.
    if (event->key() == Qt::Key_F1 && event->modifiers() == Qt::NoModifier) {
        event->accept();
        showAboutBox();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CVelmoDlg::showAboutBox() {
    if (!isEnabled() || core_->isClosed() || core_->operationRunning()) return;
    CAboutDlg about(this);
    about.exec();
}

// ---------------------------------------------------------------------------
// velmo::View

void CVelmoDlg::setProgressCaption(const std::string& text) {
    progressCaption_->setText(fromCore(text));
    // A long caption (a translation's) steps its own font down to be read whole.
    QFont font = captionFont_;
    while (!captionFits(progressCaption_, font) && font.pointSize() > kSmallestPointSize)
        font = velmo::templateFont(QStringLiteral("Times New Roman"), font.pointSize() - 1);
    progressCaption_->setFont(font);
    // The bar tells a screen reader what it follows.
    progress_->setAccessibleDescription(progressCaption_->text());
}

void CVelmoDlg::setProgressBar(int percent) { progress_->setValue(qBound(0, percent, 100)); }

void CVelmoDlg::setStatusLine(const std::string& text) {
    status_->setText(fromCore(text));
    if (!core_) return;
    // The status line follows every change of the list, the quality and the
    // clock's size: so do the quality buttons' forecasts.
    best_->setToolTip(fromCore(core_->qualityToolTip(velmo::kQualityBest)));
    good_->setToolTip(fromCore(core_->qualityToolTip(velmo::kQualityGood)));
    normal_->setToolTip(fromCore(core_->qualityToolTip(velmo::kQualityNormal)));
}

void CVelmoDlg::appendLine(const std::string& text) { list_->addItem(QFile::decodeName(text.c_str())); }

void CVelmoDlg::insertLine(int index, const std::string& text) {
    list_->insertItem(index, QFile::decodeName(text.c_str()));
}

void CVelmoDlg::removeLine(int index) { delete list_->takeItem(index); }

void CVelmoDlg::resetLines() { list_->clear(); }

void CVelmoDlg::selectLine(int index) { list_->selectLine(index); }

void CVelmoDlg::setHorizontalExtent(int pixels) { list_->setHorizontalExtent(pixels); }

void CVelmoDlg::enableControls(bool enable) {
    if (!enable) {
        // The controls go one by one: a disabled window would grey the
        // progress caption and bar too, and a running job would look dead.
        setEnabled(true);
        for (QWidget* w : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (w == progress_ || w == progressCaption_ || !w->isEnabled()) continue;
            if (w == download_ && stopAvailable_) continue;
            w->setEnabled(false);
            disabledForJob_.push_back(w);
        }
        if (stopAvailable_) download_->setEnabled(true);
        download_->repaint();
        upgrade_->repaint();
        return;
    }
    for (QWidget* w : disabledForJob_) w->setEnabled(true);
    disabledForJob_.clear();
    upgrade_->setEnabled(true);
    upgrade_->repaint();
    download_->setEnabled(true);
    download_->repaint();
    setEnabled(true);
}

void CVelmoDlg::setStopAvailable(bool available) {
    if (available == stopAvailable_) return;
    stopAvailable_ = available;
    if (available) {
        downloadText_ = download_->text();
        download_->setText(translated(N_("&Stop")));
        enableControls(false);
    } else {
        download_->setText(downloadText_);
    }
}

void CVelmoDlg::setQualityButtons(bool best, bool good, bool normal) {
    // Exclusive buttons cannot all be cleared, which a stored quality of
    // another value asks for; they are set one by one with the rule off.
    for (QRadioButton* r : {best_, good_, normal_}) r->setAutoExclusive(false);
    best_->setChecked(best);
    good_->setChecked(good);
    normal_->setChecked(normal);
    for (QRadioButton* r : {best_, good_, normal_}) r->setAutoExclusive(true);
}

void CVelmoDlg::operationEnded(const velmo::Outcome& outcome) {
    // A Download may have left songs off the clock, or put them back on.
    list_->viewport()->update();
    // The songs a Reload brought are what the tooltips must describe now.
    if (outcome.operation == velmo::Operation::Reload && outcome.kind == velmo::OutcomeKind::Finished)
        core_->learnSongFacts();
    if (!closeAfterStop_) return;
    closeAfterStop_ = false;
    // After the handler that delivered the end has returned.
    QTimer::singleShot(0, this, [this] { close(); });
}

void CVelmoDlg::setWindowTitle(const std::string& title) { QDialog::setWindowTitle(fromCore(title)); }

velmo::MessageResult CVelmoDlg::messageBox(const std::string& text, const std::string& caption, velmo::MessageIcon icon,
                                           velmo::MessageButtons buttons) {
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    switch (icon) {
        case velmo::MessageIcon::None:
            boxIcon = QMessageBox::NoIcon;
            break;
        case velmo::MessageIcon::Error:
            boxIcon = QMessageBox::Critical;
            break;
        case velmo::MessageIcon::Information:
            boxIcon = QMessageBox::Information;
            break;
        case velmo::MessageIcon::Warning:
            boxIcon = QMessageBox::Warning;
            break;
    }
    const bool okCancel = buttons == velmo::MessageButtons::OkCancel;
    // The core gives the captions in English: they are a few words the window translates.
    QMessageBox box(boxIcon, translated(caption.c_str()), fromCore(text),
                    okCancel ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    // A screen reader reads the text, not only the caption.
    box.setAccessibleDescription(box.text());
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(okCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    // A window of its own takes input while this one is disabled for a job.
    box.setEnabled(true);
    const int answer = messageBoxRunner_ ? messageBoxRunner_(box) : box.exec();
    return answer == QMessageBox::Ok ? velmo::MessageResult::Ok : velmo::MessageResult::Cancel;
}

bool CVelmoDlg::chooseFirmwareFile(std::string& path) {
    CFileDialogST dialog(true, "", velmo::OFN_HIDEREADONLY | velmo::OFN_OVERWRITEPROMPT,
                         {{velmo::tr_("Binary files"), "*.bin"}}, this);
    if (dialog.RunDialog() != CFileDialogST::IDOK) return false;
    // Every chosen path in turn; the last one counts.
    bool any = false;
    for (velmo::PathPosition pos = dialog.FirstPathPosition(); pos;) {
        path = dialog.NextSelectedPath(pos);
        any = true;
    }
    return any;
}

void CVelmoDlg::startTimer(int milliseconds) { timer_.start(milliseconds); }

void CVelmoDlg::stopTimer() { timer_.stop(); }

void CVelmoDlg::closeWindow() {
    timer_.stop();
    if (isVisible()) done(QDialog::Rejected);
}
