// The nginx service that scripts/services.sh starts on loopback: the media folder over HTTP and
// HTTPS (self-signed certificate), with byte ranges, HEAD and keep-alive, and a throttled view
// of the same files under /rate/BYTES_PER_SECOND/NAME.
//
// The addresses come from $QV_HTTP_BASE and $QV_HTTPS_BASE. Without them the services were not
// started, which is an error of the test run, never a reason to skip: the helpers then record a
// failure, which fails the test.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace qvtest {

inline constexpr const char* kNginxMissing =
    "not set: start the test services first (source scripts/services.sh && services_start)";

inline std::string nginxEnv(const char* name) {
    const char* value = getenv(name);
    if (value == nullptr || *value == '\0') {
        ADD_FAILURE() << name << " " << kNginxMissing;
        return {};
    }
    return value;
}

// http://127.0.0.1:PORT and https://127.0.0.1:PORT2, without a trailing slash.
inline std::string nginxBase() { return nginxEnv("QV_HTTP_BASE"); }
inline std::string nginxHttpsBase() { return nginxEnv("QV_HTTPS_BASE"); }

// A media file by name: nginxUrl("h264_aac.mp4").
inline std::string nginxUrl(const std::string& name) { return nginxBase() + "/" + name; }

// The same file sent at `bytesPerSecond` (evenly, from the first byte; ranges work too).
inline std::string nginxRateUrl(int64_t bytesPerSecond, const std::string& name) {
    return nginxBase() + "/rate/" + std::to_string(bytesPerSecond) + "/" + name;
}

}  // namespace qvtest
