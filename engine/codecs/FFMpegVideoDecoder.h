// Decodes a compressed video track into planar YUV 4:2:0 pictures.
//
// The decoder runs on a thread of its own into a pool of 20 picture buffers and queues the
// pictures in presentation order; read() hands them out and the caller's release returns them to
// the pool. A change of picture size is reported in-band: the pictures of the old size, then one
// read() that answers INFO_FORMAT_CHANGED, then pictures of the new size (getFormat() then holds
// the new kKeyWidth/kKeyHeight and kKeyCropRect).
//
// Picture layout: the luma plane of W x H bytes followed by the U and V planes of (W/2) x (H/2)
// bytes, with W and H the picture size rounded up to a multiple of 4 and no padding between
// rows or planes. Each buffer carries kKeyTime (microseconds).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "engine/MediaBuffer.h"
#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "utils/Mutex.h"
#include "utils/Thread.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
struct AVBufferPool;

namespace velmor {

// In-band marker key on a one-byte output buffer: value INFO_FORMAT_CHANGED.
enum : uint32_t {
    kKeyDecoderEvent = FourCC('k', 'e', 'v', 't'),
    // Set by the transport-stream code: packets carry presentation times in decoding order.
    kKeyInputIsPts = FourCC('i', 'p', 't', 's'),
    // The FFmpeg decoder's short name in a decoder's output format.
    kKeyCodecName = FourCC('c', 'o', 'd', 'N'),
};

class FFMpegVideoDecoder : public MediaSource, public MediaBufferObserver {
public:
    enum { kNumPictureBuffers = 20 };
    // How many decoded pictures may wait for the reader; the rest of the pool stays untouched.
    static constexpr size_t kMaxReadyPictures = 10;

    // flags is kept for the factory's interface; the decoder does not interpret it.
    explicit FFMpegVideoDecoder(const Ref<MediaSource>& source, int32_t flags = 1);

    status_t start(MetaData* params = nullptr) override;
    status_t stop() override;
    Ref<MetaData> getFormat() override;
    status_t read(MediaBuffer** buffer, const ReadOptions* options = nullptr) override;
    void setPlaybackRate(float rate) override;

    void signalBufferReturned(MediaBuffer* buffer) override;

    // Diagnostics.
    size_t countReadyPictures();
    bool isLowQueue();
    int32_t threadCount() const { return mThreadCount; }

protected:
    ~FFMpegVideoDecoder() override;

private:
    static void* ThreadWrapper(void* me);
    void decodeLoop();

    // Builds and opens a codec context for the track format.
    status_t configureCodec(const Ref<MetaData>& format);
    void closeCodec();
    // Decodes synchronously until a picture comes out and outputs it (start and reconfigure).
    status_t decodeFirstPicture(MediaBuffer* first, bool reconfigure);
    status_t reconfigure(MediaBuffer* first);
    // Sends one input buffer to the codec and outputs every picture it yields. Returns the
    // send status (0 when the codec took the packet).
    int decodeBuffer(MediaBuffer* in);
    // Copies the input into a pooled, padded packet buffer.
    bool fillPacket(MediaBuffer* in);
    void drainPictures();
    void outputPicture(AVFrame* frame);
    // The time of the next picture out of the codec (pending packet times, kept increasing).
    int64_t nextOutputTime_l();
    bool copyPicture(AVFrame* frame, uint8_t* dst, int32_t width, int32_t height);

    void allocateFrames_l(int32_t width, int32_t height);
    void handleSizeChange_l(int32_t width, int32_t height);
    void appendPendingTime(int64_t timeUs);
    void seek_l(int64_t timeUs);
    void startThread_l();
    void joinThread_l();
    // Returns a buffer to the free list, or deletes it when it belongs to an older pool or is
    // a marker.
    void recycle_l(MediaBuffer* buffer);
    void deleteBuffer_l(MediaBuffer* buffer);
    // Sleeps up to ms milliseconds; returns early when a stop or seek asks the thread to end.
    void pause_l(int ms);

    Ref<MediaSource> mSource;
    Ref<MetaData> mFormat;
    [[maybe_unused]] int32_t mFlags;
    int32_t mCodecId;
    AVCodecContext* mCodecContext;
    AVFrame* mFrame;
    AVPacket* mPacket;
    SwsContext* mSws;
    AVBufferPool* mPacketPool;
    size_t mPacketPoolBufferSize;
    int32_t mThreadCount;
    bool mSortPendingTimes;
    float mPlaybackRate;

    int32_t mWidth;
    int32_t mHeight;
    size_t mPictureSize;
    std::deque<MediaBuffer*> mFree;
    std::deque<MediaBuffer*> mReady;
    std::vector<MediaBuffer*> mAllPictures;
    MediaBuffer* mInputBuffer;
    std::deque<int64_t> mPendingTimes;
    int64_t mLastTimeUs;
    bool mHaveOutputTime;
    int32_t mFramesToDrop;
    // Pictures earlier than this are dropped without being copied out (exact seek); -1: none.
    int64_t mSkipUntilUs;
    status_t mStatus;
    int64_t mSeekTimeUs;
    bool mLowQueue;
    bool mStarted;
    bool mStopping;
    bool mStopped;
    bool mPicturesAllocated;
    thread_handle_t mThread;

    Mutex mLock;
    Condition mCondition;
};

}  // namespace velmor
