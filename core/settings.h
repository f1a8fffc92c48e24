// The options of a start folder, kept in "velmo.conf" beside the song table:
// plain `key=value` lines that both front ends read. Keys this version does
// not know are kept as they were, so that a newer Velmo's options survive an
// older one; the song table's own format never changes for an option.
#pragma once

#include <optional>

#include "fileio.h"
#include <string>
#include <utility>
#include <vector>

namespace velmo {

constexpr const char* kSettingsFileName = "velmo.conf";

// What loading the settings found.
enum class SettingsLoad {
    Loaded,
    Missing,
    Damaged,     // larger than a settings file can be, or holding a zero byte: not text of ours
    Unreadable,  // could not be read (errorNumber)
    NotAFile,    // a folder, a symlink or anything else (errorNumber: EISDIR, ELOOP, EINVAL)
};

struct SettingsLoadResult {
    SettingsLoad status = SettingsLoad::Missing;
    int errorNumber = 0;
    std::string setAsideAs;  // where a damaged file was renamed to
    // The sentence for the user; empty for Loaded and Missing.
    std::string text(const std::string& startDir) const;
};

class Settings {
  public:
    // Reads `startDir`/velmo.conf; anything but a loaded file leaves every
    // option at its default. Lines without '=' and comments ("#") are kept.
    // A damaged file is renamed aside ("velmo.conf.damaged", numbered when
    // that exists) with SetAside and left as it is with Leave; it is never
    // deleted.
    SettingsLoadResult load(const std::string& startDir, DamagedFile damaged = DamagedFile::SetAside);
    // Writes the file through SafeFileWriter (fileio.h): a failed save leaves
    // the previous file whole. False, with `failure` when given, when it
    // could not be saved, and always when the last load found a file that it
    // could neither read nor set aside: that file is not replaced.
    bool save(const std::string& startDir, FileWriteError* failure = nullptr) const;
    // Whether save() may replace the file (see save).
    bool savable() const { return savable_; }

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
    void parse(const std::string& text);
    // Every line in file order; a value-less line has an empty key.
    std::vector<std::pair<std::string, std::string>> lines_;
    bool changed_ = false;
    bool savable_ = true;
    int blockedBy_ = 0;  // the errno that makes the file not savable
};

}  // namespace velmo
