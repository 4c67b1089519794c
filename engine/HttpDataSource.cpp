#define LOG_TAG "VEL_HttpDataSource"

#include "engine/HttpDataSource.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/UserAgent.h"
#include "utils/Log.h"

namespace velmor {

namespace {

constexpr const char* kMethodPrefix = "GET ";
constexpr int32_t kDefaultHttpPort = 80;
constexpr int32_t kDefaultHttpsPort = 443;
constexpr int32_t kMaxPort = 65535;
constexpr int32_t kStatusPartialContent = 206;
constexpr size_t kChunkLineSize = 1024;
constexpr int32_t kMinStatCollectFreqMs = 1000;
constexpr int32_t kMaxStatCollectFreqMs = 60000;

bool isRedirect(int32_t status) { return status == 301 || status == 302 || status == 303 || status == 307; }
bool isSuccess(int32_t status) { return status >= 200 && status <= 299; }
status_t httpStatusError(int32_t status) { return ERROR_CURLE_BASE - status; }

bool startsWithIgnoreCase(const char* s, const char* prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }

// Parses a chunk-size line: hex digits, then the end or a ';' that starts chunk extensions.
bool parseChunkSize(const char* line, int32_t* size) {
    int64_t value = 0;
    const char* p = line;
    constexpr int64_t kMaxChunk = INT32_MAX;
    while (isxdigit(static_cast<unsigned char>(*p))) {
        int digit = isdigit(static_cast<unsigned char>(*p)) ? *p - '0' : (tolower(static_cast<unsigned char>(*p)) - 'a' + 10);
        value = value * 16 + digit;
        if (value > kMaxChunk) return false;
        ++p;
    }
    if (p == line || (*p != '\0' && *p != ';')) return false;
    *size = static_cast<int32_t>(value);
    return true;
}

}  // namespace

HttpDataSource::HttpDataSource() {}

HttpDataSource::~HttpDataSource() { disconnect(); }

bool HttpDataSource::ParseNumber(const char* text, int64_t* value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    double d = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(d) || d < 0 || d > 9.0e18) return false;
    *value = static_cast<int64_t>(d);
    return true;
}

status_t HttpDataSource::ParseURL(const char* url, Address* address) {
    const char* rest = nullptr;
    if (startsWithIgnoreCase(url, "http://")) {
        address->scheme = "http";
        address->port = kDefaultHttpPort;
        rest = url + 7;
    } else if (startsWithIgnoreCase(url, "https://")) {
        address->scheme = "https";
        address->port = kDefaultHttpsPort;
        rest = url + 8;
    } else {
        return ERROR_MALFORMED;
    }
    const char* slash = strchr(rest, '/');
    std::string host = slash ? std::string(rest, static_cast<size_t>(slash - rest)) : std::string(rest);
    address->path = slash ? std::string(slash) : std::string("/");
    size_t colon = host.find(':');
    if (colon != std::string::npos) {
        std::string portText = host.substr(colon + 1);
        char* end = nullptr;
        errno = 0;
        long port = strtol(portText.c_str(), &end, 10);
        if (portText.empty() || *end != '\0' || errno != 0 || port < 0 || port > kMaxPort) return ERROR_MALFORMED;
        address->port = static_cast<int32_t>(port);
        host.resize(colon);
    }
    if (host.empty()) return ERROR_MALFORMED;
    address->host = host;
    return OK;
}

status_t HttpDataSource::connect(const char* uri, const Headers* headers, int64_t offset) {
    mExtraHeaders = UserAgentHeaderLine();
    if (headers != nullptr) {
        for (size_t i = 0; i < headers->size(); ++i) {
            const auto& entry = headers->itemAt(i);
            mExtraHeaders.append(entry.key.std()).append(": ").append(entry.value.std()).append("\r\n");
        }
    }
    Address address;
    if (uri == nullptr || ParseURL(uri, &address) != OK) {
        mState.store(DISCONNECTED);
        return ERROR_MALFORMED;
    }
    {
        Mutex::Autolock _l(mUriLock);
        mUri = uri;
    }
    // A new resource: what the last one's answers said about its length no longer applies.
    mKnownLength.store(-1);
    return connectAddress(address, offset);
}

void HttpDataSource::disconnect() {
    State state = mState.load();
    if (state == CONNECTING || state == CONNECTED) mHTTP.disconnect();
    mState.store(DISCONNECTED);
}

