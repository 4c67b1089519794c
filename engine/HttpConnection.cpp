#define LOG_TAG "VEL_HttpConnection"

#include "engine/HttpConnection.h"

#include <curl/curl.h>
#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "utils/Log.h"

namespace velmor {

namespace {

// Status of a connect that failed before the socket wait: the libcurl code, in the range the
// engine keeps for libcurl failures.
status_t curlConnectStatus(CURLcode code) { return ERROR_CURLE_BASE - static_cast<status_t>(code); }

// Header block lines the reader accepts before it calls the answer malformed.
constexpr int kMaxHeaderLines = 256;
// Failures of the socket wait during connect, before the connect offset is applied.
constexpr status_t kConnectWaitTimedOut = -105;
constexpr status_t kConnectWaitFailed = -103;
constexpr status_t kConnectStatusOffset = 4000;
// Status bases of the send and receive failures (minus the libcurl code).
constexpr status_t kSendFailureBase = -5100;
constexpr status_t kBodyReceiveFailureBase = -6100;
constexpr status_t kLineReceiveFailureBase = -6200;
// A body read whose connection was closed under it.
constexpr status_t kClosedDuringReceive = -1101;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

// Ends a connect in progress when the owner raised the interrupt flag.
int connectProgress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* interrupted = static_cast<const std::atomic<bool>*>(clientp);
    return interrupted->load() ? 1 : 0;
}

void toLower(std::string* s) {
    for (char& c : *s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
}

}  // namespace

void CurlEasyDeleter::operator()(CURL* handle) const { curl_easy_cleanup(handle); }

HttpConnection::HttpConnection() { initCurlOnce(); }

HttpConnection::~HttpConnection() {
    mHeaders.clear();
    disconnect();
}

void HttpConnection::releaseHandle_l() {
    mStreamLock.assertHeld();
    mAheadStart = mAheadEnd = 0;
    mHandleOpen.store(false);
    mSocket.store(-1);
    mHandle.reset();
}

void HttpConnection::applyReceiveTimeout_l() {
    mStreamLock.assertHeld();
    if (mHandle == nullptr) return;
    long seconds = std::max<long>(0, mReceiveTimeoutS.load());
    curl_easy_setopt(mHandle.get(), CURLOPT_CONNECTTIMEOUT, seconds);
    curl_easy_setopt(mHandle.get(), CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(mHandle.get(), CURLOPT_LOW_SPEED_TIME, seconds);
}

void HttpConnection::setReceiveTimeout(int32_t seconds) {
    Mutex::Autolock _l(mStreamLock);
    mReceiveTimeoutS.store(seconds);
    applyReceiveTimeout_l();
}

status_t HttpConnection::connect(const char* server, int32_t port) {
    Mutex::Autolock _l(mStreamLock);
    if (mState.load() == CONNECTED) return ERROR_ALREADY_CONNECTED;
    releaseHandle_l();

    std::string address(server);
    bool defaultPort = (strncasecmp(server, "http://", 7) == 0 && port == 80) ||
                       (strncasecmp(server, "https://", 8) == 0 && port == 443);
    if (!defaultPort) address.append(":").append(std::to_string(port));

    mHandle.reset(curl_easy_init());
    if (mHandle == nullptr) {
        VLOGE("curl_easy_init fail.");
        return ERROR_IO;
    }
    applyReceiveTimeout_l();
    mState.store(CONNECTING);

    CURL* curl = mHandle.get();
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADER, 1L);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_WHATEVER));
    // Certificates are never verified (see the README's security notes).
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    // The progress callback lets interrupt() end a slow resolve, connect or TLS handshake.
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, connectProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &mInterrupted);

    CURLcode code = curl_easy_perform(curl);
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (code == CURLE_OK) code = curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket);
    if (code == CURLE_OK && socket == CURL_SOCKET_BAD) code = CURLE_COULDNT_CONNECT;
    if (code != CURLE_OK) {
        status_t status = code == CURLE_ABORTED_BY_CALLBACK ? static_cast<status_t>(USER_STOP)
                                                             : curlConnectStatus(code);
        VLOGI("CONNECT Fail %d (%s)", status, curl_easy_strerror(code));
        releaseHandle_l();
        mState.store(DISCONNECTED);
        return status;
    }
    mSocket.store(static_cast<int>(socket));
    mHandleOpen.store(true);

    // The socket is open when perform returns: this wait only confirms it. Its limit is the
    // receive time-out's number taken as milliseconds.
    pollfd pfd{static_cast<int>(socket), POLLIN | POLLOUT, 0};
    int ready = poll(&pfd, 1, std::max(0, mReceiveTimeoutS.load()));
    status_t status = OK;
    if (ready == 0) {
        VLOGI("connect fail");
        status = kConnectWaitTimedOut;
    } else if (ready < 0) {
        VLOGI("connect fail (%d)", ready);
        status = kConnectWaitFailed;
    }
    if (status != OK) {
        releaseHandle_l();
        mState.store(DISCONNECTED);
        VLOGE("CONNECT Fail %d", status - kConnectStatusOffset);
        return status - kConnectStatusOffset;
    }
    mState.store(CONNECTED);
    return OK;
}

