#define LOG_TAG "VEL_CachedSource"

#include "engine/CachedSource.h"

#include <cstdio>

#include "engine/HttpDataSource.h"
#include "utils/Log.h"

namespace velmor {

namespace {

constexpr int64_t kIdleFetchDelayUs = 100000;
constexpr int64_t kRetryFetchDelayUs = 3000000;
constexpr int64_t kKiB = 1024;
constexpr int64_t kUsPerSecond = 1000000;
// The HTTP source's code for status 400: final at once.
constexpr status_t kHttpBadRequest = ERROR_CURLE_BASE - 400;

}  // namespace

CachedSource::CachedSource(const Ref<DataSource>& source, const char* cacheConfig, bool disconnectAtHighwatermark)
    : mSource(source),
      mHttp(dynamic_cast<HttpDataSource*>(source.get())),
      mDisconnectAtHighwatermark(disconnectAtHighwatermark) {
    if (cacheConfig != nullptr) applyCacheConfig(cacheConfig);
    if (disconnectAtHighwatermark) mKeepAliveIntervalUs = 0;
    mLooper = new Looper;
    mLooper->setName("CachedSource");
    mReflector = new HandlerReflector<CachedSource>(this);
    mLooper->registerHandler(mReflector);
    Mutex::Autolock _l(mLock);
    scheduleFetch_l(0, false);
}

CachedSource::~CachedSource() {
    // A fetch may be waiting on the network: let it give up before the looper is joined.
    mStopFlags.fetch_or(kStopFlagStop);
    mSource->setStopFlag(kStopFlagStop);
    mLooper->stop();
    mLooper->unregisterHandler(mReflector->id());
}

void CachedSource::applyCacheConfig(const char* config) {
    long lowKiB = 0, highKiB = 0;
    int keepAliveS = 0;
    if (sscanf(config, "%ld/%ld/%d", &lowKiB, &highKiB, &keepAliveS) != 3) {
        VLOGE("Failed to parse cache parameters from '%s'.", config);
        return;
    }
    mLowwaterThresholdBytes = lowKiB < 0 ? kDefaultLowwaterBytes : lowKiB * kKiB;
    mHighwaterThresholdBytes = highKiB < 0 ? kDefaultHighwaterBytes : highKiB * kKiB;
    if (mHighwaterThresholdBytes <= mLowwaterThresholdBytes) {
        VLOGE("Illegal low/highwater marks specified, reverting to defaults.");
        mLowwaterThresholdBytes = kDefaultLowwaterBytes;
        mHighwaterThresholdBytes = kDefaultHighwaterBytes;
    }
    mKeepAliveIntervalUs = keepAliveS < 0 ? kDefaultKeepAliveIntervalUs : keepAliveS * kUsPerSecond;
}

status_t CachedSource::start() {
    {
        Mutex::Autolock _l(mLock);
        if (mStarted) return OK;
        mStarted = true;
    }
    return mLooper->start();
}

status_t CachedSource::initCheck() const { return mSource->initCheck(); }
status_t CachedSource::getSize(int64_t* size) { return mSource->getSize(size); }
uint32_t CachedSource::flags() { return mSource->flags(); }
Text8 CachedSource::getUri() { return mSource->getUri(); }
Text8 CachedSource::getMIMEType() const { return mSource->getMIMEType(); }

void CachedSource::setStopFlag(uint32_t flags) {
    mStopFlags.store(flags);
    mSource->setStopFlag(flags);
    if ((flags & kStopFlagStop) == 0) return;
    Mutex::Autolock _l(mLock);
    mFinalStatus = ERROR_END_OF_STREAM;
    mCondition.broadcast();
}

int64_t CachedSource::cachedSize() {
    Mutex::Autolock _l(mLock);
    return mCacheOffset + static_cast<int64_t>(mCache.totalSize());
}

int64_t CachedSource::approxDataRemaining(status_t* finalStatus) {
    Mutex::Autolock _l(mLock);
    *finalStatus = mNumRetriesLeft > 0 ? OK : mFinalStatus;
    int64_t end = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
    return end > mLastAccessPos ? end - mLastAccessPos : 0;
}

void CachedSource::resumeFetchingIfNecessary() {
    Mutex::Autolock _l(mLock);
    restartPrefetcherIfNecessary_l(true, false);
}

size_t CachedSource::allocatedPages() {
    Mutex::Autolock _l(mLock);
    return mCache.allocatedPages();
}

status_t CachedSource::getEstimatedBandwidthKbps(int32_t* kbps) {
    if (mHttp == nullptr) return ERROR_UNSUPPORTED;
    return mHttp->getEstimatedBandwidthKbps(kbps);
}

status_t CachedSource::setBandwidthStatCollectFreq(int32_t freqMs) {
    if (mHttp == nullptr) return ERROR_UNSUPPORTED;
    return mHttp->setBandwidthStatCollectFreq(freqMs);
}

void CachedSource::RemoveCacheSpecificHeaders(Headers* headers, Text8* cacheConfig, bool* disconnectAtHighwatermark) {
    cacheConfig->clear();
    *disconnectAtHighwatermark = false;
    if (headers == nullptr) return;
    ssize_t index = headers->indexOf(KeyValuePair<Text8, Text8>(Text8("x-cache-config"), Text8()));
    if (index >= 0) {
        *cacheConfig = headers->itemAt(static_cast<size_t>(index)).value;
        headers->removeItemsAt(static_cast<size_t>(index));
    }
    index = headers->indexOf(KeyValuePair<Text8, Text8>(Text8("x-disconnect-at-highwatermark"), Text8()));
    if (index >= 0) {
        *disconnectAtHighwatermark = true;
        headers->removeItemsAt(static_cast<size_t>(index));
    }
}

// --- Readers ---------------------------------------------------------------------------------

ssize_t CachedSource::readAt(int64_t offset, void* data, size_t size) {
    Mutex::Autolock serializer(mSerializer);
    Mutex::Autolock _l(mLock);
    if (size == 0) return 0;
    // A read the window can never hold is served in parts.
    size = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), mHighwaterThresholdBytes));

    for (;;) {
        const int64_t cacheEnd = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
        if (offset >= mCacheOffset && offset < cacheEnd) {
            size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), cacheEnd - offset));
            mCache.copy(static_cast<size_t>(offset - mCacheOffset), data, n);
            mLastAccessPos = offset + static_cast<int64_t>(n);
            return static_cast<ssize_t>(n);
        }
        if (stopped()) return USER_STOP;
        // The looper serves reads between fetches: a slow transfer into bytes this read is about
        // to throw away would hold it up for as long as the transfer takes.
        if (mFetchInFlight && mHttp != nullptr && readLeavesCache_l(offset)) mHttp->cutShortRead();

        uint64_t id = mNextReadId++;
        mPendingRead = PendingRead{id, offset, data, size};
        mHaveResult = false;
        Ref<Message> msg = new Message(kWhatRead, mReflector->id());
        msg->setInt64("id", static_cast<int64_t>(id));
        msg->post();
        while (!mHaveResult && !stopped()) mCondition.wait(mLock);
        // From here on the looper never touches the reader's buffer.
        mPendingRead = PendingRead{};
        if (!mHaveResult) return USER_STOP;
        mHaveResult = false;
        // The bytes arrived: copy them here, so the looper goes on fetching meanwhile.
        if (mResult != kCachedNow) return mResult;
    }
}

