// Drives one HTTP Live Streaming presentation: loads the master playlist, lists its variants,
// picks one (the user's choice, or by measured throughput), refreshes live playlists on their
// schedule, chooses the next segment, downloads and decrypts it, and queues it (after a
// discontinuity marker when a seek, the playlist or a variant change calls for one) into its
// HLSDataSource, from which the transport stream parser reads.
//
// Owner notifications are copies of the message given at construction with "what" 0 (ready: more
// than one buffer queued, or the stream ended at once) or 1 (error, with "err").
//
// Threads:
//  - the "HLSSession" looper runs onConnect, onDownloadNext and the rest of the message handlers,
//    and everything marked (looper) below: only that thread touches those fields.
//  - any thread (the extractor, the player): connectAsync, disconnect, seekTo (blocks until the
//    looper handled the seek), setBandwidth, setStopFlag, enableAdaptiveSwitching, setObserver
//    and the getters.
//  - mLock guards the fields marked (mLock); the looper writes them under it and reads them
//    without it. mLock is never held across a download; mCondition carries the seek handshake
//    and wakes retry sleeps on a disconnect or stop.
//  - the observer is called on the looper thread with no lock of the session held.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/HttpDataSource.h"
#include "engine/MediaDefs.h"
#include "engine/foundation/ByteBuffer.h"
#include "engine/foundation/ByteString.h"
#include "engine/foundation/Handler.h"
#include "engine/foundation/Looper.h"
#include "engine/hls/HLSDataSource.h"
#include "engine/hls/PlaylistParser.h"
#include "utils/Mutex.h"

namespace velmor {

// One variant stream of a master playlist.
struct BandwidthItem {
    ByteString mURI;
    uint32_t mBandwidth = 0;
    // The resolution ("720P") when the master gives one, else "%dKbps" of the bandwidth / 1024.
    ByteString mName;
};

// Learns the variant list and every change of variant (the player implements it). Called on the
// session's looper thread; it must not call back into the session's blocking operations.
class IMultiStreamObserver {
public:
    virtual ~IMultiStreamObserver() = default;
    virtual void onBandwidthList(std::vector<BandwidthItem> items) = 0;
    virtual void onBandwidthChanged(BandwidthItem item) = 0;
};

class HLSSession : public RefCounted {
public:
    typedef std::map<std::string, std::string> Headers;

    // Notification "what" values.
    enum : int32_t { kWhatReady = 0, kWhatError = 1 };
    // Status for a master playlist that cannot be had (also a 403 on a playlist).
    static constexpr status_t kErrorPlaylistUnavailable = -3012;

    // Flags of a discontinuity marker's second byte.
    enum : uint8_t { kMarkerFormatChange = 1, kMarkerHasTime = 2 };

    HLSSession(bool timeshift, const Ref<Message>& notify);

    void connectAsync(const char* url, const char* bandwidthName = nullptr, const Headers* headers = nullptr);
    void disconnect();
    // Blocks until the looper has moved the session to the segment holding timeUs.
    void seekTo(int64_t timeUs);
    // An empty name: automatic choice.
    void setBandwidth(const char* name);
    void setStopFlag(uint32_t flags);
    void enableAdaptiveSwitching() { mAdaptiveSwitching.store(true); }
    void setObserver(IMultiStreamObserver* observer) { mObserver.store(observer); }

    Ref<HLSDataSource> getDataSource() const { return mDataSource; }
    status_t getDuration(int64_t* durationUs);
    bool isSeekable();
    bool isLive();
    int64_t getTotalElapsedUs();
    void clearTotalElapsed();
    bool consumeRestartFlag();
    // Timeshift sessions only (else ERROR_UNSUPPORTED): the position of the next segment inside
    // the live window.
    status_t getPosition(int64_t* positionUs);
    // The current media playlist's target duration in µs; 0 before one is loaded.
    int64_t getTargetDurationUs();
    // The variants, sorted by bandwidth (a copy).
    std::vector<BandwidthItem> bandwidthItems();

    // Downloads one file (an http(s):// or file:// address), a byte range of it when
    // rangeLength >= 0. Looper thread (and tests).
    status_t fetchFile(const char* url, Ref<ByteBuffer>* out, int64_t rangeOffset = 0, int64_t rangeLength = -1);
    // Decrypts `buffer` in place when the current playlist's key for item `playlistIndex` says so.
    status_t decryptBuffer(size_t playlistIndex, const Ref<ByteBuffer>& buffer);