status_t HttpConnection::disconnect() {
    Mutex::Autolock _l(mStreamLock);
    State state = mState.load();
    if (state != CONNECTED && state != CONNECTING) return ERROR_NOT_CONNECTED;
    mState.store(DISCONNECTING);
    releaseHandle_l();
    mState.store(DISCONNECTED);
    return OK;
}

int HttpConnection::waitForSocket(Wait what, int timeoutMs) const {
    int fd = mSocket.load();
    if (fd < 0) return -1;
    pollfd pfd{fd, static_cast<short>(what == Wait::kRead ? POLLIN : POLLOUT), 0};
    int ready = poll(&pfd, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) return 0;
    return ready;
}

status_t HttpConnection::send(const void* data, size_t size) {
    if (mState.load() != CONNECTED) return ERROR_NOT_CONNECTED;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t sent = 0;
    for (int attempt = 0; attempt < kSendAttempts && sent < size; ++attempt) {
        size_t n = 0;
        CURLcode code = curl_easy_send(mHandle.get(), bytes + sent, size - sent, &n);
        sent += n;
        while (code == CURLE_AGAIN) {
            if (mInterrupted.load()) return USER_STOP;
            if (waitForSocket(Wait::kWrite, kSendWaitMs) == 0) {
                VLOGE("send data error time out %d", code);
                disconnect();
                return kSendFailureBase - code;
            }
            n = 0;
            code = curl_easy_send(mHandle.get(), bytes + sent, size - sent, &n);
            sent += n;
        }
        if (code != CURLE_OK) {
            VLOGE("send data error %d", code);
            disconnect();
            return kSendFailureBase - code;
        }
    }
    return OK;
}

status_t HttpConnection::receive_line(char* buffer, size_t size) {
    if (mState.load() != CONNECTED) return ERROR_NOT_CONNECTED;
    const int64_t deadlineUs = GetNowUs() + static_cast<int64_t>(mReceiveTimeoutS.load()) * 1000000;
    size_t length = 0;
    for (;;) {
        if (!mHandleOpen.load() || mInterrupted.load()) return USER_STOP;
        if (mAheadStart == mAheadEnd) {
            // Lines are taken from a block read ahead; what follows them stays there for
            // receive().
            size_t n = 0;
            CURLcode code = curl_easy_recv(mHandle.get(), mAhead, sizeof(mAhead), &n);
            if (code == CURLE_AGAIN) {
                int64_t leftUs = deadlineUs - GetNowUs();
                if (leftUs > 0) {
                    waitForSocket(Wait::kRead, static_cast<int>(std::min<int64_t>(kIdleWaitMs, leftUs / 1000 + 1)));
                    continue;
                }
            } else if (code == CURLE_OK && n == 0) {
                // The peer closed the connection in the middle of a line.
                code = CURLE_GOT_NOTHING;
            }
            if (code != CURLE_OK) {
                VLOGE("[%s, %d] curl_easy_recv error %d", "velmor::HttpConnection::receive_line", __LINE__, code);
                return kLineReceiveFailureBase - code;
            }
            mAheadStart = 0;
            mAheadEnd = n;
        }
        const char c = mAhead[mAheadStart++];
        if (c == '\n') {
            if (length > 0 && buffer[length - 1] == '\r') --length;
            buffer[length] = '\0';
            return OK;
        }
        if (length + 2 > size) {
            VLOGI("ERROR_MALFORMED");
            return ERROR_MALFORMED;
        }
        buffer[length++] = c;
    }
}

