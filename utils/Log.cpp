#include "utils/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/time.h>
#include <unistd.h>

namespace velmor {

namespace logdetail {
std::atomic<int> gEffectiveLevel{LOG_INFO};
}  // namespace logdetail

namespace {
constexpr int kMaxLine = 4094;
std::atomic<LogSink> gSink{nullptr};

// --- Guarded by gLevelLock: the two inputs of gEffectiveLevel, so that concurrent setters
// cannot leave it out of step with them.
std::mutex gLevelLock;
int gThreshold = LOG_INFO;
int gSinkMinLevel = INT_MIN;

// Caller holds gLevelLock.
void storeEffectiveLevel() {
    logdetail::gEffectiveLevel.store(std::max(gThreshold, gSinkMinLevel), std::memory_order_relaxed);
}

const char* levelMark(int level) {
    switch (level) {
        case 3: return "{D}";
        case 4: return "{I}";
        case 5: return "{W}";
        case 6:
        case 7: return "{E}";
        default: return "{V}";
    }
}
}  // namespace

int formatLogLine(char* out, int outSize, int level, const char* tag, const char* message) {
    if (outSize <= 0) return 0;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm lt;
    localtime_r(&tv.tv_sec, &lt);
    char tagField[17];
    snprintf(tagField, sizeof(tagField), "%-16.15s", tag ? tag : "");
    const int limit = outSize - 1 < kMaxLine ? outSize - 1 : kMaxLine;
    // Everything but the newline must fit in limit - 1 characters.
    int n = snprintf(out, static_cast<size_t>(limit), "%s  [%02d-%02d %02d:%02d:%02d.%03d]    %s%s", levelMark(level),
                     lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, static_cast<int>(tv.tv_usec / 1000),
                     tagField, message ? message : "");
    if (n < 0) n = 0;
    if (n > limit - 1) n = limit - 1;
    out[n++] = '\n';
    out[n] = '\0';
    return n;
}

void log(int level, const char* tag, const char* format, ...) {
    if (!logWanted(level)) return;
    char message[kMaxLine + 1];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof(message), format, ap);
    va_end(ap);
    char line[kMaxLine + 2];
    const int n = formatLogLine(line, sizeof(line), level, tag, message);
    if (LogSink sink = gSink.load()) {
        sink(line, n);
        return;
    }
    // One write per line keeps lines from different threads apart.
    ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<size_t>(n));
    (void)ignored;
}

void setLogSink(LogSink sink, int minLevel) {
    std::lock_guard<std::mutex> l(gLevelLock);
    gSink.store(sink);
    gSinkMinLevel = sink ? minLevel : INT_MIN;
    storeEffectiveLevel();
}

int setLogLevel(int level) {
    std::lock_guard<std::mutex> l(gLevelLock);
    const int old = gThreshold;
    gThreshold = level;
    storeEffectiveLevel();
    return old;
}

int logLevel() {
    std::lock_guard<std::mutex> l(gLevelLock);
    return gThreshold;
}

int64_t systemTime() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t GetNowUs() { return systemTime() / 1000; }

void checkFailed(const char* file, int line, const char* expr) {
    // The text is built and dropped on purpose.
    std::string text = std::string(file) + ":" + std::to_string(line) + " CHECK(" + expr + ") failed: ";
    (void)text;
}

}  // namespace velmor