// Where a redirect's Location leads from the current address: an absolute http(s) address, or a
// reference relative to the current one ("/path", "//host/path", "name"). Anything else (empty,
// another scheme) is malformed.
static status_t resolveLocation(const HttpDataSource::Address& from, const std::string& location,
                                HttpDataSource::Address* to) {
    if (location.empty()) return ERROR_MALFORMED;
    if (startsWithIgnoreCase(location.c_str(), "http://") || startsWithIgnoreCase(location.c_str(), "https://")) {
        return HttpDataSource::ParseURL(location.c_str(), to);
    }
    if (location.find("://") != std::string::npos) return ERROR_MALFORMED;
    if (location.compare(0, 2, "//") == 0) return HttpDataSource::ParseURL((from.scheme + ":" + location).c_str(), to);
    *to = from;
    if (location[0] == '/') {
        to->path = location;
    } else {
        to->path = from.path.substr(0, from.path.rfind('/') + 1) + location;
    }
    return OK;
}

status_t HttpDataSource::connectAddress(Address address, int64_t offset) {
    for (int redirects = 0;; ++redirects) {
        int32_t httpStatus = -1;
        std::string location;
        status_t err = requestOnce(address, offset, &httpStatus, &location);
        if (err != OK || !isRedirect(httpStatus)) return err;
        if (redirects == kMaxRedirects) {
            VLOGE("too many redirects (%d), giving up", redirects + 1);
            return httpStatusError(httpStatus);
        }
        Address next;
        if (resolveLocation(address, location, &next) != OK) {
            VLOGE("cannot follow redirect (%d) to '%s'", httpStatus, location.c_str());
            return ERROR_MALFORMED;
        }
        address = next;
        Mutex::Autolock _l(mUriLock);
        mUri = address.scheme + "://" + address.host + ":" + std::to_string(address.port) + address.path;
    }
}

status_t HttpDataSource::requestOnce(const Address& address, int64_t offset, int32_t* httpStatus,
                                     std::string* location) {
    mAddress = address;
    mState.store(CONNECTING);
    mHTTP.disconnect();
    std::string server = address.scheme + "://" + address.host;
    status_t err = mHTTP.connect(server.c_str(), address.port);
    if (err != OK) {
        mState.store(DISCONNECTED);
        VLOGE("HttpDataSource::connect error(%d)", err);
        return err;
    }
    mState.store(CONNECTED);
    mOffset = offset;
    mContentLength = 0;
    mContentLengthKnown = false;
    mChunked = false;
    mChunkBytesLeft = 0;

    std::string request;
    request.append(kMethodPrefix).append(address.path).append(" HTTP/1.1\r\n");
    request.append("Host: ").append(address.host).append(":").append(std::to_string(address.port)).append("\r\n");
    if (offset != 0) request.append("Range: bytes=").append(std::to_string(offset)).append("-\r\n");
    request.append(mExtraHeaders).append("\r\n");

    err = mHTTP.send(request.data(), request.size());
    if (err != OK) {
        VLOGE("send data error %d", err);
        disconnect();
        return err;
    }
    err = mHTTP.receive_header(httpStatus);
    if (err != OK) {
        VLOGE("send receive_header error %d", err);
        disconnect();
        return err;
    }
    if (isRedirect(*httpStatus)) {
        Text8 value;
        if (mHTTP.find_header_value("Location", &value)) location->assign(value.std());
        disconnect();
        return OK;
    }
    if (!isSuccess(*httpStatus)) {
        disconnect();
        return httpStatusError(*httpStatus);
    }
    return takeBodyHeaders(*httpStatus, offset);
}

