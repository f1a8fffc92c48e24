#include "loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "mp3_decoder.h"

namespace velmo {

namespace {

struct StateDeleter {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};

int16_t le16(uint8_t low, uint8_t high) {
    return static_cast<int16_t>(static_cast<uint16_t>(low | (static_cast<uint16_t>(high) << 8)));
}

double fromDb(double db) { return std::pow(10.0, db / 20.0); }

}  // namespace

struct LoudnessMeter::State {
    std::unique_ptr<ebur128_state, StateDeleter> meter;
    std::vector<short> samples;
    bool carried = false;  // a write ended inside a sample
    uint8_t carry = 0;
};

LoudnessMeter::LoudnessMeter(PcmSink& next) : next_(next), state_(std::make_unique<State>()) {}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::begin(uint32_t sampleRate) {
    state_->meter.reset(ebur128_init(1, sampleRate, EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK));
    next_.begin(sampleRate);
}

bool LoudnessMeter::write(const uint8_t* bytes, size_t count) {
    if (!next_.write(bytes, count)) return false;
    State& s = *state_;
    if (!s.meter || count == 0) return true;
    s.samples.clear();
    size_t at = 0;
    if (s.carried) {
        s.samples.push_back(le16(s.carry, bytes[0]));
        s.carried = false;
        at = 1;
    }
    for (; at + 1 < count; at += 2) s.samples.push_back(le16(bytes[at], bytes[at + 1]));
    if (at < count) {
        s.carried = true;
        s.carry = bytes[at];
    }
    // A meter that fails (it cannot, short of memory) only leaves the song unmeasured.
    if (!s.samples.empty() && ebur128_add_frames_short(s.meter.get(), s.samples.data(), s.samples.size()) != 0)
        s.meter.reset();
    return true;
}

bool LoudnessMeter::measured() const { return state_->meter != nullptr; }

double LoudnessMeter::integratedLoudness() const {
    double lufs = -HUGE_VAL;
    if (!state_->meter || ebur128_loudness_global(state_->meter.get(), &lufs) != EBUR128_SUCCESS) return -HUGE_VAL;
    return lufs;
}

double LoudnessMeter::samplePeak() const {
    double peak = 0;
    if (!state_->meter || ebur128_sample_peak(state_->meter.get(), 0, &peak) != EBUR128_SUCCESS) return 0;
    return peak;
}

double evenVolumeGain(double loudnessLufs, double samplePeak) {
    // Below the gate there is nothing to bring up: hiss would become a song.
    if (!std::isfinite(loudnessLufs) || !std::isfinite(samplePeak) || samplePeak <= 0) return 1.0;
    const double toTarget = fromDb(kEvenVolumeTargetLufs - loudnessLufs);
    // As ReplayGain's clipping prevention: the song gets what its peak
    // allows, even when that is less than it has, never a limiter.
    const double peakAllows = fromDb(kEvenVolumePcmCeilingDbfs) / samplePeak;
    return std::min(toTarget, peakAllows);
}

namespace {

// Keeps only the largest magnitude of what it is given.
class PeakSink : public PcmSink {
  public:
    void begin(uint32_t) override {}
    bool write(const uint8_t* bytes, size_t count) override {
        for (size_t i = 0; i + 1 < count; i += 2) peak_ = std::max(peak_, std::abs(le16(bytes[i], bytes[i + 1])));
        return true;
    }
    int peak() const { return peak_; }

  private:
    int peak_ = 0;
};

}  // namespace

double mp3SamplePeak(const std::string& path, const std::atomic<bool>* stop) {
    PeakSink sink;
    Mp3Info info;
    if (decodeMp3(path, sink, info, stop) != kMp3DecodeOk || !mp3HasAudio(info)) return -1;
    return sink.peak() / 32768.0;
}

void GainPcmSource::scale(uint8_t* bytes, size_t count) const {
    for (size_t at = 0; at + 1 < count; at += 2) {
        double v = std::clamp(le16(bytes[at], bytes[at + 1]) * gain_, -32768.0, 32767.0);
        // To the nearest, halves away from zero; the clamp keeps it in range.
        v += v < 0 ? -0.5 : 0.5;
        const auto u = static_cast<uint16_t>(static_cast<int16_t>(v));
        bytes[at] = static_cast<uint8_t>(u);
        bytes[at + 1] = static_cast<uint8_t>(u >> 8);
    }
}

size_t GainPcmSource::read(uint8_t* into, size_t count) {
    if (count == 0) return 0;
    size_t n = 0;
    // The carried byte was scaled with its sample in the read before.
    const size_t aligned = carried_ ? 1 : 0;
    if (carried_) {
        into[n++] = carry_;
        carried_ = false;
    }
    n += source_.read(into + n, count - n);
    const size_t whole = aligned + (n - aligned) / 2 * 2;
    scale(into + aligned, whole - aligned);
    const size_t at = whole;
    if (at < n) {
        // The read ends inside a sample: its second byte is read now, so
        // that the whole sample is scaled; it opens the next read. At the
        // song's end a lone byte is no sample and stays as it is.
        uint8_t sample[2] = {into[at], 0};
        if (source_.read(sample + 1, 1) == 1) {
            scale(sample, 2);
            into[at] = sample[0];
            carry_ = sample[1];
            carried_ = true;
        }
    }
    return n;
}

}  // namespace velmo
