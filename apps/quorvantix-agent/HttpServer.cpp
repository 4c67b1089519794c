#include "HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <vector>

namespace qvagent {

namespace {

constexpr int kListenBacklog = 128;
constexpr size_t kReadChunk = 16 * 1024;
constexpr int kAcceptPollMs = 1000;  // the accept thread reaps finished connections this often
constexpr int kAcceptBackoffMs = 100;  // pause after accept() ran out of descriptors or memory
constexpr const char* kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

int64_t clockUs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The end of the head in buffer (index of the blank line) and the size of that separator.
bool findHeadEnd(const std::string& buffer, size_t* headEnd, size_t* separatorSize) {
    size_t crlf = buffer.find("\r\n\r\n");
    size_t lf = buffer.find("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos) return false;
    if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf)) {
        *headEnd = crlf;
        *separatorSize = 4;
    } else {
        *headEnd = lf;
        *separatorSize = 2;
    }
    return true;
}

// Writes an answer with a plain text body on a connection that is about to close.
void sendErrorAndClose(HttpConnection& connection, int status) {
    std::string body = std::string(reasonPhrase(status)) + "\n";
    std::string head = responseHead(status,
                                    {"Content-Type: text/plain", "Content-Length: " + std::to_string(body.size())},
                                    false);
    connection.send(head + body);
}

}  // namespace

bool HttpConnection::send(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(mFd, bytes, size, MSG_NOSIGNAL);
        if (n > 0) {
            bytes += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd fds[2] = {{mFd, POLLOUT, 0}, {mStopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
    }
    return true;
}

bool HttpConnection::sleepUntil(int64_t deadlineUs) {
    for (;;) {
        int64_t left = deadlineUs - HttpServer::monotonicUs();
        if (left <= 0) return true;
        pollfd stop = {mStopFd, POLLIN, 0};
        int ms = static_cast<int>((left + 999) / 1000);
        int ready = poll(&stop, 1, ms);
        if (ready > 0) return false;
    }
}

void HttpConnection::waitUntilClosed() {
    char sink[4096];
    for (;;) {
        pollfd fds[2] = {{mFd, POLLIN, 0}, {mStopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        // Whatever the peer still sends is dropped; end of stream or an error ends the wait.
        ssize_t n = recv(mFd, sink, sizeof(sink), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) return;
    }
}

HttpServer::HttpServer(HttpHandler& handler) : mHandler(handler) {
    mStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

HttpServer::~HttpServer() {
    stop();
    if (mListenFd >= 0) close(mListenFd);
    if (mStopFd >= 0) close(mStopFd);
}

int64_t HttpServer::monotonicUs() { return clockUs(CLOCK_MONOTONIC); }
int64_t HttpServer::realtimeUs() { return clockUs(CLOCK_REALTIME); }

std::string HttpServer::listen(const std::string& host, int port) {
    if (mStopFd < 0) return std::string("eventfd: ") + strerror(errno);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) return "cannot resolve " + host + ": " + gai_strerror(rc);
    std::string error = "no address for " + host;
    for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, kListenBacklog) != 0) {
            error = "cannot listen on " + host + ":" + service + ": " + strerror(errno);
            close(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof(bound);
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        char text[INET6_ADDRSTRLEN] = {0};
        if (bound.ss_family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&bound);
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
            mPort = ntohs(in6->sin6_port);
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&bound);
            inet_ntop(AF_INET, &in4->sin_addr, text, sizeof(text));
            mPort = ntohs(in4->sin_port);
        }
        mHost = text;
        setNonBlocking(fd);
        mListenFd = fd;
        freeaddrinfo(found);
        return "";
    }
    freeaddrinfo(found);
    return error;
}

void HttpServer::start() { mAcceptThread = std::thread([this] { acceptLoop(); }); }

void HttpServer::stop() {
    if (mStopping.exchange(true)) return;
    uint64_t one = 1;
    if (mStopFd >= 0) {
        ssize_t written = write(mStopFd, &one, sizeof(one));
        (void)written;
    }
    if (mAcceptThread.joinable()) mAcceptThread.join();
    if (mListenFd >= 0) {
        close(mListenFd);
        mListenFd = -1;
    }
    reapFinished(true);
}

void HttpServer::acceptLoop() {
    while (!mStopping.load()) {
        pollfd fds[2] = {{mListenFd, POLLIN, 0}, {mStopFd, POLLIN, 0}};
        int ready = poll(fds, 2, kAcceptPollMs);
        reapFinished(false);
        if (ready <= 0 || fds[1].revents != 0) continue;
        int fd = accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // Out of descriptors or memory, the pending connection stays queued and the listening
            // socket stays readable: wait for connections to end instead of spinning on it.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                pollfd stop = {mStopFd, POLLIN, 0};
                poll(&stop, 1, kAcceptBackoffMs);
            }
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

        std::lock_guard<std::mutex> lock(mWorkersLock);
        if (mWorkers.size() >= static_cast<size_t>(kMaxConnections)) {
            HttpConnection refused(fd, mStopFd);
            sendErrorAndClose(refused, http_status::kServiceUnavailable);
            close(fd);
            continue;
        }
        auto worker = std::make_unique<Worker>();
        Worker* raw = worker.get();
        worker->thread = std::thread([this, fd, raw] {
            serveConnection(fd);
            close(fd);
            raw->done.store(true);
        });
        mWorkers.push_back(std::move(worker));
    }
}

