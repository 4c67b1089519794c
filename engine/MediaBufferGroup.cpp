#define LOG_TAG "VEL_MediaBufferGroup"

#include "engine/MediaBufferGroup.h"

#include "utils/Log.h"

namespace velmor {

MediaBufferGroup::MediaBufferGroup() : mFirstBuffer(nullptr), mLastBuffer(nullptr) {}

MediaBufferGroup::~MediaBufferGroup() {
    MediaBuffer* next;
    for (MediaBuffer* buffer = mFirstBuffer; buffer != nullptr; buffer = next) {
        next = buffer->nextBuffer();
        CHECK_EQ(buffer->refcount(), 0);
        buffer->setObserver(nullptr);
        buffer->setNextBuffer(nullptr);
        if (buffer->refcount() != 0) {
            // Still held by a consumer: its last release deletes it.
            VLOGE("buffer %p still has %d references while its group goes away", buffer, buffer->refcount());
            continue;
        }
        buffer->release();
    }
    mFirstBuffer = mLastBuffer = nullptr;
}

void MediaBufferGroup::add_buffer(MediaBuffer* buffer) {
    Autolock autoLock(mLock);
    buffer->setObserver(this);
    buffer->setNextBuffer(nullptr);
    if (mLastBuffer != nullptr) {
        mLastBuffer->setNextBuffer(buffer);
    } else {
        mFirstBuffer = buffer;
    }
    mLastBuffer = buffer;
}

status_t MediaBufferGroup::acquire_buffer(MediaBuffer** out) {
    Autolock autoLock(mLock);
    for (;;) {
        for (MediaBuffer* buffer = mFirstBuffer; buffer != nullptr; buffer = buffer->nextBuffer()) {
            if (buffer->refcount() == 0) {
                buffer->add_ref();
                buffer->reset();
                *out = buffer;
                return OK;
            }
        }
        mCondition.wait(mLock);
    }
}

void MediaBufferGroup::signalBufferReturned(MediaBuffer*) {
    Autolock autoLock(mLock);
    mCondition.signal();
}

}  // namespace velmor
