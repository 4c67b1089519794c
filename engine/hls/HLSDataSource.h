// The byte queue between the live session and the transport stream parser: segments and
// 188-byte discontinuity markers (a first byte of 0 tells a marker from a segment, which starts
// with the 0x47 sync byte) read strictly in order.
//
// Threads: the session's looper queues (queueBuffer, queueEOS, reset); one reader (the HLS
// extractor, under its lock) reads; any thread may ask for the counts and stop it. mLock guards
// every field; a reader waits on mCondition with it released.
#pragma once

#include <cstdint>
#include <deque>

#include "engine/DataSource.h"
#include "engine/foundation/ByteBuffer.h"
#include "utils/Mutex.h"

namespace velmor {

class HLSDataSource : public DataSource {
public:
    // What readAtNonBlocking answers while fewer bytes than asked are queued and the queue is
    // still open.
    static constexpr status_t kNotEnoughData = -140;
    // Bytes of a discontinuity marker.
    static constexpr size_t kMarkerSize = 188;

    HLSDataSource();

    // Appended while the queue is open; ignored once it ended.
    void queueBuffer(const Ref<ByteBuffer>& buffer);
    // Ends the queue with `result` (not OK): readers get the queued bytes, then the result.
    void queueEOS(status_t result);
    // Reopens the queue and drops every queued segment; queued markers stay.
    void reset();
    size_t countQueuedBuffers();
    // The play time still queued: each buffer's "durationUs" scaled by the part not yet read.
    int64_t getQueuedDurationUs();
    // OK while open, else the end result.
    status_t finalResult();

    status_t initCheck() const override { return OK; }
    // Blocks until `size` bytes are queued or the queue ended (then a short count, or the end
    // result when nothing is left). `offset` must be the next unread byte (else DEAD_OBJECT).
    ssize_t readAt(int64_t offset, void* data, size_t size) override;
    // As readAt, but answers at once: the end result, or kNotEnoughData, when fewer than `size`
    // bytes are queued.
    ssize_t readAtNonBlocking(int64_t offset, void* data, size_t size);
    // A stop ends the queue with USER_STOP, which wakes a blocked reader.
    void setStopFlag(uint32_t flags) override;
    uint32_t flags() override { return kFlagNetwork; }

protected:
    ~HLSDataSource() override = default;

private:
    ssize_t read_l(int64_t offset, void* data, size_t size, bool blocking);
    size_t queuedBytes_l() const;

    Mutex mLock;
    Condition mCondition;
    int64_t mOffset = 0;                        // (mLock) the next byte to read; only grows
    status_t mFinalResult = OK;                 // (mLock)
    std::deque<Ref<ByteBuffer>> mBufferQueue;   // (mLock)
};

}  // namespace velmor