bool CachedSource::readLeavesCache_l(int64_t offset) const {
    mLock.assertHeld();
    const int64_t cacheEnd = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
    if (offset >= mCacheOffset && offset < cacheEnd) return false;
    const int64_t seekOffset = offset > kSeekBackBytes ? offset - kSeekBackBytes : 0;
    return seekOffset < mCacheOffset || seekOffset > cacheEnd;
}

// --- The looper ------------------------------------------------------------------------------

void CachedSource::onMessageReceived(const Ref<Message>& msg) {
    if (stopped()) return;
    switch (static_cast<uint32_t>(msg->what())) {
        case kWhatFetchMore: {
            int32_t generation = 0;
            msg->findInt32("generation", &generation);
            onFetch(generation);
            break;
        }
        case kWhatRead: {
            int64_t id = 0;
            msg->findInt64("id", &id);
            onRead(static_cast<uint64_t>(id));
            break;
        }
        default:
            break;
    }
}

void CachedSource::scheduleFetch_l(int64_t delayUs, bool newGeneration) {
    mLock.assertHeld();
    if (newGeneration) ++mFetchGeneration;
    Ref<Message> msg = new Message(kWhatFetchMore, mReflector->id());
    msg->setInt32("generation", mFetchGeneration);
    msg->post(delayUs);
}

