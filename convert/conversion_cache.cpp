#include "conversion_cache.h"

#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "bytes.h"
#include "fileio.h"

namespace velmo {

namespace {

constexpr char kKeyTag[] = "velmo-conversion-1";
constexpr size_t kDigestBytes = SHA256_DIGEST_SIZE;
constexpr size_t kEntryHeaderBytes = kDigestBytes + 8 + kDigestBytes;
constexpr size_t kCopyBlock = 1 << 16;
// No song's data is larger than the largest storage.
constexpr uint64_t kMaxEntryBytes = 256ull << 20;

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

void add(sha256_ctx& ctx, const std::string& text) {
    sha256_update(&ctx, text.size() + 1, reinterpret_cast<const uint8_t*>(text.c_str()));
}

void add(sha256_ctx& ctx, uint64_t value) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
    sha256_update(&ctx, sizeof b, b);
}

}  // namespace

std::string conversionCacheName(const Song& song, const WorkContext& ctx) {
    sha256_ctx c;
    sha256_init(&c);
    add(c, std::filesystem::path(ctx.path(fieldText(song.workPath))).lexically_normal().string());
    uint8_t d[kDigestBytes];
    sha256_digest(&c, sizeof d, d);
    return hex(d, 16) + ".mp3";
}

std::string ConversionCache::entryPath(const Song& song) const {
    return ctx_.path(std::string(kConversionCacheDir) + "/" + conversionCacheName(song, ctx_));
}

std::string ConversionCache::keyOf(const Song& song, uint16_t quality, bool evenVolume) const {
    struct stat st {};
    const std::string work = ctx_.path(fieldText(song.workPath));
    if (::stat(work.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    sha256_ctx c;
    sha256_init(&c);
    add(c, std::string(kKeyTag));
    add(c, work);
    add(c, static_cast<uint64_t>(st.st_size));
    add(c, static_cast<uint64_t>(st.st_mtim.tv_sec));
    add(c, static_cast<uint64_t>(st.st_mtim.tv_nsec));
    add(c, static_cast<uint64_t>(st.st_ctim.tv_sec));
    add(c, static_cast<uint64_t>(st.st_ctim.tv_nsec));
    add(c, static_cast<uint64_t>(st.st_ino));
    add(c, static_cast<uint64_t>(st.st_dev));
    add(c, uint64_t{quality});
    add(c, uint64_t{song.cutFlag});
    add(c, uint64_t{song.cutLimit});
    add(c, uint64_t{evenVolume ? 1u : 0u});
    std::string key(kDigestBytes, '\0');
    sha256_digest(&c, kDigestBytes, reinterpret_cast<uint8_t*>(key.data()));
    return key;
}

bool ConversionCache::fetch(const Song& song, const std::string& key, const std::string& mp3Path,
                            uint32_t& bytes) const {
    if (key.size() != kDigestBytes) return false;
    FilePtr in = openRegularFileForReading(entryPath(song));
    if (!in) return false;
    const std::optional<uint64_t> size = fileSize(in.get());
    uint8_t head[kEntryHeaderBytes];
    if (!size || *size < kEntryHeaderBytes || *size > kMaxEntryBytes ||
        std::fread(head, 1, sizeof head, in.get()) != sizeof head || std::memcmp(head, key.data(), kDigestBytes) != 0)
        return false;
    const uint64_t length = readLe32(head + kDigestBytes) | (uint64_t{readLe32(head + kDigestBytes + 4)} << 32);
    if (length == 0 || length != *size - kEntryHeaderBytes || length > UINT32_MAX) return false;
    FilePtr out = createFileForWriting(mp3Path);
    if (!out) return false;
    sha256_ctx c;
    sha256_init(&c);
    std::vector<uint8_t> buffer(kCopyBlock);
    for (uint64_t left = length; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        if (std::fread(buffer.data(), 1, n, in.get()) != n || std::fwrite(buffer.data(), 1, n, out.get()) != n)
            return false;
        sha256_update(&c, n, buffer.data());
        left -= n;
    }
    uint8_t d[kDigestBytes];
    sha256_digest(&c, sizeof d, d);
    if (std::memcmp(d, head + kDigestBytes + 8, kDigestBytes) != 0 || std::fclose(out.release()) != 0) return false;
    bytes = static_cast<uint32_t>(length);
    return true;
}

void ConversionCache::store(const Song& song, const std::string& key, const std::string& mp3Path,
                            uint32_t bytes) const {
    if (key.size() != kDigestBytes || bytes == 0) return;
    std::error_code ec;
    std::filesystem::create_directory(ctx_.path(kConversionCacheDir), ec);
    const std::string target = entryPath(song);
    const std::string part = target + ".part";
    FilePtr in = openRegularFileForReading(mp3Path);
    if (!in) return;
    // The bytes are hashed before the entry is written: the header goes first.
    sha256_ctx c;
    sha256_init(&c);
    std::vector<uint8_t> buffer(kCopyBlock);
    for (uint32_t left = bytes; left > 0;) {
        const size_t n = std::min<size_t>(left, buffer.size());
        if (std::fread(buffer.data(), 1, n, in.get()) != n) return;
        sha256_update(&c, n, buffer.data());
        left -= static_cast<uint32_t>(n);
    }
    uint8_t head[kEntryHeaderBytes];
    std::memcpy(head, key.data(), kDigestBytes);
    writeLe32(head + kDigestBytes, bytes);
    writeLe32(head + kDigestBytes + 4, 0);
    sha256_digest(&c, kDigestBytes, head + kDigestBytes + 8);
    std::rewind(in.get());
    bool ok = false;
    {
        FilePtr out = createFileForWriting(part);
        if (!out) return;
        ok = std::fwrite(head, 1, sizeof head, out.get()) == sizeof head;
        for (uint32_t left = bytes; ok && left > 0;) {
            const size_t n = std::min<size_t>(left, buffer.size());
            ok = std::fread(buffer.data(), 1, n, in.get()) == n && std::fwrite(buffer.data(), 1, n, out.get()) == n;
            left -= static_cast<uint32_t>(n);
        }
        ok = ok && std::fclose(out.release()) == 0;
    }
    if (!ok || std::rename(part.c_str(), target.c_str()) != 0) ::unlink(part.c_str());
}

void keepOnlyCachedSongs(const Song* songs, size_t count, const WorkContext& ctx) {
    namespace fs = std::filesystem;
    std::set<std::string> keep;
    for (size_t i = 0; i < count; ++i) keep.insert(conversionCacheName(songs[i], ctx));
    std::error_code ec;
    std::vector<fs::path> gone;
    for (fs::directory_iterator it(ctx.path(kConversionCacheDir), ec), end; !ec && it != end; it.increment(ec))
        if (keep.count(it->path().filename().string()) == 0) gone.push_back(it->path());
    for (const fs::path& p : gone) fs::remove(p, ec);
}

}  // namespace velmo
