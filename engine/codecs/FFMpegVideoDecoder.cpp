#define LOG_TAG "VEL_FFMpegVideoDecoder"

#include "engine/codecs/FFMpegVideoDecoder.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "engine/MediaDefs.h"
#include "engine/codecs/CodecConfig.h"
#include "utils/Log.h"

namespace velmor {

std::atomic<int> FFMpegVideoDecoder::sProcessorCountOverride{0};
std::atomic<bool> FFMpegVideoDecoder::sLoopFilterShedding{true};

namespace {

// OMX_COLOR_FormatYUV420Planar: what the format says until the first picture is decoded.
constexpr int32_t kInitialColorFormat = 19;
// Read errors a run of the decode thread lets pass before it reports one.
constexpr int kTolerableReadErrors = 6;
// Packet copies come from a pool whose buffers grow in steps of this many bytes.
constexpr size_t kPacketPoolGranule = 64 * 1024;

inline int32_t alignTo(int32_t v, int32_t a) { return (v + a - 1) / a * a; }

// Bytes of one 8-bit 4:2:0 picture of width x height.
int64_t pictureBytes(int32_t width, int32_t height) {
    return static_cast<int64_t>(width) * height + 2 * static_cast<int64_t>((width + 1) / 2) * ((height + 1) / 2);
}

bool tooLarge(int32_t width, int32_t height) {
    return static_cast<int64_t>(width) * height > FFMpegVideoDecoder::kMaxPictureArea;
}

int32_t codecIdFromFormat(const Ref<MetaData>& format) {
    int32_t id = 0;
    if (format->findInt32(kKeyVideoCodecId, &id) && id != 0) return id;
    const char* mime = nullptr;
    if (!format->findCString(kKeyMIMEType, &mime)) return AV_CODEC_ID_NONE;
    VLOGI("mime:%s", mime);
    if (!strcasecmp(mime, kMimeVideoMpeg4)) return AV_CODEC_ID_MPEG4;
    if (!strcasecmp(mime, kMimeVideoH263)) return AV_CODEC_ID_H263;
    if (!strcasecmp(mime, kMimeVideoAvc)) return AV_CODEC_ID_H264;
    if (!strcasecmp(mime, kMimeVideoHevc)) return AV_CODEC_ID_HEVC;
    return AV_CODEC_ID_NONE;
}

int processorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace

// A picture handed out: a reference to the codec's frame, dropped when the buffer is deleted.
// data() is the luma plane; kKeyPictureLayout describes all three planes.
class FFMpegVideoDecoder::Picture : public MediaBuffer {
public:
    explicit Picture(FramePtr frame)
        : MediaBuffer(frame->data[0], static_cast<size_t>(frame->linesize[0]) * frame->height),
          mFrame(std::move(frame)) {
        PlayerBase::VideoSink::Picture layout{
            {mFrame->data[0], mFrame->data[1], mFrame->data[2]},
            {mFrame->linesize[0], mFrame->linesize[1], mFrame->linesize[2]},
            mFrame->width,
            mFrame->height};
        meta_data()->setData(kKeyPictureLayout, kTypePictureLayout, &layout, sizeof(layout));
    }

private:
    ~Picture() override = default;
    FramePtr mFrame;
};

void FFMpegVideoDecoder::setProcessorCountOverride(int count) { sProcessorCountOverride = std::max(count, 0); }

void FFMpegVideoDecoder::setLoopFilterShedding(bool enabled) { sLoopFilterShedding = enabled; }

FFMpegVideoDecoder::FFMpegVideoDecoder(const Ref<MediaSource>& source, int32_t flags)
    : mSource(source), mFlags(flags), mSortPendingTimes(false), mCodecId(AV_CODEC_ID_NONE), mPacketPoolBufferSize(0),
      mThreadCount(1), mInputEnded(false), mFormat(new MetaData), mPlaybackRate(1.0f), mWidth(0), mHeight(0),
      mPictureLimit(kNumPictureBuffers), mPicturesOut(0), mLastTimeUs(0), mHaveOutputTime(false), mFramesToDrop(0),
      mSkipUntilUs(-1), mStatus(OK), mSeekTimeUs(-1), mLowQueue(false), mLoopFilterShedding(true), mStarted(false),
      mStopping(false), mStopped(false), mSizeKnown(false), mThread(nullptr) {
    Ref<MetaData> in = source != nullptr ? source->getFormat() : nullptr;
    if (in == nullptr) in = new MetaData;
    int32_t width = 0, height = 0, v = 0;
    in->findInt32(kKeyWidth, &width);
    in->findInt32(kKeyHeight, &height);
    mFormat->setCString(kKeyMIMEType, kMimeVideoRaw);
    mFormat->setInt32(kKeyWidth, width);
    mFormat->setInt32(kKeyHeight, height);
    mFormat->setInt32(kKeyDisplayWidth, in->findInt32(kKeyDisplayWidth, &v) ? v : width);
    mFormat->setInt32(kKeyDisplayHeight, in->findInt32(kKeyDisplayHeight, &v) ? v : height);
    mFormat->setInt32(kKeyColorFormat, kInitialColorFormat);
    mFormat->setCString(kKeyDecoderComponent, "FFMpegVideoDecoder");
    if (in->findInt32(kKeyRotationDegrees, &v)) mFormat->setInt32(kKeyRotationDegrees, v);
    int64_t duration;
    if (in->findInt64(kKeyDuration, &duration)) mFormat->setInt64(kKeyDuration, duration);
    int32_t ipts = 0;
    mSortPendingTimes = in->findInt32(kKeyInputIsPts, &ipts) && ipts != 0;
    mCodecId = codecIdFromFormat(in);
}

FFMpegVideoDecoder::~FFMpegVideoDecoder() {
    stop();
    VLOGI("~FFMpegVideoDecoder");
}

Ref<MetaData> FFMpegVideoDecoder::getFormat() {
    Autolock l(mLock);
    return mFormat;
}

void FFMpegVideoDecoder::setPlaybackRate(float rate) {
    Autolock l(mLock);
    mPlaybackRate = rate;
}

size_t FFMpegVideoDecoder::countReadyPictures() {
    Autolock l(mLock);
    return mReady.size();
}

bool FFMpegVideoDecoder::isLowQueue() {
    Autolock l(mLock);
    return mLowQueue;
}

int32_t FFMpegVideoDecoder::picturesOut() {
    Autolock l(mLock);
    return mPicturesOut;
}

int32_t FFMpegVideoDecoder::pictureLimit() {
    Autolock l(mLock);
    return mPictureLimit;
}

status_t FFMpegVideoDecoder::configureCodec(const Ref<MetaData>& format) {
    VLOGI("mCodecId:0x%x", mCodecId);
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(mCodecId));
    if (codec == nullptr) {
        VLOGE("no decoder for codec id %d", mCodecId);
        return ERROR_UNSUPPORTED;
    }
    CodecContextPtr owner(avcodec_alloc_context3(codec));
    AVCodecContext* ctx = owner.get();
    if (ctx == nullptr) return NO_MEMORY;

