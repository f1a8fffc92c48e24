#include "fileselection.h"

#include <algorithm>

namespace velmo {

namespace {

// The folder that holds `path`: "/" for a file at the root, "" for a bare name.
std::string parentFolder(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

bool isInside(std::string_view folder, std::string_view path) {
    if (folder.empty()) return true;
    if (path.substr(0, folder.size()) != folder) return false;
    return folder.back() == '/' || (path.size() > folder.size() && path[folder.size()] == '/');
}

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char toLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

char toUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string joinFolderAndName(std::string_view folder, std::string_view name) {
    std::string path(folder);
    // An empty folder only arises for bare names; it must not turn them into
    // paths at the root.
    if (!folder.empty() && folder.back() != '/') path += '/';
    path += name;
    return path;
}

void FileSelection::assignBuffer(std::string_view buffer) {
    buffer_.assign(buffer.data(), buffer.size());
    buffer_.append(2, '\0');
}

void FileSelection::assignPaths(const std::vector<std::string>& fullPaths) {
    if (fullPaths.empty()) {
        clear();
        return;
    }
    // A single selection, or a dialog that allows only one file, reports one
    // full path.
    if (fullPaths.size() == 1 || (flags_ & OFN_ALLOWMULTISELECT) == 0) {
        assignBuffer(fullPaths.front());
        return;
    }
    // Qt's dialogs choose within one folder, but a desktop's own dialog may
    // mix folders (recent files): the deepest folder holding them all keeps
    // the walk giving back exactly the chosen paths.
    std::string folder = parentFolder(fullPaths.front());
    for (const std::string& path : fullPaths) {
        while (!folder.empty() && !isInside(folder, path)) {
            const std::string up = parentFolder(folder);
            folder = (up == folder) ? std::string() : up;
        }
    }
    const char sep = separator();
    buffer_ = folder;
    for (const std::string& path : fullPaths) {
        buffer_ += sep;
        std::size_t skip = folder.size();
        if (!folder.empty() && folder.back() != '/') ++skip;
        buffer_.append(path, skip, std::string::npos);
    }
    buffer_.append(2, '\0');
}

std::string FileSelection::firstText() const { return std::string(buffer_.c_str()); }

PathPosition FileSelection::firstPosition() const {
    // After a cancel the buffer is empty: walking it must give no path at all,
    // not one empty path.
    if (buffer_.empty() || buffer_[0] == '\0') return std::nullopt;
    return std::size_t{0};
}

std::string FileSelection::nextPath(PathPosition& position) const {
    if (!position) return {};
    const char sep = separator();
    // buffer_ always ends in two NULs, so every scan below stops inside it.
    const std::size_t last = buffer_.size() - 1;
    auto scanTo = [&](std::size_t i) {
        while (i < last && buffer_[i] != sep && buffer_[i] != '\0') ++i;
        return i;
    };

    std::size_t nameStart = std::min(*position, last);
    if (*position == 0) {
        if ((flags_ & OFN_ALLOWMULTISELECT) == 0) {
            position.reset();
            return firstText();
        }
        const std::size_t end = scanTo(0);
        // One file in a multiple selection: the buffer holds its full path.
        if (buffer_[end] == '\0' && (sep != '\0' || buffer_[end + 1] == '\0')) {
            position.reset();
            return firstText();
        }
        nameStart = end + 1;
    }

    const std::string folder = buffer_.substr(0, scanTo(0));
    const std::size_t nameEnd = scanTo(nameStart);
    const std::string name = buffer_.substr(nameStart, nameEnd - nameStart);

    if (sep == '\0') {
        // The list ends with a second NUL.
        if (nameEnd + 1 > last || buffer_[nameEnd + 1] == '\0')
            position.reset();
        else
            position = nameEnd + 1;
    } else {
        if (buffer_[nameEnd] == '\0')
            position.reset();
        else
            position = nameEnd + 1;
    }
    return joinFolderAndName(folder, name);
}

SplitPath splitPath(std::string_view path) {
    SplitPath parts;
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = (slash == std::string_view::npos) ? 0 : slash + 1;
    parts.folder = std::string(path.substr(0, nameStart));
    const std::string_view name = path.substr(nameStart);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        parts.title = std::string(name);
    } else {
        parts.title = std::string(name.substr(0, dot));
        parts.extension = std::string(name.substr(dot));
    }
    return parts;
}

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

}  // namespace velmo
