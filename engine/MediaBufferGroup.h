// A blocking pool of MediaBuffers: acquire_buffer waits until a buffer is free.
#pragma once

#include "engine/MediaBuffer.h"
#include "utils/Errors.h"
#include "utils/Mutex.h"

namespace velmor {

class MediaBufferGroup : public MediaBufferObserver {
public:
    MediaBufferGroup();
    // Every buffer must have been returned (reference count 0); each is deleted.
    ~MediaBufferGroup() override;

    // The group takes the buffer over.
    void add_buffer(MediaBuffer* buffer);

    // Hands out the first free buffer with one reference, its meta data cleared and its range
    // covering the whole buffer. Blocks until a buffer is free; there is no time-out.
    status_t acquire_buffer(MediaBuffer** out);

    void signalBufferReturned(MediaBuffer* buffer) override;

private:
    Mutex mLock;
    Condition mCondition;
    MediaBuffer* mFirstBuffer;
    MediaBuffer* mLastBuffer;
};

}  // namespace velmor
