// The audio/video clock of the playback loop and its render decision: for each decoded picture,
// how late or early it is against the media clock, and whether it is rendered, dropped or held.
//
// Thread: owned by PlaybackEngine and used only on its playback queue thread under the engine's
// main lock; it has no lock of its own and calls nothing outside itself.
#pragma once

#include <cstdint>

namespace velmor {

class AvSync {
public:
    // A picture later than this is late; one earlier than kEarlyUs before its time waits.
    static constexpr int64_t kLateUs = 40000;
    static constexpr int64_t kEarlyUs = 10000;
    // A dropped picture this late makes the demuxer skip ahead to the next key frame.
    static constexpr int64_t kSkipToKeyFrameUs = 3000000;

    enum class Action { Render, Drop, Wait };
    struct Decision {
        Action action = Action::Render;
        int64_t latenessUs = 0;  // positive: late
        int64_t nowUs = 0;       // the media time the clock stands at
    };

    // A new session: counters and the clock mapping start over.
    void reset();
    // The first picture after a start or seek sets the offset between the clock's real time and
    // media time so that this picture is due now.
    void anchor(int64_t clockRealUs, int64_t frameTimeUs);
    // The audio player's latest (real, media) pair replaces the offset.
    void remap(int64_t realUs, int64_t mediaUs) { mTimeSourceDeltaUs = realUs - mediaUs; }
    // The media time the clock stands at.
    int64_t mediaNowUs(int64_t clockRealUs) const { return clockRealUs - mTimeSourceDeltaUs; }

    // Decides for one picture of media time frameTimeUs (already shifted by any time-shift
    // offset). firstFrame: the first picture after a start or seek is always rendered. rateTenths:
    // the playback rate in tenths; of the late pictures every (rate x 3)-th is still rendered.
    Decision decide(int64_t frameTimeUs, int64_t clockRealUs, bool firstFrame, float rateTenths);

    void noteRendered() { ++mSinceLastDropped; }
    void noteDropped() { mSinceLastDropped = 0; }
    int32_t sinceLastDropped() const { return mSinceLastDropped; }
    uint64_t lateFrames() const { return mLateFrames; }

private:
    int64_t mTimeSourceDeltaUs = 0;
    int32_t mSinceLastDropped = 0;
    uint64_t mLateFrames = 0;
};

}  // namespace velmor
