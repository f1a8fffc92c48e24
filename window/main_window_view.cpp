#include "main_window.h"

// velmo::View: what the core shows and asks, on the window's controls and in
// message boxes.
#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include "file_dialog.h"
#include "main_window_internal.h"
#include "songlistbox.h"
#include "translation.h"
#include "presenter.h"
#include "velmo_core.h"

using velmo::N_;
using namespace velmo::window;

void MainWindow::setProgressStage(velmo::ProgressStage stage) {
    // A new stage has no detail yet: the last one's song and time are gone.
    shownDetail_ = velmo::ProgressDetail{};
    setProgressCaption(velmo::present::caption(stage));
    showProgressDetail();
}

void MainWindow::setProgressDetail(const velmo::ProgressDetail& detail) {
    shownDetail_ = detail;
    showProgressDetail();
}

void MainWindow::showProgressDetail() {
    // The song's name gives way (with an ellipsis) to its place among the
    // songs, which is always read whole.
    velmo::ProgressDetail unnamed = shownDetail_;
    unnamed.song.clear();
    const QString full = fromCore(velmo::present::progressSongText(shownDetail_));
    QString text = full;
    // It reads on from the caption, in the caption's font.
    progressDetail_->setFont(progressCaption_->font());
    const QFontMetrics metrics(progressDetail_->font());
    const int room = progressDetail_->width();
    if (metrics.horizontalAdvance(full) > room && !shownDetail_.song.empty()) {
        const QString place = fromCore(velmo::present::progressSongText(unnamed));
        const QString marker = QStringLiteral("\x01");
        // Where the name stands in the worded detail, whatever the language's order.
        velmo::ProgressDetail marked = shownDetail_;
        marked.song = "\x01";
        const QString pattern = fromCore(velmo::present::progressSongText(marked));
        const int nameRoom = room - metrics.horizontalAdvance(QString(pattern).remove(marker));
        const QString name = metrics.elidedText(fromCore(shownDetail_.song), Qt::ElideRight, std::max(nameRoom, 0));
        text = name.isEmpty() || name == QStringLiteral("\u2026") ? place : QString(pattern).replace(marker, name);
    }
    progressDetail_->setText(text);
    progressDetail_->setToolTip(full);
    const QString extra = fromCore(velmo::present::progressBarText(shownDetail_));
    progress_->setFormat(extra.isEmpty() ? QStringLiteral("%p%") : QStringLiteral("%p% \u00b7 ") + extra);
    // A screen reader hears the whole progress, as the caption and the detail read together.
    progress_->setAccessibleDescription(full.isEmpty() ? progressCaption_->text()
                                                       : progressCaption_->text() + QLatin1Char(' ') + full);
}

void MainWindow::setSpaceUsage(uint32_t total, uint32_t capacity) {
    setStatusLine(velmo::present::spaceUsage(total, capacity));
}

void MainWindow::tell(const velmo::Message& message) {
    const velmo::present::Box box = velmo::present::box(message, core_->applicationName());
    messageBox(box.text, box.caption, box.icon, box.buttons);
}

void MainWindow::answer(std::optional<velmo::Question> question) {
    while (question) {
        if (question->wantsPath()) {
            std::string path;
            question = core_->answerPath(chooseFirmwareFile(path) ? path : std::string());
            continue;
        }
        const velmo::present::Box box = velmo::present::box(*question);
        question = core_->answer(messageBox(box.text, box.caption, box.icon, box.buttons) == velmo::MessageResult::Ok);
    }
}

void MainWindow::setProgressCaption(const std::string& text) {
    progressCaption_->setText(fromCore(text));
    // A long caption (a translation's) steps its own font down to be read whole.
    QFont font = captionFont_;
    while (!captionFits(progressCaption_, font) && font.pointSize() > kSmallestPointSize)
        font = velmo::templateFont(kTemplateFamily, font.pointSize() - 1);
    progressCaption_->setFont(font);
    // The bar tells a screen reader what it follows.
    progress_->setAccessibleDescription(progressCaption_->text());
}

void MainWindow::setProgressBar(int percent) { progress_->setValue(qBound(0, percent, 100)); }

