// A start folder, a simulated clock of its own and a VelmoCore driven through
// the recorder view. Workers' events are queued in the core's EventQueue and
// delivered by the test on its own thread, as the window's event loop would.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "recorder_view.h"
#include "song_fixtures.h"
#include "songtable.h"
#include "tempdir.h"
#include "velmo_core.h"
#include "zentro_sim_control.h"

namespace velmo::test {

class CoreTest : public ::testing::Test {
  public:
    TempDir dir;
    std::string start;
    std::string sim;
    RecorderView view;
    EventQueue target;
    std::unique_ptr<VelmoCore> core;
    std::vector<PostedEvent> delivered;

    void SetUp() override {
        start = dir.file("start");
        sim = dir.file("sim");
        std::filesystem::create_directories(start);
        std::filesystem::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
        ASSERT_EQ(0, zentroSimSetDir(sim.c_str()));
        ASSERT_EQ(0, zentroSimReset());
    }

    void TearDown() override {
        if (core && !core->isClosed()) core->close();
        core.reset();
    }

    void makeCore() {
        view = RecorderView{};
        core = std::make_unique<VelmoCore>(view, target, start);
    }

    // Initialises a new core on the start folder, as the window's start does.
    void startCore() {
        makeCore();
        core->start();
    }

    // Delivers queued worker messages until `done` holds (or the time runs out).
    bool pumpUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            PostedEvent m{};
            if (target.take(m, std::chrono::milliseconds(20))) {
                delivered.push_back(m);
                core->handle(m);
            }
        }
        return true;
    }

    // Runs until the operation has ended and every worker has finished, then
    // delivers whatever was still queued.
    bool pumpToEnd(std::chrono::seconds limit = std::chrono::seconds(60)) {
        const bool ok = pumpUntil([this] { return !core->operationRunning() && !core->workersRunning(); }, limit);
        PostedEvent m{};
        while (target.take(m, std::chrono::milliseconds(50))) {
            delivered.push_back(m);
            core->handle(m);
        }
        core->joinWorkers();
        return ok;
    }

    // Changes the list as saved in the song table: the core is closed (saving
    // it), the records are edited and a new core starts on them.
    void editSavedList(const std::function<void(Song* songs)>& edit) {
        core->close();
        SongTableHeader header;
        std::vector<Song> songs(kMaxSongs);
        ASSERT_EQ(0, loadSongTable(start, header, songs.data()));
        edit(songs.data());
        ASSERT_EQ(0, saveSongTable(start, header.quality, header.songCount, songs.data(), header.totalEstimate));
        startCore();
    }

    std::string fixture(const std::string& name) const { return fixturePath(name); }

    // A copy of a fixture under a new name in a folder of the test's own.
    std::string songFile(const std::string& folder, const std::string& name, const std::string& from) {
        return copyFixture(from, dir.file(folder), name);
    }

    bool shown(const std::string& text) const {
        for (const auto& m : view.messages)
            if (m.text == text) return true;
        return false;
    }
    // A message that begins with `text`, whatever lines follow it (a
    // Download's end adds its read-back and what it wrote).
    bool shownStarting(const std::string& text) const {
        for (const auto& m : view.messages)
            if (m.text.rfind(text, 0) == 0) return true;
        return false;
    }

    // Writes a song table whose records carry the given estimates.
    void writeTable(const std::vector<uint32_t>& estimates, uint16_t quality) {
        writeSongTable(start, estimates, quality, 0);
    }

    std::vector<uint8_t> flash(uint32_t address, uint32_t count) { return simFlash(address, count); }
};

}  // namespace velmo::test