status_t HttpDataSource::takeBodyHeaders(int32_t httpStatus, int64_t offset) {
    Text8 value;
    if (mHTTP.find_header_value("Transfer-Encoding", &value)) {
        if (strcasecmp(value.c_str(), "chunked") != 0) {
            disconnect();
            VLOGE("We don't support '%s' transfer encoding.", value.c_str());
            return ERROR_UNSUPPORTED;
        }
        VLOGI("Chunked transfer encoding applied.");
        mChunked = true;
        mChunkBytesLeft = 0;
    }
    if (mHTTP.find_header_value("X-SocketTimeout", &value)) {
        char* end = nullptr;
        errno = 0;
        long seconds = strtol(value.c_str(), &end, 10);
        if (!value.isEmpty() && *end == '\0' && errno == 0 && seconds >= 0 && seconds <= INT32_MAX) {
            VLOGI("overriding default timeout, new timeout is %ld seconds", seconds);
            mHTTP.setReceiveTimeout(static_cast<int32_t>(seconds));
        } else {
            VLOGW("Illegal X-SocketTimeout value given.");
        }
    }
    int64_t length = 0;
    if (offset != 0) {
        if (httpStatus != kStatusPartialContent) {
            VLOGE("We requested a range but the server didn't support that.");
            // The connection stays open, but what it delivers does not start at offset: the next
            // read must not take it for the range.
            mOffset = -1;
            return ERROR_UNSUPPORTED;
        }
        if (mHTTP.find_header_value("Content-Range", &value)) {
            // "bytes FIRST-LAST/TOTAL": bytes that do not start where we asked are refused.
            const char* text = value.c_str();
            const char* digits = text;
            while (*digits != '\0' && !isdigit(static_cast<unsigned char>(*digits))) ++digits;
            char* end = nullptr;
            long long first = strtoll(digits, &end, 10);
            if (end == digits || first != offset) {
                VLOGE("Content-Range '%s' does not start at the requested offset %lld", text,
                      static_cast<long long>(offset));
                disconnect();
                return ERROR_MALFORMED;
            }
            const char* slash = strchr(text, '/');
            if (slash != nullptr && ParseNumber(slash + 1, &length)) {
                mContentLength = length;
                mContentLengthKnown = true;
            }
        }
    } else if (!mChunked && mHTTP.find_header_value("Content-Length", &value) && ParseNumber(value.c_str(), &length)) {
        // A chunked body's length is its chunks', whatever Content-Length says.
        mContentLength = length;
        mContentLengthKnown = true;
    } else {
        VLOGW("Server did not give us the content length!");
    }
    if (mContentLengthKnown) mKnownLength.store(mContentLength);
    return OK;
}

status_t HttpDataSource::initCheck() const { return mState.load() == CONNECTED ? OK : NO_INIT; }

void HttpDataSource::setStopFlag(uint32_t flags) {
    mStopFlags.store(flags);
    mHTTP.interrupt((flags & kStopFlagStop) != 0);
}

ssize_t HttpDataSource::readChunked(void* data, size_t size) {
    if (mChunkBytesLeft < 0) return 0;
    char line[kChunkLineSize];
    if (mChunkBytesLeft == 0) {
        status_t err = mHTTP.receive_line(line, sizeof(line));
        if (err != OK) return err;
        int32_t chunkSize = 0;
        if (!parseChunkSize(line, &chunkSize)) {
            VLOGE("malformed HTTP chunk '%s'", line);
            return ERROR_MALFORMED;
        }
        if (chunkSize == 0) {
            // Trailer lines, if any, are left unread: the body is complete.
            mChunkBytesLeft = -1;
            return 0;
        }
        mChunkBytesLeft = chunkSize;
    }
    size_t want = std::min(size, static_cast<size_t>(mChunkBytesLeft));
    ssize_t n = mHTTP.receive(data, want);
    if (n < 0) return n;
    // Nothing inside a chunk: the body was cut short or stalled, it did not end.
    if (n == 0) return ERROR_CURLE_OPERATION_TIMEDOUT;
    mChunkBytesLeft -= static_cast<int32_t>(n);
    if (mChunkBytesLeft == 0) {
        status_t err = mHTTP.receive_line(line, sizeof(line));
        if (err != OK) return err;
        if (line[0] != '\0') {
            VLOGE("missing HTTP chunk terminator.");
            return ERROR_MALFORMED;
        }
    }
    return n;
}

ssize_t HttpDataSource::internalRead(void* data, size_t size) {
    return mChunked ? readChunked(data, size) : mHTTP.receive(data, size);
}

void HttpDataSource::cutShortRead() {
    mCutShort.store(true);
    mHTTP.interrupt(true);
}

ssize_t HttpDataSource::readAt(int64_t offset, void* data, size_t size) {
    QV_ASSERT(!mInRead.exchange(true), "two readers in one HttpDataSource");
    struct ReadGuard {
        std::atomic<bool>& flag;
        ~ReadGuard() { flag.store(false); }
    } guard{mInRead};

    ssize_t result = readAtOffset(offset, data, size);
    if (mCutShort.exchange(false)) {
        // The interrupt was this read's alone; a stop keeps it raised.
        mHTTP.interrupt(stopRequested());
        if (result == USER_STOP && !stopRequested()) result = WOULD_BLOCK;
    }
    return result;
}

