// The MediaSource the transport stream parser fills with access units of one elementary stream
// and the decoders read; it carries discontinuities and the end of the stream in band.
//
// Threads: the demuxer (the HLS extractor's reader, under its lock) queues; a decoder's thread
// reads, blocking until a unit, a marker or the end is there; any thread may ask for the
// buffered amounts. mLock guards every field; read waits on mCondition with it released.
#pragma once

#include <cstdint>
#include <deque>

#include "engine/MediaSource.h"
#include "engine/foundation/ByteBuffer.h"
#include "engine/foundation/Message.h"
#include "utils/Mutex.h"

namespace velmor {

// Discontinuity kinds (bit values, combined).
enum DiscontinuityType : int32_t {
    DISCONTINUITY_TIME = 1,
    DISCONTINUITY_AUDIO_FORMAT = 2,
    DISCONTINUITY_VIDEO_FORMAT = 4,
    DISCONTINUITY_ABSOLUTE_TIME = 8,
    DISCONTINUITY_TIME_OFFSET = 16,
    DISCONTINUITY_FORMATCHANGE = DISCONTINUITY_AUDIO_FORMAT | DISCONTINUITY_VIDEO_FORMAT,
};

class PacketSource : public MediaSource {
public:
    // What nextBufferTime answers while the queue is empty and open.
    static constexpr status_t kWouldBlock = -140;

    explicit PacketSource(const Ref<MetaData>& meta);

    void setFormat(const Ref<MetaData>& meta);

    status_t start(MetaData* params = nullptr) override;
    status_t stop() override;
    Ref<MetaData> getFormat() override;
    // Blocks until a unit, a marker or the end: OK with one access unit (an AVC source gives
    // the unit's first coded slice with its start code; the parameter sets are in the format),
    // INFO_FORMAT_CHANGED once for a marker that changes this source's format (the format is
    // dropped), INFO_DISCONTINUITY for a time marker, or the end status.
    status_t read(MediaBuffer** buffer, const ReadOptions* options = nullptr) override;

    // A unit whose meta has a nonzero "damaged" is dropped. Units carry "timeUs" (int64).
    void queueAccessUnit(const Ref<ByteBuffer>& buffer);
    // Drops the queued units (earlier markers stay), reopens an ended source and queues a marker.
    void queueDiscontinuity(int32_t type, const Ref<Message>& extra);
    void signalEOS(status_t result);

    bool hasBufferAvailable(status_t* finalResult);
    int64_t getBufferedDurationUs(status_t* finalResult);
    status_t nextBufferTime(int64_t* timeUs);

protected:
    ~PacketSource() override;

private:
    Mutex mLock;
    Condition mCondition;
    Ref<MetaData> mFormat;                   // (mLock)
    bool mIsAudio = false;                   // (mLock)
    bool mIsAVC = false;                     // (mLock)
    std::deque<Ref<ByteBuffer>> mBuffers;    // (mLock)
    status_t mEOSResult = OK;                // (mLock)
    int64_t mLastQueuedTimeUs = 0;           // (mLock)
};

}  // namespace velmor