bool HttpConnection::ParseStatusLine(const char* line, int32_t* httpStatus) {
    const char* blank = strchr(line, ' ');
    if (blank == nullptr) return false;
    const char* p = blank + 1;
    constexpr int kMaxDigits = 9;
    int32_t value = 0;
    int digits = 0;
    while (digits < kMaxDigits && isdigit(static_cast<unsigned char>(p[digits]))) {
        value = value * 10 + (p[digits] - '0');
        ++digits;
    }
    constexpr int32_t kMaxStatus = 999;
    if (digits == 0 || value > kMaxStatus) return false;
    *httpStatus = value;
    return true;
}

void HttpConnection::ParseHeaderLine(const char* line, std::string* key, std::string* value) {
    const char* colon = strchr(line, ':');
    if (colon == nullptr) {
        key->assign(line);
        value->clear();
    } else {
        size_t keyLength = static_cast<size_t>(colon - line);
        while (keyLength > 0 && isspace(static_cast<unsigned char>(line[keyLength - 1]))) --keyLength;
        key->assign(line, keyLength);
        const char* v = colon + 1;
        while (*v != '\0' && isspace(static_cast<unsigned char>(*v))) ++v;
        value->assign(v);
    }
    toLower(key);
}

status_t HttpConnection::receive_header(int32_t* httpStatus) {
    *httpStatus = -1;
    mHeaders.clear();
    char line[kMaxHeaderLine];
    status_t err = receive_line(line, sizeof(line));
    if (err != OK) return err;
    int32_t code = -1;
    if (!ParseStatusLine(line, &code)) return UNKNOWN_ERROR;
    *httpStatus = code;
    for (int lines = 0; lines < kMaxHeaderLines; ++lines) {
        err = receive_line(line, sizeof(line));
        if (err != OK) {
            VLOGE("receive_header error %d", err);
            return err;
        }
        if (line[0] == '\0') return OK;
        std::string key, value;
        ParseHeaderLine(line, &key, &value);
        mHeaders[key] = value;
    }
    VLOGE("receive_header error %d", ERROR_MALFORMED);
    return ERROR_MALFORMED;
}

ssize_t HttpConnection::receive(void* buffer, size_t size) {
    if (!mHandleOpen.load()) return ERROR_NOT_CONNECTED;
    auto* bytes = static_cast<uint8_t*>(buffer);
    // Body bytes that came with the last line go first.
    size_t got = std::min(size, mAheadEnd - mAheadStart);
    memcpy(bytes, mAhead + mAheadStart, got);
    mAheadStart += got;
    int idle = 0;
    while (got < size) {
        if (!mHandleOpen.load()) return kClosedDuringReceive;
        // Bytes already here are handed over; the stop shows on the next call.
        if (mInterrupted.load()) return got > 0 ? static_cast<ssize_t>(got) : static_cast<ssize_t>(USER_STOP);
        size_t n = 0;
        CURLcode code = curl_easy_recv(mHandle.get(), bytes + got, size - got, &n);
        if (code != CURLE_OK && code != CURLE_AGAIN) {
            VLOGE("[%s, %d] curl_easy_recv error %d", "velmor::HttpConnection::receive", __LINE__, code);
            return kBodyReceiveFailureBase - code;
        }
        if (n > 0) {
            got += n;
            continue;
        }
        // The peer closed: further attempts cannot bring bytes.
        if (code == CURLE_OK) break;
        if (++idle >= kIdleAttempts) break;
        waitForSocket(Wait::kRead, kIdleWaitMs);
    }
    return static_cast<ssize_t>(got);
}

bool HttpConnection::find_header_value(const char* key, Text8* value) const {
    std::string lower(key);
    toLower(&lower);
    auto it = mHeaders.find(lower);
    if (it == mHeaders.end()) return false;
    value->setTo(it->second.c_str(), it->second.size());
    return true;
}

}  // namespace velmor
