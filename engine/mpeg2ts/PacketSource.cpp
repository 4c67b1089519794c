#define LOG_TAG "VEL_PacketSource"

#include "engine/mpeg2ts/PacketSource.h"

#include <cstring>

#include "engine/MediaBuffer.h"
#include "engine/MediaDefs.h"
#include "utils/Log.h"

namespace velmor {

namespace {

const char* const kDiscontinuityKey = "discontinuity";
const char* const kExtraKey = "extra";
const char* const kTimeKey = "timeUs";
const char* const kDamagedKey = "damaged";

constexpr uint8_t kNalTypeMask = 0x1f;
constexpr uint8_t kNalSlice = 1;
constexpr uint8_t kNalIdrSlice = 5;

// The first coded slice of an access unit written with 4-byte start codes: its start code
// offset and its length including the start code. False when the unit has no slice.
bool findFirstSlice(const uint8_t* data, size_t size, size_t* offset, size_t* length) {
    size_t i = 0;
    while (i + 3 < size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1) {
            size_t nal = i + 4;
            if (nal < size) {
                uint8_t type = data[nal] & kNalTypeMask;
                if (type == kNalSlice || type == kNalIdrSlice) {
                    size_t end = nal + 1;
                    while (end + 3 < size &&
                           !(data[end] == 0 && data[end + 1] == 0 && data[end + 2] == 0 && data[end + 3] == 1)) {
                        ++end;
                    }
                    if (end + 3 >= size) end = size;
                    *offset = i;
                    *length = end - i;
                    return true;
                }
            }
            i = nal;
        } else {
            ++i;
        }
    }
    return false;
}

}  // namespace

PacketSource::PacketSource(const Ref<MetaData>& meta) { setFormat(meta); }

PacketSource::~PacketSource() {}

void PacketSource::setFormat(const Ref<MetaData>& meta) {
    Autolock l(mLock);
    mFormat = meta;
    const char* mime = nullptr;
    if (meta != nullptr && meta->findCString(kKeyMIMEType, &mime)) {
        mIsAudio = strncasecmp(mime, "audio/", 6) == 0;
        mIsAVC = strncasecmp(mime, "video/avc", 9) == 0;
    }
}

status_t PacketSource::start(MetaData* /*params*/) { return OK; }

status_t PacketSource::stop() { return OK; }

Ref<MetaData> PacketSource::getFormat() {
    Autolock l(mLock);
    return mFormat;
}

status_t PacketSource::read(MediaBuffer** out, const ReadOptions* /*options*/) {
    *out = nullptr;
    Autolock l(mLock);
    for (;;) {
        while (mBuffers.empty() && mEOSResult == OK) mCondition.wait(mLock);
        if (mBuffers.empty()) return mEOSResult;

        Ref<ByteBuffer> buffer = mBuffers.front();
        mBuffers.pop_front();

        int32_t discontinuity = 0;
        if (buffer->meta()->findInt32(kDiscontinuityKey, &discontinuity)) {
            int32_t formatBit = mIsAudio ? DISCONTINUITY_AUDIO_FORMAT : DISCONTINUITY_VIDEO_FORMAT;
            if (discontinuity & formatBit) {
                mFormat.clear();
                return INFO_FORMAT_CHANGED;
            }
            if (discontinuity & DISCONTINUITY_TIME) return INFO_DISCONTINUITY;
            continue;  // a marker that does not concern this source
        }

        MediaBuffer* media = new MediaBuffer(buffer);
        size_t offset = 0, length = 0;
        if (mIsAVC && findFirstSlice(buffer->data(), buffer->size(), &offset, &length)) {
            media->set_range(offset, length);
        }
        int64_t timeUs = -1;
        buffer->meta()->findInt64(kTimeKey, &timeUs);
        media->meta_data()->setInt64(kKeyTime, timeUs);
        *out = media;
        return OK;
    }
}

void PacketSource::queueAccessUnit(const Ref<ByteBuffer>& buffer) {
    if (buffer == nullptr) return;
    int32_t damaged = 0;
    if (buffer->meta()->findInt32(kDamagedKey, &damaged) && damaged != 0) return;
    int64_t timeUs = 0;
    Autolock l(mLock);
    if (buffer->meta()->findInt64(kTimeKey, &timeUs)) mLastQueuedTimeUs = timeUs;
    mBuffers.push_back(buffer);
    mCondition.signal();
}

void PacketSource::queueDiscontinuity(int32_t type, const Ref<Message>& extra) {
    Ref<ByteBuffer> marker = new ByteBuffer(0);
    marker->meta()->setInt32(kDiscontinuityKey, type);
    marker->meta()->setMessage(kExtraKey, extra);

    Autolock l(mLock);
    // Units queued before the marker belong to the old stream; markers stay so that every
    // reader learns of every change.
    for (auto it = mBuffers.begin(); it != mBuffers.end();) {
        int32_t t;
        if ((*it)->meta()->findInt32(kDiscontinuityKey, &t)) {
            ++it;
        } else {
            it = mBuffers.erase(it);
        }
    }
    mEOSResult = OK;
    mLastQueuedTimeUs = 0;
    mBuffers.push_back(marker);
    mCondition.signal();
}

void PacketSource::signalEOS(status_t result) {
    Autolock l(mLock);
    mEOSResult = result;
    mCondition.signal();
}

bool PacketSource::hasBufferAvailable(status_t* finalResult) {
    Autolock l(mLock);
    if (!mBuffers.empty()) return true;
    *finalResult = mEOSResult;
    return false;
}

int64_t PacketSource::getBufferedDurationUs(status_t* finalResult) {
    Autolock l(mLock);
    *finalResult = mEOSResult;
    if (mBuffers.empty()) return 0;
    int64_t startUs = -1, lastUs = -1;
    for (const Ref<ByteBuffer>& buffer : mBuffers) {
        int32_t type;
        if (buffer->meta()->findInt32(kDiscontinuityKey, &type)) {
            startUs = -1;
            lastUs = -1;
            continue;
        }
        int64_t timeUs;
        if (buffer->meta()->findInt64(kTimeKey, &timeUs)) {
            if (startUs < 0) startUs = timeUs;
            lastUs = timeUs;
        }
    }
    return startUs < 0 ? 0 : lastUs - startUs;
}

status_t PacketSource::nextBufferTime(int64_t* timeUs) {
    *timeUs = 0;
    Autolock l(mLock);
    if (mBuffers.empty()) return mEOSResult != OK ? mEOSResult : kWouldBlock;
    mBuffers.front()->meta()->findInt64(kTimeKey, timeUs);
    return OK;
}

}  // namespace velmor