    void onMessageReceived(const Ref<Message>& msg);

protected:
    ~HLSSession() override;

private:
    enum What : uint32_t {
        kWhatConnect = FourCC('c', 'o', 'n', 'n'),
        kWhatDisconnect = FourCC('d', 'i', 's', 'c'),
        kWhatSeek = FourCC('s', 'e', 'e', 'k'),
        kWhatMonitorQueue = FourCC('m', 'o', 'n', 'i'),
    };
    enum RefreshState : int32_t {
        INITIAL_MINIMUM_RELOAD_DELAY = 0,
        FIRST_UNCHANGED_RELOAD_ATTEMPT = 1,
        SECOND_UNCHANGED_RELOAD_ATTEMPT = 2,
        THIRD_UNCHANGED_RELOAD_ATTEMPT = 3,
    };
    enum class DownloadStep { kDone, kAgain };

    void onConnect(const Ref<Message>& msg);
    void onDisconnect();
    void onSeek(const Ref<Message>& msg);
    void onMonitorQueue();
    void onDownloadNext();
    // Loads the playlist for the chosen variant if due; false when the session ended.
    bool reloadPlaylistIfNeeded(int32_t bandwidthIndex, int32_t* retriesLeft, bool* again);
    void applyPendingSeek(int32_t firstSeq);

    Ref<PlaylistParser> fetchPlaylist(const char* url, bool* unchanged, status_t* status);
    bool timeToRefreshPlaylist(int64_t nowUs) const;
    int32_t getBandwidthIndex();
    void postMonitorQueue(int64_t delayUs = 0);
    void signalEOS(status_t err);
    int64_t getSegmentStartTimeUs(int32_t seqNumber) const;
    int64_t liveEdgeRetryDelayUs(const Ref<PlaylistParser>& playlist) const;
    void queueDiscontinuity(bool formatChange, bool withTime, int64_t timeUs);
    status_t fetchKey(const ByteString& uri, Ref<ByteBuffer>* key);
    // Waits up to delayUs; false when the session is being disconnected or stopped.
    bool sleepUs(int64_t delayUs);
    bool stopping();

    const bool mTimeshift;
    const Ref<Message> mNotify;
    Ref<Looper> mLooper;
    Ref<HandlerReflector<HLSSession>> mReflector;
    const Ref<HLSDataSource> mDataSource;
    const Ref<HttpDataSource> mHTTPDataSource;
    std::atomic<IMultiStreamObserver*> mObserver{nullptr};
    std::atomic<bool> mAdaptiveSwitching{false};
    std::atomic<uint32_t> mStopFlags{0};

    // (looper)
    bool mFirstEvent = true;
    ByteString mMasterURL;
    Headers mExtraHeaders;
    int32_t mInitialBandwidthIndex = 0;
    int32_t mPrevBandwidthIndex = -1;
    int64_t mLastPlaylistFetchTimeUs = -1;
    // Written by the looper only; read by getPosition from other threads.
    std::atomic<int32_t> mSeqNumber{-1};
    int32_t mNumRetries = 0;
    bool mStartOfPlayback = true;
    // A seek moved the session: the next segment gets a seek marker.
    bool mSeekDiscontinuity = false;
    int32_t mMonitorQueueGeneration = 0;
    RefreshState mRefreshState = INITIAL_MINIMUM_RELOAD_DELAY;
    uint8_t mPlaylistHash[16] = {};
    std::map<std::string, Ref<ByteBuffer>> mAESKeyForURI;

    Mutex mLock;
    Condition mCondition;
    std::vector<BandwidthItem> mBandwidthItems;  // (mLock) written by the looper
    int32_t mSelectedBandwidthIndex = -1;        // (mLock) -1: automatic
    Ref<PlaylistParser> mPlaylist;               // (mLock) written by the looper
    Ref<PlaylistParser> mTotalPlaylist;          // (mLock)
    int64_t mSeekTimeUs = -1;                    // (mLock)
    bool mSeekPending = false;                   // (mLock)
    bool mSeekDone = false;                      // (mLock)
    int64_t mDurationUs = -1;                    // (mLock)
    bool mDurationFixed = false;                 // (mLock)
    bool mRestartFromWindowStart = false;        // (mLock)
    bool mDisconnectPending = false;             // (mLock)
    Ref<HttpDataSource> mKeySource;              // (mLock) a key download in progress
};

}  // namespace velmor
