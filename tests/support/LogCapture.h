// Routes the engine's log lines into memory while alive, so tests can look for what was logged.
// Lines below the log threshold are not written at all; a capture can lower (or raise) the
// threshold for its lifetime and puts the previous one back when it ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "utils/Log.h"

namespace velmor::test {

class LogCapture {
public:
    explicit LogCapture(int threshold = logLevel()) : mSavedThreshold(setLogLevel(threshold)) {
        {
            std::lock_guard<std::mutex> l(mu());
            lines().clear();
        }
        setLogSink(&LogCapture::sink);
    }
    ~LogCapture() {
        setLogSink(nullptr);
        setLogLevel(mSavedThreshold);
    }

    std::vector<std::string> linesContaining(const std::string& text) const {
        std::lock_guard<std::mutex> l(mu());
        std::vector<std::string> out;
        for (const auto& line : lines()) {
            if (line.find(text) != std::string::npos) out.push_back(line);
        }
        return out;
    }
    size_t count(const std::string& text) const { return linesContaining(text).size(); }
    // Lines containing text written at the level of the mark ('I' for "{I}").
    size_t count(const std::string& text, char mark) const {
        size_t n = 0;
        for (const auto& line : linesContaining(text)) n += line.rfind(std::string("{") + mark + "}  [", 0) == 0;
        return n;
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    // Waits until at least n lines contain text.
    bool waitFor(const std::string& text, size_t n = 1, int timeoutMs = 5000) const {
        std::unique_lock<std::mutex> l(mu());
        return cv().wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
            size_t c = 0;
            for (const auto& line : lines()) {
                if (line.find(text) != std::string::npos) ++c;
            }
            return c >= n;
        });
    }

private:
    const int mSavedThreshold;
    static std::mutex& mu() {
        static std::mutex m;
        return m;
    }
    static std::condition_variable& cv() {
        static std::condition_variable c;
        return c;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> v;
        return v;
    }
    static void sink(const char* line, int length) {
        {
            std::lock_guard<std::mutex> l(mu());
            lines().emplace_back(line, static_cast<size_t>(length));
        }
        cv().notify_all();
    }
};

}  // namespace velmor::test
