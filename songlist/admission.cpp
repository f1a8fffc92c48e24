#include "admission.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <utility>

#include "clock_form.h"
#include "paths.h"
#include "song_reader.h"
#include "song_tags.h"
#include "songrecord.h"
#include "translation.h"

namespace velmo {

const char* const kSongExtensions[] = {
    ".mp3",  ".wav",  ".wave", ".flac", ".ogg", ".oga", ".opus", ".m4a",  ".m4b", ".mp4", ".aac", ".aif",
    ".aiff", ".aifc", ".wma",  ".asf",  ".wv",  ".ape", ".mka",  ".webm", ".mp2", ".ac3", ".caf", ".au",
};
const size_t kSongExtensionCount = sizeof kSongExtensions / sizeof kSongExtensions[0];

namespace {

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool endsWithIgnoringCase(std::string_view text, std::string_view tail) {
    if (text.size() < tail.size()) return false;
    const std::string_view end = text.substr(text.size() - tail.size());
    for (size_t i = 0; i < tail.size(); ++i) {
        if (lowerAscii(end[i]) != lowerAscii(tail[i])) return false;
    }
    return true;
}

// A song's name: a song extension with at least one character before it.
bool namesSong(std::string_view component) {
    for (size_t i = 0; i < kSongExtensionCount; ++i) {
        const std::string_view ext = kSongExtensions[i];
        if (component.size() > ext.size() && endsWithIgnoringCase(component, ext)) return true;
    }
    return false;
}

}  // namespace

bool hasExtension(std::string_view path, std::string_view extension) {
    return !extension.empty() && endsWithIgnoringCase(path, extension);
}

bool hasSongExtension(std::string_view path) {
    for (size_t i = 0; i < kSongExtensionCount; ++i) {
        if (hasExtension(path, kSongExtensions[i])) return true;
    }
    return false;
}

std::string songFilePatterns() {
    std::string patterns;
    for (size_t i = 0; i < kSongExtensionCount; ++i) {
        if (i != 0) patterns += ';';
        patterns += '*';
        patterns += kSongExtensions[i];
    }
    return patterns;
}

int songFileOpenError(const std::string& path) {
    // Non-blocking, so that a named pipe cannot stall the check.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    const int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    ::close(fd);
    return error;
}

std::string songComponent(std::string_view path) {
    bool skipFirst = path.empty() || path.front() != '/';
    size_t pos = 0;
    while (pos < path.size()) {
        if (path[pos] == '/') {
            ++pos;
            continue;
        }
        const size_t slash = path.find('/', pos);
        const size_t end = slash == std::string_view::npos ? path.size() : slash;
        const std::string_view component = path.substr(pos, end - pos);
        pos = end;
        if (skipFirst) {
            skipFirst = false;
            continue;
        }
        if (namesSong(component)) return std::string(component);
    }
    return std::string();
}

bool songWorkPath(std::string_view path, std::string& out) {
    const std::string name = songComponent(path);
    if (name.empty()) return false;
    std::string work = std::string(kWorkDir) + name;
    if (work.size() >= kPathBytes) return false;
    out = std::move(work);
    return true;
}

std::string songName(const Song& song) { return songDisplayName(fieldText(song.workPath)); }

std::string songDisplayName(std::string_view path) {
    std::string name = songComponent(path);
    if (name.size() >= kPathBytes) name.resize(kPathBytes - 1);
    return name;
}

uint32_t estimateSongSize(const std::string& path, uint16_t quality) {
    return estimateForDuration(songDuration(path), quality);
}

namespace {
// What the encoder adds to a song's play time, in bytes (see estimateForDuration).
double encoderShareBytes(uint16_t quality) {
    return static_cast<double>(quality) * (quality == kQualityNormal ? 75.0 : 80.0);
}
}  // namespace

double durationForEstimate(uint32_t estimate, uint16_t quality) {
    if (quality == 0) return 0.0;
    const double share = encoderShareBytes(quality);
    const double bytes = static_cast<double>(estimate) > share ? static_cast<double>(estimate) - share : 0.0;
    return bytes / (static_cast<double>(quality) * 1000.0);
}

uint32_t estimateForDuration(double seconds, uint16_t quality) {
    if (!(seconds > 0.0)) return 0;
    // The encoder's own share: its last chunk of samples filled up with
    // silence (a frame's count of samples at the song's rate, 26 ms at 44100
    // Hz, 144 ms at 8000 Hz), its start-up delay and its last frame, in whole
    // frames of 26.1 ms. Measured with the encoder library over songs at 8000
    // to 48000 Hz: 33 to 173 ms at Best and Good (up to 51 ms at 44100 Hz),
    // 59 to 130 ms at Normal (up to 78 ms at 44100 Hz). The estimate takes a
    // share that keeps a song of 5 s within 2 % at any of those rates, and
    // is the same function of the play time wherever a song is estimated.
    // Whole bytes: quality x 80 (75 at Normal) on top of the play time's.
    const double encoderBytes = encoderShareBytes(quality);
    const double bytes = std::floor(static_cast<double>(quality) * 1000.0 * seconds) + encoderBytes;
    // A play time whose size does not fit 32 bits comes only from a damaged
    // header (it could never fit the clock) and would overflow the list's total.
    if (!(bytes >= 0.0) || bytes >= 4294967296.0) return 0;
    return static_cast<uint32_t>(bytes);
}

SongFacts probeSongFacts(const std::string& path, bool withTags) {
    SongFacts facts;
    const SongProbe probe = probeSong(path);
    facts.duration = probe.duration;
    facts.format = probe.format;
    facts.clockFormQuality = clockFormQuality(path);
    if (withTags) {
        SongTags tags = readSongTags(path);
        if (tags.status == TagRead::Read) {
            facts.title = std::move(tags.title);
            facts.artist = std::move(tags.artist);
        }
    }
    return facts;
}

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t utf8Length(const std::string& text, size_t at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (at + n > text.size()) return 0;
    for (size_t i = 1; i < n; ++i) {
        const unsigned char d = static_cast<unsigned char>(text[at + i]);
        if (!continuation(d)) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are no characters.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string fileNameSafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t n = utf8Length(text, at);
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const bool control = n == 1 && (c < 0x20 || c == 0x7F);
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
        if (n == 0 || control || c1 || c == '/') {
            out.push_back('_');
            at += n == 0 ? 1 : n;
        } else {
            out.append(text, at, n);
            at += n;
        }
    }
    return out;
}

std::string trimmedSpaces(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string cutUtf8(std::string text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t cut = maxBytes;
    while (cut > 0 && continuation(static_cast<unsigned char>(text[cut]))) --cut;
    text.resize(cut);
    return text;
}

std::string tagSongName(const std::string& title, const std::string& artist) {
    const std::string t = trimmedSpaces(fileNameSafe(title));
    // "." and ".." would name no file of their own, and the clock's name
    // field would give them back as "Song N".
    if (t.find_first_not_of(". ") == std::string::npos) return {};
    const std::string a = trimmedSpaces(fileNameSafe(artist));
    return trimmedSpaces(cutUtf8(a.empty() ? t : a + " - " + t, kMaxTagNameBytes));
}

bool tagWorkPath(std::string_view path, const std::string& name, std::string& out) {
    const std::string component = songComponent(path);
    if (name.empty() || component.empty()) return false;
    // The reader of a working copy is chosen by its extension: it keeps the file's own.
    for (size_t i = 0; i < kSongExtensionCount; ++i) {
        const std::string_view ext = kSongExtensions[i];
        if (endsWithIgnoringCase(component, ext)) {
            out = std::string(kWorkDir) + name + component.substr(component.size() - ext.size());
            return true;
        }
    }
    return false;
}

}  // namespace velmo

namespace velmo {

namespace {

// One walk below a folder that was added: what it has seen, and its limits.
struct Walk {
    std::string root;                        // the added folder's real path, no trailing '/' (except "/")
    std::set<std::pair<dev_t, ino_t>> seen;  // every folder listed, by device and inode
    size_t entries = 0;
    FolderWalk out;

