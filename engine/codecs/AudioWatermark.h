// Audio watermark engine: hides a 64-bit payload in one channel of decoded sound.
//
// Spread spectrum: every payload bit lasts payloadBlockSize() samples and is sent as a fixed
// pseudo-random chip sequence (chipsPerBit() chips of chipLength() samples each), multiplied by
// +1 or -1 for the bit. A frame of kFrameBits bits is the 16-bit sync word followed by the 64
// payload bits (the 16 hex digits of the payload text, most significant first); frames repeat
// without gaps. The chips are added to the sound at a level that follows the signal's envelope
// (kept relativeDb below it, scaled by the strength, never below floorDb dBFS), so quiet passages
// carry a quiet mark. A detector correlates the sound with the chip sequence (after a first-order
// difference that suppresses low-frequency sound), finds the bit grid and the sync word, and
// reads the bits.
//
// One encoder per channel; it is not locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor {

class AudioWatermarkEncoder {
public:
    enum {
        kSyncBits = 16,
        kPayloadBits = 64,
        kFrameBits = kSyncBits + kPayloadBits,
        kChipsPerBit = 512,
        kSyncWord = 0xE2B5,
    };
    enum Error {
        kErrorNone = 0,
        kErrorBadPayload = -1,
        kErrorNoPayload = -2,
        kErrorBlockTooLarge = -3,
    };

    // sampleRate in Hz; channels must be 1 (one encoder per channel); floorDb: lowest mark level
    // in dBFS; relativeDb: mark level against the signal envelope; flags and reserved must be 0;
    // frameMs: how often the level follows the envelope. Null for invalid settings.
    static AudioWatermarkEncoder* create(int32_t sampleRate, int32_t channels, float floorDb, float relativeDb,
                                         int32_t flags, int32_t reserved, int32_t frameMs);
    ~AudioWatermarkEncoder() = default;

    // Samples by which the output lags the input (this engine adds none).
    int32_t algorithmicDelay() const { return 0; }
    // Samples per payload bit; process() takes at most this many samples per call.
    int32_t payloadBlockSize() const { return mChipLength * kChipsPerBit; }

    // In bypass the samples pass unchanged; the bit grid keeps running.
    void setBypass(bool bypass) { mBypass = bypass; }
    bool bypass() const { return mBypass; }

    // text: "0x" followed by 16 hex digits (size counts the bytes available, at least 18).
    // bandHz: the highest chip rate wanted (chips last sampleRate / bandHz samples, at least 1);
    // strength: linear factor on the mark level; attackMs and releaseSec: envelope follower.
    int setPayload(const char* text, size_t size, int32_t bandHz, float strength, float attackMs, float releaseSec);

    // Marks count samples (count <= payloadBlockSize()); in and out may be the same array.
    int process(const float* in, float* out, int32_t count);

    // Back to the start of the bit grid with a silent envelope (after a seek).
    void reset();

    int32_t sampleRate() const { return mSampleRate; }
    int32_t chipLength() const { return mChipLength; }
    uint64_t payload() const { return mPayload; }

    // Shared with detectors: the chip length for a sample rate and band, and the +1/-1 chips of
    // one bit period.
    static int32_t chipLengthFor(int32_t sampleRate, int32_t bandHz);
    static const std::vector<int8_t>& chipSequence();
    // Bit k (0 <= k < kFrameBits) of the frame that carries payload.
    static int frameBit(uint64_t payload, int k);
    // Parses "0x" + 16 hex digits; false when the text is not that.
    static bool parsePayload(const char* text, size_t size, uint64_t* payload);

private:
    AudioWatermarkEncoder(int32_t sampleRate, float floorDb, float relativeDb, int32_t frameMs);

    int32_t mSampleRate;
    float mFloor;
    float mRelative;
    int32_t mFrameSamples;
    int32_t mChipLength;
    bool mBypass;
    bool mHasPayload;
    uint64_t mPayload;
    float mStrength;
    float mAttack;
    float mRelease;
    // Position on the bit grid, in samples since creation or reset.
    int64_t mPosition;
    float mEnvelope;  // mean square
    float mLevel;
    int32_t mFrameFill;
};

}  // namespace velmor
