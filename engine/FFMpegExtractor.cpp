#define LOG_TAG "VEL_FFMpegExtractor"

#include "engine/FFMpegExtractor.h"

#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include "engine/FileSource.h"
#include "engine/MediaDefs.h"
#include "engine/foundation/hexdump.h"
#include "utils/Log.h"

namespace velmor {

namespace {

constexpr int kIOBufferSize = 32768;
constexpr int64_t kFetchIntervalUs = 500000;
constexpr int64_t kFastFetchIntervalUs = 5000;
// A fetch step reads up to this many packets at once while less than kBurstBelowDurationUs is queued.
constexpr int kMaxBurstPackets = 64;
constexpr int64_t kBurstBelowDurationUs = 1000000;
constexpr int64_t kMaxQueuedDurationUs = 8000000;
constexpr int32_t kAudioMaxInputSize = 102400;
constexpr int32_t kSubtitleMaxInputSize = 1024;
constexpr int32_t kDataMaxInputSize = 102400;
constexpr int32_t kDefaultMaxInputSize = 1048576;
constexpr int32_t kMaxBufferSize = 64 * 1024 * 1024;
// A network source asks for its transfer to be retried with this read result.
constexpr int kLiveReadRetry = -1101;
// Before a failed data source read is tried once more.
constexpr useconds_t kLiveReadRetryDelayUs = 500000;

const char kSubtitleStyle[] =
    "<STYLE TYPE=\"text/css\">\r\n<!--\r\nP { margin-left:2pt; margin-right:2pt; margin-bottom:1pt;\r\n"
    "    margin-top:1pt; font-size:%dpt; text-align:center;\r\n    font-family:serif; font-weight:bold; "
    "color:#%06x;\r\n    -webkit-text-stroke-color: #%06x;\r\n    -webkit-text-stroke-width: %1.1fpt;\r\n}\r\n"
    "-->\r\n</STYLE>\r\n";

std::once_flag gRegisterOnce;
std::once_flag gNetworkOnce;

const char* mediaTypeName(int type) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO: return "Video";
        case AVMEDIA_TYPE_AUDIO: return "Audio";
        case AVMEDIA_TYPE_DATA: return "Data";
        case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
        case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
        default: return "Non Type";
    }
}

const char* audioMime(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_AAC:
        case AV_CODEC_ID_AAC_LATM: return kMimeAudioAac;
        case AV_CODEC_ID_MP3: return kMimeAudioMpeg;
        case AV_CODEC_ID_AC3: return kMimeAudioAc3;
        case AV_CODEC_ID_VORBIS: return kMimeAudioVorbis;
        case AV_CODEC_ID_WMAV1:
        case AV_CODEC_ID_WMAV2:
        case AV_CODEC_ID_WMAVOICE:
        case AV_CODEC_ID_WMAPRO:
        case AV_CODEC_ID_WMALOSSLESS: return kMimeAudioWMA;
        case AV_CODEC_ID_FLAC: return kMimeAudioFlac;
        case AV_CODEC_ID_AMR_NB: return kMimeAudioAmrNb;
        case AV_CODEC_ID_AMR_WB: return kMimeAudioAmrWb;
        case AV_CODEC_ID_RA_144:
        case AV_CODEC_ID_RA_288: return kMimeAudioRA;
        default: return kMimeAudioFFmpeg;
    }
}

const char* videoMime(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_H263: return kMimeVideoH263;
        case AV_CODEC_ID_RV10:
        case AV_CODEC_ID_RV20:
        case AV_CODEC_ID_RV30:
        case AV_CODEC_ID_RV40: return kMimeVideoRV;
        case AV_CODEC_ID_MPEG4: return kMimeVideoMpeg4;
        case AV_CODEC_ID_WMV1: return kMimeVideoWMV1;
        case AV_CODEC_ID_WMV2: return kMimeVideoWMV2;
        case AV_CODEC_ID_H264: return kMimeVideoAvc;
        case AV_CODEC_ID_WMV3:
        case AV_CODEC_ID_VC1: return kMimeVideoWMV3;
        case AV_CODEC_ID_VP8: return kMimeVideoVP8;
        default: return kMimeVideoFFmpeg;
    }
}

bool isWmvFamily(AVCodecID id) {
    return id == AV_CODEC_ID_WMV1 || id == AV_CODEC_ID_WMV2 || id == AV_CODEC_ID_WMV3 || id == AV_CODEC_ID_VC1;
}

void putLE32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void dumpPacket(const char* label, const AVPacket* packet) {
    VLOGI("%s: stream %d size %d pts %" PRId64 " dts %" PRId64 " flags 0x%x", label, packet->stream_index,
          packet->size, packet->pts, packet->dts, packet->flags);
    if (packet->data != nullptr && packet->size > 0) {
        hexdump(packet->data, packet->size < 64 ? static_cast<size_t>(packet->size) : 64);
    }
}

// "90", "-90" or a decimal number with a fraction; false when the text is no number.
bool parseDegrees(const char* text, int32_t* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    double v = strtod(text, &end);
    if (end == text || !std::isfinite(v)) return false;
    long degrees = std::lround(v) % 360;
    if (degrees < 0) degrees += 360;
    *out = static_cast<int32_t>(degrees);
    return true;
}

// A local file path (no scheme, or file:) that names something other than a regular file or a
// directory: a FIFO, a character device, a socket.
bool isLocalStream(const char* url, std::string* path) {
    if (strncmp(url, "file:", 5) == 0) {
        url += 5;
    } else if (strstr(url, "://") != nullptr || strncmp(url, "pipe:", 5) == 0) {
        return false;
    }
    struct stat st;
    if (stat(url, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode)) return false;
    path->assign(url);
    return true;
}

bool isNetworkUrl(const char* url) {
    return strstr(url, "://") != nullptr && strncmp(url, "file:", 5) != 0;
}

}  // namespace

// ---- FFMpegExtractor ----

FFMpegExtractor::FFMpegExtractor(const Ref<DataSource>& source)
    : mInitialized(false), mAsynchronous(false), mExtractorFlags(0), mFileMeta(new MetaData), mDataSource(source),
      mIsMp4(false), mIsAvi(false), mVideoStreamIndex(-1), mAudioStreamIndex(-1), mStopFlags(0),
      mSeekRunning(false), mReadPosition(0), mBufferedBytes(0), mLastFetchTimeUs(0), mFinalStatus(OK),
      mSuspended(false), mOnlyKeyFrame(false), mFetching(false), mSeeked(false), mVideoSeenAfterSeek(false),
      mSeekedTimeStamp(0), mAudioPacketCount(0) {
    VLOGI("FFMpegExtractor [[");
    mLooper = new Looper;
    mLooper->setName("FFMpegExtractor");
    mReflector = new HandlerReflector<FFMpegExtractor>(this);
    mLooper->registerHandler(mReflector);
    if (mLooper->start() != OK) {
        usleep(100000);
        mLooper->start();
    }
    VLOGI("FFMpegExtractor ]]");
}

FFMpegExtractor::~FFMpegExtractor() {
    if (!mInitialized) {
        VLOGE("~FFMpegExtractor Not Initialize");
    } else {
        VLOGI("~FFMpegExtractor");
    }
    // Let any libavformat call that is still running on the looper give up.
    mStopFlags.fetch_or(kStopFlagStop);
    mLooper->stop();
    mLooper->unregisterHandler(mReflector->id());
    {
        Autolock autoLock(mQueueLock);
        freeAllPackets_l();
    }
    clearStreamsInfo_l();
    // The format context reads through the I/O context: it goes first.
    mFormatContext.reset();
    mIOContext.reset();
    if (mInitialized) VLOGI("~FFMpegExtractor ok");
}

