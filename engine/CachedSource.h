// A DataSource that prefetches another one (in practice an HttpDataSource) on a looper thread of
// its own into a PageCache, and serves readers from memory.
//
// The cache keeps a window of the stream: prefetching pauses when the window reaches the
// high-water mark and resumes when the reader comes within the low-water mark of its end (pages
// more than 1 MiB behind the reader are dropped first, and recycled as the fetcher needs pages).
// A read of bytes that are cached is a copy under the state lock. A read whose first byte is not
// cached yet is handed to the looper, which wakes the reader as soon as a fetch brings that byte;
// the reader then copies what is cached (a read may return fewer bytes than asked) while the
// looper fetches on. A read that starts outside the window moves the window there.
//
// Threads:
//  - "CachedSource" looper: onFetch, onRead; the only thread that reads the wrapped source.
//  - readers (a demuxer's thread, the player): readAt, one at a time (mSerializer).
//  - any thread: setStopFlag, cachedSize, approxDataRemaining, resumeFetchingIfNecessary, the
//    bandwidth accessors, initCheck/getSize/flags (forwarded).
// Locks: mSerializer, then mLock. mLock guards the cache fields and is never held while the
// wrapped source is read. A stop (kStopFlagStop) answers a waiting reader with USER_STOP at once
// and makes the looper ignore its messages from then on.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/DataSource.h"
#include "engine/MediaDefs.h"
#include "engine/PageCache.h"
#include "engine/foundation/Handler.h"
#include "engine/foundation/Looper.h"
#include "utils/Mutex.h"

namespace velmor {

class HttpDataSource;

class CachedSource : public DataSource {
public:
    static constexpr size_t kPageSize = 256 * 1024;
    static constexpr int64_t kDefaultHighwaterBytes = 24 * 1024 * 1024;
    static constexpr int64_t kDefaultLowwaterBytes = 8 * 1024 * 1024;
    static constexpr int64_t kDefaultKeepAliveIntervalUs = 15000000;
    // Bytes kept cached behind the reader when the window moves on.
    static constexpr int64_t kGrayAreaBytes = 1024 * 1024;
    // A read outside the window starts the new window this far before it.
    static constexpr int64_t kSeekBackBytes = 128 * 1024;
    // Failed reads of the wrapped source in a row before the failure is final.
    static constexpr int32_t kMaxRetries = 5;
    // Most bytes one fetch asks of the wrapped source while fetches are slow, so that a slow link
    // shows progress in small steps. A fetch that came back within kQuickFetchUs lets the next
    // one take the rest of its page: a fast link then hands bytes over a page at a time.
    static constexpr size_t kFetchChunkBytes = 64 * 1024;
    static constexpr int64_t kQuickFetchUs = 20000;

    // cacheConfig: "LOW_KIB/HIGH_KIB/KEEPALIVE_S" or null. The looper starts with start().
    CachedSource(const Ref<DataSource>& source, const char* cacheConfig, bool disconnectAtHighwatermark);

    // Starts the looper thread (once); the fetch queued by the constructor then runs.
    status_t start();

    status_t initCheck() const override;
    ssize_t readAt(int64_t offset, void* data, size_t size) override;
    void setStopFlag(uint32_t flags) override;
    status_t getSize(int64_t* size) override;
    uint32_t flags() override;
    Text8 getUri() override;
    Text8 getMIMEType() const override;

    // Stream offset just past the last cached byte.
    int64_t cachedSize();
    // Cached bytes ahead of the reader; *finalStatus is the fetcher's final status (0 while
    // all is well or retries are left, ERROR_END_OF_STREAM once everything is cached).
    int64_t approxDataRemaining(status_t* finalStatus);
    // Restarts prefetching now, without waiting for the low-water mark.
    void resumeFetchingIfNecessary();

    status_t getEstimatedBandwidthKbps(int32_t* kbps);
    status_t setBandwidthStatCollectFreq(int32_t freqMs);

