// Even volume: every song brought to one loudness (EBU R128, ITU-R BS.1770)
// by one gain for the whole song, so that the clock's single volume setting
// suits every song. A song's gain is known only once all of it has been
// measured, so such a song is decoded whole into a PCM file first (through a
// LoudnessMeter) and encoded from there through a GainPcmSource.
//
// PCM is 16-bit signed little-endian mono, as everywhere in the conversion.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "pcm_stream.h"

namespace velmo {

// The loudness every song is brought to, LUFS.
constexpr double kEvenVolumeTargetLufs = -16.0;
// No song's decoded MP3 goes above this, dBFS.
constexpr double kEvenVolumePeakDbfs = -1.0;
// The highest sample peak the gain may give the PCM, dBFS. The decoded MP3
// is not the encoded waveform: its peaks overshoot the PCM's, by about 1 dB
// on most songs and by 2 to 3 dB on dense noise or sharp edges at the clock's
// low bit rates. This margin covers the first; a song whose decoded peak
// still passes kEvenVolumePeakDbfs is encoded again with less gain.
constexpr double kEvenVolumePcmCeilingDbfs = -2.0;

// Measures the PCM that passes through it on the way to `next`: integrated
// loudness and sample peak of the one channel. Calls as for any PcmSink, on
// one thread.
class LoudnessMeter : public PcmSink {
  public:
    explicit LoudnessMeter(PcmSink& next);
    ~LoudnessMeter() override;
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void begin(uint32_t sampleRate) override;
    bool write(const uint8_t* bytes, size_t count) override;

    // False when no measurement could be made (no rate was told, or the
    // meter could not start at it); the figures below are then meaningless.
    bool measured() const;
    // The integrated loudness in LUFS; -infinity when every block is below
    // the absolute gate (silence, or a song too short to measure).
    double integratedLoudness() const;
    // The largest sample magnitude, 1.0 being full scale (32768).
    double samplePeak() const;

  private:
    struct State;
    PcmSink& next_;
    std::unique_ptr<State> state_;
};

// The linear gain that brings a song of `loudnessLufs` and `samplePeak` (as
// LoudnessMeter gives them) to kEvenVolumeTargetLufs, lowered where needed so
// that its peak stays at kEvenVolumePcmCeilingDbfs. 1.0 (the song is left as
// it is) for a song below the gate, a silent one, or figures that are not
// numbers.
double evenVolumeGain(double loudnessLufs, double samplePeak);

// A song already in the clock's form whose even-volume gain is within this
// many dB of none is copied as it is rather than encoded again. A song that
// has been through even volume once (a Reload brings it back) measures a
// little below the target, because the encoding itself takes some level off
// (0.4 to 0.7 dB on test tones at every quality), and encoding it again would
// only lose that much again; 1 LU is the tolerance EBU R128 itself allows
// where a programme cannot be normalised exactly.
constexpr double kEvenVolumeCopyToleranceDb = 1.0;

// The decoded MP3 of a song given a gain is checked against
// kEvenVolumePeakDbfs only when its PCM's peak comes within this many dB of
// it: the largest overshoot measured (dense noise at the lowest bit rate) is
// under 4 dB, and decoding every song again would cost more than the rest of
// the measurement.
constexpr double kEvenVolumeCheckedRangeDb = 6.0;

// The largest sample magnitude of the MP3 file at `path` as libmad decodes
// it to 16-bit mono (1.0 = 32768); -1 when it does not decode to the end.
double mp3SamplePeak(const std::string& path, const std::atomic<bool>* stop);

// The samples of `source`, each multiplied by `gain`, rounded to the nearest
// and held within the 16-bit range.
class GainPcmSource : public PcmSource {
  public:
    GainPcmSource(PcmSource& source, double gain) : source_(source), gain_(gain) {}
    size_t read(uint8_t* into, size_t count) override;
    bool failed() const override { return source_.failed(); }

  private:
    // Scales the whole samples of bytes [0, count), in place.
    void scale(uint8_t* bytes, size_t count) const;

    PcmSource& source_;
    double gain_;
    // A read of an odd count ends inside a sample: its second byte, already
    // scaled, opens the next read.
    bool carried_ = false;
    uint8_t carry_ = 0;
};

}  // namespace velmo
