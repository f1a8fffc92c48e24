// The files an open dialog reports, walked one full path at a time. Toolkit
// free: CFileDialogST fills it from QFileDialog, tests fill it directly.
//
// The selection is kept in the form the system file dialogs use for their
// file buffer, so the walk keeps its established meaning:
//   - one file chosen:     "<full path>\0\0"
//   - several files:       "<folder>\0<name>\0<name>\0...\0\0"  (explorer style)
//                          "<folder> <name> <name>"             (old style)
// A path is folder and name joined by joinFolderAndName, which never doubles
// the separator after a root folder such as "/".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo {

// Option flags of the open and save dialogs, with the values the Windows
// dialogs gave them so that callers pass the same sets. Only the ones the
// wrapper acts on are listed.
constexpr std::uint32_t OFN_OVERWRITEPROMPT = 0x00000002;
constexpr std::uint32_t OFN_HIDEREADONLY = 0x00000004;  // no read-only box on Qt's dialogs
constexpr std::uint32_t OFN_ALLOWMULTISELECT = 0x00000200;
constexpr std::uint32_t OFN_EXPLORER = 0x00080000;

// Folder and name as one path: folder + name when the folder already ends in
// a separator (a root folder "/"), else folder + "/" + name.
std::string joinFolderAndName(std::string_view folder, std::string_view name);

// Where the walk stands: an offset into the selection buffer, or none after
// the last path (and for an empty selection).
using PathPosition = std::optional<std::size_t>;

class FileSelection {
  public:
    FileSelection() = default;
    explicit FileSelection(std::uint32_t flags) : flags_(flags) {}

    std::uint32_t flags() const { return flags_; }
    void setFlags(std::uint32_t flags) { flags_ = flags; }

    // Takes a buffer in the system dialogs' form. Bytes after the list's end
    // are kept but never read; the buffer is always closed by two NULs here, so
    // an unterminated buffer cannot be read past its end.
    void assignBuffer(std::string_view buffer);

    // Takes a dialog's result as full paths (absolute, '/'-separated), in the
    // dialog's order. One path is kept whole; several become their deepest
    // common folder followed by each path's remainder, so that walking gives
    // the same paths back. An empty list empties the selection.
    void assignPaths(const std::vector<std::string>& fullPaths);

    void clear() { buffer_.assign(2, '\0'); }

    // The buffer with its closing NULs.
    const std::string& buffer() const { return buffer_; }

    // The text before the first NUL: the full path of a single file, or the
    // folder of a multiple selection.
    std::string firstText() const;

    // Position of the first chosen path; none when nothing was chosen.
    PathPosition firstPosition() const;

    // The chosen path at `position`; moves `position` to the next one, or to
    // none after the last. Returns "" and leaves none as none.
    std::string nextPath(PathPosition& position) const;

  private:
    char separator() const { return (flags_ & OFN_EXPLORER) != 0 ? '\0' : ' '; }

    std::uint32_t flags_ = OFN_EXPLORER;
    std::string buffer_ = std::string(2, '\0');
};

// Parts of a path as the C run-time's _splitpath gives them, for '/'-separated
// paths: the drive is always empty on this system, the folder keeps its
// trailing separator, the extension keeps its dot.
struct SplitPath {
    std::string drive;
    std::string folder;
    std::string title;
    std::string extension;
};
SplitPath splitPath(std::string_view path);

// A file name pattern ("*.MP3") rewritten so that a case-sensitive matcher
// matches it without regard to case ("*.[mM][pP]3"). Characters inside an
// existing [...] set are left as they are.
std::string caseInsensitivePattern(std::string_view pattern);

}  // namespace velmo