ssize_t HttpDataSource::readAtOffset(int64_t offset, void* data, size_t size) {
    if (stopRequested()) {
        disconnect();
        return USER_STOP;
    }
    // Past a known end there is nothing to fetch.
    const int64_t knownLength = mKnownLength.load();
    if (knownLength >= 0 && offset >= knownLength) return 0;
    if (offset != mOffset || mState.load() != CONNECTED) {
        if (offset != mOffset) {
            VLOGW("readAt offset(%lld) != mOffset(%lld)", static_cast<long long>(offset),
                  static_cast<long long>(mOffset));
        }
        status_t err = connectAddress(mAddress, offset);
        if (err != OK) return err;
    }
    if (mContentLengthKnown) {
        if (offset >= mContentLength) return 0;
        size = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), mContentLength - offset));
    }
    auto* bytes = static_cast<uint8_t*>(data);
    size_t got = 0;
    while (got < size) {
        if (stopRequested()) {
            disconnect();
            return USER_STOP;
        }
        ssize_t n = internalRead(bytes + got, size - got);
        if (n < 0) {
            // The connection is of no further use: the next read opens a new one at its offset.
            disconnect();
            mOffset += static_cast<int64_t>(got);
            return got > 0 ? static_cast<ssize_t>(got) : n;
        }
        got += static_cast<size_t>(n);
        if (stopRequested()) {
            disconnect();
            return USER_STOP;
        }
        if (n == 0) {
            if (!mContentLengthKnown) break;  // the end of a body without a length
            // The body stopped short of its length: hand over what came; the next read
            // reconnects where this one stopped.
            disconnect();
            if (got == 0) return ERROR_CURLE_OPERATION_TIMEDOUT;
            break;
        }
    }
    mOffset += static_cast<int64_t>(got);
    return static_cast<ssize_t>(got);
}

status_t HttpDataSource::getSize(int64_t* size) {
    int64_t length = mKnownLength.load();
    if (length < 0) {
        if (mState.load() != CONNECTED) return ERROR_CURLE_COULDNT_RESOLVE_HOST;
        return ERROR_UNSUPPORTED;
    }
    *size = length;
    return OK;
}

uint32_t HttpDataSource::flags() {
    return mKnownLength.load() >= 0 ? static_cast<uint32_t>(kFlagNetwork | kFlagSizeKnown)
                                    : static_cast<uint32_t>(kFlagNetwork);
}

Text8 HttpDataSource::getUri() {
    Mutex::Autolock _l(mUriLock);
    return Text8(mUri);
}

void HttpDataSource::addBandwidthMeasurement(size_t numBytes, int64_t delayUs) {
    Mutex::Autolock _l(mBandwidthLock);
    mBandwidthHistory.push_back(BandwidthEntry{delayUs, static_cast<int32_t>(numBytes)});
    mTotalTransferTimeUs += delayUs;
    mTotalTransferBytes += static_cast<int64_t>(numBytes);
    if (mBandwidthHistory.size() <= kMaxBandwidthEntries) return;
    const BandwidthEntry& oldest = mBandwidthHistory.front();
    mTotalTransferTimeUs -= oldest.delayUs;
    mTotalTransferBytes -= oldest.numBytes;
    mBandwidthHistory.pop_front();
    int64_t nowUs = GetNowUs();
    if (nowUs - mPrevBandwidthMeasureTimeUs >= static_cast<int64_t>(mBandwidthStatCollectFreqMs) * 1000) {
        if (mPrevBandwidthMeasureTimeUs != 0 && mTotalTransferTimeUs > 0) {
            mPrevEstimatedBandwidthKbps =
                static_cast<int32_t>(static_cast<double>(mTotalTransferBytes) * 8000.0 / static_cast<double>(mTotalTransferTimeUs));
        }
        mPrevBandwidthMeasureTimeUs = nowUs;
    }
}

bool HttpDataSource::estimateBandwidth(int32_t* bps) {
    Mutex::Autolock _l(mBandwidthLock);
    if (mBandwidthHistory.size() < 2 || mTotalTransferTimeUs <= 0) return false;
    double estimate = static_cast<double>(mTotalTransferBytes) * 8.0e6 / static_cast<double>(mTotalTransferTimeUs);
    *bps = static_cast<int32_t>(std::min(estimate, static_cast<double>(INT32_MAX)));
    return true;
}

status_t HttpDataSource::getEstimatedBandwidthKbps(int32_t* kbps) {
    Mutex::Autolock _l(mBandwidthLock);
    *kbps = mPrevEstimatedBandwidthKbps;
    return OK;
}

status_t HttpDataSource::setBandwidthStatCollectFreq(int32_t freqMs) {
    if (freqMs < kMinStatCollectFreqMs || freqMs > kMaxStatCollectFreqMs) {
        VLOGE("frequency (%d ms) is out of range [1000, 60000]", freqMs);
        return BAD_VALUE;
    }
    VLOGI("frequency set to %d ms", freqMs);
    Mutex::Autolock _l(mBandwidthLock);
    mBandwidthStatCollectFreqMs = freqMs;
    return OK;
}

}  // namespace velmor
