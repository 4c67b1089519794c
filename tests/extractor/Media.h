// Where the generated test media lives, and small reading helpers.
#pragma once

#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace qvtest {

inline std::string mediaDir() {
    const char* dir = getenv("QV_MEDIA_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return std::string(QV_BINARY_DIR) + "/../media";
}

inline std::string mediaPath(const std::string& name) { return mediaDir() + "/" + name; }

inline bool mediaExists(const std::string& name) {
    struct stat st;
    return stat(mediaPath(name).c_str(), &st) == 0;
}

}  // namespace qvtest

// Skips only when the media directory was not configured and the file is missing.
#define REQUIRE_MEDIA(name)                                                                  \
    do {                                                                                     \
        if (!qvtest::mediaExists(name)) {                                                    \
            if (getenv("QV_MEDIA_DIR") == nullptr) GTEST_SKIP() << "no test media: " << name; \
            FAIL() << "missing test media " << qvtest::mediaPath(name);                      \
        }                                                                                    \
    } while (0)
