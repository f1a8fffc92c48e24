// Even volume's parts: the meter between the decoder and the PCM file, the
// gain rule, and the source that applies the gain on the way to the encoder.
#include "loudness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "pcm_stream.h"

namespace velmo {
namespace {

std::vector<uint8_t> le16Bytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out;
    for (int16_t s : samples) {
        out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s)));
        out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
    }
    return out;
}

std::vector<int16_t> sine(double amplitude, double hz, uint32_t rate, double seconds) {
    std::vector<int16_t> out(static_cast<size_t>(rate * seconds));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate)));
    return out;
}

class CollectingSink : public PcmSink {
  public:
    void begin(uint32_t r) override { rate = r; }
    bool write(const uint8_t* b, size_t n) override {
        bytes.insert(bytes.end(), b, b + n);
        return true;
    }
    uint32_t rate = 0;
    std::vector<uint8_t> bytes;
};

class MemorySource : public PcmSource {
  public:
    explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    size_t read(uint8_t* into, size_t count) override {
        const size_t n = std::min(count, bytes_.size() - at_);
        std::copy(bytes_.begin() + static_cast<long>(at_), bytes_.begin() + static_cast<long>(at_ + n), into);
        at_ += n;
        return n;
    }
    bool failed() const override { return false; }

  private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
};

// A 997 Hz sine in the one channel reads 3.01 LU below its peak in dBFS
// (ITU-R BS.1770's calibration), whatever sizes the decoder writes it in:
// a write that ends inside a sample must not shift the ones after it.
TEST(LoudnessMeter, MeasuresWhatItPassesOnInAnyWriteSizes) {
    const double amplitude = 0.1 * 32768;
    const std::vector<uint8_t> bytes = le16Bytes(sine(amplitude, 997, 48000, 3.0));
    for (size_t step : {size_t{1}, size_t{3}, size_t{4096}, size_t{4097}}) {
        SCOPED_TRACE(step);
        CollectingSink next;
        LoudnessMeter meter(next);
        meter.begin(48000);
        for (size_t at = 0; at < bytes.size(); at += step)
            ASSERT_TRUE(meter.write(bytes.data() + at, std::min(step, bytes.size() - at)));
        EXPECT_EQ(48000u, next.rate);
        EXPECT_EQ(bytes, next.bytes);
        ASSERT_TRUE(meter.measured());
        EXPECT_NEAR(-20.0 - 3.01, meter.integratedLoudness(), 0.05);
        EXPECT_NEAR(0.1, meter.samplePeak(), 1.0 / 32768);
    }
}

TEST(LoudnessMeter, SilenceIsBelowTheGateAndAnUnstartedMeterMeasuresNothing) {
    CollectingSink next;
    LoudnessMeter silent(next);
    silent.begin(44100);
    const std::vector<uint8_t> zeros(2 * 44100 * 2, 0);
    ASSERT_TRUE(silent.write(zeros.data(), zeros.size()));
    ASSERT_TRUE(silent.measured());
    EXPECT_TRUE(std::isinf(silent.integratedLoudness()) && silent.integratedLoudness() < 0);
    EXPECT_EQ(0.0, silent.samplePeak());

    LoudnessMeter unstarted(next);
    EXPECT_TRUE(unstarted.write(zeros.data(), zeros.size())) << "the bytes still go on";
    EXPECT_FALSE(unstarted.measured());
}

// One gain for the song: to -16 LUFS, lowered so that the peak stays at the
// PCM ceiling; a song below the gate or without figures is left alone.
TEST(EvenVolume, GainReachesTheTargetWhereThePeakAllows) {
    const double ceiling = std::pow(10.0, kEvenVolumePcmCeilingDbfs / 20.0);
    struct Row {
        const char* name;
        double lufs, peak;
        double expected;
    } rows[] = {
        {"quiet, room to spare", -23.0, 0.1, std::pow(10.0, 7.0 / 20)},
        {"loud master, turned down", -8.0, 1.0, std::pow(10.0, -8.0 / 20)},
        {"quiet but peaky: its peak decides", -30.0, 0.5, ceiling / 0.5},
        {"peak above the ceiling, below the target: still lowered", -20.0, 1.0, ceiling},
        {"below the gate", -HUGE_VAL, 0.3, 1.0},
        {"digital silence", -70.0, 0.0, 1.0},
        {"not a number", NAN, 0.5, 1.0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const double gain = evenVolumeGain(r.lufs, r.peak);
        EXPECT_NEAR(r.expected, gain, 1e-9 * r.expected);
        if (gain != 1.0) {
            EXPECT_LE(r.peak * gain, ceiling * (1 + 1e-12));
        }
    }
}

// The gain is applied to whole samples, rounded to the nearest and held in
// range, however the encoder's reads cut the bytes.
TEST(GainPcmSource, ScalesRoundsAndClampsAcrossAnyReadSizes) {
    const std::vector<int16_t> in = {0, 1, -1, 3, -3, 100, -100, 20000, -20000, 32767, -32768, 12345};
    struct Row {
        double gain;
        std::vector<int16_t> expected;
    } rows[] = {
        {2.0, {0, 2, -2, 6, -6, 200, -200, 32767, -32768, 32767, -32768, 24690}},
        {0.5, {0, 1, -1, 2, -2, 50, -50, 10000, -10000, 16384, -16384, 6173}},
        {1.0, in},
    };
    for (const Row& r : rows) {
        for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{64}}) {
            SCOPED_TRACE("gain " + std::to_string(r.gain) + " reads of " + std::to_string(step));
            MemorySource raw(le16Bytes(in));
            GainPcmSource scaled(raw, r.gain);
            std::vector<uint8_t> out;
            std::vector<uint8_t> buf(step);
            for (size_t n; (n = scaled.read(buf.data(), step)) > 0;)
                out.insert(out.end(), buf.begin(), buf.begin() + n);
            EXPECT_EQ(le16Bytes(r.expected), out);
        }
    }
}

}  // namespace
}  // namespace velmo