    void* handed = nullptr;
    if (format->findPointer(kKeyCodecContext, &handed) && handed != nullptr) {
        // The extractor's context describes the stream; copy its parameters into our own.
        if (copyCodecParameters(ctx, static_cast<AVCodecContext*>(handed)) < 0) {
            return UNKNOWN_ERROR;
        }
    } else {
        VLOGE("CodecContext Not Allocated");
        int32_t width = 0, height = 0;
        format->findInt32(kKeyWidth, &width);
        format->findInt32(kKeyHeight, &height);
        ctx->width = width;
        ctx->height = height;
        uint32_t type;
        const void* data = nullptr;
        size_t size = 0;
        const void* dsi = nullptr;
        size_t dsiSize = 0;
        if (format->findData(kKeyAVCC, &type, &data, &size) && size > 0 && static_cast<const uint8_t*>(data)[0] == 1) {
            VLOGI("findData AVCC");
            dsi = data;
            dsiSize = size;
        } else if (format->findData(kKeyESDS, &type, &data, &size)) {
            VLOGI("findData ESDS");
            setCodecExtradataFromESDS(ctx, data, size);
        } else if (format->findData(kKeyRawCodecSpecificInfo, &type, &data, &size) && size > 0) {
            VLOGI("findData Raw DSI");
            dsi = data;
            dsiSize = size;
        } else {
            VLOGI("Not Found DSI");
        }
        if (dsi != nullptr) setCodecExtradata(ctx, dsi, dsiSize);
    }

