// Feeds arbitrary bytes to the HTTP transport as a web server's answer, through a real loopback
// socket, and reads the body the way the cache does.
//
// Input: one mode byte, then the answer. A server thread on 127.0.0.1 (created once, on a port
// the kernel picks) accepts every connection, reads the request head, writes the answer, and
// closes, so every read ends. HttpDataSource::connect("http://127.0.0.1:PORT/x") then runs at an
// offset the mode byte picks, reads with readAt until the end or an error (a bounded count and
// size), optionally reads once more at another offset (a reconnect with a range), and is
// released. Redirects and reconnects come back to the same server: the answer may hold several
// answers separated by kAnswerSeparator, the Nth connection gets the Nth (the last one repeats),
// so a redirect can be followed by a 206, or a short body by the answer to its reconnect.
// The static parsers (status line, header line, URL, number) also run on every line of the
// answer directly.
//
// Mode byte: bits 0-1 the connect offset (kOffsets), bits 2-3 the read size (kReadSizes), bit 4
// one more read at kSeekOffsets[bits 5-6] after the loop.
//
// The process never reaches beyond loopback: it moves into a network namespace of its own when
// it may (root), proxies from the environment are dropped, and an answer whose Location would
// lead to any other host or port is only parsed, never connected to.
//
//   QV_FUZZ_BUILD=build/hB-fuzz bash fuzz/run.sh 300 http_response
// Replay one input with the engine's log: QV_FUZZ_LOG=1 build/hB-fuzz/fuzz/fuzz_http_response FILE
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/HttpConnection.h"
#include "engine/HttpDataSource.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

// Longest answer served (run.sh passes -max_len=65536, the mode byte included).
constexpr size_t kMaxAnswer = 64 * 1024;
// Bounds of the read loop: a body that keeps reconnecting (a short body with a length) ends here.
constexpr int kMaxReads = 48;
constexpr int64_t kMaxBodyBytes = 256 * 1024;
constexpr size_t kReadBufferBytes = 64 * 1024;
constexpr int64_t kOffsets[4] = {0, 100, 0, 5000000000LL};
constexpr size_t kReadSizes[4] = {kReadBufferBytes, 1, 7, 4096};
constexpr int64_t kSeekOffsets[4] = {0, 1, 100, 1 << 20};
constexpr uint8_t kSeekBit = 0x10;
// The server's wait for a request head, and its largest accepted head.
constexpr int kRequestWaitMs = 2000;
constexpr size_t kMaxRequestBytes = 16 * 1024;
// Between the answers of successive connections (fuzz/make_seeds.py writes the same).
constexpr char kAnswerSeparator[] = "\n#--\n";
// Pause after a failed accept (out of descriptors), so the server thread does not spin.
constexpr useconds_t kAcceptRetryUs = 1000;

// The loopback server. One thread, one connection at a time: the engine never holds two (a
// redirect or a reconnect closes the previous connection first).
class AnswerServer {
public:
    bool start() {
        mListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (mListenFd < 0) return false;
        int on = 1;
        setsockopt(mListenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof(address);
        if (bind(mListenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(mListenFd, 16) != 0 ||
            getsockname(mListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return false;
        }
        mPort = ntohs(address.sin_port);
        std::thread([this] { run(); }).detach();
        return true;
    }

    int port() const { return mPort; }

    void setAnswers(const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> lock(mLock);
        mAnswers.clear();
        mNext = 0;
        const std::string all(reinterpret_cast<const char*>(data), size);
        const size_t separatorLength = strlen(kAnswerSeparator);
        size_t start = 0;
        for (size_t at; (at = all.find(kAnswerSeparator, start)) != std::string::npos; start = at + separatorLength) {
            mAnswers.push_back(all.substr(start, at - start));
        }
        mAnswers.push_back(all.substr(start));
    }

private:
    void run() {
        for (;;) {
            int fd = accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                usleep(kAcceptRetryUs);
                continue;
            }
            serve(fd);
            close(fd);
        }
    }

    // Reads the request head up to its empty line. False for anything that is not a plain-text
    // request (a TLS hello after an https redirect) or that does not arrive in time.
    static bool readRequest(int fd) {
        std::string head;
        char buffer[2048];
        while (head.find("\r\n\r\n") == std::string::npos) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, kRequestWaitMs) <= 0) return false;
            ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) return false;
            head.append(buffer, static_cast<size_t>(n));
            if (!isalpha(static_cast<unsigned char>(head[0])) || head.size() > kMaxRequestBytes) return false;
        }
        return true;
    }

    void serve(int fd) {
        if (!readRequest(fd)) return;
        std::string answer;
        {
            std::lock_guard<std::mutex> lock(mLock);
            answer = mAnswers[std::min(mNext, mAnswers.size() - 1)];
            ++mNext;
        }
        size_t sent = 0;
        while (sent < answer.size()) {
            ssize_t n = send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;  // the engine closed early (an error status, a refused header)
            sent += static_cast<size_t>(n);
        }
        shutdown(fd, SHUT_WR);
    }

    int mListenFd = -1;
    int mPort = 0;
    // Guards the answers: set by the fuzzer thread, served by the server thread.
    std::mutex mLock;
    std::vector<std::string> mAnswers;  // never empty once set
    size_t mNext = 0;                   // the answer for the next connection
};

AnswerServer* gServer = nullptr;  // lives as long as the process
bool gTrace = false;              // QV_FUZZ_LOG: the engine's log and one line per read

