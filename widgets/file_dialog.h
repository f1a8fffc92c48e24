// What the window's file dialogs share over QFileDialog: a file type whose
// patterns match without regard to case on every desktop, and one way to run
// a prepared dialog that tests (or a script) can take over.
//
//   QFileDialog dialog(owner);
//   dialog.setFileMode(QFileDialog::ExistingFiles);
//   velmo::setFileType(dialog, description, "*.MP3;*.wav");
//   for (const std::string& path : velmo::runFileDialog(dialog, runner)) use(path);
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QFileDialog;

namespace velmo {

// A file name pattern ("*.MP3") rewritten so that a case-sensitive matcher
// matches it without regard to case ("*.[mM][pP]3"). Characters inside an
// existing [...] set are left as they are.
std::string caseInsensitivePattern(std::string_view pattern);

// The ';'-separated patterns that match every file with the extension of
// `fileName` ("spn.bin") except that one name: "?.bin;??.bin;????*.bin;
// [!s]??.bin;s[!p]?.bin;sp[!n].bin". A file type cannot say "but not", and
// a desktop's own dialog takes patterns only. `fileName` holds no pattern
// characters.
std::string patternsWithout(std::string_view fileName);

// Qt's form of one file type: "Music files (*.[mM][pP]3 *.[wW][aA][vV])" for
// the description "Music files" and the ';'-separated patterns "*.MP3;*.wav".
QString nameFilter(const QString& description, std::string_view patterns);

// Makes `dialog` list only the files of one type, named by its description
// alone (the spelled-out patterns are for the matcher, not the reader); the
// file system's listing ignores case too.
void setFileType(QFileDialog& dialog, const QString& description, std::string_view patterns);

// How a prepared dialog is run: it returns the dialog's chosen paths, or
// nullopt when the user cancels. Tests set one that reads the dialog and
// answers; an empty runner shows the dialog modally.
using FileDialogRunner = std::function<std::optional<QStringList>(QFileDialog&)>;

// Runs `dialog` and gives the chosen paths in the dialog's order, absolute
// and without "." or ".." components, as the file system's bytes
// (QFile::encodeName) for the C and POSIX file functions. Empty when the user
// cancels or chooses nothing.
std::vector<std::string> runFileDialog(QFileDialog& dialog, const FileDialogRunner& runner);

}  // namespace velmo
