// A small HTTP/1.1 server: one accepting thread and one thread per connection. Each connection
// reads request heads (bounded in size), answers malformed ones with 400 and closes, hands good
// ones to the HttpHandler and keeps the connection open for the next request while both sides
// want keep-alive.
//
// Threads:
// - the thread that calls listen(), start() and stop() (the service's main thread);
// - "accept" thread: accepts connections and reaps finished connection threads;
// - one thread per connection: reads requests and runs HttpHandler::handle on them.
// stop() stops accepting, wakes every connection thread out of any wait (idle keep-alive, a
// response held back on purpose, a slow client) and joins all threads before it returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "HttpMessage.h"

namespace qvagent {

// One accepted connection as seen by a handler, used only on its connection thread.
class HttpConnection {
public:
    HttpConnection(int fd, int stopFd) : mFd(fd), mStopFd(stopFd) {}
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Writes all bytes, waiting while the peer's window is full. False when the peer is gone or
    // the server is stopping (the connection must then be closed).
    bool send(const void* data, size_t size);
    bool send(const std::string& text) { return send(text.data(), text.size()); }
    // Sleeps until the CLOCK_MONOTONIC time deadlineUs; false when the server stops first.
    bool sleepUntil(int64_t deadlineUs);
    // Sends nothing more and waits until the peer closes the connection or the server stops.
    void waitUntilClosed();

private:
    const int mFd;      // the connection's socket (non-blocking), owned by the server
    const int mStopFd;  // readable once the server stops
};

class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // Answers one request on the connection thread. Returns whether the connection may carry
    // another request (false closes it, for example after a response cut short).
    virtual bool handle(const HttpRequest& request, HttpConnection& connection) = 0;
};

class HttpServer {
public:
    static constexpr size_t kMaxHeadBytes = 16 * 1024;
    static constexpr int kMaxConnections = 512;
    static constexpr int kIdleTimeoutMs = 120 * 1000;  // a kept-alive connection without a request
    static constexpr int kHeadTimeoutMs = 30 * 1000;   // a request head or body started but not ended

    explicit HttpServer(HttpHandler& handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens on host:port (port 0 picks a free one). Returns an error text or "".
    std::string listen(const std::string& host, int port);
    const std::string& host() const { return mHost; }
    int port() const { return mPort; }

    void start();
    void stop();

    // CLOCK_MONOTONIC and CLOCK_REALTIME in microseconds.
    static int64_t monotonicUs();
    static int64_t realtimeUs();

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void reapFinished(bool all);
    void serveConnection(int fd);
    // Reads until the head of the next request is in mBuffer-like storage; see .cpp.
    enum class ReadResult { kHead, kClosed, kTooLarge, kTimedOut };
    ReadResult readHead(int fd, std::string& buffer, size_t* headEnd, size_t* separatorSize);
    bool readBody(int fd, std::string& buffer, size_t length);
    // Waits for fd to become readable; false on timeout, stop or error.
    bool waitReadable(int fd, int timeoutMs);

    HttpHandler& mHandler;
    // --- Set by listen() before start(), then read-only.
    int mListenFd = -1;
    std::string mHost;
    int mPort = 0;
    // --- Created in the constructor; written once by stop(), read by every thread.
    int mStopFd = -1;  // eventfd, readable once stopping
    std::atomic<bool> mStopping{false};
    // --- Main thread only.
    std::thread mAcceptThread;
    // --- Guarded by mWorkersLock (accept thread and stop()).
    std::mutex mWorkersLock;
    std::list<std::unique_ptr<Worker>> mWorkers;
};

}  // namespace qvagent