void MainWindow::setStatusLine(const std::string& text) {
    status_->setText(fromCore(text));
    if (!core_) return;
    // The status line follows every change of the list, the quality and the
    // clock's size: so do the quality buttons' forecasts.
    best_->setToolTip(fromCore(velmo::present::qualityToolTip(*core_, velmo::kQualityBest)));
    good_->setToolTip(fromCore(velmo::present::qualityToolTip(*core_, velmo::kQualityGood)));
    normal_->setToolTip(fromCore(velmo::present::qualityToolTip(*core_, velmo::kQualityNormal)));
}

void MainWindow::appendLine(const std::string& text) { list_->addItem(QFile::decodeName(text.c_str())); }

void MainWindow::insertLine(int index, const std::string& text) {
    list_->insertItem(index, QFile::decodeName(text.c_str()));
}

void MainWindow::removeLine(int index) { delete list_->takeItem(index); }

void MainWindow::resetLines() { list_->clear(); }

void MainWindow::selectLine(int index) { list_->selectLine(index); }

void MainWindow::setHorizontalExtent(int pixels) { list_->setHorizontalExtent(pixels); }

void MainWindow::enableControls(bool enable) {
    if (!enable) {
        // The controls go one by one: a disabled window would grey the
        // progress caption and bar too, and a running job would look dead.
        setEnabled(true);
        for (QWidget* w : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (w == progress_ || w == progressCaption_ || w == progressDetail_ || !w->isEnabled()) continue;
            if (w == download_ && stopAvailable_) continue;
            w->setEnabled(false);
            disabledForJob_.push_back(w);
        }
        if (stopAvailable_) download_->setEnabled(true);
        addFolderAction_->setEnabled(false);
        for (QAction* a : operationActions_) a->setEnabled(false);
        download_->repaint();
        upgrade_->repaint();
        updateListActions();
        return;
    }
    for (QWidget* w : disabledForJob_) w->setEnabled(true);
    disabledForJob_.clear();
    addFolderAction_->setEnabled(true);
    for (QAction* a : operationActions_) a->setEnabled(true);
    upgrade_->setEnabled(true);
    upgrade_->repaint();
    download_->setEnabled(true);
    download_->repaint();
    setEnabled(true);
    updateListActions();
}

void MainWindow::setStopAvailable(bool available) {
    if (available == stopAvailable_) return;
    stopAvailable_ = available;
    if (available) {
        downloadText_ = download_->text();
        download_->setText(translated(N_("&Stop")));
        enableControls(false);
    } else {
        download_->setText(downloadText_);
        // Given back before the end's box, while the window is still
        // disabled: it reads Download again, but takes no click until the
        // controls come back.
        if (!disabledForJob_.empty() && download_->isEnabled()) {
            download_->setEnabled(false);
            disabledForJob_.push_back(download_);
        }
    }
}

void MainWindow::setQualityButtons(bool best, bool good, bool normal) {
    // Exclusive buttons cannot all be cleared, which a stored quality of
    // another value asks for; they are set one by one with the rule off.
    for (QRadioButton* r : {best_, good_, normal_}) r->setAutoExclusive(false);
    best_->setChecked(best);
    good_->setChecked(good);
    normal_->setChecked(normal);
    for (QRadioButton* r : {best_, good_, normal_}) r->setAutoExclusive(true);
}

void MainWindow::operationEnded(const velmo::Outcome& outcome) {
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

void MainWindow::setWindowTitle(const std::string& title) { QDialog::setWindowTitle(fromCore(title)); }

velmo::MessageResult MainWindow::messageBox(const std::string& text, const std::string& caption,
                                            velmo::MessageIcon icon, velmo::MessageButtons buttons) {
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

bool MainWindow::chooseFirmwareFile(std::string& path) {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // The agent program is no firmware: it is left out of the list.
    velmo::setFileType(dialog, translated(N_("Binary files")), velmo::patternsWithout(velmo::VelmoCore::agentFileName()));
    const std::vector<std::string> paths = runFileDialog(dialog);
    if (paths.empty()) return false;
    path = paths.front();
    return true;
}

void MainWindow::startTimer(int milliseconds) { timer_.start(milliseconds); }

void MainWindow::stopTimer() { timer_.stop(); }

void MainWindow::closeWindow() {
    timer_.stop();
    if (isVisible()) done(QDialog::Rejected);
}
