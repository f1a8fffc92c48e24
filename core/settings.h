// The options of a start folder, kept in "velmo.conf" beside the song table:
// plain `key=value` lines that both front ends read. Keys this version does
// not know are kept as they were, so that a newer Velmo's options survive an
// older one; the song table's own format never changes for an option.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmo {

constexpr const char* kSettingsFileName = "velmo.conf";

class Settings {
  public:
    // Reads `startDir`/velmo.conf; a missing or unreadable file leaves every
    // option at its default. Lines without '=' and comments ("#") are kept.
    void load(const std::string& startDir);
    // Writes the file beside the old one and renames it over it: a failed
    // save leaves the previous file whole. False when it could not be saved.
    bool save(const std::string& startDir) const;

    std::optional<std::string> get(const std::string& key) const;
    void set(const std::string& key, const std::string& value);
    // "1"/"0" (also "true"/"false", "on"/"off", "yes"/"no" when read).
    bool flag(const std::string& key, bool byDefault) const;
    void setFlag(const std::string& key, bool on) { set(key, on ? "1" : "0"); }
    // A whole number in [low, high], or `byDefault`.
    long number(const std::string& key, long byDefault, long low, long high) const;

    // Something was set since the load: the close saves the file then, and
    // only then (a folder without options gets no file).
    bool changed() const { return changed_; }

  private:
    // Every line in file order; a value-less line has an empty key.
    std::vector<std::pair<std::string, std::string>> lines_;
    bool changed_ = false;
};

}  // namespace velmo
