// The MediaExtractor of HTTP Live Streaming addresses: owns a live session and a transport
// stream parser, pulls the session's byte queue into the parser 188 bytes at a time, and offers
// the parser's video and audio packet sources as tracks. Position, duration, variant choice and
// stop go to the session.
//
// Events reach the owner through a callback: (100, 1, status) when the session fails, (200, 11,
// bandwidth in bit/s) when it starts playing another variant.
//
// Threads:
//  - the "hls_extractor" looper handles the session's notifications: on "ready" it feeds the
//    parser until the tracks are known (under mLock), then wakes waitUntilReady.
//  - the decoders' threads call HLSSource::read, which feeds the parser under mLock when a
//    packet source has nothing (feedMore may block on the session's byte queue; a stop ends
//    that queue, which releases it).
//  - the engine calls the rest from its threads; seekTo takes mLock and waits for the session.
//  - the callback runs on the looper thread or the session's thread with no lock of the
//    extractor held.
// mLock guards the parser, the tracks, the read offset and the final result; mStateLock guards
// the readiness state that waitUntilReady waits on (never held together with mLock).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/MediaExtractor.h"
#include "engine/foundation/Handler.h"
#include "engine/foundation/Looper.h"
#include "engine/hls/HLSSession.h"
#include "engine/mpeg2ts/TSParser.h"
#include "utils/Mutex.h"

namespace velmor {

class HLSExtractor : public MediaExtractor, private IMultiStreamObserver {
public:
    typedef std::function<void(int32_t type, int32_t ext1, int32_t ext2)> EventCallback;
    // Event types of the callback.
    enum : int32_t { kEventError = 100, kEventInfo = 200 };
    // MEDIA_INFO code of a variant change (ext2: its bandwidth).
    static constexpr int32_t kInfoBandwidth = 11;
    // Packets fed at most while looking for the tracks.
    static constexpr int32_t kMaxPacketsToFindTracks = 10001;

    explicit HLSExtractor(EventCallback callback);

    // Starts the session; returns the current final result (OK).
    status_t open(const char* url, bool timeshift, const char* bandwidthName, const HLSSession::Headers& headers);
    // Blocks until the tracks are known (OK), the session failed (its status) or the extractor
    // was stopped (USER_STOP).
    status_t waitUntilReady();

    size_t countTracks() override;
    Ref<MediaSource> getTrack(size_t index) override;
    Ref<MetaData> getTrackMetaData(size_t index, uint32_t flags = 0) override;
    Ref<MetaData> getMetaData() override;
    uint32_t flags() const override;
    void setStopFlag(uint32_t flags) override;
    status_t getCachedDuration(int64_t* durationUs, bool* eos) override;

    // Forwarded to the session.
    status_t getPosition(int64_t* positionUs);
    status_t getDuration(int64_t* durationUs);
    int64_t getTotalElapsedUs();
    void clearTotalElapsed();
    bool isLive();
    bool isSeekable();
    bool consumeRestartFlag();
    void setBandwidth(const char* name);
    void enableAdaptiveSwitching();
    int64_t targetDurationUs();
    std::vector<BandwidthItem> bandwidthItems();

    // Moves the session to timeUs (blocks until it has).
    void seekTo(int64_t timeUs);
    // Feeds the parser one packet; the final result. Under mLock.
    status_t feedMore_l();
    Mutex& lock() { return mLock; }

    void onMessageReceived(const Ref<Message>& msg);

protected:
    ~HLSExtractor() override;

private:
    enum ReadyState { kWaiting, kReady, kFailed };

    void onBandwidthList(std::vector<BandwidthItem> items) override;
    void onBandwidthChanged(BandwidthItem item) override;
    void onSessionReady();
    void addTrackIfNew_l(const Ref<PacketSource>& source, bool video);

    const EventCallback mCallback;
    Ref<Looper> mLooper;
    Ref<HandlerReflector<HLSExtractor>> mReflector;
    Ref<HLSSession> mSession;  // set by open(), then immutable

    Mutex mLock;
    Ref<TSParser> mParser;                       // (mLock)
    std::vector<Ref<PacketSource>> mSourceImpls; // (mLock) video first, then audio
    std::vector<bool> mSourceIsVideo;            // (mLock) parallel to mSourceImpls
    int64_t mReadOffset = 0;                     // (mLock)
    status_t mFinalResult = OK;                  // (mLock)

    Mutex mStateLock;
    Condition mStateCondition;
    ReadyState mReadyState = kWaiting;           // (mStateLock)
    status_t mReadyStatus = OK;                  // (mStateLock)
    bool mStopped = false;                       // (mStateLock)
};

// One track of an HLSExtractor: a packet source, fed on demand.
class HLSSource : public MediaSource {
public:
    HLSSource(const Ref<HLSExtractor>& extractor, const Ref<PacketSource>& impl, bool seekable);

    status_t start(MetaData* params = nullptr) override;
    status_t stop() override;
    Ref<MetaData> getFormat() override;
    status_t read(MediaBuffer** buffer, const ReadOptions* options = nullptr) override;

protected:
    ~HLSSource() override = default;

private:
    const Ref<HLSExtractor> mExtractor;
    const Ref<PacketSource> mImpl;
    const bool mSeekable;
};

}  // namespace velmor