void CachedSource::onFetch(int32_t generation) {
    bool fetchNow = false;
    bool keepAlive = false;
    {
        Mutex::Autolock _l(mLock);
        if (generation != mFetchGeneration) return;
        if (mFinalStatus != OK && mNumRetriesLeft <= 0) mFetching = false;
        keepAlive = !mFetching && mFinalStatus == OK && mKeepAliveIntervalUs > 0 &&
                    GetNowUs() >= mLastFetchTimeUs + mKeepAliveIntervalUs;
        if (!mFetching && !keepAlive) {
            restartPrefetcherIfNecessary_l(false, false);
        } else {
            fetchNow = true;
        }
    }
    if (fetchNow) {
        if (keepAlive) VLOGI("Keep alive");
        fetchInternal();
    }

    {
        Mutex::Autolock _l(mLock);
        if (fetchNow) {
            mLastFetchTimeUs = GetNowUs();
            if (mFetching && static_cast<int64_t>(mCache.totalSize()) >= mHighwaterThresholdBytes) {
                VLOGI("Cache full, done prefetching for now");
                mFetching = false;
                if (mDisconnectAtHighwatermark) {
                    if (mHttp != nullptr) mHttp->disconnect();
                    mFinalStatus = kNotYetCached;
                }
            }
        }
        servePendingRead_l();
        int64_t delayUs = kIdleFetchDelayUs;
        // A failed read is tried again at once (the source reconnects by itself); only a
        // status set with retries left (the disconnect at the high-water mark) waits first.
        if (mFetching) delayUs = mFinalStatus != OK && mNumRetriesLeft > 0 ? kRetryFetchDelayUs : 0;
        if (!stopped()) scheduleFetch_l(delayUs, false);
    }
    wakeReader();
}

void CachedSource::fetchInternal() {
    PageCache::Page* page = nullptr;
    size_t pageUsed = 0;
    bool newPage = false;
    int64_t readOffset = 0;
    {
        Mutex::Autolock _l(mLock);
        if (mFinalStatus != OK) return;
        page = mCache.lastPageWithRoom();
        if (page == nullptr) {
            // Pages the reader left behind (beyond the gray area) are recycled before a new one
            // is taken, so a reader that keeps up cycles through a few pages that stay in the
            // processor's cache instead of touching the whole window.
            const int64_t behind = mLastAccessPos - mCacheOffset - kGrayAreaBytes;
            if (behind > 0) mCacheOffset += static_cast<int64_t>(mCache.releaseFromStart(static_cast<size_t>(behind)));
            page = mCache.acquirePage();
            newPage = true;
        }
        pageUsed = page->mSize;
        readOffset = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
        mFetchInFlight = true;
    }
    // Only this thread writes into the free part of a page, and nobody else reads it.
    const size_t room = mCache.pageSize() - pageUsed;
    const size_t want = mLastFetchQuick ? room : std::min(kFetchChunkBytes, room);
    int64_t startUs = GetNowUs();
    ssize_t n = mSource->readAt(readOffset, page->mData.get() + pageUsed, want);
    int64_t delayUs = GetNowUs() - startUs;
    mLastFetchQuick = n > 0 && delayUs < kQuickFetchUs;
    if (n > 0 && mHttp != nullptr) mHttp->addBandwidthMeasurement(static_cast<size_t>(n), delayUs);

    Mutex::Autolock _l(mLock);
    mFetchInFlight = false;
    if (n == kHttpBadRequest) {
        VLOGE("source returned error %zd", n);
        mFinalStatus = kHttpBadRequest;
        mNumRetriesLeft = 0;
    } else if (n < 0) {
        --mNumRetriesLeft;
        VLOGE("source returned error %zd, %d retries left", n, std::max(mNumRetriesLeft, 0));
        if (mNumRetriesLeft < 1 || n == ERROR_UNSUPPORTED || n == DEAD_OBJECT) {
            mFinalStatus = static_cast<status_t>(n);
            mNumRetriesLeft = 0;
        }
    } else if (n == 0) {
        VLOGI("ERROR_END_OF_STREAM");
        mNumRetriesLeft = 0;
        mFinalStatus = ERROR_END_OF_STREAM;
    } else {
        mNumRetriesLeft = kMaxRetries;
        mFinalStatus = OK;
        if (newPage) {
            page->mSize = static_cast<size_t>(n);
            mCache.appendPage(page);
            return;
        }
        mCache.grewLastPage(static_cast<size_t>(n));
        return;
    }
    if (newPage) mCache.releasePage(page);
}

