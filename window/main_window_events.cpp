#include "main_window.h"

// The window's events: the controls' and the workers', the timer's, the
// file dialogs, and the close.
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>
#include <chrono>

#include "about_dialog.h"
#include "admission.h"
#include "bitmapbutton.h"
#include "file_dialog.h"
#include "main_window_internal.h"
#include "songlistbox.h"
#include "translation.h"
#include "presenter.h"
#include "velmo_core.h"

using velmo::N_;
using namespace velmo::window;

void MainWindow::connectControls() {
    // The Delete key in the list does what the Delete button does.
    auto* deleteKey = new QShortcut(QKeySequence(Qt::Key_Delete), list_);
    deleteKey->setContext(Qt::WidgetWithChildrenShortcut);
    connect(deleteKey, &QShortcut::activated, delete_, &QPushButton::click);

    connect(download_, &QPushButton::clicked, this, [this] {
        // During a Download or Reload the button reads "Stop".
        enterCore([this] { stopAvailable_ ? static_cast<void>(core_->stop()) : answer(core_->download()); });
    });
    connect(add_, &QPushButton::clicked, this, &MainWindow::onAdd);
    // On every selected song; one selected song takes the single-song handlers.
    connect(delete_, &QPushButton::clicked, this,
            [this] { enterCore([this] { core_->removeSongs(list_->selectedLines()); }); });
    connect(reload_, &QPushButton::clicked, this, [this] { enterCore([this] { answer(core_->reload()); }); });
    connect(down_, &QAbstractButton::clicked, this,
            [this] { enterCore([this] { core_->moveSongsDown(list_->selectedLines()); }); });
    connect(up_, &QAbstractButton::clicked, this,
            [this] { enterCore([this] { core_->moveSongsUp(list_->selectedLines()); }); });
    connect(upgrade_, &QPushButton::clicked, this, [this] { enterCore([this] { answer(core_->upgradeFirmware()); }); });
    connect(good_, &QRadioButton::clicked, this, [this] { enterCore([this] { core_->setQuality(velmo::kQualityGood); }); });
    connect(best_, &QRadioButton::clicked, this, [this] { enterCore([this] { core_->setQuality(velmo::kQualityBest); }); });
    connect(normal_, &QRadioButton::clicked, this, [this] { enterCore([this] { core_->setQuality(velmo::kQualityNormal); }); });
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
            enterCore([this, &files] { core_->dropSongs(files); });
            showWalkNotes(notes);
        },
        Qt::QueuedConnection);
    createListActions();
}

void MainWindow::enterCore(const std::function<void()>& handler) {
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

void MainWindow::deliverPending() {
    if (delivering_) return;
    delivering_ = true;
    while (!pending_.empty() && coreDepth_ == 0) {
        const velmo::PostedEvent m = std::move(pending_.front());
        pending_.pop_front();
        ++coreDepth_;
        core_->handle(m);
        --coreDepth_;
    }
    delivering_ = false;
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == WorkerEvent::eventType()) {
        // Events are taken in the order the workers posted them.
        velmo::PostedEvent m;
        while (queue_.take(m, std::chrono::milliseconds(0))) pending_.push_back(std::move(m));
        if (coreDepth_ == 0) deliverPending();
        return true;
    }
    return QDialog::event(event);
}

void MainWindow::onTimerTick() {
    // A tick that comes while a handler waits in a modal loop is left out;
    // the next one is 300 ms away.
    if (coreDepth_ != 0) return;
    enterCore([this] { core_->tick(); });
}

std::vector<std::string> MainWindow::runFileDialog(QFileDialog& dialog) {
    if (!lastFolder_.isEmpty()) dialog.setDirectory(lastFolder_);
    const std::vector<std::string> paths = velmo::runFileDialog(dialog, fileDialogRunner_);
    // A chosen folder's parent, so that its neighbours are at hand next time.
    if (!paths.empty()) lastFolder_ = QFileInfo(QFile::decodeName(paths.front().c_str())).absolutePath();
    return paths;
}

void MainWindow::onAdd() {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    velmo::setFileType(dialog, translated(N_("Music files")), velmo::songFilePatterns());
    const std::vector<std::string> paths = runSongDialog(dialog);
    if (!paths.empty()) addFiles(paths);
}

void MainWindow::onAddFolder() {
    // Like the Add button: not while a job runs, which has the button disabled.
    if (core_->isClosed() || !add_->isEnabled()) return;
    QFileDialog dialog(this, translated(kAddFolderCaption));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    const std::vector<std::string> paths = runSongDialog(dialog);
    // The folder's songs, in name order, as if chosen one by one.
    if (!paths.empty()) addFiles({paths.front()});
}

void MainWindow::addFiles(const std::vector<std::string>& paths) {
    if (core_->isClosed()) return;
    // A folder stands for its songs: the core then judges them, limits and
    // messages included, exactly as the same files chosen one by one.
    std::vector<std::string> notes;
    const std::vector<std::string> files = velmo::songFilesOf(paths, &notes);
    enterCore([this, &files] { core_->addSongs(files); });
    showWalkNotes(notes);
}

void MainWindow::showWalkNotes(const std::vector<std::string>& notes) {
    // A folder walked only in part says so: songs left out are not silent.
    for (const std::string& text : notes)
        messageBox(text, "Warning", velmo::MessageIcon::Warning, velmo::MessageButtons::Ok);
}

bool MainWindow::askToStop(const std::string& question) {
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

void MainWindow::closeEvent(QCloseEvent* event) {
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
    const std::optional<velmo::Question> question = core_->isClosed() ? std::nullopt : core_->stopQuestion();
    if (question) {
        event->ignore();
        enterCore([this, &question] {
            if (!askToStop(velmo::present::box(*question).text)) return;
            closeAfterStop_ = true;
            core_->stop();
        });
        return;
    }
    // A firmware write is never cut short: the core closes the window once
    // the firmware has been verified.
    if (!core_->isClosed() && !core_->mayClose()) {
        event->ignore();
        return;
    }
    // The close handler stops and joins any worker (each ends within one
    // block or chunk), saves the list and removes the working files; only
    // then does the window go.
    if (!core_->isClosed()) {
        rememberSize();
        enterCore([this] { core_->close(); });
    }
    timer_.stop();
    setResult(QDialog::Rejected);
    event->accept();
}

void MainWindow::reject() { close(); }

void MainWindow::accept() { close(); }

void MainWindow::keyPressEvent(QKeyEvent* event) {
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

void MainWindow::showAboutBox() {
    if (!isEnabled() || core_->isClosed() || core_->operationRunning()) return;
    AboutDialog about(this);
    about.exec();
}
