#include "file_dialog.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

namespace velmo {

namespace {

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char toLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

char toUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string caseInsensitivePattern(std::string_view pattern) {
    std::string out;
    bool inSet = false;
    for (const char c : pattern) {
        if (inSet) {
            out += c;
            if (c == ']') inSet = false;
        } else if (c == '[') {
            out += c;
            inSet = true;
        } else if (isAsciiLetter(c)) {
            out += '[';
            out += toLowerAscii(c);
            out += toUpperAscii(c);
            out += ']';
        } else {
            out += c;
        }
    }
    return out;
}

std::string patternsWithout(std::string_view fileName) {
    const size_t dot = fileName.rfind('.');
    const std::string_view stem = fileName.substr(0, dot == std::string_view::npos ? fileName.size() : dot);
    const std::string ext(dot == std::string_view::npos ? std::string_view() : fileName.substr(dot));
    std::vector<std::string> patterns;
    // Shorter and longer names than the one left out ...
    for (size_t length = 1; length < stem.size(); ++length) patterns.push_back(std::string(length, '?') + ext);
    patterns.push_back(std::string(stem.size() + 1, '?') + "*" + ext);
    // ... and names of its length that differ from it in some character.
    for (size_t k = 0; k < stem.size(); ++k)
        patterns.push_back(std::string(stem.substr(0, k)) + "[!" + stem[k] + "]" + std::string(stem.size() - k - 1, '?') +
                           ext);
    std::string joined;
    for (const std::string& p : patterns) joined += (joined.empty() ? "" : ";") + p;
    return joined;
}

QString nameFilter(const QString& description, std::string_view patterns) {
    QStringList spelled;
    const QString all = QString::fromUtf8(patterns.data(), static_cast<qsizetype>(patterns.size()));
    for (const QString& pattern : all.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        spelled << QString::fromStdString(caseInsensitivePattern(pattern.trimmed().toStdString()));
    return QStringLiteral("%1 (%2)").arg(description, spelled.join(QLatin1Char(' ')));
}

void setFileType(QFileDialog& dialog, const QString& description, std::string_view patterns) {
    // A desktop's own dialog may match the patterns case-sensitively; the
    // spelled-out sets make "*.MP3" find "song.mp3" there as well.
    dialog.setNameFilters({nameFilter(description, patterns)});
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
}

std::vector<std::string> runFileDialog(QFileDialog& dialog, const FileDialogRunner& runner) {
    std::optional<QStringList> chosen;
    if (runner)
        chosen = runner(dialog);
    else if (dialog.exec() == QDialog::Accepted)
        chosen = dialog.selectedFiles();
    std::vector<std::string> paths;
    if (!chosen) return paths;
    paths.reserve(static_cast<size_t>(chosen->size()));
    for (const QString& path : *chosen)
        paths.push_back(QFile::encodeName(QDir::cleanPath(QFileInfo(path).absoluteFilePath())).toStdString());
    return paths;
}

}  // namespace velmo