    // True when `real` is the root or lies below it.
    bool inside(const std::string& real) const {
        if (root == "/") return true;
        return real == root ||
               (real.size() > root.size() && real.compare(0, root.size(), root) == 0 && real[root.size()] == '/');
    }
};

std::string realPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

void listSongs(const std::string& folder, int depth, Walk& walk) {
    struct stat st {};
    if (walk.out.tooManyEntries || (depth > kSongFolderDepth && walk.out.tooDeep)) return;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    // A folder reached twice, through a link or a loop, is listed once: a
    // link back up the tree would otherwise list it for ever.
    if (!walk.seen.insert({st.st_dev, st.st_ino}).second) return;

    std::error_code ec;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (++walk.entries > kMaxFolderEntries) {
            walk.out.tooManyEntries = true;
            break;
        }
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());

    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (const std::string& name : names) {
        const std::string path = prefix + name;
        struct stat link {};
        struct stat entry {};
        if (::lstat(path.c_str(), &link) != 0 || ::stat(path.c_str(), &entry) != 0) continue;  // a dangling link
        if (S_ISDIR(entry.st_mode)) {
            // A link may lead anywhere (/, /proc/self): only folders of the
            // one added are walked.
            if (S_ISLNK(link.st_mode) && !walk.inside(realPath(path))) continue;
            // Below the depth limit the walk only looks whether a song is
            // there, to say why it was left out; once known, no further.
            if (depth < kSongFolderDepth || !walk.out.tooDeep) listSongs(path, depth + 1, walk);
        } else if (S_ISREG(entry.st_mode) && namesSong(name)) {
            if (depth <= kSongFolderDepth)
                walk.out.files.push_back(path);
            else
                walk.out.tooDeep = true;
        }
        if (walk.out.tooManyEntries) return;
    }
}

}  // namespace

FolderWalk walkSongFolder(const std::string& folder) {
    Walk walk;
    walk.root = realPath(folder);
    if (walk.root.empty()) return {};
    listSongs(folder, 0, walk);
    return std::move(walk.out);
}

std::vector<std::string> songFilesInFolder(const std::string& folder) { return walkSongFolder(folder).files; }

std::vector<std::string> folderWalkNotes(const std::string& folder, const FolderWalk& walk) {
    std::vector<std::string> notes;
    if (walk.tooManyEntries)
        notes.push_back(format(tr_("%s holds more than %zu entries: only the songs among the first %zu were taken"),
                               folder.c_str(), kMaxFolderEntries, kMaxFolderEntries));
    if (walk.tooDeep)
        notes.push_back(format(tr_("%s: songs deeper than %d levels were left out"), folder.c_str(), kSongFolderDepth));
    return notes;
}

std::vector<std::string> songFilesOf(const std::vector<std::string>& paths, std::vector<std::string>* notes) {
    std::vector<std::string> out;
    for (const std::string& p : paths) {
        if (isFolder(p)) {
            const FolderWalk walk = walkSongFolder(p);
            out.insert(out.end(), walk.files.begin(), walk.files.end());
            if (notes != nullptr) {
                const std::vector<std::string> said = folderWalkNotes(p, walk);
                notes->insert(notes->end(), said.begin(), said.end());
            }
        } else {
            out.push_back(p);
        }
    }
    return out;
}
bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace velmo
