// The interface of a container demuxer: one MediaSource per track.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "utils/Errors.h"
#include "utils/RefCounted.h"

namespace velmor {

class DataSource;

class MediaExtractor : public RefCounted {
public:
    enum Flags : uint32_t {
        CAN_SEEK_BACKWARD = 1,
        CAN_SEEK_FORWARD = 2,
        CAN_PAUSE = 4,
        CAN_SEEK = 8,
    };
    // setStopFlag bit: stop at once.
    enum : uint32_t { kStopFlagSeeking = 1, kStopFlagStop = 2 };

    // Sniffs the source unless a MIME type is given; null when no extractor fits.
    static Ref<MediaExtractor> Create(const Ref<DataSource>& source, const char* mime = nullptr);

    virtual size_t countTracks() = 0;
    virtual Ref<MediaSource> getTrack(size_t index) = 0;
    virtual Ref<MetaData> getTrackMetaData(size_t index, uint32_t flags = 0) = 0;
    virtual Ref<MetaData> getMetaData();
    virtual uint32_t flags() const;
    virtual void setStopFlag(uint32_t flags) {}
    virtual int32_t hook11(int32_t, int32_t) { return 0; }
    virtual status_t getCachedDuration(int64_t* durationUs, bool* eos);
    virtual status_t setOnlyKeyFrame();
    virtual void hook14(int32_t) {}
    virtual void hook15() {}

protected:
    MediaExtractor() {}
    ~MediaExtractor() override {}

private:
    MediaExtractor(const MediaExtractor&) = delete;
    MediaExtractor& operator=(const MediaExtractor&) = delete;
};

}  // namespace velmor
