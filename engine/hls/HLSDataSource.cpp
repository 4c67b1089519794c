#include "engine/hls/HLSDataSource.h"

#include <algorithm>
#include <cstring>

#include "utils/Log.h"

#define LOG_TAG "VEL_HLSDataSource"

namespace velmor {

namespace {
const char kKeyDurationUs[] = "durationUs";
}  // namespace

HLSDataSource::HLSDataSource() {}

void HLSDataSource::queueBuffer(const Ref<ByteBuffer>& buffer) {
    Mutex::Autolock _l(mLock);
    if (mFinalResult != OK) return;
    mBufferQueue.push_back(buffer);
    mCondition.broadcast();
}

void HLSDataSource::queueEOS(status_t result) {
    Mutex::Autolock _l(mLock);
    mFinalResult = result != OK ? result : ERROR_END_OF_STREAM;
    mCondition.broadcast();
}

void HLSDataSource::reset() {
    Mutex::Autolock _l(mLock);
    mFinalResult = OK;
    std::deque<Ref<ByteBuffer>> markers;
    for (const Ref<ByteBuffer>& buffer : mBufferQueue) {
        if (buffer->size() > 0 && buffer->data()[0] == 0) markers.push_back(buffer);
    }
    mBufferQueue.swap(markers);
}

size_t HLSDataSource::countQueuedBuffers() {
    Mutex::Autolock _l(mLock);
    return mBufferQueue.size();
}

int64_t HLSDataSource::getQueuedDurationUs() {
    Mutex::Autolock _l(mLock);
    int64_t durationUs = 0;
    for (const Ref<ByteBuffer>& buffer : mBufferQueue) {
        int64_t bufferUs = 0;
        if (buffer->capacity() == 0 || !buffer->meta()->findInt64(kKeyDurationUs, &bufferUs)) continue;
        durationUs += static_cast<int64_t>(static_cast<double>(bufferUs) * static_cast<double>(buffer->size()) /
                                           static_cast<double>(buffer->capacity()));
    }
    return durationUs;
}

status_t HLSDataSource::finalResult() {
    Mutex::Autolock _l(mLock);
    return mFinalResult;
}

void HLSDataSource::setStopFlag(uint32_t flags) {
    if (flags & kStopFlagStop) queueEOS(USER_STOP);
}

ssize_t HLSDataSource::readAt(int64_t offset, void* data, size_t size) {
    Mutex::Autolock _l(mLock);
    return read_l(offset, data, size, true);
}

ssize_t HLSDataSource::readAtNonBlocking(int64_t offset, void* data, size_t size) {
    Mutex::Autolock _l(mLock);
    if (queuedBytes_l() < size) return mFinalResult != OK ? mFinalResult : kNotEnoughData;
    return read_l(offset, data, size, false);
}

size_t HLSDataSource::queuedBytes_l() const {
    mLock.assertHeld();
    size_t bytes = 0;
    for (const Ref<ByteBuffer>& buffer : mBufferQueue) bytes += buffer->size();
    return bytes;
}

ssize_t HLSDataSource::read_l(int64_t offset, void* data, size_t size, bool blocking) {
    mLock.assertHeld();
    if (offset != mOffset) {
        VLOGE("%d] Attempt at reading non-sequentially from HLSDataSource. offset(%lld) != mOffset(%lld)", __LINE__,
              static_cast<long long>(offset), static_cast<long long>(mOffset));
        return DEAD_OBJECT;
    }
    size_t copied = 0;
    uint8_t* out = static_cast<uint8_t*>(data);
    while (copied < size) {
        if (mBufferQueue.empty()) {
            if (mFinalResult != OK || !blocking) break;
            mCondition.wait(mLock);
            continue;
        }
        Ref<ByteBuffer> front = mBufferQueue.front();
        const size_t n = std::min(front->size(), size - copied);
        memcpy(out + copied, front->data(), n);
        copied += n;
        if (n == front->size()) {
            mBufferQueue.pop_front();
        } else {
            front->setRange(front->offset() + n, front->size() - n);
        }
    }
    if (copied == 0 && size > 0) return mFinalResult != OK ? mFinalResult : 0;
    mOffset += static_cast<int64_t>(copied);
    return static_cast<ssize_t>(copied);
}

}  // namespace velmor
