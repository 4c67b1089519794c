// The engine's single log function and the monotonic clock.
#pragma once

#include <cstdint>

namespace velmor {

enum LogLevel { LOG_VERBOSE = 2, LOG_DEBUG = 3, LOG_INFO = 4, LOG_WARN = 5, LOG_ERROR = 6, LOG_FATAL = 7 };

// Writes one line "{I}  [MM-DD hh:mm:ss.mmm]    TAG             message\n" to standard error.
void log(int level, const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Formats the line that log() writes, without the output; returns its length. For tests and dumps.
int formatLogLine(char* out, int outSize, int level, const char* tag, const char* message);

// Where log lines go; null restores standard error. The sink receives one complete line per call.
typedef void (*LogSink)(const char* line, int length);
void setLogSink(LogSink sink);

// Monotonic time in nanoseconds.
int64_t systemTime();
// Monotonic time in microseconds (systemTime() / 1000).
int64_t GetNowUs();

}  // namespace velmor

// Each source file defines LOG_TAG ("VEL_ClassName") before using these.
#define VLOGV(...) ::velmor::log(::velmor::LOG_VERBOSE, LOG_TAG, __VA_ARGS__)
#define VLOGD(...) ::velmor::log(::velmor::LOG_DEBUG, LOG_TAG, __VA_ARGS__)
#define VLOGI(...) ::velmor::log(::velmor::LOG_INFO, LOG_TAG, __VA_ARGS__)
#define VLOGW(...) ::velmor::log(::velmor::LOG_WARN, LOG_TAG, __VA_ARGS__)
#define VLOGE(...) ::velmor::log(::velmor::LOG_ERROR, LOG_TAG, __VA_ARGS__)

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
