// Decodes a compressed video track into planar YUV 4:2:0 pictures.
//
// The decoder runs on a thread of its own and queues pictures in presentation order; read()
// hands them out and the caller's last release returns them. Pictures are the codec's own
// reference-counted frames, handed through without a copy: each picture buffer keeps a
// reference to its AVFrame until it is released. Its meta data carries kKeyTime (microseconds)
// and kKeyPictureLayout (a PlayerBase::VideoSink::Picture: plane pointers and the codec's row
// strides, which are usually larger than the width); data() is the luma plane and the range
// covers its rows. At most kNumPictureBuffers pictures (fewer for large pictures, see
// kPictureMemoryBudget) are out of the decoder at once, ready or held by the reader, and at
// most kMaxReadyPictures wait in the ready queue.
//
// A change of picture size is reported in-band: the pictures of the old size, then one read()
// that answers INFO_FORMAT_CHANGED, then pictures of the new size (getFormat() then holds the
// new kKeyWidth/kKeyHeight and kKeyCropRect).
//
// The codec runs frame-threaded with processors x 1.5 threads; such a codec holds back up to
// that many pictures, so at the end of the input it is flushed and every picture it still
// holds is delivered before ERROR_END_OF_STREAM, also for clips shorter than its pipeline.
//
// Threads and locks:
//  - start(), stop(), read() (and the seek inside it), getFormat(), setPlaybackRate() run on the
//    caller's thread; signalBufferReturned() on whichever thread drops a picture's last reference.
//  - The decode thread ("VideoDecThread") owns the codec while it runs; start() and a seek use
//    the codec only while no decode thread runs (a seek joins it first).
//  - mLock guards everything marked "mLock" below and is never held across a source read or a
//    codec call; mCondition wakes readers (picture ready, error) and the decode thread (a picture
//    came back, stop).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "engine/FFmpegOwners.h"
#include "engine/MediaBuffer.h"
#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "engine/PlayerBase.h"
#include "utils/Mutex.h"
#include "utils/Thread.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
struct AVBufferPool;

namespace velmor {

enum : uint32_t {
    // In-band marker key on a one-byte output buffer: value INFO_FORMAT_CHANGED.
    kKeyDecoderEvent = FourCC('k', 'e', 'v', 't'),
    // Set by the transport-stream code: packets carry presentation times in decoding order.
    kKeyInputIsPts = FourCC('i', 'p', 't', 's'),
    // The FFmpeg decoder's short name in a decoder's output format.
    kKeyCodecName = FourCC('c', 'o', 'd', 'N'),
    // On a picture buffer: a PlayerBase::VideoSink::Picture (data of type kTypePictureLayout).
    kKeyPictureLayout = FourCC('p', 'i', 'c', 'L'),
    kTypePictureLayout = FourCC('p', 'l', 'a', 'y'),
};

class FFMpegVideoDecoder : public MediaSource, public MediaBufferObserver {
public:
    // The most pictures out of the decoder at once (ready plus held by the reader).
    enum { kNumPictureBuffers = 20 };
    // How many decoded pictures may wait for the reader.
    static constexpr size_t kMaxReadyPictures = 10;
    // Low-queue hysteresis, judged after each read on the pictures still ready: fewer than
    // kLowQueueOn set the flag (the H.264 loop filter is skipped to catch up); kLowQueueOff or
    // more clear it. The reader can find at most kMaxReadyPictures - 1 left after taking one,
    // so that is where the flag clears.
    static constexpr size_t kLowQueueOn = 5;
    static constexpr size_t kLowQueueOff = kMaxReadyPictures - 1;
    // The largest picture accepted: 8192 x 4352 (the largest size the common codec levels
    // define, and above the texture limit of many OpenGL drivers). Larger pictures are refused
    // by start() with ERROR_UNSUPPORTED and by the codec itself (max_pixels) mid-stream.
    static constexpr int64_t kMaxPictureArea = 8192LL * 4352;
    // Memory the pictures out of the decoder may take: 512 MiB. It bounds the number of
    // pictures handed out (kNumPictureBuffers at 1080p and 4K, 10 at the largest accepted
    // size, 53 MB each) and the codec's frame threads (each holds a picture in flight), so a
    // lying header cannot make the decoder take gigabytes.
    static constexpr int64_t kPictureMemoryBudget = 512LL << 20;

    // flags is kept for the factory's interface; the decoder does not interpret it.
    explicit FFMpegVideoDecoder(const Ref<MediaSource>& source, int32_t flags = 1);