    // Pictures beyond what the sinks can draw are refused before the codec allocates anything
    // for them; the codec refuses a larger size that only shows up mid-stream.
    int32_t width = ctx->width, height = ctx->height;
    if (width <= 0 || height <= 0) {
        format->findInt32(kKeyWidth, &width);
        format->findInt32(kKeyHeight, &height);
    }
    if (tooLarge(width, height)) {
        VLOGE("picture size %dx%d is larger than %lld pixels: refused", width, height,
              static_cast<long long>(kMaxPictureArea));
        return ERROR_UNSUPPORTED;
    }
    ctx->max_pixels = kMaxPictureArea;

    int32_t threads = 1;
    if (codec->capabilities & AV_CODEC_CAP_FRAME_THREADS) {
        ctx->thread_type = FF_THREAD_FRAME;
        int processors = sProcessorCountOverride.load();
        if (processors <= 0) processors = processorCount();
        threads = std::max(processors * 3 / 2, 1);
        // Each frame thread holds a picture in flight: half the picture budget bounds them.
        if (width > 0 && height > 0) {
            int64_t fit = kPictureMemoryBudget / 2 / pictureBytes(width, height);
            threads = static_cast<int32_t>(std::clamp<int64_t>(fit, 1, threads));
        }
        ctx->thread_count = threads;
    }
    mThreadCount = threads;
    AVCodecContext* raw = owner.release();
    status_t err = openCodecContext(&raw, codec, LOG_TAG);
    if (err != OK) return err;
    mCodecContext.reset(raw);
    mInputEnded = false;
    return OK;
}

status_t FFMpegVideoDecoder::start(MetaData* params) {
    {
        Autolock l(mLock);
        if (mStarted) return OK;
        mLoopFilterShedding = sLoopFilterShedding.load();
    }
    // No decode thread runs yet: the codec is this thread's until startThread_l.
    if (mSource == nullptr) return NO_INIT;
    Ref<MetaData> format = mSource->getFormat();
    if (format == nullptr) return UNKNOWN_ERROR;
    status_t err = configureCodec(format);
    if (err != OK) return err;
    auto fail = [this](status_t err) {
        mCodecContext.reset();
        mFrame.reset();
        mPacket.reset();
        return err;
    };
    mFrame.reset(av_frame_alloc());
    mPacket.reset(av_packet_alloc());
    if (mFrame == nullptr || mPacket == nullptr) return fail(NO_MEMORY);
    err = mSource->start(params);
    if (err != OK) {
        VLOGE("source start error %d", err);
        return fail(err);
    }
    {
        Autolock l(mLock);
        mStatus = OK;
        mStopping = false;
        mStopped = false;
    }
    err = decodeFirstPicture(nullptr, false);
    if (err != OK) {
        mSource->stop();
        Autolock l(mLock);
        discardReady_l();
        return fail(err);
    }
    Autolock l(mLock);
    mStarted = true;
    startThread_l();
    return OK;
}

status_t FFMpegVideoDecoder::decodeFirstPicture(MediaBuffer* first, bool reconfigure) {
    if (reconfigure) VLOGI("firstFrameDecode");
    for (;;) {
        {
            Autolock l(mLock);
            if (mStopping) return USER_STOP;
        }
        MediaBuffer* in = first;
        first = nullptr;
        if (in == nullptr && !mInputEnded) {
            status_t err = mSource->read(&in, nullptr);
            if (err == INFO_FORMAT_CHANGED || err == INFO_DISCONTINUITY) {
                usleep(10000);
                continue;
            }
            if (err == ERROR_END_OF_STREAM) {
                // A stream shorter than the codec's pipeline: flush out what it holds.
                mInputEnded = true;
                avcodec_send_packet(mCodecContext.get(), nullptr);
            } else if (err != OK) {
                VLOGE("Source Read Error 0x%x", err);
                return err;
            }
        }
        if (in != nullptr) {
            int64_t timeUs = 0;
            in->meta_data()->findInt64(kKeyTime, &timeUs);
            if (in->range_length() == 0 || !fillPacket(in)) {
                in->release();
                continue;
            }
            int ret = avcodec_send_packet(mCodecContext.get(), mPacket.get());
            av_packet_unref(mPacket.get());
            in->release();
            if (ret == 0) {
                appendPendingTime(timeUs);
            } else {
                VLOGW("Video Decode Fail %d", ret);
            }
        }
        int ret = avcodec_receive_frame(mCodecContext.get(), mFrame.get());
        if (ret == AVERROR_EOF || (ret == AVERROR(EAGAIN) && mInputEnded)) {
            VLOGE("Source Read Error 0x%x", ERROR_END_OF_STREAM);
            return ERROR_END_OF_STREAM;
        }
        if (ret != 0) {
            if (reconfigure) usleep(10000);
            continue;
        }
        AVFrame* frame = mFrame.get();
        if (tooLarge(frame->width, frame->height)) {
            VLOGE("picture size %dx%d is larger than %lld pixels: refused", frame->width, frame->height,
                  static_cast<long long>(kMaxPictureArea));
            av_frame_unref(frame);
            return ERROR_UNSUPPORTED;
        }
        const AVCodecContext* ctx = mCodecContext.get();
        const char* name = ctx->codec ? ctx->codec->name : "";
        {
            Autolock l(mLock);
            mFormat->setCString(kKeyCodecName, name);
            if (reconfigure) {
                VLOGI("FFMpegVideoDecoder[0x%08x] >> firstDecode (%s) >> width(%d:%d:%d) height(%d:%d:%d)",
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)), name, frame->width, ctx->width,
                      ctx->coded_width, frame->height, ctx->height, ctx->coded_height);
                mPendingTimes.clear();
            } else {
                VLOGI("FFMpegVideoDecoder[%x] >> start(%s) >> width(%d:%d:%d) height(%d:%d:%d)",
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)), name, frame->width, ctx->width,
                      ctx->coded_width, frame->height, ctx->height, ctx->coded_height);
                if (frame->width != mWidth || frame->height != mHeight) VLOGI("dimension %d %d", frame->width, frame->height);
                setPictureSize_l(frame->width, frame->height, false);
            }
        }
        // A size change after a reconfiguration is announced by the output path (marker).
        outputPicture(frame);
        av_frame_unref(frame);
        int32_t colorFormat = ctx->pix_fmt;
        if (colorFormat != AV_PIX_FMT_YUV420P && colorFormat != AV_PIX_FMT_YUVJ420P) colorFormat = AV_PIX_FMT_YUV420P;
        Autolock l(mLock);
        mFormat->setInt32(kKeyColorFormat, colorFormat);
        return OK;
    }
}

