#include "song_tags.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>

#include "bytes.h"
#include "ffmpeg_decoder.h"

namespace velmo {

namespace {

constexpr size_t kId3HeaderBytes = 10;
constexpr uint8_t kId3Unsynchronised = 0x80;
constexpr uint8_t kId3ExtendedHeader = 0x40;
constexpr uint8_t kId3Footer = 0x10;  // 2.4 only

// An open file descriptor, closed on every return path.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Reads exactly `n` bytes at `offset`; false on a short read or an error.
bool readAt(int fd, uint64_t offset, uint8_t* out, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// TagLib's view of the file: read-only, and never past the size the file had
// when it was opened, so a size field that lies cannot make it allocate or
// read more than the file holds.
class BoundedStream : public TagLib::IOStream {
  public:
    BoundedStream(int fd, uint64_t size, std::string name) : fd_(fd), size_(size), name_(std::move(name)) {}

    TagLib::FileName name() const override { return name_.c_str(); }
    TagLib::ByteVector readBlock(unsigned long length) override {
        if (pos_ >= size_ || length == 0) return TagLib::ByteVector();
        const uint64_t n = std::min<uint64_t>(length, size_ - pos_);
        if (n > kMaxTagBlockBytes) {
            overlong_ = true;
            return TagLib::ByteVector();
        }
        std::vector<uint8_t> bytes(static_cast<size_t>(n));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::pread(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(pos_ + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        pos_ += done;
        bytesRead_ += done;
        return TagLib::ByteVector(reinterpret_cast<const char*>(bytes.data()), static_cast<unsigned int>(done));
    }
    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return true; }
    void seek(long offset, Position p) override {
        const int64_t base = p == Beginning ? 0
                             : p == Current ? static_cast<int64_t>(pos_)
                                            : static_cast<int64_t>(size_);
        const int64_t to = base + offset;
        pos_ = to < 0 ? 0 : static_cast<uint64_t>(to);
    }
    long tell() const override { return static_cast<long>(pos_); }
    long length() override { return static_cast<long>(size_); }
    void truncate(long) override {}

    bool overlong() const { return overlong_; }
    uint64_t bytesRead() const { return bytesRead_; }

  private:
    int fd_;
    uint64_t size_;
    std::string name_;
    uint64_t pos_ = 0;
    uint64_t bytesRead_ = 0;
    bool overlong_ = false;
};

bool syncsafe(const uint8_t* p, size_t n, uint32_t& value) {
    value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] & 0x80) return false;
        value = (value << 7) | p[i];
    }
    return true;
}

// Whether the frames of an ID3v2 tag body (`version` 2, 3 or 4, after the
// extended header) each fit inside what is left of the body. Padding (a zero
// byte where a frame's name begins) or a name that is no frame name ends the
// walk, as it ends every reader's.
bool framesFit(const std::vector<uint8_t>& body, size_t start, uint8_t version) {
    const size_t idBytes = version == 2 ? 3 : 4;
    const size_t headerBytes = version == 2 ? 6 : 10;
    ByteReader in(body.data(), body.size());
    if (!in.skip(start)) return false;
    while (in.remaining() >= headerBytes) {
        const uint8_t* h = body.data() + in.position();
        for (size_t i = 0; i < idBytes; ++i) {
            const bool named = (h[i] >= 'A' && h[i] <= 'Z') || (h[i] >= '0' && h[i] <= '9');
            if (!named) return true;
        }
        uint32_t size = 0;
        if (version == 2) {
            size = (uint32_t{h[3]} << 16) | (uint32_t{h[4]} << 8) | h[5];
        } else if (version == 3 || !syncsafe(h + 4, 4, size)) {
            // Some writers put plain 32-bit sizes in 2.4 frames.
            size = readBe32(h + 4);
        }
        in.skip(headerBytes);
        if (!in.skip(size)) return false;
    }
    return true;
}

// The ID3v2 tag at the start of the file, if any, checked field by field
// against its own size and the file's before TagLib sees it. `found` tells
// whether there is one (of a version TagLib reads) that passed the checks.
TagRead checkId3v2(int fd, uint64_t fileSize, uint64_t& bytesRead, bool& found) {
    found = false;
    uint8_t h[kId3HeaderBytes];
    if (fileSize < kId3HeaderBytes || !readAt(fd, 0, h, sizeof h)) return TagRead::Read;
    bytesRead += sizeof h;
    if (h[0] != 'I' || h[1] != 'D' || h[2] != '3') return TagRead::Read;
    const uint8_t version = h[3];
    const uint8_t flags = h[5];
    uint32_t size = 0;
    if (!syncsafe(h + 6, 4, size)) return TagRead::Refused;
    const uint64_t end = kId3HeaderBytes + uint64_t{size} + (version == 4 && (flags & kId3Footer) ? 10 : 0);
    if (end > fileSize || size > kMaxTagBlockBytes) return TagRead::Refused;
    // Versions TagLib does not know it passes over; their sizes were checked.
    if (version < 2 || version > 4) return TagRead::Read;

    std::vector<uint8_t> body(size);
    if (!readAt(fd, kId3HeaderBytes, body.data(), body.size())) return TagRead::Refused;
    bytesRead += body.size();
    // Before 2.4 the whole tag may be unsynchronised, frame headers included.
    if (version < 4 && (flags & kId3Unsynchronised)) {
        std::vector<uint8_t> plain;
        plain.reserve(body.size());
        for (size_t i = 0; i < body.size(); ++i) {
            plain.push_back(body[i]);
            if (body[i] == 0xFF && i + 1 < body.size() && body[i + 1] == 0x00) ++i;
        }
        body.swap(plain);
    }
    size_t start = 0;
    if (flags & kId3ExtendedHeader) {
        if (body.size() < 4) return TagRead::Refused;
        uint32_t extended = 0;
        if (version == 3) {
            extended = 4 + readBe32(body.data());  // its size leaves out its own four bytes
        } else if (version == 4 && !syncsafe(body.data(), 4, extended)) {
            return TagRead::Refused;
        }
        if (extended > body.size()) return TagRead::Refused;
        start = extended;
    }
    if (!framesFit(body, start, version)) return TagRead::Refused;
    found = true;
    return TagRead::Read;
}

// The title and artist gathered from the file's tags: each from the first
// source that has it, in the order the sources are offered. Where a field
// holds several values, as other readers show them: the first title, and
// every artist, joined with ", ".
struct Names {
    std::string title;
    std::string artist;

