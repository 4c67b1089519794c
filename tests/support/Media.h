// Where the generated test media lives, and reading whole files and command output.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qvtest {

inline std::string mediaDir() {
    const char* dir = getenv("QV_MEDIA_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return std::string(QV_BINARY_DIR) + "/../media";
}

inline std::string mediaPath(const std::string& name) { return mediaDir() + "/" + name; }

inline bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline bool mediaExists(const std::string& name) { return fileExists(mediaPath(name)); }

// Everything left to read from a stream.
inline std::vector<uint8_t> readAll(FILE* stream) {
    std::vector<uint8_t> out;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), stream)) > 0) out.insert(out.end(), chunk, chunk + n);
    return out;
}

// A file's bytes (none when it cannot be opened).
inline std::vector<uint8_t> readWholeFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return {};
    std::vector<uint8_t> bytes = readAll(f);
    fclose(f);
    return bytes;
}

// The standard output of a shell command.
inline std::vector<uint8_t> runCommand(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    std::vector<uint8_t> out = readAll(pipe);
    pclose(pipe);
    return out;
}

}  // namespace qvtest

// Skips only when the media directory was not configured and the file is missing; fails when
// the directory was configured.
#define QVTEST_REQUIRE_EXISTING(exists, what, shown)                                         \
    do {                                                                                     \
        if (!(exists)) {                                                                     \
            if (getenv("QV_MEDIA_DIR") == nullptr) GTEST_SKIP() << "no test media: " << what; \
            FAIL() << "missing test media " << shown;                                        \
        }                                                                                    \
    } while (0)

// A fixture by name inside the media directory.
#define REQUIRE_MEDIA(name) QVTEST_REQUIRE_EXISTING(qvtest::mediaExists(name), name, qvtest::mediaPath(name))
// A fixture by full path.
#define REQUIRE_FILE(path) QVTEST_REQUIRE_EXISTING(qvtest::fileExists(path), path, path)