status_t FFMpegVideoDecoder::reconfigure(MediaBuffer* first) {
    Ref<MetaData> format = mSource->getFormat();
    int32_t codecId = format != nullptr ? codecIdFromFormat(format) : AV_CODEC_ID_NONE;
    if (codecId == AV_CODEC_ID_NONE) {
        VLOGE("Unknown Source Format.");
        if (first) first->release();
        return UNKNOWN_ERROR;
    }
    mCodecContext.reset();
    mCodecId = codecId;
    status_t err = configureCodec(format);
    if (err != OK) {
        VLOGE("Re-Configure Fail %d", err);
        if (first) first->release();
        return err;
    }
    {
        Autolock l(mLock);
        mPendingTimes.clear();
    }
    return decodeFirstPicture(first, true);
}

void FFMpegVideoDecoder::setPictureSize_l(int32_t width, int32_t height, bool announce) {
    mLock.assertHeld();
    if (announce) VLOGI("Dimension (%d, %d) -> (%d, %d)", mWidth, mHeight, width, height);
    mWidth = width;
    mHeight = height;
    mSizeKnown = true;
    mFormat->setInt32(kKeyWidth, width);
    mFormat->setInt32(kKeyHeight, height);
    int64_t fit = kPictureMemoryBudget / std::max<int64_t>(pictureBytes(width, height), 1);
    mPictureLimit = static_cast<int32_t>(std::clamp<int64_t>(fit, 2, kNumPictureBuffers));
    // No memory is allocated here any more (pictures are the codec's frames); the line keeps
    // recording the picture size and what it costs.
    VLOGI("allocateFrames :%d(%dx%d)", static_cast<int>(pictureBytes(width, height)), width, height);
    if (!announce) return;
    mFormat->setInt32(kKeyDisplayWidth, width);
    mFormat->setInt32(kKeyDisplayHeight, height);
    mFormat->setRect(kKeyCropRect, 0, 0, alignTo(width, 4) - 1, alignTo(height, 4) - 1);
    MediaBuffer* marker = new MediaBuffer(1);
    marker->meta_data()->setInt32(kKeyDecoderEvent, INFO_FORMAT_CHANGED);
    mReady.push_back(marker);
    mCondition.broadcast();
}