    status_t start(MetaData* params = nullptr) override;
    status_t stop() override;
    Ref<MetaData> getFormat() override;
    status_t read(MediaBuffer** buffer, const ReadOptions* options = nullptr) override;
    void setPlaybackRate(float rate) override;

    void signalBufferReturned(MediaBuffer* buffer) override;

    // Process-wide settings for tests and benchmarks, read when a decoder starts.
    // A processor count other than 0 replaces the machine's (frame threads = count x 1.5).
    static void setProcessorCountOverride(int count);
    // false: the loop filter is never skipped, however low the ready queue runs.
    static void setLoopFilterShedding(bool enabled);

    // Diagnostics.
    size_t countReadyPictures();
    bool isLowQueue();
    int32_t threadCount() const { return mThreadCount; }
    // Pictures out of the decoder now (ready or held by a reader), and the most at once.
    int32_t picturesOut();
    int32_t pictureLimit();

protected:
    ~FFMpegVideoDecoder() override;

private:
    class Picture;

    static void* ThreadWrapper(void* me);
    void decodeLoop();

    // Builds and opens a codec context for the track format (decode thread or no thread).
    status_t configureCodec(const Ref<MetaData>& format);
    // Decodes synchronously until one picture comes out and outputs it (start and reconfigure);
    // pictures behind it stay in the codec for the decode thread.
    status_t decodeFirstPicture(MediaBuffer* first, bool reconfigure);
    status_t reconfigure(MediaBuffer* first);
    // Sends one input buffer to the codec and outputs every picture it yields. Returns the
    // send status (0 when the codec took the packet).
    int decodeBuffer(MediaBuffer* in);
    // Flushes the codec at the end of the input and outputs every picture it still holds.
    void drainAtEndOfInput();
    // Points mPacket at the input: a new reference to its FFmpeg buffer, or a pooled copy.
    bool fillPacket(MediaBuffer* in);
    void drainPictures();
    void outputPicture(AVFrame* frame);
    // A reference to frame as 8-bit YUV 4:2:0 (converted when the codec outputs another layout).
    FramePtr referencePicture(AVFrame* frame);
    void appendPendingTime(int64_t timeUs);

    // The time of the next picture out of the codec (pending packet times, kept increasing).
    int64_t nextOutputTime_l();
    void setPictureSize_l(int32_t width, int32_t height, bool announce);
    void seek_l(int64_t timeUs);
    void startThread_l();
    // Asks the decode thread to end and joins it; called without mLock.
    void stopThread();
    void discardReady_l();
    void pause_l(int ms);

    static std::atomic<int> sProcessorCountOverride;
    static std::atomic<bool> sLoopFilterShedding;

    // --- Set in the constructor, then read-only.
    const Ref<MediaSource> mSource;
    [[maybe_unused]] const int32_t mFlags;
    bool mSortPendingTimes;

    // --- The codec: the decode thread's while it runs; start(), stop() and a seek touch them
    // only while no decode thread runs. mThreadCount is written there too and read freely.
    int32_t mCodecId;
    CodecContextPtr mCodecContext;
    FramePtr mFrame;
    PacketPtr mPacket;
    SwsPtr mSws;
    BufferPoolPtr mPacketPool;
    size_t mPacketPoolBufferSize;
    std::atomic<int32_t> mThreadCount;
    bool mInputEnded;  // the codec was sent its end-of-stream flush

    // --- Guarded by mLock.
    Mutex mLock;
    Condition mCondition;
    Ref<MetaData> mFormat;
    float mPlaybackRate;
    int32_t mWidth;
    int32_t mHeight;
    int32_t mPictureLimit;    // pictures allowed out at once, from the budget and the size
    int32_t mPicturesOut;     // picture buffers alive: ready or held by a reader
    std::deque<MediaBuffer*> mReady;
    std::vector<MediaBuffer*> mHandedOut;  // pictures a reader holds (detached by stop)
    std::deque<int64_t> mPendingTimes;
    int64_t mLastTimeUs;
    bool mHaveOutputTime;
    int32_t mFramesToDrop;
    // Pictures earlier than this are dropped without being handed out (exact seek); -1: none.
    int64_t mSkipUntilUs;
    status_t mStatus;
    int64_t mSeekTimeUs;
    bool mLowQueue;
    bool mLoopFilterShedding;
    bool mStarted;
    bool mStopping;
    bool mStopped;
    bool mSizeKnown;
    thread_handle_t mThread;
    // A stopThread caller took mThread and is joining it: other callers wait for the join to end
    // before they touch the codec (FFmpeg's frame threads abort on concurrent use).
    bool mThreadJoining = false;
};

}  // namespace velmor
