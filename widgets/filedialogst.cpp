#include "filedialogst.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

namespace {

CFileDialogST::Runner& currentRunner() {
    static CFileDialogST::Runner runner;
    return runner;
}

// The folder of the last choice: the next dialog opens there, as the system
// dialogs did, without the process's current folder ever changing.
QString& lastFolder() {
    static QString folder;
    return folder;
}

std::string toLocalBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

CFileDialogST::CFileDialogST() : flags_(0) { selection_.setFlags(0); }

CFileDialogST::CFileDialogST(bool openDialog, const std::string& defaultExtension, std::uint32_t flags,
                             std::vector<FileFilter> filters, QWidget* owner)
    : open_(openDialog),
      flags_(flags | velmo::OFN_EXPLORER),
      defaultExtension_(defaultExtension),
      filters_(std::move(filters)),
      owner_(owner) {
    selection_.setFlags(flags_);
}

CFileDialogST::~CFileDialogST() = default;

QStringList CFileDialogST::nameFilters(const std::vector<FileFilter>& filters) {
    QStringList list;
    for (const FileFilter& filter : filters) {
        QStringList patterns;
        for (const QString& pattern :
             QString::fromStdString(filter.pattern).split(QLatin1Char(';'), Qt::SkipEmptyParts))
            patterns << QString::fromStdString(velmo::caseInsensitivePattern(pattern.trimmed().toStdString()));
        list << QStringLiteral("%1 (%2)").arg(QString::fromStdString(filter.description),
                                              patterns.join(QLatin1Char(' ')));
    }
    return list;
}

CFileDialogST::Runner CFileDialogST::SetRunner(Runner runner) {
    Runner previous = std::move(currentRunner());
    currentRunner() = std::move(runner);
    return previous;
}

std::optional<QStringList> CFileDialogST::run(QFileDialog& dialog) const {
    if (currentRunner()) return currentRunner()(dialog);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.selectedFiles();
}

int CFileDialogST::RunDialog() {
    selection_.clear();
    fileTitle_.clear();

    QFileDialog dialog(owner_);
    dialog.setAcceptMode(open_ ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    if (!open_)
        dialog.setFileMode(QFileDialog::AnyFile);
    else if ((flags_ & velmo::OFN_ALLOWMULTISELECT) != 0)
        dialog.setFileMode(QFileDialog::ExistingFiles);
    else
        dialog.setFileMode(QFileDialog::ExistingFile);
    if (!filters_.empty()) {
        // The user reads the descriptions only, as the patterns are spelled out
        // for case-sensitive matchers.
        dialog.setNameFilters(nameFilters(filters_));
        dialog.setOption(QFileDialog::HideNameFilterDetails);
    }
    if (!folderChoice_.empty() && open_ && (flags_ & velmo::OFN_ALLOWMULTISELECT) != 0) {
        // Qt's own dialog: a desktop's native one is set up once when shown
        // and would not follow the switch between files and folders.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        const QString folders = QStringLiteral("%1 (*)").arg(QString::fromStdString(folderChoice_));
        QStringList filters = dialog.nameFilters();
        filters << folders;
        dialog.setNameFilters(filters);
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, folders](const QString& filter) {
            const bool pickFolders = filter == folders;
            dialog.setFileMode(pickFolders ? QFileDialog::Directory : QFileDialog::ExistingFiles);
            dialog.setOption(QFileDialog::ShowDirsOnly, pickFolders);
        });
    }
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if ((flags_ & velmo::OFN_OVERWRITEPROMPT) == 0) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    std::string suffix = defaultExtension_;
    if (!suffix.empty() && suffix.front() == '.') suffix.erase(0, 1);
    if (!suffix.empty()) dialog.setDefaultSuffix(QString::fromStdString(suffix));

    if (!lastFolder().isEmpty()) dialog.setDirectory(lastFolder());

    const std::optional<QStringList> chosen = run(dialog);
    if (!chosen || chosen->isEmpty()) return IDCANCEL;
    lastFolder() = QFileInfo(chosen->front()).absolutePath();

    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(chosen->size()));
    for (const QString& path : *chosen)
        paths.push_back(toLocalBytes(QDir::cleanPath(QFileInfo(path).absoluteFilePath())));
    selection_.assignPaths(paths);
    if (paths.size() == 1) fileTitle_ = toLocalBytes(QFileInfo(chosen->front()).fileName());
    return IDOK;
}

velmo::PathPosition CFileDialogST::FirstPathPosition() const { return selection_.firstPosition(); }

std::string CFileDialogST::NextSelectedPath(velmo::PathPosition& position) const {
    return selection_.nextPath(position);
}

std::string CFileDialogST::SelectedPath() const { return selection_.firstText(); }

std::string CFileDialogST::SelectedFileName() const { return fileTitle_; }

std::string CFileDialogST::SelectedTitle() const { return velmo::splitPath(SelectedPath()).title; }

std::string CFileDialogST::SelectedExtension() const { return velmo::splitPath(SelectedPath()).extension; }

std::string CFileDialogST::SelectedFolder() const {
    const velmo::SplitPath parts = velmo::splitPath(SelectedPath());
    return parts.drive + parts.folder;
}

std::string CFileDialogST::SelectedDrive() const { return velmo::splitPath(SelectedPath()).drive; }

int CFileDialogST::BrowseFolder(const QString& title, const QString& initialFolder, std::uint32_t, QWidget* owner) {
    browsedFolder_.clear();
    QFileDialog dialog(owner);
    dialog.setWindowTitle(title);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (!initialFolder.isEmpty()) dialog.setDirectory(initialFolder);
    const std::optional<QStringList> chosen = run(dialog);
    if (!chosen || chosen->isEmpty()) return IDCANCEL;
    browsedFolder_ = toLocalBytes(QDir::cleanPath(QFileInfo(chosen->front()).absoluteFilePath()));
    return IDOK;
}

std::string CFileDialogST::BrowsedFolder() const { return browsedFolder_; }
