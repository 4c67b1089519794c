// The engine's single log function and the monotonic clock.
//
// A line is written only when its level reaches the process-wide threshold (setLogLevel, INFO by
// default) and the installed sink wants that level. The VLOG macros make that test inline, before
// their arguments are evaluated, so a line nobody will see costs one atomic load: no call, no
// formatting, no clock read. log() itself makes the same test for direct callers.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>

namespace velmor {

enum LogLevel { LOG_VERBOSE = 2, LOG_DEBUG = 3, LOG_INFO = 4, LOG_WARN = 5, LOG_ERROR = 6, LOG_FATAL = 7 };
// A threshold above every level: nothing is written.
constexpr int kLogSilent = 0x7fffffff;

// Writes one line "{I}  [MM-DD hh:mm:ss.mmm]    TAG             message\n" to standard error (or
// the sink), when the level is wanted.
void log(int level, const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Formats the line that log() writes, without the output; returns its length. For tests and dumps.
int formatLogLine(char* out, int outSize, int level, const char* tag, const char* message);

// Where log lines go; null restores standard error. The sink receives one complete line per call,
// on the logging thread: the lines the threshold lets through that are also at or above minLevel
// (kLogSilent: none at all, so nothing is formatted).
typedef void (*LogSink)(const char* line, int length);
void setLogSink(LogSink sink, int minLevel = INT_MIN);

// Process-wide threshold: lines below level are dropped before formatting. Returns the old one.
int setLogLevel(int level);
int logLevel();

namespace logdetail {
// The larger of the threshold and the sink's minimum; written only by setLogLevel/setLogSink.
extern std::atomic<int> gEffectiveLevel;
}  // namespace logdetail

// True when a line of this level would be written.
inline bool logWanted(int level) { return level >= logdetail::gEffectiveLevel.load(std::memory_order_relaxed); }

// Monotonic time in nanoseconds.
int64_t systemTime();
// Monotonic time in microseconds (systemTime() / 1000).
int64_t GetNowUs();

}  // namespace velmor

// Each source file defines LOG_TAG ("VEL_ClassName") before using these.
// The arguments are evaluated only when the line is wanted.
#define VLOG_AT(level, ...) \
    (::velmor::logWanted(level) ? ::velmor::log((level), LOG_TAG, __VA_ARGS__) : (void)0)
#define VLOGV(...) VLOG_AT(::velmor::LOG_VERBOSE, __VA_ARGS__)
#define VLOGD(...) VLOG_AT(::velmor::LOG_DEBUG, __VA_ARGS__)
#define VLOGI(...) VLOG_AT(::velmor::LOG_INFO, __VA_ARGS__)
#define VLOGW(...) VLOG_AT(::velmor::LOG_WARN, __VA_ARGS__)
#define VLOGE(...) VLOG_AT(::velmor::LOG_ERROR, __VA_ARGS__)

// Invariant checks: callers keep these conditions. A failed check builds its text and
// carries on; it neither logs nor stops.
namespace velmor {
void checkFailed(const char* file, int line, const char* expr);
template <typename A, typename B>
inline void checkFailedOp(const char* file, int line, const char* expr, const A&, const B&) {
    checkFailed(file, line, expr);
}
}  // namespace velmor
#define CHECK(cond) do { if (!(cond)) ::velmor::checkFailed(__FILE__, __LINE__, #cond); } while (0)
#define VEL_CHECK_OP(a, b, op) do { const auto& _va = (a); const auto& _vb = (b); \
    if (!(_va op _vb)) ::velmor::checkFailedOp(__FILE__, __LINE__, #a " " #op " " #b, _va, _vb); } while (0)
#define CHECK_EQ(a, b) VEL_CHECK_OP(a, b, ==)
#define CHECK_NE(a, b) VEL_CHECK_OP(a, b, !=)
#define CHECK_LT(a, b) VEL_CHECK_OP(a, b, <)
#define CHECK_LE(a, b) VEL_CHECK_OP(a, b, <=)
#define CHECK_GT(a, b) VEL_CHECK_OP(a, b, >)
#define CHECK_GE(a, b) VEL_CHECK_OP(a, b, >=)
#define TRESPASS() do {} while (0)