void HttpServer::reapFinished(bool all) {
    // Threads are joined outside the lock so a slow join never blocks the accept thread's list.
    std::list<std::unique_ptr<Worker>> finished;
    {
        std::lock_guard<std::mutex> lock(mWorkersLock);
        for (auto it = mWorkers.begin(); it != mWorkers.end();) {
            if (all || (*it)->done.load()) {
                finished.push_back(std::move(*it));
                it = mWorkers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& worker : finished) worker->thread.join();
}

bool HttpServer::waitReadable(int fd, int timeoutMs) {
    int64_t deadline = monotonicUs() + static_cast<int64_t>(timeoutMs) * 1000;
    for (;;) {
        int64_t left = deadline - monotonicUs();
        if (left <= 0) return false;
        pollfd fds[2] = {{fd, POLLIN, 0}, {mStopFd, POLLIN, 0}};
        int ready = poll(fds, 2, static_cast<int>((left + 999) / 1000));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || fds[1].revents != 0) return false;
        return true;
    }
}

HttpServer::ReadResult HttpServer::readHead(int fd, std::string& buffer, size_t* headEnd, size_t* separatorSize) {
    char chunk[kReadChunk];
    for (;;) {
        if (findHeadEnd(buffer, headEnd, separatorSize)) {
            return *headEnd > kMaxHeadBytes ? ReadResult::kTooLarge : ReadResult::kHead;
        }
        if (buffer.size() > kMaxHeadBytes) return ReadResult::kTooLarge;
        if (!waitReadable(fd, buffer.empty() ? kIdleTimeoutMs : kHeadTimeoutMs)) {
            return buffer.empty() ? ReadResult::kClosed : ReadResult::kTimedOut;
        }
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n == 0) return ReadResult::kClosed;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return ReadResult::kClosed;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

bool HttpServer::readBody(int fd, std::string& buffer, size_t length) {
    char chunk[kReadChunk];
    while (buffer.size() < length) {
        if (!waitReadable(fd, kHeadTimeoutMs)) return false;
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return false;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

void HttpServer::serveConnection(int fd) {
    HttpConnection connection(fd, mStopFd);
    std::string buffer;  // bytes received and not yet consumed by a request
    while (!mStopping.load()) {
        size_t headEnd = 0;
        size_t separatorSize = 0;
        ReadResult result = readHead(fd, buffer, &headEnd, &separatorSize);
        if (result == ReadResult::kClosed) return;
        if (result == ReadResult::kTooLarge) {
            sendErrorAndClose(connection, http_status::kHeaderFieldsTooLarge);
            return;
        }
        if (result == ReadResult::kTimedOut) {
            sendErrorAndClose(connection, http_status::kRequestTimeout);
            return;
        }
        HttpRequest request;
        request.arrivalRealtimeUs = realtimeUs();
        std::string_view head(buffer.data(), headEnd);
        if (parseRequestHead(head, &request) != ParseResult::kOk) {
            sendErrorAndClose(connection, http_status::kBadRequest);
            return;
        }
        buffer.erase(0, headEnd + separatorSize);

        size_t bodyLength = 0;
        if (const std::string* length = request.header("content-length")) bodyLength = std::stoull(*length);
        const std::string* expect = request.header("expect");
        if (expect != nullptr && bodyLength > buffer.size() && strcasecmp(expect->c_str(), "100-continue") == 0 &&
            !connection.send(kContinue)) {
            return;
        }
        if (!readBody(fd, buffer, bodyLength)) return;
        request.body = buffer.substr(0, bodyLength);
        buffer.erase(0, bodyLength);

        if (!mHandler.handle(request, connection) || !request.keepAlive()) return;
    }
}

}  // namespace qvagent
