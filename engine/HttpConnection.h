// One TCP or TLS connection to a web server. libcurl resolves the host, opens the connection
// (connect-only mode) and carries the bytes (curl_easy_send / curl_easy_recv); the HTTP/1.1
// exchange itself (status line, header lines, the raw body) is read here.
//
// Status and header lines are read a block at a time; body bytes that came with them are handed
// out first by receive().
//
// Waiting for the network: every wait is a poll(2) on the connection's socket, so a byte that
// arrives is read at once. A receive that finds nothing waits one kIdleWaitMs slice at a time;
// a line read gives up at the receive time-out, a body read after kIdleAttempts idle slices.
//
// Threads: connect, disconnect, send and the receive calls are made by one thread at a time (the
// owner's reader thread). interrupt() may be called from any thread at any time: a wait in
// progress ends within one slice and returns USER_STOP, as does every later receive until the
// flag is lowered. mStreamLock guards the state and the handle against a disconnect racing a
// connect; the receive loops do not take it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>

#include "utils/Errors.h"
#include "utils/Mutex.h"
#include "utils/Text8.h"

typedef void CURL;

namespace velmor {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const;
};
typedef std::unique_ptr<CURL, CurlEasyDeleter> CurlEasyHandle;

class HttpConnection {
public:
    enum State : int32_t { DISCONNECTED = 0, CONNECTING = 1, CONNECTED = 2, DISCONNECTING = 3 };

    // Receive time-out (seconds) of a new connection.
    static constexpr int32_t kDefaultReceiveTimeoutS = 10;
    // One wait for the socket when a receive found nothing.
    static constexpr int kIdleWaitMs = 10;
    // Idle waits a body read spends before it returns what it has.
    static constexpr int kIdleAttempts = 201;
    // Send attempts before send gives up on the rest.
    static constexpr int kSendAttempts = 11;
    // Longest wait for the socket to take more bytes during a send.
    static constexpr int kSendWaitMs = 60000;
    // Status and header lines longer than this (with the terminator) are refused.
    static constexpr size_t kMaxHeaderLine = 4096;
    // Block that line reads take from the connection at a time (the rest waits for receive).
    static constexpr size_t kLineReadAhead = 4096;

    HttpConnection();
    ~HttpConnection();

    // server: scheme, "://" and host. Opens the connection; no request is sent.
    status_t connect(const char* server, int32_t port);
    // OK, or ERROR_NOT_CONNECTED when there was nothing to close.
    status_t disconnect();

    status_t send(const void* data, size_t size);
    // One line without its end (LF, or CRLF), NUL-terminated, into buffer.
    status_t receive_line(char* buffer, size_t size);
    // The status line and the header lines up to the empty line. httpStatus is -1 until a valid
    // status line was read.
    status_t receive_header(int32_t* httpStatus);
    // Up to size body bytes: the count read (0 when the peer closed or stayed silent), or a
    // negative status.
    ssize_t receive(void* buffer, size_t size);

    // Response headers are stored with lower-case keys; the lookup lower-cases key.
    bool find_header_value(const char* key, Text8* value) const;

    void setReceiveTimeout(int32_t seconds);
    int32_t receiveTimeout() const { return mReceiveTimeoutS.load(); }

    // Raising the flag ends waits in progress and makes receives return USER_STOP.
    void interrupt(bool on) { mInterrupted.store(on); }

    State state() const { return mState.load(); }

    // Parses a status line ("HTTP/1.1 200 OK"): the code after the first blank, 0..999.
    static bool ParseStatusLine(const char* line, int32_t* httpStatus);
    // Splits a header line into a lower-cased key (trailing blanks cut) and a value (leading
    // blanks skipped). A line without a colon is a key with an empty value.
    static void ParseHeaderLine(const char* line, std::string* key, std::string* value);

private:
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    enum class Wait { kRead, kWrite };
    // poll(2) on the socket; >0 ready, 0 time-out, <0 failure.
    int waitForSocket(Wait what, int timeoutMs) const;
    void applyReceiveTimeout_l();
    void releaseHandle_l();

    // --- Guarded by mStreamLock (connect and disconnect).
    Mutex mStreamLock;
    CurlEasyHandle mHandle;
    // --- Written under mStreamLock, read by the receive loops without it.
    std::atomic<State> mState{DISCONNECTED};
    std::atomic<bool> mHandleOpen{false};
    std::atomic<int> mSocket{-1};
    // --- Any thread.
    std::atomic<int32_t> mReceiveTimeoutS{kDefaultReceiveTimeoutS};
    std::atomic<bool> mInterrupted{false};
    // --- The reader thread: filled by receive_header, read by the owner after it.
    std::map<std::string, std::string> mHeaders;
    // --- The reader thread (emptied by connect/disconnect, which it also makes): bytes read
    // ahead by receive_line, [mAheadStart, mAheadEnd) not yet handed out.
    char mAhead[kLineReadAhead];
    size_t mAheadStart = 0;
    size_t mAheadEnd = 0;
};

}  // namespace velmor