status_t FFMpegExtractor::mapError(int err) {
    // A connection time-out (Windows and POSIX numbering).
    if (err == -138 || err == AVERROR(ETIMEDOUT)) return ERROR_CON_TIMEOUT;
    return err;
}

int FFMpegExtractor::InterruptCallback(void* opaque) {
    FFMpegExtractor* self = static_cast<FFMpegExtractor*>(opaque);
    uint32_t flags = self->mStopFlags.load(std::memory_order_acquire);
    if (flags & kStopFlagStop) return 1;
    // During a seek the fetcher's blocking calls are aborted, the seek's own calls are not.
    if (flags != 0 && !self->mSeekRunning.load(std::memory_order_acquire)) return 1;
    return self->ioStalled() ? 1 : 0;
}

void FFMpegExtractor::beginIo() {
    mProgressAtUs.store(Looper::GetNowUs());
    AVFormatContext* ctx = mFormatContext.get();
    mProgressPosition.store(ctx != nullptr && ctx->pb != nullptr ? ctx->pb->pos : -1);
    mTimedOut.store(false);
}

bool FFMpegExtractor::ioStalled() {
    if (mTimedOut.load()) return true;
    const int64_t timeoutUs = mIoTimeoutUs.load();
    if (timeoutUs <= 0) return false;
    const int64_t now = Looper::GetNowUs();
    // Bytes arriving through the format context's I/O count as progress. The callback runs on
    // the thread doing the I/O, so the context is not changing under it.
    AVFormatContext* ctx = mFormatContext.get();
    const int64_t position = ctx != nullptr && ctx->pb != nullptr ? ctx->pb->pos : -1;
    if (position != mProgressPosition.load()) {
        mProgressPosition.store(position);
        mProgressAtUs.store(now);
        return false;
    }
    if (now - mProgressAtUs.load() < timeoutUs) return false;
    VLOGE("no input for %lld ms: giving up", static_cast<long long>(timeoutUs / 1000));
    mTimedOut.store(true);
    return true;
}

status_t FFMpegExtractor::ioFailure(int err) {
    if (stopRequested()) return USER_STOP;
    if (mTimedOut.load() || err == AVERROR(ETIMEDOUT)) return ERROR_CON_TIMEOUT;
    return mapError(err);
}

int FFMpegExtractor::LiveRead(void* opaque, uint8_t* buf, int size) {
    return static_cast<FFMpegExtractor*>(opaque)->liveRead(buf, size);
}

int64_t FFMpegExtractor::LiveSeek(void* opaque, int64_t offset, int whence) {
    return static_cast<FFMpegExtractor*>(opaque)->liveSeek(offset, whence);
}

int FFMpegExtractor::liveRead(uint8_t* buf, int size) {
    DataSource* source = ioSource();
    if (source == nullptr) return -1;
    // A stream source waits a slice at a time (WOULD_BLOCK when nothing came): the stop request
    // and the time-out are checked between slices.
    auto readSlices = [&]() -> ssize_t {
        for (;;) {
            if (stopRequested()) return USER_STOP;
            ssize_t r = source->readAt(mReadPosition, buf, static_cast<size_t>(size));
            if (r != WOULD_BLOCK) return r;
            if (ioStalled()) return ERROR_CON_TIMEOUT;
        }
    };
    ssize_t n = readSlices();
    if (n < 1 && n != USER_STOP && n != ERROR_CON_TIMEOUT) {
        // A complete local file has simply ended; anything else may still grow or recover.
        int64_t total = 0;
        bool definiteEnd = n == 0 && ((source->flags() == DataSource::kFlagSizeKnown &&
                                       source->getSize(&total) == OK && mReadPosition >= total) ||
                                      source == mStreamSource.get());
        if (!definiteEnd && !stopRequested()) {
            usleep(kLiveReadRetryDelayUs);
            n = readSlices();
        }
    }
    if (n == USER_STOP) return AVERROR_EXIT;
    if (n == ERROR_CON_TIMEOUT) {
        mTimedOut.store(true);
        return AVERROR(ETIMEDOUT);
    }
    if (n < 1) {
        if (n < 0) {
            VLOGE("live_read FAIL ret=%X(%d) offset=%lld size=%d", static_cast<unsigned>(n), static_cast<int>(n),
                  static_cast<long long>(mReadPosition), size);
        }
        if (n == 0) return AVERROR_EOF;
        // Network failures in the errno numbering libavformat expects.
        if (n == ERROR_CURLE_COULDNT_RESOLVE_HOST) return AVERROR(ENETUNREACH);
        if (n == ERROR_CURLE_OPERATION_TIMEDOUT) return AVERROR(ETIMEDOUT);
        if (n == ERROR_CURLE_COULDNT_CONNECT) return AVERROR(ENOTCONN);
        return static_cast<int>(n);
    }
    mReadPosition += n;
    mProgressAtUs.store(Looper::GetNowUs());
    return static_cast<int>(n);
}

int64_t FFMpegExtractor::liveSeek(int64_t offset, int whence) {
    DataSource* source = ioSource();
    if (source == nullptr || source == mStreamSource.get()) return -1;
    int64_t size = 0;
    if (whence == AVSEEK_SIZE) {
        status_t err = source->getSize(&size);
        if (err != OK) {
            VLOGE("live_seek getSize FAILED(%d)", err);
            return -1;
        }
        VLOGI("live_seek size getsize=%lld", static_cast<long long>(size));
        return size;
    }
    whence &= ~AVSEEK_FORCE;
    if (whence != SEEK_SET) {
        VLOGE("live_seek unsupported whence(%d)", whence);
        return -1;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        status_t err = source->getSize(&size);
        if (err == OK && size >= offset) {
            mReadPosition = offset;
            return offset;
        }
        if (err == OK) {
            VLOGE("live_seek FAILED(%lld/%lld)", static_cast<long long>(offset), static_cast<long long>(size));
            // A complete file does not grow.
            if (source->flags() == DataSource::kFlagSizeKnown) return -1;
        } else {
            VLOGE("live_seek getSize FAILED (%d)", err);
        }
        if (mStopFlags.load() & kStopFlagStop) return -1;
        if (attempt < 2) sleep(1);
    }
    return -1;
}

