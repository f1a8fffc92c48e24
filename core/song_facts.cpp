#include "song_facts.h"

#include <cctype>
#include <cstdio>
#include <sstream>

#include "fileio.h"
#include "paths.h"

namespace velmo {

SongFactsStore::~SongFactsStore() { stop(); }

void SongFactsStore::put(const std::string& key, SongFacts facts) {
    const std::lock_guard<std::mutex> lock(mutex_);
    facts_[key] = std::move(facts);
}

void SongFactsStore::setFates(std::map<std::string, Fate> fates) {
    const std::lock_guard<std::mutex> lock(mutex_);
    fates_ = std::move(fates);
    fatesChanged_ = true;
}

namespace {

constexpr const char* kFatesSignature = "velmo-fit 1";
// A list of 64 songs with two paths of 2048 bytes each, escaped, is far less.
constexpr size_t kFatesFileMaxBytes = 1 << 20;

// Paths may hold any byte: those that would break a line or a field are
// written as %XX.
std::string escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c == '%' || c >= 0x7f) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return std::nullopt;
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

}  // namespace

void SongFactsStore::loadFates(const std::string& startDir) {
    std::vector<uint8_t> bytes;
    std::map<std::string, Fate> fates;
    if (readWholeFile(resolvePath(startDir, kFatesFileName), bytes, kFatesFileMaxBytes)) {
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        std::string line;
        if (std::getline(in, line) && line == kFatesSignature) {
            while (std::getline(in, line)) {
                std::istringstream fields(line);
                unsigned quality = 0, leftOff = 0;
                unsigned long size = 0;
                int error = 0;
                std::string key;
                if (!(fields >> quality >> size >> leftOff >> error >> key) || quality > 0xFFFF ||
                    size > 0xFFFFFFFFul || leftOff > 2 || error < 0)
                    continue;
                const std::optional<std::string> k = unescape(key);
                if (!k) continue;
                Fate& f = fates[*k];
                f.quality = static_cast<uint16_t>(quality);
                f.convertedBytes = static_cast<uint32_t>(size);
                f.leftOff = static_cast<Fate::LeftOff>(leftOff);
                f.errorNumber = error;
            }
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    fates_ = std::move(fates);
    fatesChanged_ = false;
}

bool SongFactsStore::saveFates(const std::string& startDir, const std::set<std::string>& keys) const {
    std::string text = std::string(kFatesSignature) + "\n";
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [key, f] : fates_) {
            if (!keys.count(key)) continue;
            text += std::to_string(f.quality) + " " + std::to_string(f.convertedBytes) + " " +
                    std::to_string(static_cast<int>(f.leftOff)) + " " + std::to_string(f.errorNumber) + " " +
                    escape(key) + "\n";
        }
    }
    // Through the safe writer: a failed save keeps the previous file, and a link in its place is refused.
    return writeFileSafely(resolvePath(startDir, kFatesFileName), reinterpret_cast<const uint8_t*>(text.data()),
                           text.size());
}

std::optional<SongFactsStore::Fate> SongFactsStore::findFate(const std::string& key) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = fates_.find(key);
    if (it == fates_.end()) return std::nullopt;
    return it->second;
}

std::optional<SongFacts> SongFactsStore::find(const std::string& key) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = facts_.find(key);
    if (it == facts_.end()) return std::nullopt;
    return it->second;
}

void SongFactsStore::retain(const std::set<std::string>& keys) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = facts_.begin(); it != facts_.end();) it = keys.count(it->first) ? std::next(it) : facts_.erase(it);
}

void SongFactsStore::probeInBackground(std::vector<Wanted> wanted) {
    stop();
    std::vector<Wanted> unknown;
    for (Wanted& w : wanted)
        if (!known(w.key)) unknown.push_back(std::move(w));
    if (unknown.empty()) return;
    stop_ = false;
    worker_ = std::thread([this, unknown = std::move(unknown)] { probe(unknown); });
}

void SongFactsStore::wait() {
    if (worker_.joinable()) worker_.join();
}

void SongFactsStore::stop() {
    stop_ = true;
    wait();
}

void SongFactsStore::probe(const std::vector<Wanted>& wanted) {
    for (const Wanted& w : wanted) {
        if (stop_) return;
        SongFacts facts;
        // The user's file first; a song reloaded from the clock, or one whose
        // file has gone, has its working copy.
        for (const std::string& path : w.paths) {
            facts = probeSongFacts(path, true);
            if (facts.duration > 0.0) break;
        }
        put(w.key, std::move(facts));
    }
}

}  // namespace velmo
