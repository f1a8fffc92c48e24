#include "songtable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "fileio.h"
#include "paths.h"
#include "storage_layout.h"
#include "terminal_text.h"
#include "translation.h"

namespace velmo {

namespace {

// More than a header and 64 records is never needed from a file.
constexpr size_t kMaxTableBytes = kSongTableHeaderBytes + kMaxSongs * kSongRecordBytes;

bool knownQuality(uint16_t code) { return code == kQualityBest || code == kQualityGood || code == kQualityNormal; }

}  // namespace

std::vector<uint8_t> encodeSongTable(uint16_t quality, uint16_t songCount, uint32_t totalEstimate, const Song* songs) {
    const uint16_t count = std::min<uint16_t>(songCount, kMaxSongs);
    std::vector<uint8_t> image(kSongTableHeaderBytes + size_t{count} * kSongRecordBytes, 0);
    writeLe16(image.data() + 0, count);
    writeLe32(image.data() + 2, totalEstimate);
    std::memcpy(image.data() + 6, kSignature, sizeof(kSignature));
    writeLe16(image.data() + 12, quality);
    for (size_t i = 0; i < count; ++i)
        encodeSongRecord(songs[i], image.data() + kSongTableHeaderBytes + i * kSongRecordBytes);
    return image;
}

SongTableDecode decodeSongTable(const uint8_t* data, size_t size, SongTableHeader& header, Song* songs) {
    if (data == nullptr || size < kSongTableHeaderBytes) return SongTableDecode::ShortHeader;
    if (std::memcmp(data + 6, kSignature, sizeof(kSignature)) != 0) return SongTableDecode::BadSignature;
    const uint16_t quality = readLe16(data + 12);
    if (!knownQuality(quality)) return SongTableDecode::BadQuality;

    const uint16_t promised = readLe16(data + 0);
    const size_t whole = (size - kSongTableHeaderBytes) / kSongRecordBytes;
    const size_t count = std::min<size_t>({promised, whole, kMaxSongs});

    header.songCount = static_cast<uint16_t>(count);
    header.totalEstimate = readLe32(data + 2);
    header.quality = quality;
    for (size_t i = 0; i < count; ++i) decodeSongRecord(data + kSongTableHeaderBytes + i * kSongRecordBytes, songs[i]);
    return SongTableDecode::Loaded;
}

SongTableLoadResult loadSongTableChecked(const std::string& startDir, SongTableHeader& header, Song* songs,
                                         DamagedFile damaged) {
    SongTableLoadResult result;
    const std::string path = resolvePath(startDir, kSongTableName);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        result.status = errno == ENOENT ? SongTableLoad::Missing : SongTableLoad::Unreadable;
        result.errorNumber = errno;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        // Never read through a link nor renamed: the next save would write
        // where it points, or replace something the user made.
        result.status = SongTableLoad::NotAFile;
        result.errorNumber = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return result;
    }
    // Only as much as a table can hold is read, however large the file.
    std::vector<uint8_t> buffer;
    errno = 0;
    if (!readFileHead(path, buffer, kMaxTableBytes)) {
        result.status = SongTableLoad::Unreadable;
        result.errorNumber = errno != 0 ? errno : EIO;
        return result;
    }
    // Decoded into a copy: a damaged table changes nothing.
    std::vector<Song> decodedSongs(kMaxSongs);
    SongTableHeader decoded;
    result.damage = decodeSongTable(buffer.data(), buffer.size(), decoded, decodedSongs.data());
    if (result.damage != SongTableDecode::Loaded) {
        result.status = SongTableLoad::Damaged;
        if (result.damage == SongTableDecode::BadQuality) result.badQuality = readLe16(buffer.data() + 12);
        if (damaged == DamagedFile::SetAside) {
            result.setAsideAs = setDamagedFileAside(path);
            if (result.setAsideAs.empty()) result.errorNumber = errno;
        }
        return result;
    }
    std::copy(decodedSongs.begin(), decodedSongs.begin() + decoded.songCount, songs);
    header = decoded;
    result.status = SongTableLoad::Loaded;
    return result;
}

int loadSongTable(const std::string& startDir, SongTableHeader& header, Song* songs) {
    return loadSongTableChecked(startDir, header, songs, DamagedFile::SetAside).status == SongTableLoad::Loaded ? 0
                                                                                                               : -1;
}

std::string songTableProblemText(const std::string& startDir, const SongTableLoadResult& result) {
    const std::string path = messageName(resolvePath(startDir, kSongTableName));
    switch (result.status) {
        case SongTableLoad::Loaded:
        case SongTableLoad::Missing:
            return {};
        case SongTableLoad::Unreadable:
            return format(tr_("%s cannot be read (%s): the song list is neither loaded nor saved"), path.c_str(),
                          std::strerror(result.errorNumber));
        case SongTableLoad::NotAFile:
            return format(tr_("%s: %s; the song list is neither loaded nor saved"), path.c_str(),
                          fileProblemText(result.errorNumber));
        case SongTableLoad::Damaged:
            break;
    }
    std::string what;
    switch (result.damage) {
        case SongTableDecode::ShortHeader:
            what = tr_("it is shorter than its header");
            break;
        case SongTableDecode::BadSignature:
            what = tr_("it has no \"VELMO\" signature");
            break;
        case SongTableDecode::BadQuality:
            what = format(tr_("its quality code %u is not 2, 4 or 8"), result.badQuality);
            break;
        case SongTableDecode::Loaded:
            break;
    }
    if (!result.setAsideAs.empty())
        return format(tr_("The song list %s is damaged (%s). It was renamed %s, and the list starts empty."),
                      path.c_str(), what.c_str(), messageName(result.setAsideAs).c_str());
    if (result.errorNumber != 0)
        return format(tr_("The song list %s is damaged (%s) and cannot be renamed aside (%s): it is neither loaded "
                          "nor saved."),
                      path.c_str(), what.c_str(), std::strerror(result.errorNumber));
    return format(tr_("The song list %s is damaged (%s). It was left as it is; the next command that changes the "
                      "list renames it aside."),
                  path.c_str(), what.c_str());
}

int saveSongTable(const std::string& startDir, uint16_t quality, uint16_t songCount, const Song* songs,
                  uint32_t totalEstimate, FileWriteError* failure) {
    const std::vector<uint8_t> image = encodeSongTable(quality, songCount, totalEstimate, songs);
    return writeFileSafely(resolvePath(startDir, kSongTableName), image.data(), image.size(), failure) ? 0 : -1;
}

}  // namespace velmo
