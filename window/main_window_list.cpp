#include "main_window.h"

// The song list as a list is edited: its context menu, a selection of
// several songs, and the folder the Add dialogs open in.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QStandardPaths>

#include "bitmapbutton.h"
#include "file_dialog.h"
#include "main_window_internal.h"
#include "settings.h"
#include "songlistbox.h"
#include "velmo_core.h"

using velmo::N_;
using namespace velmo::window;

void MainWindow::createListActions() {
    auto entry = [this](const char* text, const std::function<void()>& handler) {
        auto* action = new QAction(translated(text), this);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    // Delete and the arrows act as their buttons do, on every selected song.
    deleteSongsAction_ = entry(N_("&Delete"), [this] { delete_->click(); });
    moveUpAction_ = entry(N_("Move &Up"), [this] { up_->click(); });
    moveDownAction_ = entry(N_("Move Do&wn"), [this] { down_->click(); });
    selectAllAction_ = entry(N_("Select A&ll"), [this] {
        list_->selectAll();
        list_->setFocus(Qt::OtherFocusReason);
    });
    clearListAction_ = entry(N_("&Clear List"), [this] { enterCore([this] { core_->clearList(); }); });
    // Shown in the menu for the keys that do the same in the list; the list's
    // own keys do it, so the entries take them only while the menu is open.
    deleteSongsAction_->setShortcut(QKeySequence(QKeySequence::Delete));
    selectAllAction_->setShortcut(QKeySequence(QKeySequence::SelectAll));
    for (QAction* action : listActions()) action->setShortcutContext(Qt::WidgetShortcut);

    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        fillListMenu(menu);
        menu.exec(list_->viewport()->mapToGlobal(at));
    });
    connect(list_, &QListWidget::itemSelectionChanged, this, &MainWindow::updateListActions);
    connect(list_->model(), &QAbstractItemModel::rowsInserted, this, &MainWindow::updateListActions);
    connect(list_->model(), &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateListActions);
    connect(list_->model(), &QAbstractItemModel::modelReset, this, &MainWindow::updateListActions);
    updateListActions();
}

QList<QAction*> MainWindow::listActions() const {
    return {deleteSongsAction_, moveUpAction_, moveDownAction_, selectAllAction_, clearListAction_};
}

void MainWindow::fillListMenu(QMenu& menu) const {
    menu.addActions({deleteSongsAction_, moveUpAction_, moveDownAction_});
    menu.addSeparator();
    menu.addActions({selectAllAction_, clearListAction_});
    // The window's own entries follow, as a right click elsewhere shows them.
    const QList<QAction*> windowEntries = actions();
    if (windowEntries.isEmpty()) return;
    menu.addSeparator();
    menu.addActions(windowEntries);
}

void MainWindow::updateListActions() {
    if (deleteSongsAction_ == nullptr) return;
    // A job disables the list with the other controls.
    const bool editable = list_->isEnabled();
    const std::vector<int> selected = list_->selectedLines();
    const int count = list_->count();
    deleteSongsAction_->setEnabled(editable && !selected.empty());
    moveUpAction_->setEnabled(editable && !selected.empty() && selected.front() > 0);
    moveDownAction_->setEnabled(editable && !selected.empty() && selected.back() + 1 < count);
    selectAllAction_->setEnabled(editable && count > 0);
    clearListAction_->setEnabled(editable && count > 0);
}

void MainWindow::selectLines(const std::vector<int>& lines) { list_->selectLines(lines); }

QString MainWindow::songFolder() const {
    if (const std::optional<std::string> kept = core_->settings().get(kSongFolderKey)) {
        const QString folder = QFile::decodeName(kept->c_str());
        if (!folder.isEmpty() && QFileInfo(folder).isDir()) return folder;
    }
    // Never the start folder, where the working folder is all there is to see.
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (!music.isEmpty() && QFileInfo(music).isDir()) return music;
    return QDir::homePath();
}

std::vector<std::string> MainWindow::runSongDialog(QFileDialog& dialog) {
    dialog.setDirectory(songFolder());
    const std::vector<std::string> paths = velmo::runFileDialog(dialog, fileDialogRunner_);
    if (paths.empty()) return paths;
    // A chosen folder's parent, so that its neighbours are at hand next time.
    const std::string folder = QFile::encodeName(QFileInfo(QFile::decodeName(paths.front().c_str())).absolutePath())
                                   .toStdString();
    // A settings line ends at a line break: such a folder is not kept.
    if (folder.find_first_of("\r\n") == std::string::npos) core_->settings().set(kSongFolderKey, folder);
    return paths;
}