status_t FFMpegExtractor::openInput(const char* url) {
    AVFormatContext* ctx = avformat_alloc_context();
    if (ctx == nullptr) return NO_MEMORY;
    ctx->interrupt_callback.callback = InterruptCallback;
    ctx->interrupt_callback.opaque = this;
    mFormatContext.reset(ctx);

    std::string streamPath;
    if (url != nullptr && isLocalStream(url, &streamPath)) {
        // libavformat's file protocol would block in open(2) and read(2) with nothing to wake it.
        Ref<FileSource> stream = new FileSource(streamPath.c_str());
        if (stream->initCheck() != OK) return AVERROR(ENOENT);
        mStreamSource = stream;
        url = nullptr;
    }
    AVDictionary* options = nullptr;
    if (url == nullptr) {
        if (ioSource() == nullptr) return NO_INIT;
        uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kIOBufferSize));
        AVIOContext* io = buffer != nullptr
                              ? avio_alloc_context(buffer, kIOBufferSize, 0, this, LiveRead, nullptr, LiveSeek)
                              : nullptr;
        if (io == nullptr) {
            av_free(buffer);
            return NO_MEMORY;
        }
        if (mStreamSource != nullptr) io->seekable = 0;
        mIOContext.reset(io);
        ctx->pb = io;
        ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
        url = "live:0";
    } else if (isNetworkUrl(url) && mIoTimeoutUs.load() > 0) {
        // The protocols' own socket time-outs (any protocol's rw_timeout; "timeout" for tcp,
        // http and rtsp) end a silent connection with ETIMEDOUT; the interrupt callback covers
        // the rest. RTMP's "timeout" is a listen time-out that turns the client into a server,
        // so RTMP addresses get rw_timeout only.
        const long long timeoutUs = static_cast<long long>(mIoTimeoutUs.load());
        av_dict_set_int(&options, "rw_timeout", timeoutUs, 0);
        if (strncasecmp(url, "rtmp", 4) != 0) av_dict_set_int(&options, "timeout", timeoutUs, 0);
    }
    VLOGI("before avformat_open_input");
    beginIo();
    // A failed open frees the format context (not a custom I/O context) and clears the pointer.
    int err = avformat_open_input(&ctx, url, nullptr, &options);
    av_dict_free(&options);
    VLOGI("after avformat_open_input");
    if (err < 0) {
        (void)mFormatContext.release();
        char text[AV_ERROR_MAX_STRING_SIZE] = {0};
        av_strerror(err, text, sizeof(text));
        VLOGE("avformat_open_input: error %d(%s)\n", err, text);
        return ioFailure(err);
    }
    return OK;
}

status_t FFMpegExtractor::initialize(const char* url, bool asynchronous) {
    if (mInitialized) return INVALID_OPERATION;
    VLOGI("initialize");

    std::call_once(gRegisterOnce, [] {});
    if (url != nullptr) {
        std::call_once(gNetworkOnce, [] { avformat_network_init(); });
        VLOGI("register live_protocol");
    }
    // A stop that came before this call.
    if (stopRequested()) return USER_STOP;
    // A data source is read in the caller's thread; an address (also one read through a stream
    // source) may have the fetch loop.
    mAsynchronous = url != nullptr && asynchronous;
    status_t opened = openInput(url);
    if (opened != OK) return opened;
    if (stopRequested()) return USER_STOP;

    AVFormatContext* const ctx = mFormatContext.get();
    const AVInputFormat* format = ctx->iformat;
    VLOGI("AVInputFormat name:%s(%s)", format->name, format->long_name ? format->long_name : "");
    mIsMp4 = strstr(format->name, "mp4") != nullptr;
    mIsAvi = strncmp(format->name, "avi", 3) == 0;
    if (strcmp(format->name, "rm") == 0) {
        VLOGE("%s is unsupported", format->name);
        return ERROR_UNSUPPORTED;
    }

    VLOGI("before av_find_stream_info");
    beginIo();
    int err = avformat_find_stream_info(ctx, nullptr);
    if (ctx->pb != nullptr) {
        // Probing may have read to the end.
        ctx->pb->eof_reached = 0;
        ctx->pb->error = 0;
    }
    VLOGI("after av_find_stream_info:%d stream count:%d duration:%lld bitrate:%d", err,
          static_cast<int>(ctx->nb_streams), static_cast<long long>(ctx->duration),
          static_cast<int>(ctx->bit_rate));
    // A stop or a stalled input ends probing early with whatever it found: that is no start.
    if (stopRequested() || mTimedOut.load()) return ioFailure(err);

    const size_t streamCount = ctx->nb_streams;
    if (streamCount == 0) {
        PacketPtr packet(av_packet_alloc());
        beginIo();
        int ret = packet != nullptr ? av_read_frame(ctx, packet.get()) : AVERROR(ENOMEM);
        Autolock autoLock(mQueueLock);
        mFinalStatus = ret >= 0 ? ERROR_MALFORMED : ioFailure(ret);
        return mFinalStatus;
    }

    {
        Autolock autoLock(mLock);
        for (size_t i = 0; i < streamCount; ++i) {
            Ref<MetaData> meta = new MetaData;
            CodecContextPtr codecContext;
            if (getStreamInfo_l(static_cast<int32_t>(i), meta, &codecContext) != OK) {
                clearStreamsInfo_l();
                return ERROR_MALFORMED;
            }
            mTracks.push_back(Track{meta, static_cast<int32_t>(i),
                                    static_cast<int32_t>(ctx->streams[i]->codecpar->codec_type)});
            mCodecContexts.push_back(std::move(codecContext));
        }
        Autolock queueLock(mQueueLock);
        mActiveFrameList.clear();
        mActiveFrameList.resize(streamCount);
        mReaderStarved.assign(streamCount, false);
        mTiming.assign(streamCount, StreamTiming());
    }
    mFormatContext->flags |= AVFMT_FLAG_DISCARD_CORRUPT;
    mInitialized = true;

    if (mAsynchronous) {
        Ref<Message> msg = new Message(kWhatFetch, mReflector->id());
        msg->setInt32("generation", mFetchGeneration.load());
        msg->post();
    }

    // Wait until every audio and video stream delivered its first packet. The fetch loop signals
    // the queue condition after each step, so the wait ends as soon as the packet is there (the
    // 10 ms bound only matters if a signal went to someone else).
    for (size_t i = 0; i < streamCount; ++i) {
        const int type = mFormatContext->streams[i]->codecpar->codec_type;
        for (;;) {
            if (!mAsynchronous) fetchInternal();
            Autolock autoLock(mQueueLock);
            if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) mTiming[i].mReady = true;
            if (mTiming[i].mReady || mFinalStatus != OK) break;
            if (mAsynchronous) mQueueCondition.waitRelative(mQueueLock, 10000000);
        }
    }

    for (size_t i = 0; i < streamCount; ++i) {
        if (static_cast<int32_t>(i) != mVideoStreamIndex && static_cast<int32_t>(i) != mAudioStreamIndex) {
            mFormatContext->streams[i]->discard = AVDISCARD_ALL;
        }
    }

    status_t finalStatus;
    {
        Autolock autoLock(mQueueLock);
        finalStatus = mFinalStatus;
        // A clip so short that its end was read while waiting for the first packets is fine as
        // long as some stream had a packet.
        if (finalStatus == ERROR_END_OF_STREAM) {
            for (size_t i = 0; i < streamCount; ++i) {
                const int type = mFormatContext->streams[i]->codecpar->codec_type;
                if ((type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO) && mTiming[i].mReady) finalStatus = OK;
            }
        }
    }
    if (finalStatus != OK) {
        VLOGE("initialize fail (%d) ~~~~~~~~~~~", finalStatus);
        return finalStatus;
    }
    VLOGI("initialize ok ~~~~~~~~~~~");

    if (mDataSource != nullptr && (mDataSource->flags() & DataSource::kFlagSizeKnown)) {
        mExtractorFlags = CAN_SEEK_BACKWARD | CAN_SEEK_FORWARD | CAN_PAUSE | CAN_SEEK;
    } else if (url != nullptr && mStreamSource == nullptr) {
        int64_t seconds = mFormatContext->duration != AV_NOPTS_VALUE ? mFormatContext->duration / AV_TIME_BASE : 0;
        VLOGI("source duration : %d", static_cast<int>(seconds));
        // A local file seeks whatever its length; a stream only when it is long enough to be
        // more than a live edge.
        const bool localFile = !isNetworkUrl(url) && mFormatContext->pb != nullptr &&
                               (mFormatContext->pb->seekable & AVIO_SEEKABLE_NORMAL);
        if (seconds > 5 || localFile) mExtractorFlags = CAN_SEEK_BACKWARD | CAN_SEEK_FORWARD | CAN_PAUSE | CAN_SEEK;
    }
    return OK;
}

