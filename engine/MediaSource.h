// The pull interface of every stage of the pipeline: demuxer tracks and decoders.
#pragma once

#include <cstdint>

#include "engine/MediaBuffer.h"
#include "engine/MetaData.h"
#include "utils/Containers.h"
#include "utils/Errors.h"
#include "utils/RefCounted.h"

namespace velmor {

class MediaSource : public virtual RefCounted {
public:
    MediaSource();

    class ReadOptions {
    public:
        enum SeekMode : int32_t {
            SeekPreviousSync = 0,
            SeekNextSync = 1,
            SeekClosestSync = 2,
            SeekClosest = 3,
        };

        ReadOptions();

        // No options, zero times.
        void reset();
        void setSeekTo(int64_t timeUs, SeekMode mode = SeekClosestSync);
        void clearSeekTo();
        // True when a seek is requested.
        bool getSeekTo(int64_t* timeUs, SeekMode* mode) const;
        void setLateBy(int64_t lateness);
        int64_t getLateBy() const;
        // With a seek: the reader discards every picture earlier than this time anyway (an exact
        // seek), so a decoder may drop them itself without producing them. -1 (default): none.
        void setSkipUntil(int64_t timeUs);
        int64_t getSkipUntil() const;
        // Without a seek: how long a reader with nothing ready may wait for data before it answers
        // WOULD_BLOCK (the caller asks again later). A source that cannot bound its wait ignores
        // it. -1 (default): wait as long as it takes.
        void setWaitLimit(int64_t us);
        int64_t getWaitLimit() const;

    private:
        enum { kSeekTo_Option = 1 };
        uint32_t mOptions;
        int64_t mSeekTimeUs;
        SeekMode mSeekMode;
        int64_t mLatenessUs;
        int64_t mSkipUntilUs;
        int64_t mWaitLimitUs;
    };

    virtual status_t start(MetaData* params = nullptr) = 0;
    virtual status_t stop() = 0;
    virtual Ref<MetaData> getFormat() = 0;
    // On success *buffer holds one reference that the caller releases.
    virtual status_t read(MediaBuffer** buffer, const ReadOptions* options = nullptr) = 0;
    virtual status_t pause();
    virtual status_t setBuffers(const Vector<MediaBuffer*>& buffers);
    virtual void hook6(int32_t) {}
    virtual void setPlaybackRate(float rate) {}
    virtual void setAudioGainStep(int32_t step) {}
    virtual int32_t hook9() { return 0; }
    virtual void hook10() {}
    virtual void updateFormat(const Ref<MetaData>& format) {}

protected:
    ~MediaSource() override;

private:
    MediaSource(const MediaSource&) = delete;
    MediaSource& operator=(const MediaSource&) = delete;
};

}  // namespace velmor
