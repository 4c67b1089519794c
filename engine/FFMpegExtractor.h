// The general container demuxer over libavformat. It opens a DataSource through a custom I/O
// context, or an address directly, describes each stream in a MetaData, queues demuxed packets
// per stream (filled by a looper thread when asynchronous, by the readers otherwise) and hands
// them out through one FFMpegSource per track, as MediaBuffers that share the packets' own
// reference-counted bytes.
//
// Blocking I/O (opening, probing, reading, seeking) never waits forever: libavformat polls an
// interrupt callback that answers a stop request (setStopFlag, from any thread, also before or
// during initialize) and an I/O time-out (no byte arriving for ioTimeoutUs). A local path that
// is no regular file (a FIFO, a device) is read through a FileSource that waits in slices, so
// a FIFO without a writer cannot hold open(2) or read(2) either.
//
// Threads: initialize runs on the caller's thread; then packets are fetched by the "FFMpegExtractor"
// looper (asynchronous) or by the reader that finds its queue empty (synchronous; one fetch at a
// time, the others wait on the queue condition). Readers are the decoders' threads. No lock is
// held across a libavformat read except mLock across a seek (below).
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "engine/DataSource.h"
#include "engine/FFmpegOwners.h"
#include "engine/MediaExtractor.h"
#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "engine/foundation/Handler.h"
#include "engine/foundation/Looper.h"
#include "engine/foundation/Message.h"
#include "utils/Mutex.h"

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;
struct AVCodecContext;

namespace velmor {

class FFMpegExtractor : public MediaExtractor {
public:
    // Blocking I/O that makes no progress for this long ends with ERROR_CON_TIMEOUT.
    static constexpr int64_t kIoTimeoutUs = 15000000;

    // The source may be null when initialize() is given an address.
    explicit FFMpegExtractor(const Ref<DataSource>& source);

    // With a null url the data source is read through the custom I/O (always synchronous);
    // with a url libavformat opens it (a local path that is no regular file through a stream
    // FileSource), and asynchronous starts the fetch loop. USER_STOP after a stop request,
    // ERROR_CON_TIMEOUT when the input stalled for the I/O time-out.
    status_t initialize(const char* url, bool asynchronous);
    // The I/O time-out (kIoTimeoutUs unless changed; 0 or less: none). Set before initialize.
    void setIoTimeoutUs(int64_t timeoutUs) { mIoTimeoutUs.store(timeoutUs); }

    size_t countTracks() override;
    Ref<MediaSource> getTrack(size_t index) override;
    Ref<MetaData> getTrackMetaData(size_t index, uint32_t flags = 0) override;
    Ref<MetaData> getMetaData() override;
    uint32_t flags() const override;
    // Bit value 2 stops for good: blocked readers, and an initialize still running, return
    // USER_STOP. Any thread, any time.
    void setStopFlag(uint32_t flags) override;
    status_t getCachedDuration(int64_t* durationUs, bool* eos) override;
    // Drops queued video up to the next key frame; INVALID_OPERATION while a request is pending.
    status_t setOnlyKeyFrame() override;

    bool hasVideo() const { return mVideoStreamIndex >= 0; }
    bool isAsynchronous() const { return mAsynchronous; }
    // The container's short name ("mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", ...), empty before
    // initialize succeeded.
    const char* containerName() const;

    // Used by FFMpegSource. Hands out the stream's next packet as a new buffer (one reference)
    // that shares the packet's bytes; packets larger than maxSize are dropped.
    status_t readPacket(int32_t streamIndex, size_t maxSize, MediaBuffer** out);
    bool seekTo(int32_t streamIndex, int64_t timeUs, int64_t* resultUs);
    bool seekToNextSync(int32_t streamIndex);
    // Makes sure packets of a stream that starts being read are demuxed.
    void enableStream(int32_t streamIndex);

    // Looper messages ('fetc', 'susp'), through the reflector.
    void onMessageReceived(const Ref<Message>& msg);

protected:
    ~FFMpegExtractor() override;

private:
    enum {
        kWhatFetch = FourCC('f', 'e', 't', 'c'),
        kWhatSuspend = FourCC('s', 'u', 's', 'p'),
    };


    struct Track {
        Ref<MetaData> mMeta;
        int32_t mStreamIndex;
        int32_t mCodecType;
    };

    struct StreamTiming {
        int64_t mSyncTime = 0;
        int64_t mPrevTime = 0;
        bool mReady = false;
        // The next packet follows a seek: it takes its own time even without a decoding time.
        bool mAfterSeek = false;
    };

    // Custom I/O over the data source.
    static int LiveRead(void* opaque, uint8_t* buf, int size);
    static int64_t LiveSeek(void* opaque, int64_t offset, int whence);
    static int InterruptCallback(void* opaque);
    int liveRead(uint8_t* buf, int size);
    int64_t liveSeek(int64_t offset, int whence);
    DataSource* ioSource() const { return mStreamSource != nullptr ? mStreamSource.get() : mDataSource.get(); }