void FFMpegVideoDecoder::appendPendingTime(int64_t timeUs) {
    Autolock l(mLock);
    mPendingTimes.push_back(timeUs);
    if (mSortPendingTimes) std::sort(mPendingTimes.begin(), mPendingTimes.end());
}

void FFMpegVideoDecoder::signalBufferReturned(MediaBuffer* buffer) {
    Autolock l(mLock);
    auto it = std::find(mHandedOut.begin(), mHandedOut.end(), buffer);
    if (it != mHandedOut.end()) {
        mHandedOut.erase(it);
        --mPicturesOut;
    }
    // Deleting the picture drops its frame reference: the codec reuses the memory.
    buffer->setObserver(nullptr);
    buffer->release();
    mCondition.broadcast();
}

void FFMpegVideoDecoder::discardReady_l() {
    mLock.assertHeld();
    while (!mReady.empty()) {
        MediaBuffer* buffer = mReady.front();
        mReady.pop_front();
        int32_t event;
        if (!buffer->meta_data()->findInt32(kKeyDecoderEvent, &event)) --mPicturesOut;
        buffer->setObserver(nullptr);
        buffer->release();
    }
    mCondition.broadcast();
}

FramePtr FFMpegVideoDecoder::referencePicture(AVFrame* frame) {
    FramePtr out(av_frame_alloc());
    if (out == nullptr) return nullptr;
    if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) {
        if (av_frame_ref(out.get(), frame) < 0) return nullptr;
        return out;
    }
    // Any other layout is converted (the sinks draw 8-bit 4:2:0 only); this allocates per
    // picture, which only such streams pay.
    out->format = AV_PIX_FMT_YUV420P;
    out->width = frame->width;
    out->height = frame->height;
    if (av_frame_get_buffer(out.get(), 0) < 0) return nullptr;
    mSws.reset(sws_getCachedContext(mSws.release(), frame->width, frame->height,
                                    static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                                    AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (mSws == nullptr) return nullptr;
    sws_scale(mSws.get(), frame->data, frame->linesize, 0, frame->height, out->data, out->linesize);
    return out;
}

int64_t FFMpegVideoDecoder::nextOutputTime_l() {
    mLock.assertHeld();
    int64_t timeUs = mLastTimeUs;
    if (!mPendingTimes.empty()) {
        timeUs = mPendingTimes.front();
        mPendingTimes.pop_front();
    }
    if (mHaveOutputTime && timeUs <= mLastTimeUs) {
        // Packets without usable times (the first ones of some Matroska files carry the same
        // time) would repeat a time: continue the picture clock by one frame instead.
        int64_t frameUs = 1;
        AVRational rate = mCodecContext != nullptr ? mCodecContext->framerate : AVRational{0, 1};
        if (rate.num > 0 && rate.den > 0) frameUs = av_rescale(1000000, rate.den, rate.num);
        timeUs = mLastTimeUs + frameUs;
    }
    mLastTimeUs = timeUs;
    mHaveOutputTime = true;
    return timeUs;
}

void FFMpegVideoDecoder::outputPicture(AVFrame* frame) {
    int64_t timeUs = 0;
    {
        Autolock l(mLock);
        if (mSizeKnown && (frame->width != mWidth || frame->height != mHeight)) {
            setPictureSize_l(frame->width, frame->height, true);
        }
        timeUs = nextOutputTime_l();
        // Stale pictures after a seek, and pictures the reader would discard before an exact
        // seek's target, are dropped before they take a place in the queue.
        if (mFramesToDrop > 0) {
            --mFramesToDrop;
            return;
        }
        if (mSkipUntilUs >= 0) {
            if (timeUs < mSkipUntilUs) return;
            mSkipUntilUs = -1;
        }
        // Decode at most kMaxReadyPictures ahead of the reader, and keep at most mPictureLimit
        // pictures out of the decoder.
        while ((mPicturesOut >= mPictureLimit || mReady.size() >= kMaxReadyPictures) && !mStopping) {
            mCondition.wait(mLock);
        }
        if (mStopping) return;
        ++mPicturesOut;  // this picture's place, taken before the lock is let go
    }
    FramePtr reference = referencePicture(frame);

    Autolock l(mLock);
    if (reference == nullptr) {
        VLOGW("mPDBUsed size :%d", 0);
        --mPicturesOut;
        mCondition.broadcast();
        return;
    }
    Picture* picture = new Picture(std::move(reference));
    picture->setObserver(this);
    picture->meta_data()->setInt64(kKeyTime, timeUs);
    mReady.push_back(picture);
    mCondition.broadcast();
}

void FFMpegVideoDecoder::drainPictures() {
    for (;;) {
        {
            Autolock l(mLock);
            if (mStopping) return;
        }
        if (avcodec_receive_frame(mCodecContext.get(), mFrame.get()) != 0) return;
        outputPicture(mFrame.get());
        av_frame_unref(mFrame.get());
    }
}

void FFMpegVideoDecoder::drainAtEndOfInput() {
    // The codec holds back up to its thread count of pictures (and its reordering delay):
    // an empty packet makes it give out every one of them, however short the clip was.
    if (!mInputEnded) {
        avcodec_send_packet(mCodecContext.get(), nullptr);
        mInputEnded = true;
    }
    drainPictures();
}

bool FFMpegVideoDecoder::fillPacket(MediaBuffer* in) {
    size_t size = in->range_length();
    const uint8_t* data = static_cast<const uint8_t*>(in->data()) + in->range_offset();
    if (in->avBuffer() != nullptr) {
        // The packet's bytes are already in a reference-counted FFmpeg buffer (with its padding):
        // the codec takes a reference of its own.
        mPacket->buf = av_buffer_ref(in->avBuffer());
        if (mPacket->buf == nullptr) return false;
        mPacket->data = const_cast<uint8_t*>(data);
        mPacket->size = static_cast<int>(size);
        return true;
    }
    // Other buffers are copied: the codec keeps packets while its threads work on them. The
    // copies come from a pool that grows with the largest packet, so no packet allocates.
    size_t need = size + AV_INPUT_BUFFER_PADDING_SIZE;
    if (mPacketPool == nullptr || need > mPacketPoolBufferSize) {
        mPacketPoolBufferSize = (need + kPacketPoolGranule - 1) / kPacketPoolGranule * kPacketPoolGranule;
        mPacketPool.reset(av_buffer_pool_init(mPacketPoolBufferSize, nullptr));
        if (mPacketPool == nullptr) return false;
    }
    AVBufferRef* buf = av_buffer_pool_get(mPacketPool.get());
    if (buf == nullptr) return false;
    memcpy(buf->data, data, size);
    memset(buf->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    mPacket->buf = buf;
    mPacket->data = buf->data;
    mPacket->size = static_cast<int>(size);
    return true;
}

int FFMpegVideoDecoder::decodeBuffer(MediaBuffer* in) {
    int64_t timeUs = 0;
    in->meta_data()->findInt64(kKeyTime, &timeUs);
    if (!fillPacket(in)) return AVERROR(ENOMEM);
    int ret = avcodec_send_packet(mCodecContext.get(), mPacket.get());
    if (ret == AVERROR(EAGAIN)) {
        // Pictures are always drained after a packet, so this only happens when the codec
        // produced more than it reported; take them out and send again.
        drainPictures();
        ret = avcodec_send_packet(mCodecContext.get(), mPacket.get());
    }
    av_packet_unref(mPacket.get());
    if (ret == 0) {
        appendPendingTime(timeUs);
    } else {
        VLOGD("decode error %d at %lld", ret, static_cast<long long>(timeUs));
    }
    drainPictures();
    return ret;
}

void FFMpegVideoDecoder::pause_l(int ms) {
    mLock.assertHeld();
    if (!mStopping) mCondition.waitRelative(mLock, static_cast<int64_t>(ms) * 1000000);
}

void* FFMpegVideoDecoder::ThreadWrapper(void* me) {
    static_cast<FFMpegVideoDecoder*>(me)->decodeLoop();
    return nullptr;
}

void FFMpegVideoDecoder::decodeLoop() {
    int readErrors = 0;
    bool formatChanged = false;
    for (;;) {
        int64_t seekTimeUs;
        bool shedLoopFilter;
        {
            Autolock l(mLock);
            if (mStopping) break;
            seekTimeUs = mSeekTimeUs;
            mSeekTimeUs = -1;
            shedLoopFilter = mLowQueue && mLoopFilterShedding;
        }
        ReadOptions options;
        if (seekTimeUs >= 0) {
            VLOGI("onDecode seek %lld", static_cast<long long>(seekTimeUs));
            options.setSeekTo(seekTimeUs, ReadOptions::SeekClosestSync);
        }
        MediaBuffer* in = nullptr;
        status_t err = mSource->read(&in, seekTimeUs >= 0 ? &options : nullptr);
        if (err == ERROR_END_OF_STREAM) drainAtEndOfInput();
        if (err != OK) {
            Autolock l(mLock);
            if (err == INFO_FORMAT_CHANGED) {
                VLOGI("onDecode >>> read >>> INFO_FORMAT_CHANGED");
                formatChanged = true;
                pause_l(10);
                continue;
            }
            if (err == INFO_DISCONTINUITY) {
                VLOGI("onDecode >>> read >>> Seek");
                pause_l(1);
                mCondition.broadcast();
                continue;
            }
            if (++readErrors > kTolerableReadErrors || err == USER_STOP) {
                mStatus = err;
                VLOGW("read error %x(%d)", static_cast<unsigned>(err), err);
            }
            if (err == USER_STOP) {
                mCondition.broadcast();
                break;
            }
            pause_l(100);
            mCondition.broadcast();
            continue;
        }
        if (mInputEnded) {
            // Data after an end of stream: the codec has to leave its draining state first.
            avcodec_flush_buffers(mCodecContext.get());
            mInputEnded = false;
        }
        int32_t event = 0;
        bool marker = in->meta_data()->findInt32(kKeyDecoderEvent, &event) && event == INFO_FORMAT_CHANGED;
        if (formatChanged || marker) {
            formatChanged = false;
            VLOGI("INFO_FORMAT_CHANGED >>> ReConfigure.");
            if (marker) {
                in->meta_data()->clear();
                in->release();
                in = nullptr;
            }
            status_t rerr = reconfigure(in);
            if (rerr != OK) {
                Autolock l(mLock);
                if (rerr != USER_STOP) mStatus = rerr;
                mCondition.broadcast();
                break;
            }
            continue;
        }
        if (in->range_length() == 0) {
            in->release();
            continue;
        }
        mCodecContext->skip_loop_filter = shedLoopFilter ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
        decodeBuffer(in);
        in->release();
    }
    Autolock l(mLock);
    mCondition.broadcast();
    VLOGI("VideoDecThread Bye ~~~~~~");
}

void FFMpegVideoDecoder::startThread_l() {
    mLock.assertHeld();
    mStopping = false;
    if (!createJoinableThread(&mThread, ThreadWrapper, this, 0, true, PRIORITY_DEFAULT, "VideoDecThread")) {
        mThread = nullptr;
        mStatus = UNKNOWN_ERROR;
    }
}

void FFMpegVideoDecoder::stopThread() {
    mLock.assertNotHeld();
    thread_handle_t thread;
    {
        Autolock l(mLock);
        mStopping = true;
        mCondition.broadcast();
        // A seek on the reader's thread and a stop on the host's may both stop the thread: the
        // second waits until the first has joined it, so neither goes on while it still decodes.
        while (mThreadJoining) mCondition.wait(mLock);
        mStopping = true;  // a thread started meanwhile stops too
        thread = mThread;
        mThread = nullptr;
        mThreadJoining = thread != nullptr;
    }
    if (thread == nullptr) return;
    joinThread(thread);
    Autolock l(mLock);
    mThreadJoining = false;
    mCondition.broadcast();
}

void FFMpegVideoDecoder::seek_l(int64_t timeUs) {
    mLock.assertHeld();
    // The decode thread has been joined: the codec is ours until the thread starts again.
    mSeekTimeUs = timeUs;
    mFramesToDrop = mThreadCount - 1;
    mSkipUntilUs = -1;
    discardReady_l();
    mPendingTimes.clear();
    mHaveOutputTime = false;
    if (mCodecContext) avcodec_flush_buffers(mCodecContext.get());
    mInputEnded = false;
    if (!mStopped) startThread_l();
}

status_t FFMpegVideoDecoder::read(MediaBuffer** out, const ReadOptions* options) {
    *out = nullptr;
    int64_t seekTimeUs;
    ReadOptions::SeekMode mode;
    const bool seekRequested = options != nullptr && options->getSeekTo(&seekTimeUs, &mode);
    // A bounded wait applies to plain reads only: a seek waits for its first picture.
    const int64_t waitLimitUs = (options != nullptr && !seekRequested) ? options->getWaitLimit() : -1;
    if (seekRequested && mode == ReadOptions::SeekClosestSync) {
        {
            Autolock l(mLock);
            if (!mStarted) return ERROR_END_OF_STREAM;
        }
        stopThread();
        Autolock l(mLock);
        mStatus = OK;
        seek_l(seekTimeUs);
        mSkipUntilUs = options->getSkipUntil();
    }
    Autolock l(mLock);
    if (!mStarted) return ERROR_END_OF_STREAM;
    // At the end of the stream the pictures already decoded are still delivered.
    if (mStatus != OK && !(mStatus == ERROR_END_OF_STREAM && !mReady.empty())) return mStatus;
    const int64_t deadlineUs = waitLimitUs >= 0 ? GetNowUs() + waitLimitUs : -1;
    while (mStatus == OK && mReady.empty() && !mStopped) {
        VLOGV("read fillBuffer wait. pdb size %d filledTimeUs size %d", mPictureLimit - mPicturesOut,
              static_cast<int>(mPendingTimes.size()));
        if (deadlineUs < 0) {
            mCondition.wait(mLock);
            continue;
        }
        const int64_t remainingUs = deadlineUs - GetNowUs();
        if (remainingUs <= 0) return WOULD_BLOCK;
        mCondition.waitRelative(mLock, remainingUs * 1000);
    }
    if (mReady.empty()) {
        VLOGI("FFMpegVideoDecoder::read ERROR_END_OF_STREAM");
        return mStatus != OK ? mStatus : ERROR_END_OF_STREAM;
    }
    MediaBuffer* buffer = mReady.front();
    mReady.pop_front();
    mCondition.broadcast();  // a place in the ready queue is free
    status_t result = OK;
    int32_t event;
    if (buffer->meta_data()->findInt32(kKeyDecoderEvent, &event)) {
        buffer->release();
        VLOGI("FFMpegVideoDecoder::read INFO_FORMAT_CHANGED");
        result = INFO_FORMAT_CHANGED;
    } else {
        buffer->add_ref();
        mHandedOut.push_back(buffer);
        *out = buffer;
    }
    if (mReady.size() < kLowQueueOn) {
        mLowQueue = true;
    } else if (mReady.size() >= kLowQueueOff) {
        mLowQueue = false;
    }
    return result;
}

status_t FFMpegVideoDecoder::stop() {
    {
        Autolock l(mLock);
        if (!mStarted) return OK;
        VLOGI("FFMpegVideoDecoder stopping");
        mStopped = true;
        if (mStatus == OK) mStatus = ERROR_END_OF_STREAM;
    }
    stopThread();
    mSource->stop();
    Autolock l(mLock);
    discardReady_l();
    // Pictures still held by a reader keep their frames; they are detached from the decoder and
    // their last release deletes them.
    for (MediaBuffer* buffer : mHandedOut) buffer->setObserver(nullptr);
    mHandedOut.clear();
    mPicturesOut = 0;
    mCodecContext.reset();
    mFrame.reset();
    mPacket.reset();
    mPacketPool.reset();
    mSws.reset();
    mPendingTimes.clear();
    mStarted = false;
    mSizeKnown = false;
    VLOGI("FFMpegVideoDecoder stopped");
    return OK;
}

}  // namespace velmor
