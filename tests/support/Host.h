// A host for tests: loads the real library with dlopen and collects the notifications the
// player delivers to its callback.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorvantix/quorvantix.h"
#include "support/Media.h"

namespace qvtest {

// Mesa loads its driver for each display connection and unloads it when the connection closes;
// whatever the driver keeps for the process then shows up as leaks from an unknown module. Held
// open, the driver stays mapped and its own allocations stay attributable to it.
inline void* keepMesaDriverLoaded() {
    static void* const handle = [] {
        void* h = dlopen("/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) h = dlopen("swrast_dri.so", RTLD_NOW | RTLD_LOCAL);
        return h;
    }();
    return handle;
}

// The player factory: the real library loaded with dlopen, as a host loads it, or (InProcess) the
// same engine objects linked into the test program, for tests that register engine probes.
class Library {
public:
    struct InProcess {};
    explicit Library(InProcess) : create(&::CreatePlayer), destroy(&::DestroyPlayer) {}
    Library() {
        // Kept mapped after dlclose, as hosts keep it: its process-wide state stays reachable.
        mHandle = dlopen(QV_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (mHandle) {
            create = reinterpret_cast<CreatePlayerFn>(dlsym(mHandle, "CreatePlayer"));
            destroy = reinterpret_cast<DestroyPlayerFn>(dlsym(mHandle, "DestroyPlayer"));
        }
    }
    ~Library() {
        if (mHandle) dlclose(mHandle);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    bool ok() const { return create && destroy; }
    CreatePlayerFn create = nullptr;
    DestroyPlayerFn destroy = nullptr;

private:
    void* mHandle = nullptr;
};

struct Notification {
    int32_t msg, ext1, ext2;
    std::string text;
    bool hasText;
    std::thread::id thread;
    std::chrono::steady_clock::time_point at;
};

class Collector {
public:
    static void callback(void* user, int32_t msg, int32_t ext1, int32_t ext2, const char* text) {
        auto* self = static_cast<Collector*>(user);
        std::lock_guard<std::mutex> l(self->mLock);
        self->mItems.push_back({msg, ext1, ext2, text ? text : "", text != nullptr, std::this_thread::get_id(),
                                std::chrono::steady_clock::now()});
        self->mCond.notify_all();
    }

    // Waits until a notification matching pred has arrived (also one that arrived before).
    bool waitFor(const std::function<bool(const Notification&)>& pred, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> l(mLock);
        return mCond.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
            return std::any_of(mItems.begin(), mItems.end(), pred);
        });
    }
    bool waitForMsg(int32_t msg, int timeoutMs = 5000) {
        return waitFor([msg](const Notification& n) { return n.msg == msg; }, timeoutMs);
    }
    // Waits for the first of several messages; returns it, or -1 on time-out.
    int32_t waitForAnyOf(std::vector<int32_t> msgs, int timeoutMs) {
        int32_t found = -1;
        waitFor(
            [&](const Notification& n) {
                if (std::find(msgs.begin(), msgs.end(), n.msg) == msgs.end()) return false;
                found = n.msg;
                return true;
            },
            timeoutMs);
        return found;
    }
    size_t count(const std::function<bool(const Notification&)>& pred) {
        std::lock_guard<std::mutex> l(mLock);
        return static_cast<size_t>(std::count_if(mItems.begin(), mItems.end(), pred));
    }
    size_t countMsg(int32_t msg) {
        return count([msg](const Notification& n) { return n.msg == msg; });
    }
    std::vector<Notification> items() {
        std::lock_guard<std::mutex> l(mLock);
        return mItems;
    }
    void clear() {
        std::lock_guard<std::mutex> l(mLock);
        mItems.clear();
    }
    // The message codes in arrival order, for order checks and failure messages.
    std::vector<int32_t> msgs() {
        std::lock_guard<std::mutex> l(mLock);
        std::vector<int32_t> out;
        for (const auto& n : mItems) out.push_back(n.msg);
        return out;
    }

private:
    std::mutex mLock;
    std::condition_variable mCond;
    std::vector<Notification> mItems;
};

}  // namespace qvtest