// Moves the process into a network namespace of its own with only the loopback interface up,
// so that nothing an answer says can reach another machine. Needs CAP_SYS_ADMIN; without it the
// Location check below is the only guard. Runs before any thread or socket is made.
void isolateNetwork() {
    int previous = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (previous < 0) return;
    if (unshare(CLONE_NEWNET) != 0) {
        close(previous);
        return;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    strncpy(request.ifr_name, "lo", sizeof(request.ifr_name) - 1);
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ioctl(s, SIOCSIFFLAGS, &request) == 0;
    }
    if (s >= 0) close(s);
    // Without a working loopback in the new namespace, go back to the old one.
    if (!up) setns(previous, CLONE_NEWNET);
    close(previous);
}

// One answer line as the engine reads it: up to LF, a CR before the LF dropped, cut at a NUL.
std::string engineLine(const char* begin, const char* end) {
    if (end > begin && end[-1] == '\r') --end;
    const void* nul = memchr(begin, '\0', static_cast<size_t>(end - begin));
    if (nul != nullptr) end = static_cast<const char*>(nul);
    return std::string(begin, end);
}

// True when a Location value keeps the engine on our server: a relative reference, something
// the engine refuses, or an absolute or scheme-relative address of 127.0.0.1 on our port.
bool locationStaysHere(const std::string& location, int port) {
    std::string absolute;
    if (strncasecmp(location.c_str(), "http://", 7) == 0 || strncasecmp(location.c_str(), "https://", 8) == 0) {
        absolute = location;
    } else if (location.find("://") != std::string::npos) {
        return true;  // refused
    } else if (location.compare(0, 2, "//") == 0) {
        absolute = "http:" + location;
    } else {
        return true;  // relative: same host and port
    }
    HttpDataSource::Address to;
    if (HttpDataSource::ParseURL(absolute.c_str(), &to) != OK) return true;  // refused
    return to.host == "127.0.0.1" && to.port == port;
}

// Runs the static parsers on every line; false when some Location line leads elsewhere.
bool parseLines(const uint8_t* data, size_t size, int port) {
    const char* p = reinterpret_cast<const char*>(data);
    const char* end = p + size;
    bool staysHere = true;
    while (p < end) {
        const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* lineEnd = lf != nullptr ? lf : end;
        const std::string line = engineLine(p, lineEnd);
        int32_t status = -1;
        if (HttpConnection::ParseStatusLine(line.c_str(), &status) && (status < 0 || status > 999)) abort();
        std::string key, value;
        HttpConnection::ParseHeaderLine(line.c_str(), &key, &value);
        HttpDataSource::Address address;
        if (HttpDataSource::ParseURL(value.c_str(), &address) == OK &&
            (address.host.empty() || address.path.empty() || address.path[0] != '/' || address.port < 0 ||
             address.port > 65535)) {
            abort();
        }
        HttpDataSource::ParseURL(line.c_str(), &address);
        int64_t number = 0;
        if (HttpDataSource::ParseNumber(value.c_str(), &number) && number < 0) abort();
        // Every line, not only those before the empty one: a cheap superset of what the engine reads.
        if (key == "location" && !locationStaysHere(value, port)) staysHere = false;
        p = lineEnd + 1;
    }
    return staysHere;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gTrace = getenv("QV_FUZZ_LOG") != nullptr;
    if (!gTrace) setLogLevel(kLogSilent);
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        unsetenv(name);
    }
    isolateNetwork();
    gServer = new AnswerServer;
    if (!gServer->start()) {
        fprintf(stderr, "fuzz_http_response: cannot listen on 127.0.0.1: %s\n", strerror(errno));
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kMaxAnswer) return 0;
    const uint8_t mode = data[0];
    const uint8_t* answer = data + 1;
    const size_t answerSize = size - 1;
    const int port = gServer->port();
    if (!parseLines(answer, answerSize, port)) return 0;

    gServer->setAnswers(answer, answerSize);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x";
    const int64_t offset = kOffsets[mode & 3];
    const size_t readSize = kReadSizes[(mode >> 2) & 3];

    Ref<HttpDataSource> http = new HttpDataSource;
    const status_t connected = http->connect(url.c_str(), nullptr, offset);
    if (gTrace) fprintf(stderr, "connect at %lld: %d\n", static_cast<long long>(offset), connected);
    if (connected == OK) {
        // Exactly the size asked for: a read that writes past it shows up under the sanitizer.
        std::vector<uint8_t> storage(readSize);
        uint8_t* buffer = storage.data();
        int64_t position = offset;
        int64_t total = 0;
        for (int i = 0; i < kMaxReads && total < kMaxBodyBytes; ++i) {
            ssize_t n = http->readAt(position, buffer, readSize);
            if (gTrace) fprintf(stderr, "readAt(%lld, %zu): %zd\n", static_cast<long long>(position), readSize, n);
            if (n <= 0) break;
            if (static_cast<size_t>(n) > readSize) abort();
            position += n;
            total += n;
        }
        if (mode & kSeekBit) {
            const int64_t seekOffset = kSeekOffsets[(mode >> 5) & 3];
            ssize_t n = http->readAt(seekOffset, buffer, readSize);
            if (gTrace) fprintf(stderr, "readAt(%lld, %zu) after the loop: %zd\n", static_cast<long long>(seekOffset), readSize, n);
            if (n > 0 && static_cast<size_t>(n) > readSize) abort();
        }
        int64_t length = 0;
        http->getSize(&length);
        http->flags();
        http->getUri();
    }
    http->disconnect();
    return 0;
}
