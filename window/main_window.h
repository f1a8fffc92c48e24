// The main window: template 102 on Qt Widgets. It shows what the core tells
// it (velmo::View), forwards every control's event to the core's handler, and
// hands the workers' messages to the core on the user-interface thread: a
// worker's post() becomes an event posted to the window, handled in event().
//
// The core is never entered twice: a worker message or timer tick that
// arrives while a core handler waits in a message box or a file dialog is
// kept (messages, in order) or skipped (ticks) until the handler returns.
//
// Its code is in three files: main_window.cpp builds it (controls, layout,
// captions, context menu, size), main_window_events.cpp handles what the
// user and the workers do, main_window_view.cpp is its velmo::View.
//
// Use: construct, optionally set the test seams, start(), then exec()
// unless isClosed() (start-up failed and the close handler has already run).
#pragma once

#include <QDialog>
#include <QList>
#include <QSize>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialog_units.h"
#include "event_queue.h"
#include "file_dialog.h"
#include "translation.h"
#include "question.h"
#include "view.h"

class QAction;
class QCloseEvent;
class QFileDialog;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QMenu;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QRadioButton;
class BitmapButton;
class BitmapPicture;

namespace velmo {
class SongListBox;
class VelmoCore;
}  // namespace velmo

class MainWindow : public QDialog, public velmo::View {
    Q_OBJECT

  public:
    // `startDir`: the start folder; empty: the current folder.
    explicit MainWindow(QWidget* parent = nullptr, const QString& startDir = QString());
    // Stops and joins any worker before the window goes away.
    ~MainWindow() override;

    // The core's start-up: reads the settings and the list, finds the clock.
    // Call once, before the window is shown.
    void start();
    // The close handler has run: the window is done and must not be shown again.
    bool isClosed() const;

    velmo::VelmoCore& core() { return *core_; }
    const velmo::DialogUnits& dialogUnits() const { return units_; }

    // How a prepared message box is shown: the default runs it modally and
    // returns the button pressed (QMessageBox::StandardButton). Tests set one
    // that reads the box and answers; an empty function restores the default.
    using MessageBoxRunner = std::function<int(QMessageBox&)>;
    void setMessageBoxRunner(MessageBoxRunner runner) { messageBoxRunner_ = std::move(runner); }
    // How a prepared file dialog (Add's, Add Folder's, the firmware's) is
    // shown, likewise: the default runs it modally.
    void setFileDialogRunner(velmo::FileDialogRunner runner) { fileDialogRunner_ = std::move(runner); }

    // The context menu's "Add Folder...": a folder's songs, in name order.
    QAction* addFolderAction() const { return addFolderAction_; }
    static constexpr const char* kAddFolderText = velmo::N_("Add &Folder...");
    // The caption of the folder dialog it opens.
    static constexpr const char* kAddFolderCaption = velmo::N_("Add Folder");

    // The song list's own entries, first in its context menu (before the
    // window's): Delete, Move Up, Move Down, Select All, Clear List. Each is
    // off when it has nothing to act on and while a job runs.
    QList<QAction*> listActions() const;
    // The list's context menu as a right click opens it.
    void fillListMenu(QMenu& menu) const;
    // The settings key of the folder the Add dialogs open in: where songs
    // were last taken from with them.
    static constexpr const char* kSongFolderKey = "lastSongFolder";
    // The folder the next Add dialog opens in: the one songs were last taken
    // from, else the user's music folder, else the home folder.
    QString songFolder() const;

    // The About box entry of the window's context menu (also on F1).
    QAction* aboutAction() const { return aboutAction_; }
    // The context menu's "Verify after Download" (checkable, kept in the settings).
    QAction* verifyAction() const { return verifyAction_; }
    // "Verify Every Byte" (checkable, kept in the settings, off by default).
    QAction* fullVerifyAction() const { return fullVerifyAction_; }
    // The context menu's "Names from Tags" (checkable, kept in the settings).
    QAction* namesFromTagsAction() const { return namesAction_; }
    // The context menu's "Even Volume" (checkable, kept in the settings).
    QAction* evenVolumeAction() const { return evenVolumeAction_; }
    // The context menu's "Check Reload by reading twice" (checkable, kept in the settings).
    QAction* readTwiceAction() const { return readTwiceAction_; }

    // Adds song files and folders (their songs in name order) as the Add
    // button does with the same files chosen: what `velmo FILE...` asks for.
    void addFiles(const std::vector<std::string>& paths);
    // One warning box for each note of a folder walk that reached a limit.
    void showWalkNotes(const std::vector<std::string>& notes);

    // The size the window opens at when the settings name none: the
    // template's, which is also the smallest it can be made.
    QSize templateSize() const;

    // velmo::View
    void setProgressStage(velmo::ProgressStage stage) override;
    void setProgressBar(int percent) override;
    void setProgressDetail(const velmo::ProgressDetail& detail) override;
    void setSpaceUsage(uint32_t total, uint32_t capacity) override;
    void tell(const velmo::Message& message) override;
    void appendLine(const std::string& text) override;
    void insertLine(int index, const std::string& text) override;
    void removeLine(int index) override;
    void resetLines() override;
    void selectLine(int index) override;
    void selectLines(const std::vector<int>& lines) override;
    void setHorizontalExtent(int pixels) override;
    void enableControls(bool enable) override;
    void setStopAvailable(bool available) override;
    void setQualityButtons(bool best, bool good, bool normal) override;
    void operationEnded(const velmo::Outcome& outcome) override;
    using QDialog::setWindowTitle;
    void setWindowTitle(const std::string& title) override;