void CachedSource::restartPrefetcherIfNecessary_l(bool ignoreLowwater, bool force) {
    mLock.assertHeld();
    if (mFetching || (mFinalStatus != OK && mNumRetriesLeft <= 0)) return;
    int64_t cacheEnd = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
    if (!ignoreLowwater && !force && cacheEnd - mLastAccessPos >= mLowwaterThresholdBytes) return;
    int64_t maxBytes = mLastAccessPos - mCacheOffset;
    if (!force) {
        if (maxBytes < kGrayAreaBytes) return;
        maxBytes -= kGrayAreaBytes;
    }
    size_t released = maxBytes > 0 ? mCache.releaseFromStart(static_cast<size_t>(maxBytes)) : 0;
    mCacheOffset += static_cast<int64_t>(released);
    VLOGI("restarting prefetcher, totalSize = %zu", mCache.totalSize());
    mFetching = true;
    // A cache that dropped its connection at the high-water mark reopens it where the cache ends:
    // the HTTP source reconnects by itself on its next read.
    if (mFinalStatus == kNotYetCached) mFinalStatus = OK;
}

void CachedSource::seekInternal_l(int64_t offset) {
    mLock.assertHeld();
    mLastAccessPos = offset;
    int64_t cacheEnd = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
    if (offset >= mCacheOffset && offset <= cacheEnd) return;
    VLOGI("new range: offset= %lld", static_cast<long long>(offset));
    mCacheOffset = offset;
    mCache.releaseAll();
    mNumRetriesLeft = kMaxRetries;
    mFetching = true;
    mFinalStatus = OK;
}

ssize_t CachedSource::readInternal_l(int64_t offset, void* data, size_t size) {
    mLock.assertHeld();
    if (!mFetching) {
        mLastAccessPos = offset;
        restartPrefetcherIfNecessary_l(false, true);
    }
    int64_t cacheEnd = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
    if (offset < mCacheOffset || offset >= cacheEnd) {
        seekInternal_l(offset > kSeekBackBytes ? offset - kSeekBackBytes : 0);
        cacheEnd = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
    }
    if (offset >= mCacheOffset && offset < cacheEnd) {
        size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), cacheEnd - offset));
        mCache.copy(static_cast<size_t>(offset - mCacheOffset), data, n);
        return static_cast<ssize_t>(n);
    }
    if (mFinalStatus == OK || mNumRetriesLeft > 0) return kNotYetCached;
    return mFinalStatus;
}

void CachedSource::onRead(uint64_t id) {
    {
        Mutex::Autolock _l(mLock);
        if (mPendingRead.mId != id) return;  // the reader gave up
        ssize_t result = readInternal_l(mPendingRead.mOffset, mPendingRead.mData, mPendingRead.mSize);
        if (result != kNotYetCached) {
            deliverResult_l(result);
        } else {
            // Fetch for it now rather than at the idle pace of a queued fetch.
            scheduleFetch_l(0, true);
        }
    }
    wakeReader();
}

void CachedSource::servePendingRead_l() {
    mLock.assertHeld();
    if (mPendingRead.mId == 0 || mHaveResult) return;
    const int64_t cacheEnd = mCacheOffset + static_cast<int64_t>(mCache.totalSize());
    if (mPendingRead.mOffset >= mCacheOffset && mPendingRead.mOffset < cacheEnd) {
        // While fetches come back quickly the reader is woken once per page's worth rather than
        // per fetch; on a slow link every byte goes out as soon as it is here.
        const int64_t wanted = std::min<int64_t>(static_cast<int64_t>(mPendingRead.mSize), kPageSize);
        if (!mLastFetchQuick || !mFetching || cacheEnd - mPendingRead.mOffset >= wanted) deliverResult_l(kCachedNow);
        return;
    }
    ssize_t result = readInternal_l(mPendingRead.mOffset, mPendingRead.mData, mPendingRead.mSize);
    if (result != kNotYetCached) deliverResult_l(result);
}

void CachedSource::deliverResult_l(ssize_t result) {
    mLock.assertHeld();
    if (result > 0) mLastAccessPos = mPendingRead.mOffset + result;
    mPendingRead.mId = 0;
    mResult = result;
    mHaveResult = true;
}

// After mLock is released, so the woken reader does not block on it at once.
void CachedSource::wakeReader() { mCondition.signal(); }

}  // namespace velmor