status_t FFMpegExtractor::getStreamInfo_l(int32_t index, const Ref<MetaData>& meta, CodecContextPtr* codecContext) {
    mLock.assertHeld();
    codecContext->reset();
    if (index < 0 || static_cast<unsigned>(index) >= mFormatContext->nb_streams ||
        mFormatContext->streams[index] == nullptr) {
        VLOGE("AVStream NULL");
        return ERROR_MALFORMED;
    }
    AVStream* stream = mFormatContext->streams[index];
    AVCodecParameters* par = stream->codecpar;
    VLOGI("getStreamInfo_l idx:%d codec_type:%d codec_id:%d", index, par->codec_type, par->codec_id);

    if (par->codec_type == AVMEDIA_TYPE_AUDIO || par->codec_type == AVMEDIA_TYPE_VIDEO) {
        // The decoders configure themselves from this context; it lives as long as the extractor.
        CodecContextPtr owned(avcodec_alloc_context3(nullptr));
        if (owned == nullptr || avcodec_parameters_to_context(owned.get(), par) < 0) return ERROR_MALFORMED;
        owned->pkt_timebase = stream->time_base;
        owned->time_base = stream->time_base;
        owned->framerate = stream->avg_frame_rate;
        *codecContext = std::move(owned);
    }
    AVCodecContext* ctx = codecContext->get();
    const int extradataSize = par->extradata != nullptr ? par->extradata_size : 0;

    switch (par->codec_type) {
        case AVMEDIA_TYPE_AUDIO: {
            if (mAudioStreamIndex < 0) mAudioStreamIndex = index;
            meta->setPointer(kKeyCodecContext, ctx);
            meta->setInt32(kKeyBitRate, static_cast<int32_t>(par->bit_rate));
            meta->setInt32(kKeySoundCodecId, par->codec_id);
            meta->setCString(kKeyMIMEType, audioMime(par->codec_id));
            if (extradataSize > 0) {
                meta->setData(kKeyRawCodecSpecificInfo, 0, par->extradata, static_cast<size_t>(extradataSize));
            }
            meta->setInt32(kKeyMaxInputSize, kAudioMaxInputSize);
            meta->setInt32(kKeySampleRate, ctx->sample_rate);
            meta->setInt32(kKeyChannelCount, ctx->ch_layout.nb_channels);
            VLOGI("getStreamInfo_l >> AUDIO idx:%d sample rate:%d ch:%d dsi len:%d", index, ctx->sample_rate,
                  ctx->ch_layout.nb_channels, extradataSize);
            break;
        }
        case AVMEDIA_TYPE_VIDEO: {
            if (mVideoStreamIndex < 0) mVideoStreamIndex = index;
            AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
            int32_t fps = rate.num > 0 && rate.den > 0 ? static_cast<int32_t>(std::lround(av_q2d(rate))) : 0;
            meta->setInt32(kKeyFrameRate, fps);
            meta->setInt32(kKeyBitRate, static_cast<int32_t>(par->bit_rate));
            meta->setPointer(kKeyCodecContext, ctx);
            meta->setInt32(kKeyVideoCodecId, par->codec_id);
            meta->setCString(kKeyMIMEType, videoMime(par->codec_id));
            if (extradataSize > 0) {
                VLOGI("getStreamInfo_l >> extradata [[");
                static const uint8_t kStartCode[4] = {0, 0, 0, 1};
                if (par->codec_id == AV_CODEC_ID_H264) {
                    // Annex B parameter sets (a four- or three-byte start code) stay raw; anything
                    // else is an AVC configuration record.
                    if ((extradataSize >= 4 && memcmp(par->extradata, kStartCode, 4) == 0) ||
                        (extradataSize >= 3 && memcmp(par->extradata, kStartCode + 1, 3) == 0)) {
                        meta->setData(kKeyRawCodecSpecificInfo, 0, par->extradata, static_cast<size_t>(extradataSize));
                    } else {
                        meta->setData(kKeyAVCC, kKeyAVCC, par->extradata, static_cast<size_t>(extradataSize));
                    }
                } else if (isWmvFamily(par->codec_id)) {
                    // width, height, bit rate, codec tag (little-endian int32 each), then extradata.
                    std::vector<uint8_t> block;
                    putLE32(&block, static_cast<uint32_t>(par->width));
                    putLE32(&block, static_cast<uint32_t>(par->height));
                    putLE32(&block, static_cast<uint32_t>(par->bit_rate));
                    putLE32(&block, par->codec_tag);
                    block.insert(block.end(), par->extradata, par->extradata + extradataSize);
                    meta->setData(kKeyRawCodecSpecificInfo, 0, block.data(), block.size());
                } else {
                    meta->setData(kKeyRawCodecSpecificInfo, 0, par->extradata, static_cast<size_t>(extradataSize));
                }
                VLOGI("getStreamInfo_l >> extradata ]]");
            }
            int32_t width = par->width;
            int32_t height = par->height;
            const AVDictionaryEntry* entry = av_dict_get(stream->metadata, "width", nullptr, 0);
            if (entry != nullptr) width = static_cast<int32_t>(strtol(entry->value, nullptr, 10));
            entry = av_dict_get(stream->metadata, "height", nullptr, 0);
            if (entry != nullptr) height = static_cast<int32_t>(strtol(entry->value, nullptr, 10));
            meta->setInt32(kKeyWidth, width);
            meta->setInt32(kKeyHeight, height);
            int64_t maxInput = static_cast<int64_t>(width) * height;
            meta->setInt32(kKeyMaxInputSize, maxInput > 0 && maxInput < INT32_MAX ? static_cast<int32_t>(maxInput) : 0);
            VLOGI("getStreamInfo_l >> VIDEO idx:%d width:%d height:%d dsi len:%d", index, width, height,
                  extradataSize);
            int32_t degrees;
            entry = av_dict_get(stream->metadata, "rotate", nullptr, 0);
            if (entry != nullptr) {
                VLOGI("getStreamInfo_l >> VIDEO rotate:%s", entry->value);
                if (parseDegrees(entry->value, &degrees)) meta->setInt32(kKeyRotationDegrees, degrees);
            } else {
                // Containers that carry a display matrix instead of the tag: the matrix turns
                // counter-clockwise, the tag clockwise.
                const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
                if (matrix != nullptr) {
                    double ccw = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
                    char text[32];
                    snprintf(text, sizeof(text), "%d", static_cast<int>(std::lround(std::isfinite(ccw) ? -ccw : 0)));
                    VLOGI("getStreamInfo_l >> VIDEO rotate:%s", text);
                    if (parseDegrees(text, &degrees)) meta->setInt32(kKeyRotationDegrees, degrees);
                }
            }
            break;
        }
        case AVMEDIA_TYPE_SUBTITLE:
            meta->setCString(kKeyMIMEType, kMimeTextCaption);
            meta->setInt32(kKeyMaxInputSize, kSubtitleMaxInputSize);
            meta->setInt32(kKeySubtitleTrack, 1);
            VLOGI("getStreamInfo_l >> SUBTITLE idx:%d", index);
            break;
        case AVMEDIA_TYPE_DATA:
            meta->setCString(kKeyMIMEType, kMimeApplicationData);
            meta->setInt32(kKeyMaxInputSize, kDataMaxInputSize);
            VLOGI("getStreamInfo_l >> DATA idx:%d", index);
            break;
        default:
            meta->setCString(kKeyMIMEType, kMimeApplicationUnknown);
            VLOGI("getStreamInfo_l >> UNKNOWN idx:%d", index);
            break;
    }

    const AVDictionaryEntry* language = av_dict_get(stream->metadata, "language", nullptr, 0);
    if (language != nullptr && language->value[0] != '\0') meta->setCString(kKeyLanguage, language->value);

    if (par->codec_type == AVMEDIA_TYPE_AUDIO || par->codec_type == AVMEDIA_TYPE_VIDEO) {
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (codec == nullptr) VLOGE("AVCodec NULL in AVStream");
        meta->setInt32(kKeyProfile, par->profile);
        const char* profileName = codec != nullptr ? av_get_profile_name(codec, par->profile) : nullptr;
        VLOGI("getStreamInfo_l >> profile:%d[%s] level:%d", par->profile, profileName ? profileName : "", par->level);
        VLOGI("getStreamInfo_l frame_rate(%d:%d) bit_rate:%d", stream->avg_frame_rate.num, stream->avg_frame_rate.den,
              static_cast<int>(par->bit_rate));
        VLOGI("getStreamInfo_l >> mAVFormatContext Duration:%lld stream Duration:%lld time_base(%d %d)",
              static_cast<long long>(mFormatContext->duration), static_cast<long long>(stream->duration),
              stream->time_base.num, stream->time_base.den);
        int64_t durationUs = -1;
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0 && stream->time_base.den > 0) {
            durationUs = av_rescale_q(stream->duration, stream->time_base, AVRational{1, 1000000});
        } else if (mFormatContext->duration != AV_NOPTS_VALUE && mFormatContext->duration > 0) {
            durationUs = av_rescale(mFormatContext->duration, 1000000, AV_TIME_BASE);
        }
        if (durationUs >= 0) meta->setInt64(kKeyDuration, durationUs);
    }
    return OK;
}