    // The caption and the status line as shown.
    void setProgressCaption(const std::string& text);
    void setStatusLine(const std::string& text);
    // One box, modal, through the runner; Ok for a box with OK alone.
    velmo::MessageResult messageBox(const std::string& text, const std::string& caption, velmo::MessageIcon icon,
                                    velmo::MessageButtons buttons);
    // The firmware file dialog ("Binary files", "*.bin"); false when cancelled.
    bool chooseFirmwareFile(std::string& path);
    // Asks the core's questions, each its own way, until the operation has
    // started or ended.
    void answer(std::optional<velmo::Question> question);
    void startTimer(int milliseconds) override;
    void stopTimer() override;
    void closeWindow() override;

  public slots:
    // Escape (and anything else that would end the dialog) closes it through
    // the close handler, so the list is saved.
    void reject() override;
    void accept() override;
    // The About box, modal; nothing while the window is disabled.
    void showAboutBox();

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // The window's size from the settings, bounded by the template's size
    // and the screen; the template's size when none is stored.
    QSize rememberedSize() const;
    void rememberSize();
    // Asks the Download's or Reload's stop question; true when it is to stop.
    bool askToStop(const std::string& question);

    // The template's 11 points, or less when the window would not fit the screen.
    int fittingPointSize() const;
    // The controls, named by their ids (main_window.cpp).
    void createControls();
    // Their places: template 102 at its size, the list taking what is added.
    void layoutControls();
    // Each control's event to its core handler (main_window_events.cpp).
    void connectControls();
    // Steps the captions' font down from the window's until every caption
    // (in whatever language) is shown whole on its control: a translation
    // may be longer than the English text the template was drawn for.
    void fitCaptions();
    // Whether the caption of `w` fits it in `font`.
    bool captionFits(const QWidget* w, const QFont& font) const;
    // Runs a core handler; worker messages that come meanwhile wait for its end.
    void enterCore(const std::function<void()>& handler);
    void deliverPending();
    void onAdd();
    void onAddFolder();
    // The song list's context menu and its entries (main_window_list.cpp).
    void createListActions();
    void updateListActions();
    // Runs an Add dialog in songFolder() and remembers where its choice was.
    std::vector<std::string> runSongDialog(QFileDialog& dialog);
    // Runs a prepared file dialog where the last one left off.
    std::vector<std::string> runFileDialog(QFileDialog& dialog);
    void onTimerTick();

    velmo::DialogUnits units_;
    QFont captionFont_;  // the captions' font: the window's, or smaller to fit
    QPushButton* download_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* delete_ = nullptr;
    QPushButton* reload_ = nullptr;
    BitmapButton* down_ = nullptr;
    BitmapButton* up_ = nullptr;
    QPushButton* upgrade_ = nullptr;
    velmo::SongListBox* list_ = nullptr;
    BitmapPicture* picture_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* progressCaption_ = nullptr;
    QLabel* progressDetail_ = nullptr;   // the song at work, beside the caption
    velmo::ProgressDetail shownDetail_;  // what the detail and the bar's text show
    // Shows shownDetail_ in the detail label and the bar's text.
    void showProgressDetail();
    QRadioButton* good_ = nullptr;
    QRadioButton* best_ = nullptr;
    QRadioButton* normal_ = nullptr;
    QLabel* status_ = nullptr;
    QGroupBox* qualityGroup_ = nullptr;
    QAction* addFolderAction_ = nullptr;
    // The operations without a control of their own, from the core's table.
    std::vector<QAction*> operationActions_;
    QAction* aboutAction_ = nullptr;
    QAction* verifyAction_ = nullptr;
    QAction* fullVerifyAction_ = nullptr;
    QAction* namesAction_ = nullptr;
    QAction* evenVolumeAction_ = nullptr;
    QAction* readTwiceAction_ = nullptr;
    QAction* deleteSongsAction_ = nullptr;
    QAction* moveUpAction_ = nullptr;
    QAction* moveDownAction_ = nullptr;
    QAction* selectAllAction_ = nullptr;
    QAction* clearListAction_ = nullptr;
    QTimer timer_;

    // Outlives the core, whose workers post to it until they are joined.
    velmo::EventQueue queue_;
    std::unique_ptr<velmo::VelmoCore> core_;
    MessageBoxRunner messageBoxRunner_;
    velmo::FileDialogRunner fileDialogRunner_;
    // Where the last firmware dialog's choice was: the next one opens there,
    // and the process's current folder never changes.
    QString lastFolder_;

    int coreDepth_ = 0;  // core handlers running (nested in modal loops)
    bool delivering_ = false;
    bool closePending_ = false;  // a close request came while a handler ran
    // The user answered Yes to the stop question: the window closes once the
    // stopped operation has ended with its message.
    bool closeAfterStop_ = false;
    QSize loadedSize_;                        // as the settings gave it, to save only a change
    std::deque<velmo::PostedEvent> pending_;  // workers' events kept for the core, in order

    // While a job runs its controls are disabled one by one rather than the
    // window as a whole: the progress caption and bar stay drawn enabled, and
    // during a Download or Reload the Download button, which reads "Stop".
    bool stopAvailable_ = false;
    QString downloadText_;
    std::vector<QWidget*> disabledForJob_;
};
