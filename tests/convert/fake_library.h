// The stand-in encoder library (fake_lame_enc.cpp), held loaded by the test
// so that its settings and counters outlive each load and release by the code
// under test.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <string>

namespace velmo::test {

inline const std::string kFake = std::string(VELMO_BIN_DIR) + "/libfake_lame_enc.so";
inline const std::string kPartial = std::string(VELMO_BIN_DIR) + "/libfake_lame_enc_partial.so";

class FakeLibrary {
  public:
    FakeLibrary() {
        handle_ = ::dlopen(kFake.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) return;
        setup_ = reinterpret_cast<SetupFn>(::dlsym(handle_, "fakeLameSetup"));
        counters_ = reinterpret_cast<CountersFn>(::dlsym(handle_, "fakeLameCounters"));
        slow_ = reinterpret_cast<SlowFn>(::dlsym(handle_, "fakeLameSlow"));
    }
    ~FakeLibrary() {
        if (handle_) ::dlclose(handle_);
    }
    bool ok() const { return setup_ && counters_ && slow_; }
    void setup(uint32_t samples, uint32_t initResult = 0, uint32_t failAt = 0, uint32_t deinitResult = 0,
               uint32_t finalBytes = 4) {
        setup_(samples, initResult, failAt, deinitResult, finalBytes);
    }
    // Each chunk takes this long (after setup(), which resets it).
    void slow(uint32_t microsPerChunk) { slow_(microsPerChunk); }
    uint32_t encodeCalls() { return counter(0); }
    uint32_t openStreams() { return counter(1); }
    uint32_t closeCalls() { return counter(2); }
    uint32_t counter(int i) {
        uint32_t c[7];
        counters_(c);
        return c[i];
    }

  private:
    using SetupFn = void (*)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);
    using CountersFn = void (*)(uint32_t*);
    using SlowFn = void (*)(uint32_t);
    void* handle_ = nullptr;
    SetupFn setup_ = nullptr;
    CountersFn counters_ = nullptr;
    SlowFn slow_ = nullptr;
};

}  // namespace velmo::test
