// Schedules the cues of one subtitle source against the playback position and hands each to the
// player front as a notification when it is due.
//
// The player reads a cue, posts it to itself delayed until 100 ms before its start (re-checking at
// least every 5 s, since the position may jump or stall), delivers it, reads the next one, and
// posts a clearing notification for the cue's end time. Every start, seek and source change
// bumps a generation number; messages posted before it carry the old number and are dropped.
//
// Threads:
//  - the "SubtitleDriver" looper thread runs onMessageReceived and everything it calls; the
//    fields below marked (looper) are touched only there, so they need no lock.
//  - any thread (in practice the driver's callers under the driver's mutex): start, pause,
//    resume, seekToAsync, setDataSource (each only posts a message), setTimeOffset and
//    setPlaybackRate (atomics).
// The player never blocks on the engine: it asks the front for the position, which takes only
// the engine's position lock, and delivers through the front's sendEvent, which takes only the
// notification lock.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>

#include "engine/MediaDefs.h"
#include "engine/MediaSource.h"
#include "engine/foundation/Handler.h"
#include "engine/subtitles/SubtitleSource.h"
#include "utils/Payload.h"

namespace velmor {

class PlayerFront;

class SubtitlePlayer : public Handler {
public:
    // One cue as a source wrote it; travels inside a FourCC('s', 'e', 'n', 'd') message.
    class PayloadEvent : public RefCounted {
    public:
        Payload payload;

    protected:
        ~PayloadEvent() override = default;
    };

    // Cues are sent this long before their start time.
    static constexpr int64_t kSendAheadUs = 100000;
    // A cue further ahead is re-checked after at most this long.
    static constexpr int64_t kMaxRecheckUs = 5000000;
    // A source that would block is read again after this long.
    static constexpr int64_t kRetryReadUs = 100000;
    // The pending-seek value meaning "none".
    static constexpr int64_t kNoSeek = INT_MIN;

    SubtitlePlayer(const WeakRef<PlayerFront>& listener, bool secondary);

    void start();
    void pause();
    void resume();
    void seekToAsync(int64_t timeUs);
    // A null source stops showing cues.
    void setDataSource(const Ref<SubtitleSource>& source);
    // Added to the front's position before cues are compared with it.
    void setTimeOffset(int64_t offsetUs) { mTimeOffsetUs.store(offsetUs); }
    // Playback speed (1.0 normal): delays are real time, cue times media time.
    void setPlaybackRate(double rate);

    // The delay after which a cue due at fireTimeUs should be posted: 0 when it is due within
    // kSendAheadUs of the current position, else the rest, capped at kMaxRecheckUs.
    int64_t delayUsFromCurrentTime(int64_t fireTimeUs);

protected:
    ~SubtitlePlayer() override;
    void onMessageReceived(const Ref<Message>& msg) override;

private:
    enum What : uint32_t {
        kWhatStart = FourCC('s', 't', 'r', 't'),
        kWhatPause = FourCC('p', 'a', 'u', 's'),
        kWhatResume = FourCC('r', 'e', 's', 'm'),
        kWhatSeek = FourCC('s', 'e', 'e', 'k'),
        kWhatSetSource = FourCC('s', 's', 'r', 'c'),
        kWhatSendSubtitle = FourCC('s', 'e', 'n', 'd'),
        kWhatRetryRead = FourCC('r', 'e', 'a', 'd'),
    };

    void onStart();
    void onSetSource(const Ref<Message>& msg);
    void onSend(const Ref<Message>& msg);
    void onRetryRead(const Ref<Message>& msg);
    void onSeek(const Ref<Message>& msg);
    void onResume();

    // Makes every 'send' and 'read' posted so far stale.
    void newGeneration();
    bool currentPositionUs(int64_t* positionUs);
    void readNext(const MediaSource::ReadOptions* options);
    void readFrom(int64_t seekTimeUs);
    void postSend(const Ref<PayloadEvent>& cue, int64_t fireTimeUs, int32_t serial);
    void deliver(const Ref<PayloadEvent>& cue);
    void clearScreen() { deliver(nullptr); }
    void notifyError(status_t err);
    void post(uint32_t what, const char* name = nullptr, int64_t value = 0);

    const WeakRef<PlayerFront> mListener;
    const bool mSecondary;

    Ref<SubtitleSource> mSource;                 // (looper)
    int64_t mPendingSeekTimeUs = kNoSeek;         // (looper)
    bool mPaused = false;                         // (looper)
    int32_t mSendGeneration = 0;                  // (looper)
    // Clears name the cue they end. A clear whose cue is no longer on screen (the next cue came
    // first), or whose cue the already-read next one replaces at or before the clear's time (two
    // cues back to back), is dropped, so the text does not flicker off between cues.
    int32_t mCueSerial = 0;                       // (looper) serial of the last cue read
    int32_t mShownCueSerial = -1;                 // (looper) the cue on screen, -1: none
    int64_t mPendingCueStartUs = -1;              // (looper) start of the cue read, not yet shown

    std::atomic<int64_t> mTimeOffsetUs{0};
    std::atomic<double> mPlaybackRate{1.0};
};

}  // namespace velmor
