#include "song_facts.h"

namespace velmo {

SongFactsStore::~SongFactsStore() { stop(); }

void SongFactsStore::put(const std::string& key, SongFacts facts) {
    const std::lock_guard<std::mutex> lock(mutex_);
    facts_[key] = std::move(facts);
}

void SongFactsStore::setFates(std::map<std::string, Fate> fates) {
    const std::lock_guard<std::mutex> lock(mutex_);
    fates_ = std::move(fates);
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
