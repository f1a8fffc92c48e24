// The main window: template 102 on Qt Widgets. It shows what the core tells
// it (velmo::View), forwards every control's event to the core's handler, and
// hands the workers' messages to the core on the user-interface thread: a
// worker's post() becomes an event posted to the dialog, handled in event().
//
// The core is never entered twice: a worker message or timer tick that
// arrives while a core handler waits in a message box or a file dialog is
// kept (messages, in order) or skipped (ticks) until the handler returns.
//
// Use: construct, optionally set the test seams, initDialog(), then exec()
// unless isClosed() (start-up failed and the close handler has already run).
#pragma once

#include <QDialog>
#include <QRect>
#include <QSize>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialog_units.h"
#include "event_queue.h"
#include "translation.h"
#include "view.h"

class QAction;
class QButtonGroup;
class QCloseEvent;
class QKeyEvent;
class QLabel;
class QMessageBox;
class QProgressBar;
class QResizeEvent;
class QPushButton;
class QRadioButton;
class CBitmapButton;
class CBitmapPicture;

namespace velmo {
class SongListBox;
class VelmoCore;
}  // namespace velmo

class CVelmoDlg : public QDialog, public velmo::View {
    Q_OBJECT

  public:
    // `startDir`: the start folder; empty: the current folder.
    explicit CVelmoDlg(QWidget* parent = nullptr, const QString& startDir = QString());
    // Stops and joins any worker before the window goes away.
    ~CVelmoDlg() override;

    // The dialog's initialisation (the core's start-up). Call once, before
    // the window is shown.
    void initDialog();
    // The close handler has run: the window is done and must not be shown again.
    bool isClosed() const;

    velmo::VelmoCore& core() { return *core_; }
    const velmo::DialogUnits& dialogUnits() const { return units_; }

    // How a prepared message box is shown: the default runs it modally and
    // returns the button pressed (QMessageBox::StandardButton). Tests set one
    // that reads the box and answers; an empty function restores the default.
    using MessageBoxRunner = std::function<int(QMessageBox&)>;
    void setMessageBoxRunner(MessageBoxRunner runner) { messageBoxRunner_ = std::move(runner); }

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

    // The file dialog's entry that turns Add's choice to folders.
    static constexpr const char* kFolderChoice = velmo::N_("Folders of music files");

    // velmo::View
    void setProgressCaption(const std::string& text) override;
    void setProgressBar(int percent) override;
    void setStatusLine(const std::string& text) override;
    void appendLine(const std::string& text) override;
    void insertLine(int index, const std::string& text) override;
    void removeLine(int index) override;
    void resetLines() override;
    void selectLine(int index) override;
    void setHorizontalExtent(int pixels) override;
    void enableControls(bool enable) override;
    void setStopAvailable(bool available) override;
    void setQualityButtons(bool best, bool good, bool normal) override;
    void operationEnded(const velmo::Outcome& outcome) override;
    using QDialog::setWindowTitle;
    void setWindowTitle(const std::string& title) override;
    velmo::MessageResult messageBox(const std::string& text, const std::string& caption, velmo::MessageIcon icon,
                                    velmo::MessageButtons buttons) override;
    bool chooseFirmwareFile(std::string& path) override;
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
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Which edges of the window a control keeps its distance to as the
    // window grows: it moves with the right or bottom edge, or stretches.
    enum Anchor : unsigned { kMoveX = 1, kMoveY = 2, kGrowX = 4, kGrowY = 8 };
    struct Placed {
        QWidget* widget;
        QRect atTemplateSize;
        unsigned anchors;
    };
    // The window's size from the settings, bounded by the template's size
    // and the screen; the template's size when none is stored.
    QSize rememberedSize() const;
    void rememberSize();
    // Asks the Download's or Reload's stop question; true when it is to stop.
    bool askToStop(const std::string& question);

    // The template's 11 points, or less when the window would not fit the screen.
    int fittingPointSize() const;
    void createControls();
    // Steps the captions' font down from the window's until every caption
    // (in whatever language) is shown whole on its control: a translation
    // may be longer than the English text the template was drawn for.
    void fitCaptions();
    // Whether the caption of `w` fits it in `font`.
    bool captionFits(const QWidget* w, const QFont& font) const;
    template <class F>
    void enterCore(F&& handler);
    void deliverPending();
    void onAdd();
    void onTimerTick();

    velmo::DialogUnits units_;
    QFont captionFont_;  // the captions' font: the window's, or smaller to fit
    QPushButton* download_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* delete_ = nullptr;
    QPushButton* reload_ = nullptr;
    CBitmapButton* down_ = nullptr;
    CBitmapButton* up_ = nullptr;
    QPushButton* upgrade_ = nullptr;
    velmo::SongListBox* list_ = nullptr;
    CBitmapPicture* picture_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* progressCaption_ = nullptr;
    QRadioButton* good_ = nullptr;
    QRadioButton* best_ = nullptr;
    QRadioButton* normal_ = nullptr;
    QLabel* status_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* verifyAction_ = nullptr;
    QAction* fullVerifyAction_ = nullptr;
    QAction* namesAction_ = nullptr;
    QAction* evenVolumeAction_ = nullptr;
    QAction* readTwiceAction_ = nullptr;
    QTimer timer_;

    // Outlives the core, whose workers post to it until they are joined.
    velmo::EventQueue queue_;
    std::unique_ptr<velmo::VelmoCore> core_;
    MessageBoxRunner messageBoxRunner_;

    int coreDepth_ = 0;  // core handlers running (nested in modal loops)
    bool delivering_ = false;
    bool closePending_ = false;  // a close request came while a handler ran
    // The user answered Yes to the stop question: the window closes once the
    // stopped operation has ended with its message.
    bool closeAfterStop_ = false;
    std::vector<Placed> placed_;
    QSize loadedSize_;                        // as the settings gave it, to save only a change
    std::deque<velmo::PostedEvent> pending_;  // workers' events kept for the core, in order

    // While a job runs its controls are disabled one by one rather than the
    // window as a whole: the progress caption and bar stay drawn enabled, and
    // during a Download or Reload the Download button, which reads "Stop".
    bool stopAvailable_ = false;
    QString downloadText_;
    std::vector<QWidget*> disabledForJob_;
};