void FFMpegExtractor::clearStreamsInfo_l() {
    mTracks.clear();
    mCodecContexts.clear();
}

bool FFMpegExtractor::fetchInternal() {
    PacketPtr packet(av_packet_alloc());
    if (packet == nullptr) return false;
    beginIo();
    int err = av_read_frame(mFormatContext.get(), packet.get());
    // Packets are handed out by reference: their bytes must be a reference-counted buffer.
    if (err >= 0 && packet->buf == nullptr) err = av_packet_make_refcounted(packet.get());
    if (err < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {0};
        av_strerror(err, text, sizeof(text));
        Autolock autoLock(mQueueLock);
        VLOGE("fetchInternal err:0x%X(%s) mFinalStatus %d", static_cast<unsigned>(err), text, mFinalStatus);
        if (err == kLiveReadRetry) {
            if (mFormatContext->pb != nullptr) {
                mFormatContext->pb->eof_reached = 0;
                mFormatContext->pb->error = 0;
            }
        } else if (stopRequested()) {
            // A stop interrupted the read: readers learn of the stop, not of the interruption.
            mFinalStatus = USER_STOP;
        } else if (mTimedOut.load() || err == AVERROR(ETIMEDOUT)) {
            mFinalStatus = ERROR_CON_TIMEOUT;
        } else if (err == AVERROR_EOF || err == AVERROR_EXIT) {
            mFinalStatus = ERROR_END_OF_STREAM;
        } else {
            mFinalStatus = err;
        }
        mQueueCondition.broadcast();
        return false;
    }

    Autolock autoLock(mQueueLock);
    const int index = packet->stream_index;
    if (index < 0) return false;
    if (static_cast<size_t>(index) >= mActiveFrameList.size()) {
        dumpPacket("Packet", packet.get());
        return false;
    }
    AVStream* stream = mFormatContext->streams[index];
    const int type = stream->codecpar->codec_type;
    const AVRational microseconds{1, 1000000};
    StreamTiming& timing = mTiming[index];
    int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    // A reordering video stream whose container gives presentation times only (Matroska) lacks
    // decoding times for its first packets; their presentation times would run ahead of the
    // decoding order, so after the first packet they keep the previous time instead.
    if (packet->dts == AV_NOPTS_VALUE && timing.mReady && !timing.mAfterSeek && type == AVMEDIA_TYPE_VIDEO &&
        stream->codecpar->video_delay > 0) {
        stamp = AV_NOPTS_VALUE;
    }
    const bool afterSeek = timing.mAfterSeek && stamp != AV_NOPTS_VALUE;
    if (afterSeek) timing.mAfterSeek = false;
    bool hasTime = stamp != AV_NOPTS_VALUE;
    int64_t t = hasTime ? av_rescale_q(stamp, stream->time_base, microseconds) : 0;

    if (!timing.mReady) {
        if (hasTime && (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO)) timing.mSyncTime = t;
        timing.mReady = true;
        VLOGI("set syncTime %s %lld", mediaTypeName(type), static_cast<long long>(t));
    }
    int64_t time = hasTime ? t - timing.mSyncTime : timing.mPrevTime;
    if (time < timing.mPrevTime && !afterSeek) {
        VLOGW("Error PTS pts %lld sync %lld prev %lld", static_cast<long long>(t),
              static_cast<long long>(timing.mSyncTime), static_cast<long long>(timing.mPrevTime));
    }
    timing.mPrevTime = time;
    // From here on the packet's decoding time is its time in microseconds from the stream's start.
    packet->dts = time;

    mBufferedBytes += packet->size;
    mActiveFrameList[index].push_back(std::move(packet));
    return true;
}

void FFMpegExtractor::onMessageReceived(const Ref<Message>& msg) {
    switch (msg->what()) {
        case kWhatFetch: {
            // Only the newest chain of fetch steps runs (a seek starts a new one at once).
            int32_t generation = 0;
            msg->findInt32("generation", &generation);
            if (generation != mFetchGeneration.load()) break;
            onFetch();
            break;
        }
        case kWhatSuspend: {
            Autolock autoLock(mQueueLock);
            mSuspended = true;
            mSuspendPending = false;
            if (mStopFlags.load() & kStopFlagStop) mFinalStatus = USER_STOP;
            mQueueCondition.broadcast();
            break;
        }
        default:
            break;
    }
}