    // I/O progress watch, on the thread doing the I/O: beginIo before each blocking libavformat
    // call, ioStalled from the interrupt callback and the stream read loop.
    void beginIo();
    bool ioStalled();
    bool stopRequested() const { return (mStopFlags.load() & kStopFlagStop) != 0; }
    // The status for a failed libavformat call: a stop, a time-out or libavformat's own.
    status_t ioFailure(int err);
    status_t openInput(const char* url);

    status_t getStreamInfo_l(int32_t index, const Ref<MetaData>& meta, CodecContextPtr* codecContext);
    void clearStreamsInfo_l();
    // Reads one packet into its stream's queue; false when none was queued.
    bool fetchInternal();
    void onFetch();
    int64_t getCachedDuration_l();
    int64_t queuedDurationOf_l(size_t streamIndex);
    bool readerStarved_l();
    MediaBuffer* settingMediaBuffer_l(AVPacket* packet, int32_t streamIndex, size_t maxSize);
    // Waits (asynchronous) or fetches (synchronous) until the stream has a packet, the final
    // status is set or a stop is requested. Called and returns with mQueueLock held; a
    // synchronous fetch drops it around the read.
    void waitForPacket_l(int32_t streamIndex);
    void suspend();
    void clearPendingBufferResume();
    void clearPendingFrames_l();
    void freeAllPackets_l();
    static status_t mapError(int err);

    // --- Written by initialize (caller's thread) before any track exists, then read-only.
    std::atomic<bool> mInitialized;
    bool mAsynchronous;
    uint32_t mExtractorFlags;
    Ref<MetaData> mFileMeta;
    Ref<DataSource> mDataSource;
    // A local FIFO or device named by initialize's url, read through the custom I/O.
    Ref<DataSource> mStreamSource;
    bool mIsMp4;
    bool mIsAvi;
    std::vector<Track> mTracks;
    std::vector<CodecContextPtr> mCodecContexts;
    int32_t mVideoStreamIndex;
    int32_t mAudioStreamIndex;

    // --- Any thread.
    std::atomic<uint32_t> mStopFlags;
    // Set while seekTo runs its own libavformat calls, so the interrupt callback lets them pass.
    std::atomic<bool> mSeekRunning;
    // Tags the fetch steps of the current chain; older ones are dropped.
    std::atomic<int32_t> mFetchGeneration{0};
    // A suspension was asked for: a read-ahead burst ends so the looper gets to it.
    std::atomic<bool> mSuspendPending{false};
    std::atomic<int64_t> mIoTimeoutUs{kIoTimeoutUs};

    // --- The thread doing I/O: the initialize caller, the looper, a synchronous reader's fetch
    // or seekTo (one at a time: see mFetching and the suspension). Atomic only because the
    // interrupt callback may run on any of them.
    FormatContextPtr mFormatContext;
    IOContextPtr mIOContext;
    int64_t mReadPosition;
    std::atomic<int64_t> mProgressAtUs{0};
    std::atomic<int64_t> mProgressPosition{-1};
    std::atomic<bool> mTimedOut{false};

    // --- Guarded by mQueueLock (mQueueCondition signals every change).
    std::vector<std::list<PacketPtr>> mActiveFrameList;
    // Streams whose reader found nothing queued and had to wait; the fetch loop reads ahead in
    // bursts until such a stream has a second queued again.
    std::vector<bool> mReaderStarved;
    std::vector<StreamTiming> mTiming;
    int32_t mBufferedBytes;
    int64_t mLastFetchTimeUs;
    status_t mFinalStatus;
    bool mSuspended;
    bool mOnlyKeyFrame;
    // A synchronous reader (or a seek) is using the format context; others wait.
    bool mFetching;
    // AVI audio re-timing after seeks.
    bool mSeeked;
    bool mVideoSeenAfterSeek;
    int64_t mSeekedTimeStamp;
    int64_t mAudioPacketCount;

    // Serialises seekTo and enableStream on the format context. Held across a seek's I/O; no
    // query takes it.
    Mutex mLock;
    Mutex mQueueLock;
    Condition mQueueCondition;
    Ref<Looper> mLooper;
    Ref<HandlerReflector<FFMpegExtractor>> mReflector;
};

// One track of an FFMpegExtractor.
class FFMpegSource : public MediaSource {
public:
    FFMpegSource(const Ref<FFMpegExtractor>& extractor, const Ref<MetaData>& format, int32_t streamIndex,
                 int32_t codecType);

    status_t start(MetaData* params = nullptr) override;
    status_t stop() override;
    Ref<MetaData> getFormat() override;
    status_t read(MediaBuffer** buffer, const ReadOptions* options = nullptr) override;
    void updateFormat(const Ref<MetaData>& format) override;

protected:
    ~FFMpegSource() override;

private:
    // --- Set at construction.
    Ref<FFMpegExtractor> mExtractor;
    int32_t mStreamIndex;
    // The stream's media type, kept with the track record; reading does not depend on it.
    [[maybe_unused]] int32_t mCodecType;
    // --- Guarded by mLock, which read() drops before it waits for a packet.
    Ref<MetaData> mFormat;
    size_t mMaxSize;
    bool mStarted;
    Mutex mLock;
};

}  // namespace velmor
