// The general container demuxer over libavformat. It opens a DataSource through a custom I/O
// context, or an address directly, describes each stream in a MetaData, queues demuxed packets
// per stream (filled by a looper thread when asynchronous, by the readers otherwise) and hands
// them out through one FFMpegSource per track.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <vector>

#include "engine/DataSource.h"
#include "engine/MediaBufferGroup.h"
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
    // The source may be null when initialize() is given an address.
    explicit FFMpegExtractor(const Ref<DataSource>& source);

    // With a null url the data source is read through the custom I/O (always synchronous);
    // with a url libavformat opens it, and asynchronous starts the fetch loop.
    status_t initialize(const char* url, bool asynchronous);

    size_t countTracks() override;
    Ref<MediaSource> getTrack(size_t index) override;
    Ref<MetaData> getTrackMetaData(size_t index, uint32_t flags = 0) override;
    Ref<MetaData> getMetaData() override;
    uint32_t flags() const override;
    // Bit value 2 stops for good: blocked readers return USER_STOP.
    void setStopFlag(uint32_t flags) override;
    status_t getCachedDuration(int64_t* durationUs, bool* eos) override;
    // Drops queued video up to the next key frame; INVALID_OPERATION while a request is pending.
    status_t setOnlyKeyFrame() override;

    bool hasVideo() const { return mVideoStreamIndex >= 0; }
    bool isAsynchronous() const { return mAsynchronous; }
    // The container's short name ("mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", ...), empty before
    // initialize succeeded.
    const char* containerName() const;

    // Used by FFMpegSource.
    status_t readPacket(int32_t streamIndex, MediaBuffer* buffer);
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

    status_t getStreamInfo_l(int32_t index, const Ref<MetaData>& meta, AVCodecContext** codecContext);
    void clearStreamsInfo_l();
    // Reads one packet into its stream's queue; false when none was queued.
    bool fetchInternal();
    void onFetch();
    int64_t getCachedDuration_l();
    int64_t queuedDurationOf_l(size_t streamIndex);
    bool readerStarved_l();
    void settingMediaBuffer_l(MediaBuffer* buffer, AVPacket* packet, int32_t streamIndex);
    // Waits (asynchronous) or fetches (synchronous) until the stream has a packet, the final
    // status is set or a stop is requested. Called and returns with mQueueLock held.
    void waitForPacket_l(int32_t streamIndex);
    void suspend();
    void clearPendingBufferResume();
    void clearPendingFrames_l();
    void freeAllPackets_l();
    static status_t mapError(int err);

    bool mInitialized;
    bool mAsynchronous;
    uint32_t mExtractorFlags;
    std::atomic<uint32_t> mStopFlags;
    // Set while seekTo runs its own libavformat calls, so the interrupt callback lets them pass.
    std::atomic<bool> mSeekRunning;
    // Tags the fetch steps of the current chain; older ones are dropped.
    std::atomic<int32_t> mFetchGeneration{0};
    // A suspension was asked for: a read-ahead burst ends so the looper gets to it.
    std::atomic<bool> mSuspendPending{false};
    Ref<MetaData> mFileMeta;

    Ref<DataSource> mDataSource;
    int64_t mReadPosition;
    AVFormatContext* mFormatContext;
    AVIOContext* mIOContext;
    bool mIsMp4;
    bool mIsAvi;

    std::vector<Track> mTracks;
    std::vector<AVCodecContext*> mCodecContexts;
    std::vector<std::list<AVPacket*>> mActiveFrameList;
    // Streams whose reader found nothing queued and had to wait; the fetch loop reads ahead in
    // bursts until such a stream has a second queued again.
    std::vector<bool> mReaderStarved;
    std::vector<StreamTiming> mTiming;
    int32_t mVideoStreamIndex;
    int32_t mAudioStreamIndex;
    int32_t mBufferedBytes;
    int64_t mLastFetchTimeUs;
    status_t mFinalStatus;
    bool mSuspended;
    bool mOnlyKeyFrame;

    // AVI audio re-timing after seeks.
    bool mSeeked;
    bool mVideoSeenAfterSeek;
    int64_t mSeekedTimeStamp;
    int64_t mAudioPacketCount;

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
    Ref<FFMpegExtractor> mExtractor;
    Ref<MetaData> mFormat;
    int32_t mStreamIndex;
    // The stream's media type, kept with the track record; reading does not depend on it.
    [[maybe_unused]] int32_t mCodecType;
    MediaBufferGroup* mGroup;
    MediaBuffer* mBuffer;
    bool mStarted;
    Mutex mLock;
};

}  // namespace velmor
