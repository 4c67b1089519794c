#define LOG_TAG "VEL_FFMpegSoundDecoder"

#include "engine/codecs/FFMpegSoundDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "engine/MediaDefs.h"
#include "engine/codecs/AudioWatermark.h"
#include "engine/codecs/CodecConfig.h"
#include "engine/codecs/FFMpegVideoDecoder.h"
#include "utils/Log.h"

namespace velmor {

namespace {

// The input's "try again later" answer.
constexpr status_t kRetryLater = -1101;
// Failing decode steps one read() lets pass.
constexpr int kTolerableDecodeFailures = 21;

int32_t codecIdFromFormat(const Ref<MetaData>& format) {
    int32_t id = 0;
    if (format->findInt32(kKeySoundCodecId, &id) && id != 0) return id;
    const char* mime = nullptr;
    if (!format->findCString(kKeyMIMEType, &mime)) return AV_CODEC_ID_NONE;
    struct { const char* mime; AVCodecID id; } const map[] = {
        {kMimeAudioAac, AV_CODEC_ID_AAC},        {kMimeAudioAacAdts, AV_CODEC_ID_AAC},
        {kMimeAudioAacPlain, AV_CODEC_ID_AAC},   {kMimeAudioMpeg, AV_CODEC_ID_MP3},
        {kMimeAudioMpegLayerII, AV_CODEC_ID_MP2}, {kMimeAudioMpegLayerI, AV_CODEC_ID_MP1},
        {kMimeAudioVorbis, AV_CODEC_ID_VORBIS},  {kMimeAudioFlac, AV_CODEC_ID_FLAC},
        {kMimeAudioAc3, AV_CODEC_ID_AC3},        {kMimeAudioEac3, AV_CODEC_ID_EAC3},
        {kMimeAudioAmrNb, AV_CODEC_ID_AMR_NB},   {kMimeAudioAmrWb, AV_CODEC_ID_AMR_WB},
        {kMimeAudioWMA, AV_CODEC_ID_WMAV2},      {kMimeAudioQcelp, AV_CODEC_ID_QCELP},
        {kMimeAudioRaw, AV_CODEC_ID_PCM_S16LE},  {kMimeAudioG711Alaw, AV_CODEC_ID_PCM_ALAW},
        {kMimeAudioG711Mlaw, AV_CODEC_ID_PCM_MULAW}, {kMimeAudioDts, AV_CODEC_ID_DTS},
    };
    for (const auto& row : map) {
        if (!strcasecmp(mime, row.mime)) return row.id;
    }
    return AV_CODEC_ID_NONE;
}

uint64_t layoutMask(const AVChannelLayout& layout) {
    return layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
}

int16_t clampSample(float v) {
    return static_cast<int16_t>(v > 32767.0f ? 32767 : (v < -32768.0f ? -32768 : static_cast<int32_t>(v)));
}

}  // namespace

// The output buffers read() hands out: each goes out with one reference and comes back here on
// its last release. The pool grows to what the reader holds at once (one or two buffers) and
// then allocates nothing. It is shared with the buffers still out, so it deletes itself when the
// decoder has closed it and the last of them came back. Any thread (buffers are released on the
// audio sink's fill thread).
class FFMpegSoundDecoder::OutputPool : public MediaBufferObserver {
public:
    MediaBuffer* acquire() {
        MediaBuffer* buffer = nullptr;
        {
            std::lock_guard<std::mutex> l(mLock);
            ++mOut;
            if (!mFree.empty()) {
                buffer = mFree.back();
                mFree.pop_back();
            }
        }
        if (buffer == nullptr) {
            buffer = new MediaBuffer(static_cast<size_t>(kMaxOutputBytes));
            buffer->setObserver(this);
            ++mAllocated;
        }
        buffer->reset();
        buffer->add_ref();
        return buffer;
    }
    void signalBufferReturned(MediaBuffer* buffer) override {
        bool last = false;
        {
            std::lock_guard<std::mutex> l(mLock);
            --mOut;
            if (!mClosed) {
                mFree.push_back(buffer);
                return;
            }
            last = mOut == 0;
        }
        discard(buffer);
        if (last) delete this;
    }
    // The decoder is done with the pool.
    void close() {
        std::vector<MediaBuffer*> free;
        bool last;
        {
            std::lock_guard<std::mutex> l(mLock);
            mClosed = true;
            free.swap(mFree);
            last = mOut == 0;
        }
        for (MediaBuffer* buffer : free) discard(buffer);
        if (last) delete this;
    }
    // Buffers made so far (decoding thread only).
    int allocated() const { return mAllocated; }

private:
    static void discard(MediaBuffer* buffer) {
        buffer->setObserver(nullptr);
        buffer->release();
    }
    std::mutex mLock;
    std::vector<MediaBuffer*> mFree;  // guarded by mLock
    int mOut = 0;                     // guarded by mLock
    bool mClosed = false;             // guarded by mLock
    int mAllocated = 0;               // decoding thread
};

FFMpegSoundDecoder::FFMpegSoundDecoder(const Ref<MediaSource>& source, int32_t flags)
    : mSource(source), mFlags(flags), mGain(0), mSuspended(false), mSeeking(false), mCodecId(AV_CODEC_ID_NONE),
      mSwrFormat(-1), mSwrLayoutMask(0), mSwrChannels(0), mChannels(kChannels), mSampleRate(0),
      mInputBuffer(nullptr), mPacketSent(false), mFramesFromPacket(0), mLastFrameSamples(0), mEndSent(false),
      mEndStatus(OK), mFormatChanged(false), mAnchorTimeUs(0), mFormat(new MetaData),
      mAccumulating{nullptr, nullptr}, mChannelBufferSize(0), mChannelBufferCount(0), mDeliveredBytes(0),
      mSeekTimeUs(-1), mStatus(OK), mStarted(false), mGeneration(0), mOutputPool(new OutputPool),
      mWatermark(false), mPayloadGroups(0), mPayloadCounter(0), mEncoder{nullptr, nullptr}, mDelayToSkip{0, 0},
      mScratch{nullptr, nullptr}, mThreshold(0) {
    Ref<MetaData> in = source != nullptr ? source->getFormat() : nullptr;
    int32_t sampleRate = 0;
    int64_t duration;
    if (in != nullptr) {
        in->findInt32(kKeySampleRate, &sampleRate);
        if (in->findInt64(kKeyDuration, &duration)) mFormat->setInt64(kKeyDuration, duration);
    }
    mSampleRate = sampleRate;
    mFormat->setCString(kKeyMIMEType, kMimeAudioRaw);
    mFormat->setInt32(kKeyChannelCount, kChannels);
    mFormat->setInt32(kKeySampleRate, sampleRate);
    mFormat->setCString(kKeyDecoderComponent, "FFMpegSoundDecoder");
}

int FFMpegSoundDecoder::outputBuffersMade() const { return mOutputPool->allocated(); }

FFMpegSoundDecoder::~FFMpegSoundDecoder() {
    if (mStarted) stop();
    closeCodec_l();
    mOutputPool->close();
}

Ref<MetaData> FFMpegSoundDecoder::getFormat() {
    Autolock l(mBufferLock);
    return mFormat;
}

void FFMpegSoundDecoder::setAudioGainStep(int32_t step) {
    // Lock-free: the decoding thread may be waiting for its source.
    mGain.store(step > 0 ? 1.0f + static_cast<float>(step) / 20.0f : 0.0f);
}

void FFMpegSoundDecoder::updateFormat(const Ref<MetaData>& format) {
    if (mSource != nullptr) mSource->updateFormat(format);
}

void FFMpegSoundDecoder::closeCodec_l() {
    mCodecContext.reset();
    mSwr.reset();
    mSwrFormat = -1;
    mSwrLayoutMask = 0;
    mSwrChannels = 0;
}

status_t FFMpegSoundDecoder::configure(bool reconfigure) {
    Autolock l(mDecodeLock);
    closeCodec_l();

    Ref<MetaData> format;
    for (int i = 0; i < 10 && format == nullptr; ++i) {
        format = mSource->getFormat();
        if (format == nullptr) usleep(10000);
    }
    if (format == nullptr) {
        VLOGE("Unknown Source Format.");
        return UNKNOWN_ERROR;
    }
    mCodecId = codecIdFromFormat(format);
    VLOGI("mCodecId:0x%x", mCodecId);
    int32_t channels = 2, sampleRate = mSampleRate;
    format->findInt32(kKeyChannelCount, &channels);
    format->findInt32(kKeySampleRate, &sampleRate);

    const AVCodec* codec = nullptr;
    AVCodecContext* ctx = nullptr;
    void* handed = nullptr;
    if (format->findPointer(kKeyCodecContext, &handed) && handed != nullptr) {
        AVCodecContext* source = static_cast<AVCodecContext*>(handed);
        if (source->codec_id != mCodecId) mCodecId = source->codec_id;
        codec = avcodec_find_decoder(static_cast<AVCodecID>(mCodecId));
        if (codec == nullptr) return ERROR_UNSUPPORTED;
        ctx = avcodec_alloc_context3(codec);
        if (copyCodecParameters(ctx, source) < 0) {
            avcodec_free_context(&ctx);
            return UNKNOWN_ERROR;
        }
    } else {
        codec = avcodec_find_decoder(static_cast<AVCodecID>(mCodecId));
        if (codec == nullptr) return ERROR_UNSUPPORTED;
        ctx = avcodec_alloc_context3(codec);
        if (ctx == nullptr) return NO_MEMORY;
        ctx->sample_rate = sampleRate;
        av_channel_layout_uninit(&ctx->ch_layout);
        if (channels == 1) {
            ctx->ch_layout = AVChannelLayout(AV_CHANNEL_LAYOUT_MONO);
        } else if (channels == 2) {
            ctx->ch_layout = AVChannelLayout(AV_CHANNEL_LAYOUT_STEREO);
        } else {
            av_channel_layout_default(&ctx->ch_layout, channels > 0 ? channels : 2);
        }
        ctx->sample_fmt = AV_SAMPLE_FMT_S16;
        uint32_t type;
        const void* data = nullptr;
        size_t size = 0;
        if (format->findData(kKeyRawCodecSpecificInfo, &type, &data, &size) && size > 0) {
            VLOGI("found kKeyRawCodecSpecificInfo");
            setCodecExtradata(ctx, data, size);
        } else if (format->findData(kKeyESDS, &type, &data, &size)) {
            VLOGI("found kKeyESDS");
            setCodecExtradataFromESDS(ctx, data, size);
        }
    }
    status_t opened = openCodecContext(&ctx, codec, LOG_TAG);
    if (opened != OK) return opened;
    mCodecContext.reset(ctx);
    if (ctx->sample_rate > 0) mSampleRate = ctx->sample_rate;
    {
        Autolock b(mBufferLock);
        mFormat->setCString(kKeyCodecName, codec->name);
        mFormat->setInt32(kKeySampleRate, mSampleRate);
        mFormat->setInt32(kKeyChannelCount, kChannels);
    }
    if (mSwrBuffer == nullptr) mSwrBuffer.reset(static_cast<uint8_t*>(av_malloc(kResampleBlockBytes)));
    if (mSwrBuffer == nullptr) return NO_MEMORY;
    if (reconfigure) {
        // Packets of the old configuration are gone; frames come from the new one.
        mPacketSent = false;
        mEndSent = false;
    }
    VLOGI("FFMpegSoundDecoder >>> start(%s)", codec->name);
    VLOGI("FFMpegSoundDecoder flags:%x ch(%d:%d %d)  channel_layout(0x%llx:0x%llx) sample_fmt:%d samplingRate:%d",
          static_cast<unsigned>(mFlags), channels, ctx->ch_layout.nb_channels, kChannels,
          static_cast<unsigned long long>(layoutMask(ctx->ch_layout)),
          static_cast<unsigned long long>(AV_CH_LAYOUT_STEREO), ctx->sample_fmt, mSampleRate);
    return OK;
}

status_t FFMpegSoundDecoder::start(MetaData* params) {
    if (mStarted) return OK;
    if (mSource == nullptr) return NO_INIT;
    status_t err = mSource->start(nullptr);
    if (err != OK) return err;
    err = configure(false);
    if (err != OK) {
        VLOGE("configure fail (%d) in start", err);
        mSource->stop();
        return err;
    }
    {
        Autolock d(mDecodeLock);
        mFrame.reset(av_frame_alloc());
        mPacket.reset(av_packet_alloc());
        if (mFrame == nullptr || mPacket == nullptr) return NO_MEMORY;
    }

    Ref<MetaData> format = mSource->getFormat();
    const char* payload = nullptr;
    if (format != nullptr && format->findCString(kKeyAudioWatermark, &payload) && payload != nullptr) {
        mPayloadText.setTo(payload);
        int32_t length = static_cast<int32_t>(mPayloadText.size());
        mPayloadGroups = length >= 2 ? (length - 2) / 16 : 0;
        mEncoder[0] = AudioWatermarkEncoder::create(mSampleRate, 1, -96, -24, 0, 0, 5);
        mEncoder[1] = AudioWatermarkEncoder::create(mSampleRate, 1, -96, -24, 0, 0, 5);
        if (mEncoder[0] != nullptr && mEncoder[1] != nullptr) {
            mWatermark = true;
            VLOGI("AWT Version 4 Left AlgorithmicDelay %d PayloadSamples %d", mEncoder[0]->algorithmicDelay(),
                  mEncoder[0]->payloadBlockSize());
            VLOGI("AWT Version 4 Right AlgorithmicDelay %d PayloadSamples %d", mEncoder[1]->algorithmicDelay(),
                  mEncoder[1]->payloadBlockSize());
            VLOGI("AudioWaterMark '%s'", mPayloadText.c_str());
            for (int c = 0; c < kChannels; ++c) mDelayToSkip[c] = mEncoder[c]->algorithmicDelay();
        } else {
            // Sound still plays, unmarked.
            VLOGE("water marking engine unavailable for %d Hz", mSampleRate);
            for (AudioWatermarkEncoder*& e : mEncoder) {
                delete e;
                e = nullptr;
            }
        }
    }
    {
        Autolock b(mBufferLock);
        allocateChannelBuffers_l();
        mStatus = OK;
        mStarted = true;
    }
    if (mWatermark) {
        mLooper = new Looper;
        mLooper->setName("sound_decoder");
        mReflector = new HandlerReflector<FFMpegSoundDecoder>(this);
        mLooper->registerHandler(mReflector);
        mLooper->start();
        postDecode(0);
    }
    return OK;
}

void FFMpegSoundDecoder::allocateChannelBuffers_l() {
    freeChannelBuffers_l();
    if (mWatermark) {
        size_t perMs = static_cast<size_t>(std::max(1, mSampleRate / 1000));
        mChannelBufferSize = 20000 * perMs;
        mChannelBufferCount = 4;
        mThreshold = 2 * 10000 * perMs * 9 / 10;
        for (int c = 0; c < kChannels; ++c) {
            mScratch[c] = static_cast<float*>(malloc(mChannelBufferSize));
        }
    } else {
        mChannelBufferSize = kPlainChannelBufferBytes;
        mChannelBufferCount = 2;
    }
    for (size_t i = 0; i < mChannelBufferCount; ++i) mFreeChannel.push_back(new MediaBuffer(mChannelBufferSize));
    VLOGI("allocateFrames %d X %d", static_cast<int>(mChannelBufferSize), static_cast<int>(mChannelBufferCount));
}

void FFMpegSoundDecoder::freeChannelBuffers_l() {
    returnChannelBuffers_l();
    while (!mFreeChannel.empty()) {
        mFreeChannel.front()->release();
        mFreeChannel.pop_front();
    }
    for (float*& s : mScratch) {
        free(s);
        s = nullptr;
    }
}

void FFMpegSoundDecoder::returnChannelBuffers_l() {
    for (int c = 0; c < kChannels; ++c) {
        while (!mFilled[c].empty()) {
            MediaBuffer* buffer = mFilled[c].front();
            mFilled[c].pop_front();
            int64_t t = 0;
            buffer->meta_data()->findInt64(kKeyTime, &t);
            VLOGV("remove pts:%lld", static_cast<long long>(t));
            buffer->meta_data()->clear();
            buffer->set_range(0, 0);
            mFreeChannel.push_back(buffer);
        }
        if (mAccumulating[c] != nullptr) {
            mAccumulating[c]->meta_data()->clear();
            mAccumulating[c]->set_range(0, 0);
            mFreeChannel.push_back(mAccumulating[c]);
            mAccumulating[c] = nullptr;
        }
    }
}

status_t FFMpegSoundDecoder::stop() {
    if (!mStarted) return OK;
    if (mLooper != nullptr) {
        mLooper->stop();
        mLooper->unregisterHandler(mReflector->id());
        mLooper.clear();
        mReflector.clear();
    }
    Autolock d(mDecodeLock);
    Autolock b(mBufferLock);
    mStarted = false;
    mCondition.broadcast();
    if (mInputBuffer) {
        mInputBuffer->release();
        mInputBuffer = nullptr;
    }
    mSource->stop();
    closeCodec_l();
    mFrame.reset();
    mPacket.reset();
    mSwrBuffer.reset();
    freeChannelBuffers_l();
    for (AudioWatermarkEncoder*& e : mEncoder) {
        delete e;
        e = nullptr;
    }
    return OK;
}

void FFMpegSoundDecoder::applySeek_l(int64_t timeUs) {
    if (mInputBuffer) {
        mInputBuffer->release();
        mInputBuffer = nullptr;
    }
    mDecodeLock.assertHeld();
    if (mCodecContext) avcodec_flush_buffers(mCodecContext.get());
    mPacketSent = false;
    mFramesFromPacket = 0;
    mEndSent = false;
    (void)timeUs;
}

status_t FFMpegSoundDecoder::readSource(MediaBuffer** in, int64_t seekTimeUs, bool* formatChanged) {
    mDecodeLock.assertNotHeld();
    mBufferLock.assertNotHeld();
    for (;;) {
        ReadOptions options;
        if (seekTimeUs >= 0) options.setSeekTo(seekTimeUs, ReadOptions::SeekClosest);
        status_t err = mSource->read(in, seekTimeUs >= 0 ? &options : nullptr);
        seekTimeUs = -1;
        if (err == INFO_FORMAT_CHANGED) {
            VLOGW("INFO_FORMAT_CHANGED");
            *formatChanged = true;
            usleep(10000);
            continue;
        }
        if (err == INFO_DISCONTINUITY) {
            VLOGW("INFO_DISCONTINUITY");
            usleep(1000);
            continue;
        }
        return err;
    }
}

bool FFMpegSoundDecoder::decodeInternal() {
    mBufferLock.assertNotHeld();
    Autolock d(mDecodeLock);
    if (mCodecContext == nullptr) return false;
    int64_t seekTimeUs;
    {
        Autolock b(mBufferLock);
        seekTimeUs = mSeekTimeUs;
        mSeekTimeUs = -1;
    }
    if (seekTimeUs >= 0) applySeek_l(seekTimeUs);

    for (;;) {
        AVCodecContext* const codec = mCodecContext.get();
        if (mPacketSent) {
            int ret = avcodec_receive_frame(codec, mFrame.get());
            if (ret == 0) {
                // Later frames of one packet follow the earlier ones.
                if (mFramesFromPacket > 0 && mSampleRate > 0) {
                    mAnchorTimeUs += static_cast<int64_t>(mLastFrameSamples) * 1000000 / mSampleRate;
                }
                ++mFramesFromPacket;
                mLastFrameSamples = mFrame->nb_samples;
                processFrame(mFrame.get());
                av_frame_unref(mFrame.get());
                return true;
            }
            mPacketSent = false;
            if (ret == AVERROR_EOF) {
                // Everything the codec held is out: the end reaches the reader.
                avcodec_flush_buffers(codec);
                Autolock b(mBufferLock);
                mStatus = mEndStatus;
                VLOGW("decodeInternal >>> read error %x(%d)", static_cast<unsigned>(mEndStatus), mEndStatus);
                if (mWatermark) flushWatermark_l();
                mCondition.broadcast();
                return false;
            }
            if (mFramesFromPacket == 0) {
                VLOGE("FFMpegSoundDecoder decode error");
                return true;
            }
        }

        if (mInputBuffer == nullptr) {
            MediaBuffer* in = nullptr;
            bool formatChanged = false;
            // The source may wait for the network: the decode lock is dropped for the read, so
            // stop() (and anything else that takes it) is not held up.
            mDecodeLock.unlock();
            status_t err = readSource(&in, seekTimeUs, &formatChanged);
            mDecodeLock.lock();
            seekTimeUs = -1;
            if (mCodecContext == nullptr) {
                // Stopped while reading.
                if (err == OK && in != nullptr) in->release();
                return false;
            }
            if (formatChanged) mFormatChanged = true;
            if (err == OK) mInputBuffer = in;
            if (mFormatChanged && err == OK) {
                mFormatChanged = false;
                status_t cerr = configure(true);
                Autolock b(mBufferLock);
                mStatus = cerr;
                mCondition.broadcast();
                return false;
            }
            if (err == kRetryLater) return true;
            if (err != OK) {
                if (!mEndSent) {
                    // Take out what the codec still holds before the end is reported.
                    mEndSent = true;
                    mEndStatus = err;
                    if (avcodec_send_packet(mCodecContext.get(), nullptr) == 0) {
                        mPacketSent = true;
                        mFramesFromPacket = 1;
                        continue;
                    }
                }
                Autolock b(mBufferLock);
                mStatus = err;
                VLOGW("decodeInternal >>> read error %x(%d)", static_cast<unsigned>(err), err);
                if (mWatermark) flushWatermark_l();
                mCondition.broadcast();
                return false;
            }
            int64_t timeUs;
            if (!mInputBuffer->meta_data()->findInt64(kKeyTime, &timeUs)) {
                mInputBuffer->release();
                mInputBuffer = nullptr;
                return false;
            }
            mAnchorTimeUs = timeUs;
            if (mEndSent) {
                // Data after the end: leave the draining state.
                avcodec_flush_buffers(mCodecContext.get());
                mEndSent = false;
            }
        }

        if (mInputBuffer->range_length() == 0) {
            mInputBuffer->release();
            mInputBuffer = nullptr;
            return true;
        }
        AVPacket* const packet = mPacket.get();
        packet->data = static_cast<uint8_t*>(mInputBuffer->data()) + mInputBuffer->range_offset();
        packet->size = static_cast<int>(mInputBuffer->range_length());
        // A packet from the demuxer goes to the codec by reference; other buffers are copied by
        // the codec.
        if (mInputBuffer->avBuffer() != nullptr) packet->buf = av_buffer_ref(mInputBuffer->avBuffer());
        int ret = avcodec_send_packet(mCodecContext.get(), packet);
        av_packet_unref(packet);
        if (ret == AVERROR(EAGAIN)) {
            // Frames of the previous packet first; this one is sent on the next pass.
            mPacketSent = true;
            continue;
        }
        mInputBuffer->release();
        mInputBuffer = nullptr;
        if (ret < 0) {
            VLOGE("FFMpegSoundDecoder decode error");
            return true;
        }
        mPacketSent = true;
        mFramesFromPacket = 0;
    }
}

bool FFMpegSoundDecoder::ensureResampler(AVFrame* frame) {
    AVChannelLayout in{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels <= 0) {
        av_channel_layout_default(&in, frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels : 2);
    } else if (av_channel_layout_copy(&in, &frame->ch_layout) < 0) {
        return false;
    }
    uint64_t mask = layoutMask(in);
    mDecodeLock.assertHeld();
    if (mSwr != nullptr && mSwrFormat == frame->format && mSwrChannels == in.nb_channels && mSwrLayoutMask == mask) {
        av_channel_layout_uninit(&in);
        return true;
    }
    mSwr.reset();
    AVChannelLayout out = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* swr = nullptr;
    int err = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S16, frame->sample_rate, &in,
                                  static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    mSwr.reset(swr);
    if (err >= 0) err = swr_init(swr);
    mSwrFormat = frame->format;
    mSwrChannels = in.nb_channels;
    mSwrLayoutMask = mask;
    av_channel_layout_uninit(&in);
    if (err < 0) {
        VLOGE("resampler setup failed %d", err);
        mSwr.reset();
        return false;
    }
    return true;
}

void FFMpegSoundDecoder::processFrame(AVFrame* frame) {
    if (frame->nb_samples <= 0) return;
    if (frame->sample_rate != mSampleRate && frame->sample_rate > 0) {
        // The stream's real rate (for example after implicit SBR) wins over the container's.
        VLOGW("sample rate %d -> %d", mSampleRate, frame->sample_rate);
        mSampleRate = frame->sample_rate;
        Autolock b(mBufferLock);
        mFormat->setInt32(kKeySampleRate, mSampleRate);
    }
    const int16_t* samples = nullptr;
    int32_t count = 0;
    bool direct = frame->format == AV_SAMPLE_FMT_S16 && frame->ch_layout.nb_channels == 2;
    if (direct) {
        samples = reinterpret_cast<const int16_t*>(frame->data[0]);
        count = frame->nb_samples;
    } else {
        if (!ensureResampler(frame)) return;
        uint8_t* out = mSwrBuffer.get();
        int capacity = kResampleBlockBytes / (kChannels * 2);
        count = swr_convert(mSwr.get(), &out, capacity, const_cast<const uint8_t**>(frame->extended_data),
                            frame->nb_samples);
        if (count <= 0) return;
        samples = reinterpret_cast<const int16_t*>(mSwrBuffer.get());
        const float gain = mGain.load();
        if (gain > 0) {
            int16_t* s = reinterpret_cast<int16_t*>(mSwrBuffer.get());
            for (int32_t i = 0; i < count * kChannels; ++i) s[i] = clampSample(s[i] * gain);
        }
    }
    Autolock b(mBufferLock);
    for (int c = 0; c < kChannels; ++c) splitChannel_l(c, samples, count, mAnchorTimeUs);
    mCondition.broadcast();
}

void FFMpegSoundDecoder::splitChannel_l(int channel, const int16_t* interleaved, int32_t samples, int64_t timeUs) {
    if (!mWatermark) {
        if (mFreeChannel.empty()) {
            VLOGW("no free channel buffer, %d samples dropped", samples);
            return;
        }
        MediaBuffer* buffer = mFreeChannel.front();
        mFreeChannel.pop_front();
        int32_t n = std::min<int32_t>(samples, static_cast<int32_t>(buffer->size() / 2));
        int16_t* dst = static_cast<int16_t*>(buffer->data());
        for (int32_t i = 0; i < n; ++i) dst[i] = interleaved[2 * i + channel];
        buffer->meta_data()->clear();
        buffer->meta_data()->setInt64(kKeyTime, timeUs);
        buffer->set_range(0, static_cast<size_t>(n) * 2);
        mFilled[channel].push_back(buffer);
        return;
    }
    MediaBuffer*& acc = mAccumulating[channel];
    if (acc == nullptr) {
        if (mFreeChannel.empty()) {
            VLOGW("no free channel buffer, %d samples dropped", samples);
            return;
        }
        acc = mFreeChannel.front();
        mFreeChannel.pop_front();
        acc->meta_data()->clear();
        acc->meta_data()->setInt64(kKeyTime, timeUs);
        acc->set_range(0, 0);
    }
    size_t used = acc->range_length() / sizeof(float);
    size_t room = acc->size() / sizeof(float) - used;
    size_t n = std::min<size_t>(static_cast<size_t>(samples), room);
    float* dst = static_cast<float*>(acc->data()) + used;
    for (size_t i = 0; i < n; ++i) dst[i] = interleaved[2 * i + channel] / 32767.0f;
    acc->set_range(0, (used + n) * sizeof(float));
    if (acc->range_length() > mThreshold || n < static_cast<size_t>(samples)) {
        handOff_l(channel, acc);
        mFilled[channel].push_back(acc);
        acc = nullptr;
    }
}

void FFMpegSoundDecoder::flushWatermark_l() {
    for (int c = 0; c < kChannels; ++c) {
        if (mAccumulating[c] == nullptr) continue;
        handOff_l(c, mAccumulating[c]);
        mFilled[c].push_back(mAccumulating[c]);
        mAccumulating[c] = nullptr;
    }
}

void FFMpegSoundDecoder::handOff_l(int channel, MediaBuffer* buffer) {
    AudioWatermarkEncoder* encoder = mEncoder[channel];
    float* samples = static_cast<float*>(buffer->data());
    int32_t count = static_cast<int32_t>(buffer->range_length() / sizeof(float));
    float* out = mScratch[channel];
    bool bypass = true;
    int64_t group = 0;
    if (channel == 0) {
        int64_t groups = mPayloadGroups > 0 ? mPayloadGroups : 1;
        group = mPayloadCounter % groups;
        bypass = mPayloadCounter == 0;
        ++mPayloadCounter;
    }
    encoder->setBypass(bypass);
    VLOGI(bypass ? "awt4_encode_stream_buffer bypass true" : "awt4_encode_stream_buffer bypass false");

    char text[20] = {0};
    text[0] = '0';
    text[1] = 'x';
    size_t from = mPayloadGroups >= 2 ? 2 + 16 * static_cast<size_t>(group) : 2;
    for (size_t i = 0; i < 16 && from + i < mPayloadText.size(); ++i) text[2 + i] = mPayloadText[from + i];
    int err = encoder->setPayload(text, sizeof(text), 16000, 0.5f, 3.5f, 0.5f);
    if (err != 0) VLOGE("water marking set payload error (%d)", err);

    int64_t startUs = GetNowUs();
    int32_t block = encoder->payloadBlockSize();
    int processErr = 0;
    for (int32_t offset = 0; offset < count && processErr == 0; offset += block) {
        processErr = encoder->process(samples + offset, out + offset, std::min(block, count - offset));
    }
    if (err == 0) err = processErr;
    // The engine's output lags by its algorithmic delay: drop that once per run.
    int32_t skip = std::min(mDelayToSkip[channel], count);
    mDelayToSkip[channel] -= skip;
    VLOGI("awt4_encode_stream_buffer encodeUs %lld sample %d err_code %d audioWaterMark '%s' mAudioWaterMark '%s'",
          static_cast<long long>(GetNowUs() - startUs), count, err, text, mPayloadText.c_str());
    const float* result = out + skip;
    if (err != 0 && !bypass) {
        VLOGE("water marking error %d input_size %d", err, count);
        memcpy(out, samples, static_cast<size_t>(count) * sizeof(float));
        result = out;
        skip = 0;
    }
    int16_t* dst = static_cast<int16_t*>(buffer->data());
    int32_t produced = count - skip;
    for (int32_t i = 0; i < produced; ++i) {
        float v = std::nearbyint(result[i] * 32767.0f);
        dst[i] = static_cast<int16_t>(v > 32767.0f ? 32767 : (v < -32768.0f ? -32768 : static_cast<int32_t>(v)));
    }
    buffer->set_range(0, static_cast<size_t>(produced) * 2);
}

bool FFMpegSoundDecoder::roomToDecode_l() {
    if (!mWatermark) return !mFreeChannel.empty();
    size_t need = 0;
    for (int c = 0; c < kChannels; ++c) {
        if (mAccumulating[c] == nullptr) ++need;
    }
    return mFreeChannel.size() >= need;
}

void FFMpegSoundDecoder::postDecode(int64_t delayUs) {
    if (mReflector == nullptr) return;
    Ref<Message> msg = new Message(kWhatDecode, mReflector->id());
    msg->setInt32("generation", mGeneration);
    LooperRoster::instance().postMessage(msg, delayUs);
}

void FFMpegSoundDecoder::onMessageReceived(const Ref<Message>& msg) {
    switch (msg->what()) {
        case kWhatDecode: {
            int32_t generation = -1;
            msg->findInt32("generation", &generation);
            bool canDecode;
            {
                Autolock b(mBufferLock);
                if (generation != mGeneration || !mStarted) return;
                if (mSuspended) {
                    postDecode(500000);
                    return;
                }
                canDecode = mStatus == OK && roomToDecode_l();
            }
            if (canDecode && decodeInternal()) {
                postDecode(0);
            } else {
                {
                    Autolock b(mBufferLock);
                    mCondition.broadcast();
                }
                postDecode(canDecode ? 500000 : 20000);
            }
            break;
        }
        case kWhatSuspend:
            mSuspended = true;
            mSeeking = false;
            break;
        default:
            break;
    }
}

void FFMpegSoundDecoder::suspendLooper() {
    if (mReflector == nullptr) return;
    VLOGI("suspend");
    mSeeking = true;
    mSuspended = false;
    LooperRoster::instance().postMessage(new Message(kWhatSuspend, mReflector->id()), 1000);
    while (!mSuspended) usleep(10000);
    VLOGI("suspended");
}

void FFMpegSoundDecoder::resumeLooper() {
    if (mReflector == nullptr) return;
    ++mGeneration;
    mSuspended = false;
    postDecode(0);
}

status_t FFMpegSoundDecoder::read(MediaBuffer** out, const ReadOptions* options) {
    *out = nullptr;
    int64_t seekTimeUs;
    ReadOptions::SeekMode mode;
    bool seeking = options != nullptr && options->getSeekTo(&seekTimeUs, &mode) && mode == ReadOptions::SeekClosestSync;
    if (seeking) {
        // The decoding thread must be out of the lists before they are touched.
        if (mWatermark && mStarted) suspendLooper();
    }
    Autolock b(mBufferLock);
    if (!mStarted) return ERROR_END_OF_STREAM;
    if (seeking) {
        mSeekTimeUs = seekTimeUs;
        VLOGI("read found seek option:%lld", static_cast<long long>(seekTimeUs));
    }
    if (mSeekTimeUs >= 0 && seeking) {
        mStatus = OK;
        VLOGI("seeking:%lld PDBUsed size %d PDB size:%d [[", static_cast<long long>(mSeekTimeUs),
              static_cast<int>(mFilled[0].size() + mFilled[1].size()), static_cast<int>(mFreeChannel.size()));
        returnChannelBuffers_l();
        mDeliveredBytes = 0;
        mPayloadCounter = 0;
        for (int c = 0; c < kChannels; ++c) {
            if (mEncoder[c] != nullptr) {
                mEncoder[c]->reset();
                mDelayToSkip[c] = mEncoder[c]->algorithmicDelay();
            }
        }
        if (mWatermark) resumeLooper();
        VLOGI("seeking:%lld PDBUsed size %d PDB size:%d ]]", static_cast<long long>(seekTimeUs),
              static_cast<int>(mFilled[0].size() + mFilled[1].size()), static_cast<int>(mFreeChannel.size()));
    }

    int failures = 0;
    while ((mFilled[0].empty() || mFilled[1].empty()) && mStatus == OK && mStarted) {
        if (!mWatermark) {
            // Decoding reads the source, which may block: getFormat and the others get the
            // buffer lock meanwhile.
            mBufferLock.unlock();
            const bool decoded = decodeInternal();
            mBufferLock.lock();
            if (!decoded && ++failures > kTolerableDecodeFailures) {
                VLOGE("## decodeInternal fail");
                return ERROR_END_OF_STREAM;
            }
        } else {
            int filled = static_cast<int>(std::min(mFilled[0].size(), mFilled[1].size()));
            VLOGV("PDB Size %d < Channels %d wait [[", filled, kChannels);
            mCondition.wait(mBufferLock);
            VLOGV("PDB Size %d < Channels %d wait ]]", filled, kChannels);
        }
    }
    if (!mStarted) return ERROR_END_OF_STREAM;
    if (mFilled[0].empty() || mFilled[1].empty()) {
        if (mStatus == INFO_DISCONTINUITY || mStatus == INFO_FORMAT_CHANGED) {
            VLOGI("INFO_DISCONTINUITY or INFO_FORMAT_CHANGED empty %d", static_cast<int>(mFilled[0].size()));
            return mStatus;
        }
        VLOGI("END_OF_STREAM empty %d", static_cast<int>(mFilled[0].size()));
        return ERROR_END_OF_STREAM;
    }

    MediaBuffer* left = mFilled[0].front();
    MediaBuffer* right = mFilled[1].front();
    size_t channelBytes = std::min(left->range_length(), right->range_length());
    size_t outSize = channelBytes > kMaxOutputBytes / 2 ? static_cast<size_t>(kMaxOutputBytes) : channelBytes * 2;
    size_t samples = outSize / 4;
    MediaBuffer* buffer = mOutputPool->acquire();
    int16_t* dst = static_cast<int16_t*>(buffer->data());
    const int16_t* l = reinterpret_cast<const int16_t*>(static_cast<const uint8_t*>(left->data()) + left->range_offset());
    const int16_t* r = reinterpret_cast<const int16_t*>(static_cast<const uint8_t*>(right->data()) + right->range_offset());
    for (size_t i = 0; i < samples; ++i) {
        dst[2 * i] = l[i];
        dst[2 * i + 1] = r[i];
    }
    int64_t timeUs = 0;
    left->meta_data()->findInt64(kKeyTime, &timeUs);
    if (mSampleRate > 0) timeUs += mDeliveredBytes * 1000000 / (static_cast<int64_t>(mSampleRate) * kChannels * 2);
    buffer->meta_data()->setInt64(kKeyTime, timeUs);
    buffer->set_range(0, samples * 4);

    bool usedUp = false;
    for (MediaBuffer* ch : {left, right}) {
        ch->set_range(ch->range_offset() + samples * 2, ch->range_length() - samples * 2);
    }
    if (left->range_length() == 0 || right->range_length() == 0) {
        usedUp = true;
        for (int c = 0; c < kChannels; ++c) {
            MediaBuffer* ch = mFilled[c].front();
            mFilled[c].pop_front();
            ch->meta_data()->clear();
            ch->set_range(0, 0);
            mFreeChannel.push_back(ch);
        }
    }
    mDeliveredBytes = usedUp ? 0 : mDeliveredBytes + static_cast<int64_t>(samples * 4);
    *out = buffer;
    return OK;
}

}  // namespace velmor
