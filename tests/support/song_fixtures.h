// Helpers that the core, terminal and window tests share: copies of the
// committed audio fixtures, a song table as an earlier run left it, and the
// simulated clock's storage.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "songrecord.h"
#include "songtable.h"
#include "tempdir.h"
#include "zentro_sim_control.h"

namespace velmo::test {

inline std::string fixturePath(const std::string& name) { return std::string(VELMO_TEST_DATA) + "/" + name; }

// A copy of the fixture `from` named `name` in `folder` (created when missing).
inline std::string copyFixture(const std::string& from, const std::string& folder, const std::string& name) {
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/" + name;
    std::filesystem::copy_file(fixturePath(from), path, std::filesystem::copy_options::overwrite_existing);
    return path;
}

// Where song i of a written table says it came from; by default a file that
// does not exist.
using SourceFor = std::function<std::string(size_t i)>;
inline std::string nowhere(size_t i) { return "/nowhere/song" + std::to_string(i) + ".mp3"; }

// Saves a song table in `folder` whose records carry the given estimates, as
// "./dat/song<i>.mp3" from `sourceFor(i)`.
inline void writeSongTable(const std::string& folder, const std::vector<uint32_t>& estimates, uint16_t quality,
                           uint8_t copyPending, const SourceFor& sourceFor = nowhere) {
    std::unique_ptr<Song[]> songs(new Song[kMaxSongs]());
    uint32_t total = 0;
    for (size_t i = 0; i < estimates.size(); ++i) {
        std::snprintf(songs[i].sourcePath, kPathBytes, "%s", sourceFor(i).c_str());
        std::snprintf(songs[i].workPath, kPathBytes, "./dat/song%zu.mp3", i);
        songs[i].sizeEstimate = estimates[i];
        songs[i].copyPending = copyPending;
        total += estimates[i];
    }
    ASSERT_EQ(0, saveSongTable(folder, quality, static_cast<uint16_t>(estimates.size()), songs.get(), total));
}

// `count` bytes of the simulated clock's storage from `address`.
inline std::vector<uint8_t> simFlash(uint32_t address, uint32_t count) {
    std::vector<uint8_t> bytes(count);
    EXPECT_EQ(0, zentroSimReadFlash(address, count, bytes.data()));
    return bytes;
}

// A mono 16-bit PCM WAV of `seconds` of a 440 Hz tone at 44100 Hz: long
// enough for its conversion and its write to be interrupted half-way.
inline void writeToneWav(const std::string& path, int seconds) {
    const uint32_t samples = 44100u * static_cast<uint32_t>(seconds);
    std::vector<uint8_t> bytes(44 + 2 * static_cast<size_t>(samples));
    auto le32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    auto le16 = [&](size_t at, uint16_t v) {
        bytes[at] = static_cast<uint8_t>(v);
        bytes[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    std::memcpy(&bytes[0], "RIFF", 4);
    le32(4, static_cast<uint32_t>(bytes.size() - 8));
    std::memcpy(&bytes[8], "WAVEfmt ", 8);
    le32(16, 16);
    le16(20, 1);
    le16(22, 1);
    le32(24, 44100);
    le32(28, 88200);
    le16(32, 2);
    le16(34, 16);
    std::memcpy(&bytes[36], "data", 4);
    le32(40, 2 * samples);
    for (uint32_t i = 0; i < samples; ++i)
        le16(44 + 2 * static_cast<size_t>(i), static_cast<uint16_t>(static_cast<int16_t>(
                                                  8000.0 * std::sin(i * 2.0 * 3.14159265358979 * 440.0 / 44100.0))));
    writeFileBytes(path, bytes);
}

}  // namespace velmo::test
