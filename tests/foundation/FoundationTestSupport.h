// Helpers shared by the foundation tests: message codes, the log capture and a handler that
// records messages.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/foundation/Looper.h"
#include "support/LogCapture.h"

namespace velmor::test {

// A message code from up to four characters, most significant first ("abcd" -> 0x61626364).
constexpr int32_t FCC(const char* s) {
    uint32_t v = 0;
    for (int i = 0; s[i] != 0 && i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(s[i]);
    return static_cast<int32_t>(v);
}

// Records every message it receives, with the receiving thread; an optional hook runs first.
class RecordingHandler : public Handler {
public:
    std::function<void(const Ref<Message>&)> hook;

    bool waitForCount(size_t n, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> l(mMutex);
        return mCond.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return mMessages.size() >= n; });
    }
    std::vector<Ref<Message>> messages() {
        std::lock_guard<std::mutex> l(mMutex);
        return mMessages;
    }
    std::vector<int32_t> whats() {
        std::lock_guard<std::mutex> l(mMutex);
        std::vector<int32_t> out;
        for (const auto& m : mMessages) out.push_back(m->what());
        return out;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard<std::mutex> l(mMutex);
        return mThreads;
    }
    size_t count() {
        std::lock_guard<std::mutex> l(mMutex);
        return mMessages.size();
    }

protected:
    void onMessageReceived(const Ref<Message>& msg) override {
        if (hook) hook(msg);
        {
            std::lock_guard<std::mutex> l(mMutex);
            mMessages.push_back(msg);
            mThreads.push_back(std::this_thread::get_id());
        }
        mCond.notify_all();
    }

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    std::vector<Ref<Message>> mMessages;
    std::vector<std::thread::id> mThreads;
};

}  // namespace velmor::test
