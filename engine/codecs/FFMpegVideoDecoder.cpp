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

namespace {

// OMX_COLOR_FormatYUV420Planar: what the format says until the first picture is decoded.
constexpr int32_t kInitialColorFormat = 19;
// Read errors a run of the decode thread lets pass before it reports one.
constexpr int kTolerableReadErrors = 6;
// Low-queue hysteresis on the number of ready pictures.
constexpr size_t kLowQueueOn = 5;
constexpr size_t kLowQueueOff = 8;

inline int32_t alignTo(int32_t v, int32_t a) { return (v + a - 1) / a * a; }

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

// Copies a plane of width x height bytes into a dst plane of dstWidth x dstHeight, repeating the
// last column and the last row into the padding.
void copyPlane(uint8_t* dst, int32_t dstWidth, int32_t dstHeight, const uint8_t* src, int32_t srcStride,
               int32_t width, int32_t height) {
    if (width == dstWidth && srcStride == width && height == dstHeight) {
        memcpy(dst, src, static_cast<size_t>(width) * height);
        return;
    }
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = dst + static_cast<size_t>(y) * dstWidth;
        memcpy(row, src + static_cast<ptrdiff_t>(y) * srcStride, width);
        if (dstWidth > width) memset(row + width, row[width - 1], dstWidth - width);
    }
    for (int32_t y = height; y < dstHeight; ++y) {
        memcpy(dst + static_cast<size_t>(y) * dstWidth, dst + static_cast<size_t>(height - 1) * dstWidth, dstWidth);
    }
}

}  // namespace

