#include "platform/linux/AudioEffects.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace velmor {

int32_t volumeToAttenuation(int volume) {
    if (volume < 1) return -10000;
    if (volume > 100) volume = 100;
    return -static_cast<int32_t>(std::pow(static_cast<double>(100 - volume), 1.739));
}

double attenuationToGain(int32_t attenuation) { return std::pow(10.0, attenuation / 2000.0); }

static inline int16_t saturate16(double v) {
    long r = std::lround(v);
    if (r > 32767) return 32767;
    if (r < -32768) return -32768;
    return static_cast<int16_t>(r);
}

void applyGain(int16_t* samples, size_t count, double gain) {
    if (gain == 1.0) return;
    for (size_t i = 0; i < count; ++i) samples[i] = saturate16(samples[i] * gain);
}

AudioEffects::AudioEffects()
    : mKind(kNone), mSampleRate(0), mChannels(0), mB0(1), mB1(0), mB2(0), mA1(0), mA2(0),
      mEnvelope(0), mAttackCoef(0), mReleaseCoef(0) {
    reset();
}

void AudioEffects::configure(int kind, uint32_t sampleRate, int channels) {
    if (kind == mKind && sampleRate == mSampleRate && channels == mChannels) return;
    mKind = (kind == kEqualizer || kind == kCompressor) ? kind : kNone;
    mSampleRate = sampleRate;
    mChannels = std::clamp(channels, 0, kMaxChannels);
    if (mSampleRate == 0) mKind = kNone;

    if (mKind == kEqualizer) {
        // Peaking band (audio EQ cookbook form), centre kept below the Nyquist frequency.
        double f0 = std::min(kEqCenterHz, 0.45 * mSampleRate);
        double a = std::pow(10.0, kEqGainDb / 40.0);
        double w0 = 2.0 * M_PI * f0 / mSampleRate;
        double octaves = kEqBandwidthSemitones / 12.0;
        double alpha = std::sin(w0) * std::sinh(std::log(2.0) / 2.0 * octaves * w0 / std::sin(w0));
        double a0 = 1.0 + alpha / a;
        mB0 = (1.0 + alpha * a) / a0;
        mB1 = (-2.0 * std::cos(w0)) / a0;
        mB2 = (1.0 - alpha * a) / a0;
        mA1 = (-2.0 * std::cos(w0)) / a0;
        mA2 = (1.0 - alpha / a) / a0;
    } else if (mKind == kCompressor) {
        mAttackCoef = std::exp(-1.0 / (kCompAttackMs * 0.001 * mSampleRate));
        mReleaseCoef = std::exp(-1.0 / (kCompReleaseMs * 0.001 * mSampleRate));
    }
    reset();
}

void AudioEffects::reset() {
    std::fill(std::begin(mX1), std::end(mX1), 0.0);
    std::fill(std::begin(mX2), std::end(mX2), 0.0);
    std::fill(std::begin(mY1), std::end(mY1), 0.0);
    std::fill(std::begin(mY2), std::end(mY2), 0.0);
    mEnvelope = 0.0;
}

void AudioEffects::process(int16_t* samples, size_t frames) {
    if (mChannels <= 0) return;
    switch (mKind) {
        case kEqualizer: processEqualizer(samples, frames); break;
        case kCompressor: processCompressor(samples, frames); break;
        default: break;
    }
}

void AudioEffects::processEqualizer(int16_t* samples, size_t frames) {
    for (size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < mChannels; ++c) {
            int16_t& s = samples[f * mChannels + c];
            double x = s;
            double y = mB0 * x + mB1 * mX1[c] + mB2 * mX2[c] - mA1 * mY1[c] - mA2 * mY2[c];
            mX2[c] = mX1[c];
            mX1[c] = x;
            mY2[c] = mY1[c];
            mY1[c] = y;
            s = saturate16(y);
        }
    }
}

void AudioEffects::processCompressor(int16_t* samples, size_t frames) {
    const double slope = 1.0 - 1.0 / kCompRatio;
    for (size_t f = 0; f < frames; ++f) {
        // Peak level of the frame across its channels drives one gain for all of them.
        double peak = 0.0;
        for (int c = 0; c < mChannels; ++c) peak = std::max(peak, std::fabs(samples[f * mChannels + c] / 32768.0));
        double coef = peak > mEnvelope ? mAttackCoef : mReleaseCoef;
        mEnvelope = coef * mEnvelope + (1.0 - coef) * peak;
        double gain = 1.0;
        if (mEnvelope > 1e-6) {
            double levelDb = 20.0 * std::log10(mEnvelope);
            double over = levelDb - kCompThresholdDb;
            if (over > 0.0) gain = std::pow(10.0, -over * slope / 20.0);
        }
        if (gain != 1.0) {
            for (int c = 0; c < mChannels; ++c) {
                int16_t& s = samples[f * mChannels + c];
                s = saturate16(s * gain);
            }
        }
    }
}

}  // namespace velmor
