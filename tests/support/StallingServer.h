// A loopback HTTP server that stalls: every connection gets the same prefix after its request
// (nothing, or headers and the first part of a body) and then silence until the server goes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/Media.h"

namespace qvtest {

// Serves every connection on 127.0.0.1 the same way and keeps it open, silent, until destroyed.
class StallingServer {
public:
    // prefix: what each connection gets after its request before it goes silent (empty: nothing).
    explicit StallingServer(std::string prefix) : mPrefix(std::move(prefix)) {
        mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(mListen, 8) != 0 ||
            getsockname(mListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
            return;
        }
        mPort = ntohs(addr.sin_port);
        mThread = std::thread([this] { serve(); });
    }
    ~StallingServer() {
        mDone = true;
        if (mThread.joinable()) mThread.join();
        for (int fd : mClients) close(fd);
        close(mListen);
    }
    std::string url(const char* name = "clip.ts") const {
        return "http://127.0.0.1:" + std::to_string(mPort) + "/" + name;
    }
    int connections() const { return mConnections; }

private:
    void serve() {
        while (!mDone) {
            pollfd pfd{mListen, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0) continue;
            int fd = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            mClients.push_back(fd);
            ++mConnections;
            if (mPrefix.empty()) continue;
            char request[4096];
            pollfd rfd{fd, POLLIN, 0};
            if (poll(&rfd, 1, 2000) > 0) (void)!recv(fd, request, sizeof(request), 0);
            (void)!send(fd, mPrefix.data(), mPrefix.size(), MSG_NOSIGNAL);
        }
    }

    std::string mPrefix;
    int mListen = -1;
    int mPort = 0;
    std::atomic<bool> mDone{false};
    std::atomic<int> mConnections{0};
    std::vector<int> mClients;
    std::thread mThread;
};

// The response headers for a transport stream of `announcedBytes`, then the first `bodyBytes`
// of the file.
inline std::string httpPrefix(const std::string& file, size_t bodyBytes, size_t announcedBytes) {
    std::vector<uint8_t> clip = readWholeFile(file);
    std::string out = "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: " +
                      std::to_string(announcedBytes) + "\r\nConnection: keep-alive\r\n\r\n";
    out.append(reinterpret_cast<const char*>(clip.data()), std::min(clip.size(), bodyBytes));
    return out;
}

}  // namespace qvtest
