// A DataSource over one HTTP/1.1 connection: a GET with a byte range, redirects, the content
// length, chunked bodies, and a reconnect at the requested offset whenever a read does not go
// on where the previous one stopped. It also keeps the bandwidth history that its users feed
// (addBandwidthMeasurement) and read (estimateBandwidth, getEstimatedBandwidthKbps).
//
// Threads: connect, disconnect and readAt are called by one reader thread at a time (the cache's
// looper, a segment fetcher or a demuxer). setStopFlag may come from any thread at any time: a
// read in progress returns USER_STOP within one idle wait of the connection (10 ms) once the
// stop bit is set, and so does every later read. cutShortRead may also come from any thread: it
// ends only the read in progress, which hands over what it has (or WOULD_BLOCK). The bandwidth
// accessors may be called from any
// thread; they take only mBandwidthLock, never a lock a read holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "engine/DataSource.h"
#include "engine/HttpConnection.h"
#include "utils/Mutex.h"

namespace velmor {

class HttpDataSource : public DataSource {
public:
    enum State : int32_t { DISCONNECTED = 0, CONNECTING = 1, CONNECTED = 2 };

    // Redirects followed for one connect before it gives up with the last redirect's status.
    static constexpr int kMaxRedirects = 10;
    // Bandwidth entries kept; the stored estimate is refreshed once the history is full.
    static constexpr size_t kMaxBandwidthEntries = 100;

    HttpDataSource();

    // Opens a GET of uri ("http://" or "https://") at offset; headers may be null.
    status_t connect(const char* uri, const Headers* headers = nullptr, int64_t offset = 0);
    void disconnect();

    status_t initCheck() const override;
    ssize_t readAt(int64_t offset, void* data, size_t size) override;
    void setStopFlag(uint32_t flags) override;
    // Any thread: the read in progress returns within one idle wait with the bytes it has, or
    // WOULD_BLOCK when it has none; the next read reconnects at its offset. For a reader that
    // jumped elsewhere while a slow transfer fills bytes nobody will read.
    void cutShortRead();
    status_t getSize(int64_t* size) override;
    uint32_t flags() override;
    Text8 getUri() override;

    void setReceiveTimeout(int32_t seconds) { mHTTP.setReceiveTimeout(seconds); }
    int32_t receiveTimeout() const { return mHTTP.receiveTimeout(); }

    void addBandwidthMeasurement(size_t numBytes, int64_t delayUs);
    bool estimateBandwidth(int32_t* bps);
    status_t getEstimatedBandwidthKbps(int32_t* kbps);
    status_t setBandwidthStatCollectFreq(int32_t freqMs);

    // The parts of an absolute http(s) address. OK or ERROR_MALFORMED.
    struct Address {
        std::string scheme;  // "http" or "https"
        std::string host;
        int32_t port = 0;
        std::string path;  // starts with "/"
    };
    static status_t ParseURL(const char* url, Address* address);
    // A header number: floating-point text taken whole and cut to an integer ("1e3" is 1000);
    // false for negative values or when anything is left over.
    static bool ParseNumber(const char* text, int64_t* value);

protected:
    ~HttpDataSource() override;

private:
    struct BandwidthEntry {
        int64_t delayUs;
        int32_t numBytes;
    };

    // One request at offset on address, following redirects.
    status_t connectAddress(Address address, int64_t offset);
    ssize_t readAtOffset(int64_t offset, void* data, size_t size);
    // One request, no redirect handling; *location is set for a redirect status.
    status_t requestOnce(const Address& address, int64_t offset, int32_t* httpStatus, std::string* location);
    status_t takeBodyHeaders(int32_t httpStatus, int64_t offset);
    ssize_t readChunked(void* data, size_t size);
    ssize_t internalRead(void* data, size_t size);
    bool stopRequested() const { return (mStopFlags.load() & kStopFlagStop) != 0; }

    // --- The reader thread (one at a time).
    HttpConnection mHTTP;
    std::atomic<State> mState{DISCONNECTED};
    Address mAddress;
    std::string mExtraHeaders;  // header lines after Host and Range, each ending in CRLF
    int64_t mOffset = 0;        // offset of the next byte the connection delivers
    int64_t mContentLength = 0;
    bool mContentLengthKnown = false;
    bool mChunked = false;
    int32_t mChunkBytesLeft = 0;  // -1 once the terminating zero-size chunk was read
    std::atomic<bool> mInRead{false};  // debug check: one reader at a time
    // --- Written by the reader thread under mUriLock; getUri may come from any thread.
    Mutex mUriLock;
    std::string mUri;
    // --- Any thread.
    std::atomic<uint32_t> mStopFlags{0};
    std::atomic<bool> mCutShort{false};  // cutShortRead asked; cleared by the read it ended
    // The resource's length once a response gave it (-1 before): a reconnect does not forget it,
    // so size queries from other threads do not flicker while the reader reconnects.
    std::atomic<int64_t> mKnownLength{-1};
    // --- Guarded by mBandwidthLock.
    Mutex mBandwidthLock;
    std::deque<BandwidthEntry> mBandwidthHistory;
    int64_t mTotalTransferTimeUs = 0;
    int64_t mTotalTransferBytes = 0;
    int64_t mPrevBandwidthMeasureTimeUs = 0;
    int32_t mPrevEstimatedBandwidthKbps = 0;
    int32_t mBandwidthStatCollectFreqMs = 5000;
};

}  // namespace velmor
