// Decodes a compressed audio track into interleaved signed 16-bit stereo PCM at the track's own
// sample rate, in buffers of at most 4096 bytes with continuous kKeyTime values.
//
// Without a watermark it decodes on the caller's thread inside read(). When the track format
// carries a watermark payload ('_awm') the left channel goes through the audio watermark engine
// and decoding runs ahead on a looper thread named "sound_decoder".
//
// Threads: start, stop and read come from the audio player's thread (never two at once);
// getFormat, setAudioGainStep and the diagnostics from any thread, answered at once. The
// decoding thread (read()'s caller, or the looper) reads the source with no lock held: a source
// that waits for the network holds up nothing but the decoding itself. Output buffers come from
// a pool and go back to it on their last release, so steady decoding allocates nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "engine/FFmpegOwners.h"
#include "engine/MediaBuffer.h"
#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "engine/foundation/ByteString.h"
#include "engine/foundation/Handler.h"
#include "engine/foundation/Looper.h"
#include "engine/foundation/Message.h"
#include "utils/Mutex.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace velmor {

class AudioWatermarkEncoder;

enum : uint32_t {
    // cstr: the watermark payload of a track ("0x" followed by 16 hex digits per group).
    kKeyAudioWatermark = FourCC('_', 'a', 'w', 'm'),
};

class FFMpegSoundDecoder : public MediaSource {
public:
    enum {
        kMaxOutputBytes = 4096,
        kChannels = 2,
        kResampleBlockBytes = 384000,
        kPlainChannelBufferBytes = 192000 / 2,
    };

    // flags is only logged.
    explicit FFMpegSoundDecoder(const Ref<MediaSource>& source, int32_t flags = 1);

    status_t start(MetaData* params = nullptr) override;
    status_t stop() override;
    Ref<MetaData> getFormat() override;
    status_t read(MediaBuffer** buffer, const ReadOptions* options = nullptr) override;
    // step > 0 amplifies by 1 + step / 20; 0 or less turns amplification off.
    void setAudioGainStep(int32_t step) override;
    void updateFormat(const Ref<MetaData>& format) override;

    // Looper messages ('_dec', 'susp').
    void onMessageReceived(const Ref<Message>& msg);

    // Diagnostics.
    bool isWatermarking() const { return mWatermark; }
    int32_t payloadGroupCount() const { return mPayloadGroups; }
    float gain() const { return mGain.load(); }
    // Output buffers the pool has made so far.
    int outputBuffersMade() const;

protected:
    ~FFMpegSoundDecoder() override;

private:
    class OutputPool;

    enum {
        kWhatDecode = FourCC('_', 'd', 'e', 'c'),
        kWhatSuspend = FourCC('s', 'u', 's', 'p'),
    };

    status_t configure(bool reconfigure);
    void closeCodec_l();
    // One decode step on the decoding thread; takes mDecodeLock itself and drops it around the
    // source read. The caller holds neither lock.
    bool decodeInternal();
    // The source read with its format-change and discontinuity retries; no lock held.
    status_t readSource(MediaBuffer** in, int64_t seekTimeUs, bool* formatChanged);
    void applySeek_l(int64_t timeUs);
    void processFrame(AVFrame* frame);
    bool ensureResampler(AVFrame* frame);
    void splitChannel_l(int channel, const int16_t* interleaved, int32_t samples, int64_t timeUs);
    void handOff_l(int channel, MediaBuffer* buffer);
    void flushWatermark_l();
    void allocateChannelBuffers_l();
    void freeChannelBuffers_l();
    void returnChannelBuffers_l();
    bool roomToDecode_l();
    void postDecode(int64_t delayUs);
    void suspendLooper();
    void resumeLooper();

    // --- Set at construction.
    Ref<MediaSource> mSource;
    int32_t mFlags;
    // --- Any thread.
    std::atomic<float> mGain;
    std::atomic<bool> mSuspended;
    std::atomic<bool> mSeeking;

    // --- Decoding side, guarded by mDecodeLock (the decoding thread; start and stop).
    int32_t mCodecId;
    CodecContextPtr mCodecContext;
    FramePtr mFrame;
    PacketPtr mPacket;
    SwrPtr mSwr;
    int32_t mSwrFormat;
    uint64_t mSwrLayoutMask;
    int32_t mSwrChannels;
    AvMemoryPtr mSwrBuffer;
    [[maybe_unused]] int32_t mChannels;
    int32_t mSampleRate;
    MediaBuffer* mInputBuffer;
    bool mPacketSent;
    int32_t mFramesFromPacket;
    int32_t mLastFrameSamples;
    bool mEndSent;
    status_t mEndStatus;
    bool mFormatChanged;
    int64_t mAnchorTimeUs;

    // --- Channel buffers and the reader's state, guarded by mBufferLock (mCondition signals
    // new filled buffers and status changes).
    Ref<MetaData> mFormat;
    std::deque<MediaBuffer*> mFreeChannel;
    std::deque<MediaBuffer*> mFilled[kChannels];
    MediaBuffer* mAccumulating[kChannels];
    size_t mChannelBufferSize;
    size_t mChannelBufferCount;
    int64_t mDeliveredBytes;
    int64_t mSeekTimeUs;
    status_t mStatus;
    bool mStarted;
    int32_t mGeneration;
    // Shared with the buffers handed out; outlives the decoder while any is still held.
    OutputPool* mOutputPool;

    // --- Watermarking: set up by start; the encoders and scratch blocks are used under
    // mBufferLock.
    bool mWatermark;
    ByteString mPayloadText;
    int32_t mPayloadGroups;
    int64_t mPayloadCounter;
    AudioWatermarkEncoder* mEncoder[kChannels];
    int32_t mDelayToSkip[kChannels];
    float* mScratch[kChannels];
    size_t mThreshold;

    // Order: mDecodeLock before mBufferLock.
    Mutex mDecodeLock;
    Mutex mBufferLock;
    Condition mCondition;
    Ref<Looper> mLooper;
    Ref<HandlerReflector<FFMpegSoundDecoder>> mReflector;
};

}  // namespace velmor
