// Helpers shared by the foundation tests: message codes, a handler that records messages and a
// looper with one such handler.
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

// Records every message it receives; an optional hook runs first.
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
        std::vector<int32_t> out;
        for (const auto& m : messages()) out.push_back(m->what());
        return out;
    }
    size_t count() { return messages().size(); }

protected:
    void onMessageReceived(const Ref<Message>& msg) override {
        if (hook) hook(msg);
        {
            std::lock_guard<std::mutex> l(mMutex);
            mMessages.push_back(msg);
        }
        mCond.notify_all();
    }

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    std::vector<Ref<Message>> mMessages;
};

// A looper (not started) with one recording handler; unregistered and stopped at the end.
struct LooperWithHandler {
    Ref<Looper> looper = new Looper;
    Ref<RecordingHandler> handler = new RecordingHandler;
    handler_id id = looper->registerHandler(handler);
    ~LooperWithHandler() {
        looper->unregisterHandler(id);
        looper->stop();
    }
    void post(int32_t what, int64_t delayUs = 0) { (new Message(what, id))->post(delayUs); }
};

}  // namespace velmor::test
