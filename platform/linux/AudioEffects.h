// Software sound processing applied by the audio sinks to each chunk before it reaches the device:
// the volume gain and the two effects the host can select (equaliser, compressor). An
// AudioEffects belongs to one sink's fill thread and is not locked; the functions are pure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor {

// Attenuation in hundredths of a decibel for a volume of 0..100: -10000 below 1, otherwise
// -trunc((100 - volume)^1.739). 100 gives 0, 50 gives -900, 1 gives -2953.
int32_t volumeToAttenuation(int volume);

// Linear gain for an attenuation in hundredths of a decibel: 10^(attenuation / 2000).
double attenuationToGain(int32_t attenuation);

// Multiplies interleaved 16-bit samples by gain, rounding and saturating.
void applyGain(int16_t* samples, size_t count, double gain);

class AudioEffects {
public:
    enum Kind { kNone = 0, kEqualizer = 1, kCompressor = 2 };

    // Parametric equaliser: one peaking band at 8 kHz, one octave wide, +6 dB.
    static constexpr double kEqCenterHz = 8000.0;
    static constexpr double kEqBandwidthSemitones = 12.0;
    static constexpr double kEqGainDb = 6.0;
    // Compressor: threshold -20 dBFS, ratio 3:1, attack 10 ms, release 200 ms, no make-up gain.
    static constexpr double kCompThresholdDb = -20.0;
    static constexpr double kCompRatio = 3.0;
    static constexpr double kCompAttackMs = 10.0;
    static constexpr double kCompReleaseMs = 200.0;

    AudioEffects();

    // Chooses the effect and the stream format; the filter state starts from silence whenever
    // one of them changes.
    void configure(int kind, uint32_t sampleRate, int channels);
    // Clears the filter state (after a flush).
    void reset();
    int kind() const { return mKind; }

    // Processes interleaved 16-bit frames in place.
    void process(int16_t* samples, size_t frames);

private:
    static constexpr int kMaxChannels = 8;

    void processEqualizer(int16_t* samples, size_t frames);
    void processCompressor(int16_t* samples, size_t frames);

    int mKind;
    uint32_t mSampleRate;
    int mChannels;
    // Peaking filter coefficients (normalised by a0) and per-channel history.
    double mB0, mB1, mB2, mA1, mA2;
    double mX1[kMaxChannels], mX2[kMaxChannels], mY1[kMaxChannels], mY2[kMaxChannels];
    // Compressor envelope (linear peak level) and its smoothing coefficients.
    double mEnvelope;
    double mAttackCoef, mReleaseCoef;
};

}  // namespace velmor
