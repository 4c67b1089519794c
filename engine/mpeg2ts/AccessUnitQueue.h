// Cuts the PES payloads of one elementary stream into access units (a coded picture, a group of
// audio frames), each a ByteBuffer with "timeUs" (int64, µs; -1 when unknown) in its meta, and
// derives the stream's format from the first headers it meets.
//
// Threads: used by one thread at a time (the transport stream parser's caller). No lock.
#pragma once

#include <cstdint>
#include <list>

#include "engine/MetaData.h"
#include "engine/foundation/ByteBuffer.h"
#include "utils/Errors.h"
#include "utils/RefCounted.h"

namespace velmor {

class AccessUnitQueue {
public:
    enum Mode : int32_t {
        H264 = 0,
        AAC = 1,
        MPEG_AUDIO = 2,
        MPEG_VIDEO = 3,
        MPEG4_VIDEO = 4,
        PCM_AUDIO = 5,
    };
    // Each appended payload is one whole access unit (H264 only).
    enum Flags : uint32_t { kFlag_AlignedData = 1 };

    AccessUnitQueue(Mode mode, uint32_t flags = 0);
    AccessUnitQueue(const AccessUnitQueue&) = delete;
    AccessUnitQueue& operator=(const AccessUnitQueue&) = delete;

    // ERROR_MALFORMED when an empty queue gets data without a unit start in it.
    status_t appendData(const void* data, size_t size, int64_t timeUs);
    // The next complete unit, or null when more data is needed.
    Ref<ByteBuffer> dequeueAccessUnit();
    // Null until the first headers were parsed.
    Ref<MetaData> getFormat() const { return mFormat; }
    void clear(bool clearFormat);
    Mode mode() const { return mMode; }

private:
    struct RangeInfo {
        int64_t mTimestampUs;
        size_t mLength;
    };

    // Implementation helpers are the implementer's; the fields below are the queue's state.
    Ref<ByteBuffer> dequeueAccessUnitH264();
    Ref<ByteBuffer> dequeueAccessUnitAAC();
    Ref<ByteBuffer> dequeueAccessUnitMPEGAudio();
    Ref<ByteBuffer> dequeueAccessUnitMPEGVideo();
    Ref<ByteBuffer> dequeueAccessUnitMPEG4Video();
    Ref<ByteBuffer> dequeueAccessUnitPCMAudio();
    int64_t fetchTimestamp(size_t size);

    const Mode mMode;
    const uint32_t mFlags;
    Ref<ByteBuffer> mBuffer;
    std::list<RangeInfo> mRangeInfos;
    Ref<MetaData> mFormat;
    // MPEG audio frames after the first in a payload have no time stamp of their own; theirs
    // is the last stamped frame's time plus the samples since.
    int64_t mAudioBaseUs = -1;
    int64_t mAudioSamplesSinceBase = 0;
};

}  // namespace velmor
