// The open and save file dialogs, and a folder browser, run modally over
// QFileDialog; the chosen files are walked with FirstPathPosition and
// NextSelectedPath:
//
//   CFileDialogST dialog(true, "", OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
//                        {{"Music files", "*.MP3;*.wav"}}, this);
//   if (dialog.RunDialog() != CFileDialogST::IDOK) return;
//   for (velmo::PathPosition pos = dialog.FirstPathPosition(); pos;)
//     use(dialog.NextSelectedPath(pos));
//
// Paths are returned as the file system's bytes (QFile::encodeName), ready
// for the C and POSIX file functions. Patterns are matched without regard to
// case, whichever dialog the desktop provides.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fileselection.h"

class QFileDialog;
class QWidget;

// One entry of a dialog's file type list: what the user reads, and the
// patterns, separated by ';' ("*.MP3;*.wav").
struct FileFilter {
    std::string description;
    std::string pattern;
};

class CFileDialogST {
  public:
    static constexpr int IDOK = 1;
    static constexpr int IDCANCEL = 2;

    // An open dialog with no filter, no options and no owner.
    CFileDialogST();

    // `openDialog` true: open dialog, false: save dialog. `defaultExtension`
    // (with or without its dot; empty: none) is added to a typed name without
    // one. `flags`: the velmo::OFN_ options; OFN_EXPLORER is always added.
    CFileDialogST(bool openDialog, const std::string& defaultExtension, std::uint32_t flags,
                  std::vector<FileFilter> filters, QWidget* owner = nullptr);

    virtual ~CFileDialogST();

    CFileDialogST(const CFileDialogST&) = delete;
    CFileDialogST& operator=(const CFileDialogST&) = delete;

    // Runs the dialog modally. IDOK when files were chosen, IDCANCEL when the
    // user cancelled; after IDCANCEL there is no chosen path.
    int RunDialog();

    // The first chosen path's position, none when nothing was chosen.
    velmo::PathPosition FirstPathPosition() const;

    // The chosen full path at `position`; advances it, to none after the last.
    std::string NextSelectedPath(velmo::PathPosition& position) const;

    // The selection's first text: the one chosen path, or the folder of a
    // multiple selection.
    std::string SelectedPath() const;
    // The chosen file's name with its extension (one file chosen; else empty).
    std::string SelectedFileName() const;
    // Name without folder and extension, the extension with its dot, the folder
    // with its trailing '/', and the drive (always empty here) of SelectedPath.
    std::string SelectedTitle() const;
    std::string SelectedExtension() const;
    std::string SelectedFolder() const;
    std::string SelectedDrive() const;

    // A folder browser. IDOK with the folder in BrowsedFolder(), else IDCANCEL.
    // `browseFlags` is accepted for the callers' sake and not used.
    int BrowseFolder(const QString& title, const QString& initialFolder, std::uint32_t browseFlags = 0,
                     QWidget* owner = nullptr);
    std::string BrowsedFolder() const;

    const velmo::FileSelection& selection() const { return selection_; }

    // An open dialog of several files gets one more entry in its file type
    // list, `description`: chosen, the dialog picks folders instead of files
    // (and back to files with another entry). The caller decides what a
    // chosen folder stands for. Empty (the default): files only.
    void SetFolderChoice(const std::string& description) { folderChoice_ = description; }

    // Qt's form of the file type list: "Music files (*.[mM][pP]3 *.[wW][aA][vV])".
    static QStringList nameFilters(const std::vector<FileFilter>& filters);

    // How a prepared dialog is run. The default shows it modally and returns
    // its selectedFiles() on OK, nullopt on cancel. Tests and scripted runs set
    // their own (for example one that checks the dialog's settings and returns
    // chosen paths, or one that drives the real dialog); an empty function
    // restores the default. Returns the runner replaced. UI thread only.
    using Runner = std::function<std::optional<QStringList>(QFileDialog&)>;
    static Runner SetRunner(Runner runner);

  private:
    std::optional<QStringList> run(QFileDialog& dialog) const;

    bool open_ = true;
    std::uint32_t flags_ = 0;
    std::string defaultExtension_;
    std::vector<FileFilter> filters_;
    QWidget* owner_ = nullptr;
    velmo::FileSelection selection_;
    std::string fileTitle_;
    std::string browsedFolder_;
    std::string folderChoice_;
};