    bool complete() const { return !title.empty() && !artist.empty(); }

    void take(const TagLib::PropertyMap& map) {
        if (title.empty()) {
            if (const auto it = map.find("TITLE"); it != map.end()) {
                for (const TagLib::String& value : it->second) {
                    if (value.isEmpty()) continue;
                    title = value.to8Bit(true);
                    break;
                }
            }
        }
        if (artist.empty()) {
            if (const auto it = map.find("ARTIST"); it != map.end()) {
                for (const TagLib::String& value : it->second) {
                    if (value.isEmpty()) continue;
                    if (!artist.empty()) artist += ", ";
                    artist += value.to8Bit(true);
                }
            }
        }
    }

    // A tag that holds one value a field (RIFF INFO, ID3v1), or TagLib's
    // field-by-field view across a file's tags.
    void take(const TagLib::Tag& tag) {
        if (title.empty()) title = tag.title().to8Bit(true);
        if (artist.empty()) artist = tag.artist().to8Bit(true);
    }

    void take(const FfmpegTags& tags) {
        if (title.empty()) title = tags.title;
        if (artist.empty()) artist = tags.artist;
    }
};

}  // namespace

SongTags readSongTags(const std::string& path) {
    SongTags out;
    // Non-blocking, so that a named pipe cannot stall the open.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return out;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return out;
    const uint64_t size = static_cast<uint64_t>(st.st_size);

    bool id3AtStart = false;
    out.status = checkId3v2(fd.get(), size, out.bytesRead, id3AtStart);
    if (out.status != TagRead::Read) return out;

    Names names;
    bool tagsRead = false;
    {
        BoundedStream stream(fd.get(), size, path);
        const TagLib::FileRef ref(&stream, false);
        TagLib::File* file = ref.file();
        if (!ref.isNull() && ref.tag() != nullptr) {
            tagsRead = true;
            // The format's own tags, with every value of a field.
            names.take(file->properties());
            // A WAV file's properties are those of its ID3 chunk when it has
            // one; its RIFF INFO list may name what the chunk does not.
            if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file); wav != nullptr && !names.complete())
                names.take(*wav->InfoTag());
            // An ID3v2 tag before another format's data (an APE file's, most
            // often) is one TagLib passes over; an MP3 file's is its own tag.
            if (id3AtStart && !names.complete() && dynamic_cast<TagLib::MPEG::File*>(file) == nullptr) {
                const TagLib::ID3v2::Tag start(file, 0);
                names.take(start.properties());
            }
            // A field only a tag further down the file holds (an ID3v1 tag
            // behind an ID3v2 tag without an artist).
            if (!names.complete()) names.take(*ref.tag());
        }
        out.bytesRead += stream.bytesRead();
        if (stream.overlong()) {
            out.status = TagRead::Refused;
            return out;
        }
    }
    // Containers TagLib does not read (Matroska, WebM) and chunks it passes
    // over (AIFF's NAME and AUTH): FFmpeg's reading of the container's header.
    if (!names.complete()) {
        FfmpegTags tags;
        if (readFfmpegTags(path, tags) == kFfmpegOk) {
            names.take(tags);
            tagsRead = true;
        }
    }
    if (!tagsRead) {
        out.status = TagRead::None;
        return out;
    }
    out.title = std::move(names.title);
    out.artist = std::move(names.artist);
    return out;
}

}  // namespace velmo