void FFMpegExtractor::onFetch() {
    int64_t delayUs = kFetchIntervalUs;
    bool fetch = false;
    {
        Autolock autoLock(mQueueLock);
        if (mSuspended) {
            Ref<Message> msg = new Message(kWhatFetch, mReflector->id());
            msg->setInt32("generation", mFetchGeneration.load());
            msg->post(kFetchIntervalUs);
            return;
        }
        if (mFinalStatus == OK) {
            if (mDataSource != nullptr && (mDataSource->flags() & DataSource::kFlagCaching)) {
                fetch = true;
            } else {
                fetch = getCachedDuration_l() <= kMaxQueuedDurationUs;
            }
            if (!fetch && Looper::GetNowUs() - mLastFetchTimeUs >= kFetchIntervalUs) fetch = true;
        }
    }
    if (fetch) {
        if (fetchInternal()) delayUs = kFastFetchIntervalUs;
        // While less than a second is queued (after a seek, at start), or while a reader is
        // starving on a stream that has less than a second queued (an exact seek decoding its way
        // to the target while the other stream's queue fills up), read on in one step so the
        // reader does not wait a pacing interval per packet.
        for (int n = 0; n < kMaxBurstPackets && delayUs == kFastFetchIntervalUs; ++n) {
            {
                Autolock autoLock(mQueueLock);
                if (mSuspended || mSuspendPending || mFinalStatus != OK) break;
                const int64_t queuedUs = getCachedDuration_l();
                if (queuedUs >= kMaxQueuedDurationUs) break;
                if (queuedUs >= kBurstBelowDurationUs && !readerStarved_l()) break;
                mQueueCondition.broadcast();
            }
            if (!fetchInternal()) break;
        }
        Autolock autoLock(mQueueLock);
        mLastFetchTimeUs = Looper::GetNowUs();
    }
    {
        Autolock autoLock(mQueueLock);
        mQueueCondition.signal();
    }
    Ref<Message> msg = new Message(kWhatFetch, mReflector->id());
    msg->setInt32("generation", mFetchGeneration.load());
    msg->post(delayUs);
}

int64_t FFMpegExtractor::queuedDurationOf_l(size_t streamIndex) {
    mQueueLock.assertHeld();
    const std::list<PacketPtr>& list = mActiveFrameList[streamIndex];
    if (list.empty()) return 0;
    return list.back()->dts - list.front()->dts;
}

int64_t FFMpegExtractor::getCachedDuration_l() {
    int64_t result = 0;
    for (size_t i = 0; i < mActiveFrameList.size(); ++i) {
        const std::list<PacketPtr>& list = mActiveFrameList[i];
        if (list.empty()) continue;
        const int type = mFormatContext->streams[i]->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) continue;
        int64_t duration = queuedDurationOf_l(i);
        if (duration < 0) {
            VLOGW("getCachedDuration_l %s --> %lld~%lld (%lld) buffer size %d",
                  type == AVMEDIA_TYPE_VIDEO ? "Video" : "Sound", static_cast<long long>(list.front()->dts),
                  static_cast<long long>(list.back()->dts), static_cast<long long>(duration), mBufferedBytes);
        }
        if (duration > result) result = duration;
    }
    return result;
}

bool FFMpegExtractor::readerStarved_l() {
    bool starved = false;
    for (size_t i = 0; i < mReaderStarved.size(); ++i) {
        if (!mReaderStarved[i]) continue;
        if (queuedDurationOf_l(i) >= kBurstBelowDurationUs) {
            mReaderStarved[i] = false;
        } else {
            starved = true;
        }
    }
    return starved;
}

status_t FFMpegExtractor::getCachedDuration(int64_t* durationUs, bool* eos) {
    if (!mInitialized) return INVALID_OPERATION;
    Autolock queueLock(mQueueLock);
    *durationUs = getCachedDuration_l();
    *eos = mFinalStatus != OK;
    return OK;
}

void FFMpegExtractor::waitForPacket_l(int32_t streamIndex) {
    mQueueLock.assertHeld();
    std::list<PacketPtr>& list = mActiveFrameList[streamIndex];
    if (list.empty() && mFinalStatus == OK) mReaderStarved[static_cast<size_t>(streamIndex)] = true;
    while (list.empty() && mFinalStatus == OK && !stopRequested()) {
        if (!mAsynchronous && !mFetching) {
            // This reader does the fetch; the lock is not held across the read.
            mFetching = true;
            mQueueLock.unlock();
            fetchInternal();
            mQueueLock.lock();
            mFetching = false;
            mQueueCondition.broadcast();
        } else {
            mQueueCondition.wait(mQueueLock);
        }
    }
}

status_t FFMpegExtractor::readPacket(int32_t streamIndex, size_t maxSize, MediaBuffer** out) {
    *out = nullptr;
    if (!mInitialized) return NO_INIT;
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= mActiveFrameList.size()) return BAD_INDEX;
    Autolock queueLock(mQueueLock);
    std::list<PacketPtr>& list = mActiveFrameList[streamIndex];
    for (;;) {
        waitForPacket_l(streamIndex);
        if (list.empty()) {
            status_t status = mFinalStatus;
            if (status == INFO_FORMAT_CHANGED) {
                mFinalStatus = OK;
            } else if (status == OK) {
                // Only a stop leaves the wait with nothing queued and no final status.
                status = USER_STOP;
            }
            return status;
        }
        PacketPtr packet = std::move(list.front());
        list.pop_front();
        if (static_cast<size_t>(packet->size) > maxSize) {
            VLOGE("too much packet size (capacity:%d packet size:%d)", static_cast<int>(maxSize), packet->size);
            dumpPacket("Packet", packet.get());
            mBufferedBytes -= packet->size;
            continue;
        }
        *out = settingMediaBuffer_l(packet.get(), streamIndex, maxSize);
        return *out != nullptr ? OK : NO_MEMORY;
    }
}

MediaBuffer* FFMpegExtractor::settingMediaBuffer_l(AVPacket* packet, int32_t streamIndex, size_t maxSize) {
    mQueueLock.assertHeld();
    mBufferedBytes -= packet->size;
    if (packet->flags & AV_PKT_FLAG_KEY) mOnlyKeyFrame = false;

    AVStream* stream = mFormatContext->streams[streamIndex];
    const int type = stream->codecpar->codec_type;
    MediaBuffer* buffer;
    if (type == AVMEDIA_TYPE_SUBTITLE) {
        // The text is rewritten, so it gets its own bytes: the style block, "<P>", then the lines
        // joined with "<BR>"; cut to fit the track's largest input.
        buffer = new MediaBuffer(maxSize);
        if (buffer->data() == nullptr) {
            buffer->release();
            return nullptr;
        }
        uint8_t* out = static_cast<uint8_t*>(buffer->data());
        const size_t capacity = buffer->size();
        size_t length = 0;
        auto append = [&](const char* s, size_t n) {
            if (capacity == 0) return;
            size_t room = capacity - 1 - length;
            if (n > room) n = room;
            memcpy(out + length, s, n);
            length += n;
        };
        append(kSubtitleStyle, sizeof(kSubtitleStyle) - 1);
        append("<P>", 3);
        const char* text = reinterpret_cast<const char*>(packet->data);
        const int size = packet->data != nullptr ? packet->size : 0;
        int i = 0;
        while (i < size && text[i] != '\0') {
            char c = text[i];
            if (c == '\r' || c == '\n') {
                append("<BR>", 4);
                // CR LF and LF CR count as one line break.
                if (i + 1 < size && (text[i + 1] == '\r' || text[i + 1] == '\n') && text[i + 1] != c) ++i;
            } else {
                append(&c, 1);
            }
            ++i;
        }
        if (capacity > 0) {
            out[length] = '\0';
            buffer->set_range(0, length + 1);
        } else {
            buffer->set_range(0, 0);
        }
    } else {
        // The packet's own bytes (padded, as libavformat's packets are), shared by reference.
        AVBufferRef* ref = av_buffer_ref(packet->buf);
        if (ref == nullptr) return nullptr;
        buffer = new MediaBuffer(ref, packet->data, static_cast<size_t>(packet->size));
    }
    Ref<MetaData> meta = buffer->meta_data();
    meta->setInt64(kKeyTime, packet->dts);

    if (mIsAvi) {
        if (type == AVMEDIA_TYPE_VIDEO) {
            if (mSeeked && !mVideoSeenAfterSeek) {
                mSeekedTimeStamp = packet->dts;
                mVideoSeenAfterSeek = true;
                mAudioPacketCount = 1;
            }
        } else if (type == AVMEDIA_TYPE_AUDIO && stream->time_base.num != 1) {
            if (!mSeeked || mVideoSeenAfterSeek) {
                mSeeked = false;
                mVideoSeenAfterSeek = false;
                int64_t offsetUs = av_rescale_q(mAudioPacketCount, stream->time_base, AVRational{1, 1000000});
                int64_t timeUs = mSeekedTimeStamp + offsetUs;
                meta->setInt64(kKeyTime, timeUs);
                VLOGV("FFMpegExtractor::settingMediaBuffer_l audio adjust dts:%llu time_base(%d %d) dts_t:%llu "
                      "mSeekedTimeStamp:%llu",
                      static_cast<unsigned long long>(packet->dts), stream->time_base.num, stream->time_base.den,
                      static_cast<unsigned long long>(timeUs), static_cast<unsigned long long>(mSeekedTimeStamp));
                ++mAudioPacketCount;
            } else {
                buffer->set_range(0, 0);
                meta->setInt64(kKeyTime, -1);
            }
        }
    }
    return buffer;
}

