#define LOG_TAG "VEL_AudioWatermark"

#include "engine/codecs/AudioWatermark.h"

#include <cctype>
#include <cmath>
#include <new>

#include "utils/Log.h"

namespace velmor {

namespace {

// A maximal-length sequence from a 16-bit Galois LFSR with a fixed seed: the engine's key.
std::vector<int8_t> makeChips() {
    std::vector<int8_t> chips(AudioWatermarkEncoder::kChipsPerBit);
    uint16_t lfsr = 0x6A5Du;
    for (int i = 0; i < AudioWatermarkEncoder::kChipsPerBit; ++i) {
        unsigned bit = lfsr & 1u;
        lfsr >>= 1;
        if (bit) lfsr ^= 0xB400u;
        chips[i] = bit ? 1 : -1;
    }
    return chips;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

AudioWatermarkEncoder* AudioWatermarkEncoder::create(int32_t sampleRate, int32_t channels, float floorDb,
                                                     float relativeDb, int32_t flags, int32_t reserved,
                                                     int32_t frameMs) {
    if (sampleRate < 8000 || sampleRate > 384000 || channels != 1 || flags != 0 || reserved != 0 || frameMs <= 0 ||
        floorDb > 0 || relativeDb > 0) {
        return nullptr;
    }
    return new (std::nothrow) AudioWatermarkEncoder(sampleRate, floorDb, relativeDb, frameMs);
}

AudioWatermarkEncoder::AudioWatermarkEncoder(int32_t sampleRate, float floorDb, float relativeDb, int32_t frameMs)
    : mSampleRate(sampleRate), mFloor(std::pow(10.0f, floorDb / 20.0f)), mRelative(std::pow(10.0f, relativeDb / 20.0f)),
      mFrameSamples(std::max(1, sampleRate * frameMs / 1000)), mChipLength(chipLengthFor(sampleRate, 16000)),
      mBypass(false), mHasPayload(false), mPayload(0), mStrength(0.5f), mAttack(0), mRelease(0), mPosition(0),
      mEnvelope(0), mLevel(0), mFrameFill(0) {
    setPayload(nullptr, 0, 16000, 0.5f, 3.5f, 0.5f);
}

int32_t AudioWatermarkEncoder::chipLengthFor(int32_t sampleRate, int32_t bandHz) {
    if (bandHz <= 0) return 1;
    return std::max(1, sampleRate / bandHz);
}

const std::vector<int8_t>& AudioWatermarkEncoder::chipSequence() {
    static const std::vector<int8_t> chips = makeChips();
    return chips;
}

int AudioWatermarkEncoder::frameBit(uint64_t payload, int k) {
    if (k < kSyncBits) return (kSyncWord >> (kSyncBits - 1 - k)) & 1;
    return static_cast<int>((payload >> (kPayloadBits - 1 - (k - kSyncBits))) & 1u);
}

bool AudioWatermarkEncoder::parsePayload(const char* text, size_t size, uint64_t* payload) {
    if (text == nullptr || size < 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
    uint64_t value = 0;
    for (int i = 0; i < 16; ++i) {
        int v = hexValue(text[2 + i]);
        if (v < 0) return false;
        value = (value << 4) | static_cast<uint64_t>(v);
    }
    *payload = value;
    return true;
}

int AudioWatermarkEncoder::setPayload(const char* text, size_t size, int32_t bandHz, float strength, float attackMs,
                                      float releaseSec) {
    if (strength < 0 || attackMs <= 0 || releaseSec <= 0) return kErrorBadPayload;
    int32_t chipLength = chipLengthFor(mSampleRate, bandHz);
    if (chipLength != mChipLength) {
        // A different grid: start it again.
        mChipLength = chipLength;
        mPosition = 0;
    }
    mStrength = strength;
    mAttack = std::exp(-1.0f / (attackMs * 0.001f * mSampleRate));
    mRelease = std::exp(-1.0f / (releaseSec * mSampleRate));
    if (text == nullptr) return kErrorNone;
    uint64_t payload;
    if (!parsePayload(text, size, &payload)) return kErrorBadPayload;
    mPayload = payload;
    mHasPayload = true;
    return kErrorNone;
}

void AudioWatermarkEncoder::reset() {
    mPosition = 0;
    mEnvelope = 0;
    mLevel = 0;
    mFrameFill = 0;
}

int AudioWatermarkEncoder::process(const float* in, float* out, int32_t count) {
    if (count < 0 || count > payloadBlockSize()) return kErrorBlockTooLarge;
    bool mark = !mBypass && mHasPayload;
    const std::vector<int8_t>& chips = chipSequence();
    const int64_t blockSize = payloadBlockSize();
    const int64_t frameSamples = blockSize * kFrameBits;
    for (int32_t i = 0; i < count; ++i) {
        float x = in[i];
        // Envelope (mean square) with separate attack and release.
        float sq = x * x;
        float k = sq > mEnvelope ? mAttack : mRelease;
        mEnvelope = k * mEnvelope + (1.0f - k) * sq;
        if (++mFrameFill >= mFrameSamples) {
            mFrameFill = 0;
            mLevel = std::max(mFloor, std::sqrt(mEnvelope) * mRelative * mStrength);
        }
        float y = x;
        if (mark) {
            int64_t inFrame = mPosition % frameSamples;
            int bitIndex = static_cast<int>(inFrame / blockSize);
            int chipIndex = static_cast<int>((inFrame % blockSize) / mChipLength);
            float sign = frameBit(mPayload, bitIndex) ? 1.0f : -1.0f;
            y = x + sign * chips[chipIndex] * mLevel;
        }
        out[i] = y;
        ++mPosition;
    }
    return mark || mBypass ? kErrorNone : kErrorNoPayload;
}

}  // namespace velmor