    // Takes "x-cache-config" (into cacheConfig) and "x-disconnect-at-highwatermark" out of headers.
    static void RemoveCacheSpecificHeaders(Headers* headers, Text8* cacheConfig, bool* disconnectAtHighwatermark);

    // The current marks (for diagnostics and tests).
    int64_t highwaterBytes() const { return mHighwaterThresholdBytes; }
    int64_t lowwaterBytes() const { return mLowwaterThresholdBytes; }
    int64_t keepAliveIntervalUs() const { return mKeepAliveIntervalUs; }
    // Pages the cache ever allocated.
    size_t allocatedPages();

    void onMessageReceived(const Ref<Message>& msg);

protected:
    ~CachedSource() override;

private:
    enum : uint32_t { kWhatFetchMore = FourCC('f', 'e', 't', 'c'), kWhatRead = FourCC('r', 'e', 'a', 'd') };
    // Not cached yet; the looper answers later.
    static constexpr status_t kNotYetCached = -11;
    // Answer to a waiting reader: its first byte is cached now, the reader copies it itself.
    static constexpr status_t kCachedNow = -12;

    // The read a reader waits for, owned by mLock. The looper writes into mData only under mLock
    // and only while mId is current, so a reader that gave up (stop) is never written to later.
    struct PendingRead {
        uint64_t mId = 0;  // 0: none
        int64_t mOffset = 0;
        void* mData = nullptr;
        size_t mSize = 0;
    };

    void applyCacheConfig(const char* config);
    void onFetch(int32_t generation);
    void onRead(uint64_t id);
    void fetchInternal();
    // Posts the next fetch; a new generation makes the queued one stale.
    void scheduleFetch_l(int64_t delayUs, bool newGeneration);
    void restartPrefetcherIfNecessary_l(bool ignoreLowwater, bool force);
    ssize_t readInternal_l(int64_t offset, void* data, size_t size);
    void seekInternal_l(int64_t offset);
    // Answers the waiting reader when its bytes (or a final status) are here.
    void servePendingRead_l();
    // Hands the waiting reader its answer; wakeReader() (called after mLock is released)
    // wakes it.
    void deliverResult_l(ssize_t result);
    void wakeReader();
    // True when a read at offset makes the looper drop the whole cache and fetch elsewhere.
    bool readLeavesCache_l(int64_t offset) const;
    bool stopped() const { return (mStopFlags.load() & kStopFlagStop) != 0; }

    // --- Set in the constructor, then read-only.
    const Ref<DataSource> mSource;
    HttpDataSource* const mHttp;  // mSource when it is an HTTP source (bandwidth, disconnect), else null
    Ref<Looper> mLooper;
    Ref<HandlerReflector<CachedSource>> mReflector;
    int64_t mHighwaterThresholdBytes = kDefaultHighwaterBytes;
    int64_t mLowwaterThresholdBytes = kDefaultLowwaterBytes;
    int64_t mKeepAliveIntervalUs = kDefaultKeepAliveIntervalUs;
    bool mDisconnectAtHighwatermark = false;

    // --- Readers: one at a time.
    Mutex mSerializer;
    // --- Guarded by mLock.
    Mutex mLock;
    Condition mCondition;  // a result for the waiting reader arrived, or a stop
    PageCache mCache{kPageSize};
    int64_t mCacheOffset = 0;
    status_t mFinalStatus = OK;
    int64_t mLastAccessPos = 0;
    bool mFetching = true;
    int64_t mLastFetchTimeUs = -1;
    int32_t mNumRetriesLeft = kMaxRetries;
    int32_t mFetchGeneration = 0;
    bool mFetchInFlight = false;  // the looper is reading from the source (without mLock)
    // --- The looper only.
    bool mLastFetchQuick = false;
    bool mStarted = false;
    PendingRead mPendingRead;
    uint64_t mNextReadId = 1;
    bool mHaveResult = false;
    ssize_t mResult = 0;
    // --- Any thread.
    std::atomic<uint32_t> mStopFlags{0};
};

}  // namespace velmor