void FFMpegExtractor::suspend() {
    VLOGI("suspending");
    mSuspendPending = true;
    Ref<Message> msg = new Message(kWhatSuspend, mReflector->id());
    msg->post();
    {
        Autolock autoLock(mQueueLock);
        mQueueCondition.broadcast();
    }
    {
        // The looper broadcasts the queue condition when it has suspended; the wait is bounded
        // by the 10 ms polling interval in case that broadcast came before this wait.
        Autolock autoLock(mQueueLock);
        while (!mSuspended) mQueueCondition.waitRelative(mQueueLock, 10000000);
    }
    VLOGI("suspended");
}

void FFMpegExtractor::setStopFlag(uint32_t flags) {
    VLOGI("setStopFlag");
    mStopFlags.store(flags);
    if (flags & kStopFlagStop) {
        suspend();
        Autolock autoLock(mQueueLock);
        mFinalStatus = USER_STOP;
        mQueueCondition.broadcast();
    }
    if (mDataSource != nullptr) mDataSource->setStopFlag(flags);
}

bool FFMpegExtractor::seekTo(int32_t streamIndex, int64_t timeUs, int64_t* resultUs) {
    Autolock autoLock(mLock);
    if (!mInitialized || !(mExtractorFlags & CAN_SEEK)) return false;
    if (mVideoStreamIndex >= 0 && streamIndex != mVideoStreamIndex) return false;
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= mTiming.size()) return false;

    suspend();
    {
        // A synchronous reader's fetch finishes first; none starts until the seek is done.
        Autolock queueLock(mQueueLock);
        while (mFetching) mQueueCondition.wait(mQueueLock);
        mFetching = true;
    }
    // Only the seeking bit changes: a stop requested meanwhile (DestroyPlayer) must not be lost.
    uint32_t flags = mStopFlags.fetch_or(kStopFlagSeeking) | kStopFlagSeeking;
    if (mDataSource != nullptr) mDataSource->setStopFlag(flags);

    // Times handed out count from the start of the stream; the demuxer seeks on presentation
    // times, which start at the container's start time. (The first decoding timestamp, from
    // which the handed-out times count, lies before it when pictures are reordered: seeking to
    // that offset would land on the key frame before the one asked for.)
    AVFormatContext* const ctx = mFormatContext.get();
    const int64_t startUs = ctx->start_time != static_cast<int64_t>(AV_NOPTS_VALUE) ? ctx->start_time : 0;
    const int64_t target = timeUs + startUs;
    mSeekRunning.store(true);
    beginIo();
    int ret;
    if (mVideoStreamIndex < 0) {
        ret = avformat_seek_file(ctx, -1, target, target, INT64_MAX, AVSEEK_FLAG_BACKWARD);
        // Nothing starts at or after the target (a target past the end): take the last start
        // before it.
        if (ret < 0) ret = avformat_seek_file(ctx, -1, INT64_MIN, target, INT64_MAX, AVSEEK_FLAG_BACKWARD);
    } else {
        ret = avformat_seek_file(ctx, -1, INT64_MIN, target, INT64_MAX, AVSEEK_FLAG_BACKWARD);
    }
    VLOGI("SeekTo result:%d seekTimeMs:%lld mVideoStreamIndex:%d stream_idx:%d", ret, static_cast<long long>(timeUs),
          mVideoStreamIndex, streamIndex);
    if (ret < 0 && mVideoStreamIndex >= 0) {
        ret = avformat_seek_file(ctx, -1, INT64_MIN, 0, INT64_MAX, AVSEEK_FLAG_BYTE);
    }
    mSeekRunning.store(false);

    flags = mStopFlags.fetch_and(~static_cast<uint32_t>(kStopFlagSeeking)) & ~static_cast<uint32_t>(kStopFlagSeeking);
    if (mDataSource != nullptr) mDataSource->setStopFlag(flags);
    if (ret < 0) {
        Autolock queueLock(mQueueLock);
        mFetching = false;
        // A stopped extractor stays suspended: setStopFlag may be waiting for that.
        mSuspended = stopRequested();
        mQueueCondition.broadcast();
        return false;
    }
    if (ctx->pb != nullptr) {
        ctx->pb->eof_reached = 0;
        ctx->pb->error = 0;
    }
    *resultUs = timeUs;
    {
        Autolock queueLock(mQueueLock);
        mSeeked = true;
        mVideoSeenAfterSeek = false;
        for (StreamTiming& timing : mTiming) timing.mAfterSeek = true;
        mFetching = false;
    }
    clearPendingBufferResume();
    if (mAsynchronous) {
        // Readers wait for packets from the new position: fetch now rather than at the
        // suspended loop's next half-second step.
        Ref<Message> msg = new Message(kWhatFetch, mReflector->id());
        msg->setInt32("generation", ++mFetchGeneration);
        msg->post();
    }
    return true;
}

bool FFMpegExtractor::seekToNextSync(int32_t streamIndex) {
    if (!mInitialized || streamIndex < 0 || static_cast<size_t>(streamIndex) >= mActiveFrameList.size()) return false;
    Autolock queueLock(mQueueLock);
    std::list<PacketPtr>& list = mActiveFrameList[streamIndex];
    for (;;) {
        waitForPacket_l(streamIndex);
        if (list.empty()) return false;
        while (!list.empty() && !(list.front()->flags & AV_PKT_FLAG_KEY)) {
            mBufferedBytes -= list.front()->size;
            list.pop_front();
        }
        if (!list.empty()) {
            VLOGI("seekToNextSync seeked %lld", static_cast<long long>(list.front()->dts));
            return true;
        }
    }
}