FFMpegVideoDecoder::FFMpegVideoDecoder(const Ref<MediaSource>& source, int32_t flags)
    : mSource(source), mFormat(new MetaData), mFlags(flags), mCodecId(AV_CODEC_ID_NONE), mCodecContext(nullptr),
      mFrame(nullptr), mPacket(nullptr), mSws(nullptr), mPacketPool(nullptr), mPacketPoolBufferSize(0), mThreadCount(1), mSortPendingTimes(false),
      mPlaybackRate(1.0f), mWidth(0), mHeight(0), mPictureSize(0), mInputBuffer(nullptr), mLastTimeUs(0), mHaveOutputTime(false),
      mFramesToDrop(0), mSkipUntilUs(-1), mStatus(OK), mSeekTimeUs(-1), mLowQueue(false), mStarted(false), mStopping(false),
      mStopped(false), mPicturesAllocated(false), mThread(nullptr) {
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
    if (mStarted) stop();
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

status_t FFMpegVideoDecoder::configureCodec(const Ref<MetaData>& format) {
    VLOGI("mCodecId:0x%x", mCodecId);
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(mCodecId));
    if (codec == nullptr) {
        VLOGE("no decoder for codec id %d", mCodecId);
        return ERROR_UNSUPPORTED;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (ctx == nullptr) return NO_MEMORY;

    void* handed = nullptr;
    if (format->findPointer(kKeyCodecContext, &handed) && handed != nullptr) {
        // The extractor's context describes the stream; copy its parameters into our own.
        if (copyCodecParameters(ctx, static_cast<AVCodecContext*>(handed)) < 0) {
            avcodec_free_context(&ctx);
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

    mThreadCount = 1;
    if (codec->capabilities & AV_CODEC_CAP_FRAME_THREADS) {
        ctx->thread_type = FF_THREAD_FRAME;
        mThreadCount = processorCount() * 3 / 2;
        if (mThreadCount < 1) mThreadCount = 1;
        ctx->thread_count = mThreadCount;
    }
    status_t err = openCodecContext(&ctx, codec, LOG_TAG);
    if (err != OK) return err;
    mCodecContext = ctx;
    return OK;
}

void FFMpegVideoDecoder::closeCodec() {
    if (mCodecContext) avcodec_free_context(&mCodecContext);
}

status_t FFMpegVideoDecoder::start(MetaData* params) {
    Autolock l(mLock);
    if (mStarted) return OK;
    if (mSource == nullptr) return NO_INIT;
    Ref<MetaData> format = mSource->getFormat();
    if (format == nullptr) return UNKNOWN_ERROR;
    status_t err = configureCodec(format);
    if (err != OK) return err;
    auto fail = [this](status_t err) {
        closeCodec();
        av_frame_free(&mFrame);
        av_packet_free(&mPacket);
        return err;
    };
    mFrame = av_frame_alloc();
    mPacket = av_packet_alloc();
    if (mFrame == nullptr || mPacket == nullptr) return fail(NO_MEMORY);
    err = mSource->start(params);
    if (err != OK) {
        VLOGE("source start error %d", err);
        return fail(err);
    }
    mStatus = OK;
    mStopping = false;
    mStopped = false;
    err = decodeFirstPicture(nullptr, false);
    if (err != OK) {
        mSource->stop();
        return fail(err);
    }
    mStarted = true;
    startThread_l();
    return OK;
}

status_t FFMpegVideoDecoder::decodeFirstPicture(MediaBuffer* first, bool reconfigure) {
    if (reconfigure) VLOGI("firstFrameDecode");
    bool drained = false;
    for (;;) {
        MediaBuffer* in = first;
        first = nullptr;
        int ret;
        if (in == nullptr && !drained) {
            status_t err = mSource->read(&in, nullptr);
            if (err == INFO_FORMAT_CHANGED || err == INFO_DISCONTINUITY) {
                usleep(10000);
                continue;
            }
            if (err == ERROR_END_OF_STREAM) {
                // A stream shorter than the codec's pipeline: flush out what it holds.
                drained = true;
                avcodec_send_packet(mCodecContext, nullptr);
            } else if (err != OK) {
                VLOGE("Source Read Error 0x%x", err);
                return err;
            }
        }
        if (in != nullptr) {
            int64_t timeUs = 0;
            in->meta_data()->findInt64(kKeyTime, &timeUs);
            if (in->range_length() == 0) {
                in->release();
                continue;
            }
            mPacket->data = static_cast<uint8_t*>(in->data()) + in->range_offset();
            mPacket->size = static_cast<int>(in->range_length());
            ret = avcodec_send_packet(mCodecContext, mPacket);
            mPacket->data = nullptr;
            mPacket->size = 0;
            in->release();
            if (ret == 0) {
                appendPendingTime(timeUs);
            } else {
                VLOGW("Video Decode Fail %d", ret);
            }
        }
        ret = avcodec_receive_frame(mCodecContext, mFrame);
        if (ret == AVERROR_EOF) {
            VLOGE("Source Read Error 0x%x", ERROR_END_OF_STREAM);
            return ERROR_END_OF_STREAM;
        }
        if (ret != 0) {
            if (reconfigure) usleep(10000);
            continue;
        }
        const char* name = mCodecContext->codec ? mCodecContext->codec->name : "";
        mFormat->setCString(kKeyCodecName, name);
        if (reconfigure) {
            VLOGI("FFMpegVideoDecoder[0x%08x] >> firstDecode (%s) >> width(%d:%d:%d) height(%d:%d:%d)",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)), name, mFrame->width,
                  mCodecContext->width, mCodecContext->coded_width, mFrame->height, mCodecContext->height,
                  mCodecContext->coded_height);
        } else {
            VLOGI("FFMpegVideoDecoder[%x] >> start(%s) >> width(%d:%d:%d) height(%d:%d:%d)",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)), name, mFrame->width,
                  mCodecContext->width, mCodecContext->coded_width, mFrame->height, mCodecContext->height,
                  mCodecContext->coded_height);
            if (mFrame->width != mWidth || mFrame->height != mHeight) {
                mWidth = mFrame->width;
                mHeight = mFrame->height;
                mFormat->setInt32(kKeyWidth, mWidth);
                mFormat->setInt32(kKeyHeight, mHeight);
                VLOGI("dimension %d %d", mWidth, mHeight);
            }
            allocateFrames_l(mWidth, mHeight);
        }
        // A size change after a reconfiguration is handled by the output path (new pool, marker).
        outputPicture(mFrame);
        av_frame_unref(mFrame);
        int32_t colorFormat = mCodecContext->pix_fmt;
        if (colorFormat != AV_PIX_FMT_YUV420P && colorFormat != AV_PIX_FMT_YUVJ420P) colorFormat = AV_PIX_FMT_YUV420P;
        mFormat->setInt32(kKeyColorFormat, colorFormat);
        // More pictures may already be waiting (a flushed end of stream).
        drainPictures();
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
    closeCodec();
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

void FFMpegVideoDecoder::allocateFrames_l(int32_t width, int32_t height) {
    // Tightly packed 4:2:0 planes of the 16-aligned size.
    size_t size = static_cast<size_t>(alignTo(width, 16)) * alignTo(height, 16) * 3 / 2;
    if (mPicturesAllocated && size == mPictureSize) return;
    // Free buffers of an older size go now; the others when they come back.
    for (auto it = mFree.begin(); it != mFree.end();) {
        if ((*it)->size() != size) {
            deleteBuffer_l(*it);
            it = mFree.erase(it);
        } else {
            ++it;
        }
    }
    mPictureSize = size;
    for (int i = 0; i < kNumPictureBuffers; ++i) {
        MediaBuffer* buffer = new MediaBuffer(size);
        buffer->setObserver(this);
        mAllPictures.push_back(buffer);
        mFree.push_back(buffer);
    }
    int32_t w = 0;
    if (!mFormat->findInt32(kKeyWidth, &w) || w == 0) {
        mFormat->setInt32(kKeyWidth, width);
        mFormat->setInt32(kKeyHeight, height);
    }
    mPicturesAllocated = true;
    VLOGI("allocateFrames :%d(%dx%d)", static_cast<int>(size), width, height);
}

void FFMpegVideoDecoder::handleSizeChange_l(int32_t width, int32_t height) {
    VLOGI("Dimension (%d, %d) -> (%d, %d)", mWidth, mHeight, width, height);
    mWidth = width;
    mHeight = height;
    mFormat->setInt32(kKeyWidth, width);
    mFormat->setInt32(kKeyHeight, height);
    mFormat->setInt32(kKeyDisplayWidth, width);
    mFormat->setInt32(kKeyDisplayHeight, height);
    mFormat->setRect(kKeyCropRect, 0, 0, alignTo(width, 4) - 1, alignTo(height, 4) - 1);
    allocateFrames_l(width, height);
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

void FFMpegVideoDecoder::deleteBuffer_l(MediaBuffer* buffer) {
    auto it = std::find(mAllPictures.begin(), mAllPictures.end(), buffer);
    if (it != mAllPictures.end()) mAllPictures.erase(it);
    buffer->setObserver(nullptr);
    buffer->release();
}

void FFMpegVideoDecoder::recycle_l(MediaBuffer* buffer) {
    int32_t event;
    if (buffer->meta_data()->findInt32(kKeyDecoderEvent, &event)) {
        buffer->release();  // A free-standing marker.
        return;
    }
    if (buffer->size() != mPictureSize) {
        deleteBuffer_l(buffer);
        return;
    }
    mFree.push_back(buffer);
}

void FFMpegVideoDecoder::signalBufferReturned(MediaBuffer* buffer) {
    Autolock l(mLock);
    if (buffer->size() == mPictureSize && !mStopped) {
        mFree.push_back(buffer);
    } else {
        deleteBuffer_l(buffer);
    }
    mCondition.broadcast();
}

bool FFMpegVideoDecoder::copyPicture(AVFrame* frame, uint8_t* dst, int32_t width, int32_t height) {
    int32_t W = alignTo(width, 4);
    int32_t H = alignTo(height, 4);
    uint8_t* dstY = dst;
    uint8_t* dstU = dstY + static_cast<size_t>(W) * H;
    uint8_t* dstV = dstU + static_cast<size_t>(W / 2) * (H / 2);
    if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) {
        copyPlane(dstY, W, H, frame->data[0], frame->linesize[0], width, height);
        copyPlane(dstU, W / 2, H / 2, frame->data[1], frame->linesize[1], (width + 1) / 2, (height + 1) / 2);
        copyPlane(dstV, W / 2, H / 2, frame->data[2], frame->linesize[2], (width + 1) / 2, (height + 1) / 2);
        return true;
    }
    // Any other layout goes through libswscale into the same planes.
    mSws = sws_getCachedContext(mSws, width, height, static_cast<AVPixelFormat>(frame->format), width, height,
                                AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (mSws == nullptr) return false;
    uint8_t* planes[4] = {dstY, dstU, dstV, nullptr};
    int strides[4] = {W, W / 2, W / 2, 0};
    sws_scale(mSws, frame->data, frame->linesize, 0, height, planes, strides);
    return true;
}

int64_t FFMpegVideoDecoder::nextOutputTime_l() {
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
    int32_t width = frame->width;
    int32_t height = frame->height;
    MediaBuffer* buffer = nullptr;
    int64_t timeUs = 0;
    {
        Autolock l(mLock);
        if (mPicturesAllocated && (width != mWidth || height != mHeight)) handleSizeChange_l(width, height);
        timeUs = nextOutputTime_l();
        // Stale pictures after a seek, and pictures the reader would discard before an exact
        // seek's target, are dropped before they cost a buffer and a copy.
        if (mFramesToDrop > 0) {
            --mFramesToDrop;
            return;
        }
        if (mSkipUntilUs >= 0) {
            if (timeUs < mSkipUntilUs) return;
            mSkipUntilUs = -1;
        }
        // Decode at most kMaxReadyPictures ahead of the reader; the rest of the pool stays
        // untouched (and uncommitted) unless a size change needs it.
        while ((mFree.empty() || mReady.size() >= kMaxReadyPictures) && !mStopping) mCondition.wait(mLock);
        if (mStopping) return;
        // The most recently returned buffer first: its pages are still warm.
        buffer = mFree.back();
        mFree.pop_back();
    }
    size_t need = static_cast<size_t>(alignTo(width, 4)) * alignTo(height, 4) * 3 / 2;
    bool copied = false;
    if (buffer->size() >= need) copied = copyPicture(frame, static_cast<uint8_t*>(buffer->data()), width, height);

    Autolock l(mLock);
    if (!copied) {
        VLOGW("mPDBUsed size :%d", static_cast<int>(buffer->size()));
        recycle_l(buffer);
        return;
    }
    buffer->meta_data()->clear();
    buffer->meta_data()->setInt64(kKeyTime, timeUs);
    buffer->set_range(0, need);
    mReady.push_back(buffer);
    mCondition.broadcast();
}

void FFMpegVideoDecoder::drainPictures() {
    for (;;) {
        {
            Autolock l(mLock);
            if (mStopping) return;
        }
        if (avcodec_receive_frame(mCodecContext, mFrame) != 0) return;
        outputPicture(mFrame);
        av_frame_unref(mFrame);
    }
}

bool FFMpegVideoDecoder::fillPacket(MediaBuffer* in) {
    // The codec keeps packets while its threads work on them. They are copied into buffers of
    // a pool that grows with the largest packet, so no packet costs an allocation.
    size_t size = in->range_length();
    size_t need = size + AV_INPUT_BUFFER_PADDING_SIZE;
    if (mPacketPool == nullptr || need > mPacketPoolBufferSize) {
        av_buffer_pool_uninit(&mPacketPool);
        mPacketPoolBufferSize = (need + 65535) & ~static_cast<size_t>(65535);
        mPacketPool = av_buffer_pool_init(mPacketPoolBufferSize, nullptr);
        if (mPacketPool == nullptr) return false;
    }
    AVBufferRef* buf = av_buffer_pool_get(mPacketPool);
    if (buf == nullptr) return false;
    memcpy(buf->data, static_cast<const uint8_t*>(in->data()) + in->range_offset(), size);
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
    int ret = avcodec_send_packet(mCodecContext, mPacket);
    if (ret == AVERROR(EAGAIN)) {
        // Pictures are always drained after a packet, so this only happens when the codec
        // produced more than it reported; take them out and send again.
        drainPictures();
        ret = avcodec_send_packet(mCodecContext, mPacket);
    }
    av_packet_unref(mPacket);
    if (ret == 0) {
        appendPendingTime(timeUs);
    } else {
        VLOGD("decode error %d at %lld", ret, static_cast<long long>(timeUs));
    }
    drainPictures();
    return ret;
}

void FFMpegVideoDecoder::pause_l(int ms) {
    if (!mStopping) mCondition.waitRelative(mLock, static_cast<int64_t>(ms) * 1000000);
}

void* FFMpegVideoDecoder::ThreadWrapper(void* me) {
    static_cast<FFMpegVideoDecoder*>(me)->decodeLoop();
    return nullptr;
}

void FFMpegVideoDecoder::decodeLoop() {
    int readErrors = 0;
    bool formatChanged = false;
    bool drained = false;
    for (;;) {
        int64_t seekTimeUs;
        bool lowQueue;
        {
            Autolock l(mLock);
            if (mStopping) break;
            seekTimeUs = mSeekTimeUs;
            mSeekTimeUs = -1;
            lowQueue = mLowQueue;
        }
        ReadOptions options;
        if (seekTimeUs >= 0) {
            VLOGI("onDecode seek %lld", static_cast<long long>(seekTimeUs));
            options.setSeekTo(seekTimeUs, ReadOptions::SeekClosestSync);
        }
        MediaBuffer* in = nullptr;
        status_t err = mSource->read(&in, seekTimeUs >= 0 ? &options : nullptr);
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
            if (err == ERROR_END_OF_STREAM && !drained) {
                // Take out the pictures still inside the codec (reordering, frame threads).
                drained = true;
                mLock.unlock();
                avcodec_send_packet(mCodecContext, nullptr);
                drainPictures();
                mLock.lock();
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
        if (drained) {
            // Data after an end of stream: the codec has to leave its draining state first.
            avcodec_flush_buffers(mCodecContext);
            drained = false;
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
                mStatus = rerr;
                mCondition.broadcast();
                break;
            }
            continue;
        }
        if (in->range_length() == 0) {
            in->release();
            continue;
        }
        mCodecContext->skip_loop_filter = lowQueue ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
        {
            Autolock l(mLock);
            mInputBuffer = in;
        }
        decodeBuffer(in);
        {
            Autolock l(mLock);
            mInputBuffer = nullptr;
        }
        in->release();
    }
    Autolock l(mLock);
    mCondition.broadcast();
    VLOGI("VideoDecThread Bye ~~~~~~");
}

void FFMpegVideoDecoder::startThread_l() {
    mStopping = false;
    if (!createJoinableThread(&mThread, ThreadWrapper, this, 0, true, PRIORITY_DEFAULT, "VideoDecThread")) {
        mThread = nullptr;
        mStatus = UNKNOWN_ERROR;
    }
}

void FFMpegVideoDecoder::joinThread_l() {
    mStopping = true;
    mCondition.broadcast();
    thread_handle_t thread = mThread;
    mThread = nullptr;
    if (thread == nullptr) return;
    // The thread takes the lock on its way out.
    mLock.unlock();
    joinThread(thread);
    mLock.lock();
}

void FFMpegVideoDecoder::seek_l(int64_t timeUs) {
    joinThread_l();
    mSeekTimeUs = timeUs;
    mFramesToDrop = mThreadCount - 1;
    mSkipUntilUs = -1;
    if (mInputBuffer != nullptr) {
        mInputBuffer->release();
        mInputBuffer = nullptr;
    }
    while (!mReady.empty()) {
        MediaBuffer* buffer = mReady.front();
        mReady.pop_front();
        recycle_l(buffer);
    }
    mPendingTimes.clear();
    mHaveOutputTime = false;
    if (mCodecContext) avcodec_flush_buffers(mCodecContext);
    if (!mStopped) startThread_l();
}

status_t FFMpegVideoDecoder::read(MediaBuffer** out, const ReadOptions* options) {
    *out = nullptr;
    Autolock l(mLock);
    if (!mStarted) return ERROR_END_OF_STREAM;
    int64_t seekTimeUs;
    ReadOptions::SeekMode mode;
    if (options != nullptr && options->getSeekTo(&seekTimeUs, &mode) && mode == ReadOptions::SeekClosestSync) {
        mStatus = OK;
        seek_l(seekTimeUs);
        mSkipUntilUs = options->getSkipUntil();
    }
    // At the end of the stream the pictures already decoded are still delivered.
    if (mStatus != OK && !(mStatus == ERROR_END_OF_STREAM && !mReady.empty())) return mStatus;
    while (mStatus == OK && mReady.empty() && !mStopped) {
        VLOGV("read fillBuffer wait. pdb size %d filledTimeUs size %d", static_cast<int>(mFree.size()),
              static_cast<int>(mPendingTimes.size()));
        mCondition.wait(mLock);
    }
    if (mReady.empty()) {
        VLOGI("FFMpegVideoDecoder::read ERROR_END_OF_STREAM");
        return mStatus != OK ? mStatus : ERROR_END_OF_STREAM;
    }
    MediaBuffer* buffer = mReady.front();
    mReady.pop_front();
    status_t result = OK;
    int32_t event;
    if (buffer->meta_data()->findInt32(kKeyDecoderEvent, &event)) {
        buffer->release();
        VLOGI("FFMpegVideoDecoder::read INFO_FORMAT_CHANGED");
        result = INFO_FORMAT_CHANGED;
    } else {
        buffer->add_ref();
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
    VLOGI("FFMpegVideoDecoder stopping");
    Autolock l(mLock);
    if (!mStarted) return OK;
    mStopped = true;
    if (mStatus == OK) mStatus = ERROR_END_OF_STREAM;
    joinThread_l();
    mSource->stop();
    closeCodec();
    av_frame_free(&mFrame);
    av_packet_free(&mPacket);
    av_buffer_pool_uninit(&mPacketPool);
    if (mSws) {
        sws_freeContext(mSws);
        mSws = nullptr;
    }
    if (mInputBuffer) {
        mInputBuffer->release();
        mInputBuffer = nullptr;
    }
    while (!mReady.empty()) {
        MediaBuffer* buffer = mReady.front();
        mReady.pop_front();
        int32_t event;
        if (buffer->meta_data()->findInt32(kKeyDecoderEvent, &event)) {
            buffer->release();
        } else {
            deleteBuffer_l(buffer);
        }
    }
    while (!mFree.empty()) {
        deleteBuffer_l(mFree.front());
        mFree.pop_front();
    }
    // Pictures still held by a consumer are detached: their last release deletes them.
    for (MediaBuffer* buffer : mAllPictures) buffer->setObserver(nullptr);
    mAllPictures.clear();
    mPendingTimes.clear();
    mStarted = false;
    mPicturesAllocated = false;
    mPictureSize = 0;
    VLOGI("FFMpegVideoDecoder stopped");
    return OK;
}

}  // namespace velmor
