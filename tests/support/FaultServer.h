// The fault-injecting HTTP server (tests/servers/fault_server.py) as a child process of the test:
// started in the constructor, killed and reaped in the destructor. Its paths (/file/NAME,
// /redirect/CODE/N/NAME, /stall-headers, /chunked/NAME, ...) are listed at the top of the script;
// every file is looked up in mediaDir().
//
// Thread: create and destroy it on one thread, the test's main thread. The child is told to die
// with the thread that started it (PR_SET_PDEATHSIG), so a test that crashes leaves no server
// behind, and a FaultServer made on a short-lived worker thread would lose its server early.
// url() may be called from any thread; requests() and resetRequests() open their own connection
// each and may be too.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/Media.h"

namespace qvtest {

class FaultServer {
public:
    static constexpr int kStartTimeoutMs = 15000;  // python starts in well under a second
    static constexpr int kControlTimeoutMs = 5000;
    static constexpr int kTermGraceMs = 2000;

    FaultServer() { start(); }
    // On a given port (0: any free one); restart() comes back on the same port.
    explicit FaultServer(int port) : mFixedPort(port) { start(); }
    ~FaultServer() { stop(); }
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    // Kills the server (its connections end with it) and starts a new one on the same port.
    // Call it on the thread that created the server.
    bool restart() {
        mFixedPort = mPort;
        stop();
        mPort = -1;
        start();
        return mPort == mFixedPort;
    }

    // True once the server has reported its port.
    bool ok() const { return mPort > 0; }
    int port() const { return mPort; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(mPort); }
    // path starts with "/": url("/file/h264_aac.mp4").
    std::string url(const std::string& path) const { return base() + path; }

    // Every request head the server received since the start or the last resetRequests(), as
    // received: request line and header lines, each head ending in its blank line.
    std::string requests() const { return control("/_requests"); }
    // Also restarts every /live-seq/ address at its first media sequence.
    void resetRequests() const { control("/_reset"); }

    // Files whose name starts with `prefix` ("hls/vod/v2/") are sent through /hls-rate/ at
    // `bytesPerSecond` from now on, transfers under way included; 0 lifts the limit of that
    // prefix. The longest matching prefix wins. Returns false when the server refused.
    bool setRate(const std::string& prefix, int64_t bytesPerSecond) const {
        std::string path = "/_rate?prefix=" + percentEncode(prefix) + "&bps=" + std::to_string(bytesPerSecond);
        return controlOk(path.c_str());
    }
    // Lifts every /hls-rate/ limit.
    bool clearRates() const { return controlOk("/_rate"); }
    // The address of a file sent at the rate set for it: hlsRateUrl("hls/vod/master.m3u8").
    std::string hlsRateUrl(const std::string& name) const { return url("/hls-rate/" + name); }

private:
    static std::string findPython() {
        const char* path = getenv("PATH");
        std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
        size_t at = 0;
        while (at <= dirs.size()) {
            size_t end = dirs.find(':', at);
            if (end == std::string::npos) end = dirs.size();
            std::string candidate = (end > at ? dirs.substr(at, end - at) : ".") + "/python3";
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
            at = end + 1;
        }
        return "/usr/bin/python3";
    }

    void start() {
        // Everything the child needs is built before fork: between fork and exec only
        // async-signal-safe calls run (the test process has other threads).
        std::string python = findPython();
        std::string script = std::string(QV_SOURCE_DIR) + "/tests/servers/fault_server.py";
        std::string root = mediaDir();
        std::vector<std::string> args = {python, script, "--root", root, "--port", std::to_string(mFixedPort)};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "fault server: pipe failed: " << strerror(errno);
            return;
        }
        pid_t parent = getpid();
        mPid = fork();
        if (mPid < 0) {
            ADD_FAILURE() << "fault server: fork failed: " << strerror(errno);
            close(out[0]);
            close(out[1]);
            return;
        }
        if (mPid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            dup2(out[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
            // The server must not keep the test's own sockets alive: a connection the engine
            // closes has to reach its peer.
            close_range(3, ~0U, 0);
            execve(python.c_str(), argv.data(), ::environ);
            _exit(127);
        }
        close(out[1]);
        mPort = readPort(out[0]);
        // The server writes nothing after its first line; closing our end is safe.
        close(out[0]);
        if (mPort <= 0) {
            ADD_FAILURE() << "fault server did not report its port (" << python << " " << script << ")";
            stop();
        }
    }

    static int readPort(int fd) {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
        while (line.find('\n') == std::string::npos) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0) return -1;
            pollfd pfd{fd, POLLIN, 0};
            int ready = poll(&pfd, 1, left);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;
            char buffer[64];
            ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return -1;  // the child exited before it reported
            line.append(buffer, static_cast<size_t>(n));
        }
        int port = 0;
        if (sscanf(line.c_str(), "PORT %d", &port) != 1) return -1;
        return port;
    }

    void stop() {
        if (mPid <= 0) return;
        kill(mPid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTermGraceMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t done = waitpid(mPid, nullptr, WNOHANG);
            if (done == mPid || (done < 0 && errno != EINTR)) {
                mPid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(mPid, SIGKILL);
        while (waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        mPid = -1;
    }

    static std::string percentEncode(const std::string& text) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : text) {
            if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
                out += static_cast<char>(c);
            } else {
                out += '%';
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
        }
        return out;
    }

    bool controlOk(const char* path) const {
        std::string ignored;
        return control(path, &ignored);
    }
    std::string control(const char* path) const {
        std::string body;
        control(path, &body);
        return body;
    }

    // GET `path` on a connection of its own; false (and a recorded failure) unless it answered
    // 200, whose body goes to *body.
    bool control(const char* path, std::string* body) const {
        if (mPort <= 0) return false;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(mPort));
        std::string response;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                  std::to_string(mPort) + "\r\nConnection: close\r\n\r\n";
            if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
                auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kControlTimeoutMs);
                for (;;) {
                    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    deadline - std::chrono::steady_clock::now())
                                                    .count());
                    pollfd pfd{fd, POLLIN, 0};
                    if (left <= 0 || poll(&pfd, 1, left) <= 0) break;
                    char buffer[65536];
                    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
                    if (n <= 0) break;
                    response.append(buffer, static_cast<size_t>(n));
                }
            }
        }
        close(fd);
        size_t bodyAt = response.find("\r\n\r\n");
        if (response.compare(0, 12, "HTTP/1.1 200") != 0 || bodyAt == std::string::npos) {
            ADD_FAILURE() << "fault server: " << path << " failed";
            return false;
        }
        *body = response.substr(bodyAt + 4);
        return true;
    }

    pid_t mPid = -1;
    int mPort = -1;
    int mFixedPort = 0;
};

}  // namespace qvtest