void FFMpegExtractor::clearPendingFrames_l() {
    for (size_t i = 0; i < mActiveFrameList.size(); ++i) {
        VLOGI("clearPenddingFrames_l(%dth) ActiveFrameList Size %d", static_cast<int>(i),
              static_cast<int>(mActiveFrameList[i].size()));
    }
    freeAllPackets_l();
    VLOGI("clearPenddingFrames_l ok");
}

void FFMpegExtractor::freeAllPackets_l() {
    for (std::list<PacketPtr>& list : mActiveFrameList) list.clear();
    mBufferedBytes = 0;
}

void FFMpegExtractor::clearPendingBufferResume() {
    Autolock autoLock(mQueueLock);
    clearPendingFrames_l();
    mFinalStatus = (mStopFlags.load() & kStopFlagStop) ? USER_STOP : OK;
    // A stop that came during a seek keeps the extractor suspended: setStopFlag waits for the
    // suspension its own request asked for, and the looper may have answered that request before
    // the seek ended.
    mSuspended = stopRequested();
    mOnlyKeyFrame = false;
}

status_t FFMpegExtractor::setOnlyKeyFrame() {
    {
        Autolock queueLock(mQueueLock);
        if (mOnlyKeyFrame) {
            VLOGW("setOnlyKeyFrame already called");
            return INVALID_OPERATION;
        }
    }
    Autolock queueLock(mQueueLock);
    mOnlyKeyFrame = true;
    if (mVideoStreamIndex >= 0 && static_cast<size_t>(mVideoStreamIndex) < mActiveFrameList.size()) {
        std::list<PacketPtr>& list = mActiveFrameList[mVideoStreamIndex];
        while (!list.empty()) {
            const AVPacket* packet = list.front().get();
            if (packet->flags & AV_PKT_FLAG_KEY) {
                VLOGI("found I-Frame(%lld) in setOnlyKeyFrame", static_cast<long long>(packet->dts));
                break;
            }
            mBufferedBytes -= packet->size;
            list.pop_front();
        }
    }
    VLOGI("setOnlyKeyFrame called");
    return OK;
}

void FFMpegExtractor::enableStream(int32_t streamIndex) {
    Autolock autoLock(mLock);
    if (!mInitialized || streamIndex < 0 || static_cast<unsigned>(streamIndex) >= mFormatContext->nb_streams) return;
    mFormatContext->streams[streamIndex]->discard = AVDISCARD_DEFAULT;
}

size_t FFMpegExtractor::countTracks() { return mInitialized ? mTracks.size() : 0; }

Ref<MediaSource> FFMpegExtractor::getTrack(size_t index) {
    if (!mInitialized || index >= mTracks.size()) return nullptr;
    const Track& track = mTracks[index];
    return new FFMpegSource(this, track.mMeta, track.mStreamIndex, track.mCodecType);
}

Ref<MetaData> FFMpegExtractor::getTrackMetaData(size_t index, uint32_t) {
    if (!mInitialized || index >= mTracks.size()) return nullptr;
    return mTracks[index].mMeta;
}

Ref<MetaData> FFMpegExtractor::getMetaData() { return mFileMeta; }

uint32_t FFMpegExtractor::flags() const { return mExtractorFlags; }

const char* FFMpegExtractor::containerName() const {
    return mInitialized && mFormatContext != nullptr ? mFormatContext->iformat->name : "";
}

// ---- FFMpegSource ----

#undef LOG_TAG
#define LOG_TAG "VEL_FFMpegSource"

FFMpegSource::FFMpegSource(const Ref<FFMpegExtractor>& extractor, const Ref<MetaData>& format, int32_t streamIndex,
                           int32_t codecType)
    : mExtractor(extractor), mStreamIndex(streamIndex), mCodecType(codecType), mFormat(format), mMaxSize(0),
      mStarted(false) {}

FFMpegSource::~FFMpegSource() {
    if (mStarted) stop();
}

status_t FFMpegSource::start(MetaData* params) {
    Autolock autoLock(mLock);
    if (mStarted) return OK;
    const char* mime = "";
    mFormat->findCString(kKeyMIMEType, &mime);
    int32_t maxSize = 0;
    mFormat->findInt32(kKeyMaxInputSize, &maxSize);
    if (maxSize <= 0) maxSize = kDefaultMaxInputSize;
    VLOGI("start mime:%s max_size %d", mime, maxSize);
    int32_t requested = 0;
    if (params != nullptr && params->findInt32(kKeyMaxInputSize, &requested) && requested > maxSize) {
        VLOGW("MaxInputSize Change %d->%d", maxSize, requested);
        maxSize = requested;
    }
    // A damaged header can claim an absurd picture size; no real packet comes near this.
    if (maxSize > kMaxBufferSize) {
        VLOGW("MaxInputSize %d limited to %d", maxSize, kMaxBufferSize);
        maxSize = kMaxBufferSize;
    }
    mMaxSize = static_cast<size_t>(maxSize);
    mExtractor->enableStream(mStreamIndex);
    mStarted = true;
    return OK;
}

status_t FFMpegSource::stop() {
    Autolock autoLock(mLock);
    mStarted = false;
    return OK;
}

Ref<MetaData> FFMpegSource::getFormat() {
    Autolock autoLock(mLock);
    return mFormat;
}

void FFMpegSource::updateFormat(const Ref<MetaData>& format) {
    Autolock autoLock(mLock);
    if (format == nullptr) return;
    mFormat = format;
    int32_t width = 1920;
    int32_t height = 1080;
    format->findInt32(kKeyWidth, &width);
    format->findInt32(kKeyHeight, &height);
    int64_t size = static_cast<int64_t>(width) * height;
    if (size <= 0 || size > kMaxBufferSize) size = static_cast<int64_t>(1920) * 1080;
    mMaxSize = static_cast<size_t>(size);
}

status_t FFMpegSource::read(MediaBuffer** out, const ReadOptions* options) {
    *out = nullptr;
    size_t maxSize;
    {
        // Only the decision is made under the lock: seeking and waiting for a packet are not.
        Autolock autoLock(mLock);
        if (!mStarted) return NO_INIT;
        maxSize = mMaxSize;
    }
    mLock.assertNotHeld();

    int64_t seekTimeUs = 0;
    ReadOptions::SeekMode mode = ReadOptions::SeekClosestSync;
    const bool seeking = options != nullptr && options->getSeekTo(&seekTimeUs, &mode);
    if (seeking) {
        if (mode == ReadOptions::SeekClosestSync || mode == ReadOptions::SeekClosest) {
            int64_t resultUs = 0;
            mExtractor->seekTo(mStreamIndex, seekTimeUs, &resultUs);
        } else if (mode == ReadOptions::SeekNextSync) {
            mExtractor->seekToNextSync(mStreamIndex);
        }
    }

    for (;;) {
        MediaBuffer* buffer = nullptr;
        status_t err = mExtractor->readPacket(mStreamIndex, maxSize, &buffer);
        if (err != OK) return err;
        int64_t timeUs = 0;
        if (seeking && mode == ReadOptions::SeekClosest && buffer->meta_data()->findInt64(kKeyTime, &timeUs) &&
            timeUs < seekTimeUs) {
            buffer->release();
            continue;
        }
        *out = buffer;
        return OK;
    }
}

}  // namespace velmor
