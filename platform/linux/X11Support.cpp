#include "platform/linux/X11Support.h"

#include <map>
#include <mutex>

#include "utils/Log.h"

#define LOG_TAG "VEL_X11Support"

namespace velmor {

namespace {

std::mutex gLock;
// Error code recorded per sink connection (0 = none).
std::map<Display*, int>* gErrors = nullptr;
XErrorHandler gPreviousHandler = nullptr;
bool gInstalled = false;

int sinkErrorHandler(Display* display, XErrorEvent* event) {
    {
        std::lock_guard<std::mutex> l(gLock);
        if (gErrors != nullptr) {
            auto it = gErrors->find(display);
            if (it != gErrors->end()) {
                if (it->second == 0) it->second = event->error_code;
                char text[128] = {0};
                XGetErrorText(display, event->error_code, text, sizeof(text) - 1);
                log(LOG_WARN, LOG_TAG, "X error %d (%s), request %d.%d, resource 0x%lx", event->error_code, text,
                    event->request_code, event->minor_code, event->resourceid);
                return 0;
            }
        }
    }
    // Not one of ours: whatever the host installed (or Xlib's default) decides.
    return gPreviousHandler != nullptr ? gPreviousHandler(display, event) : 0;
}

}  // namespace

Display* OpenSinkDisplay() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return nullptr;
    std::lock_guard<std::mutex> l(gLock);
    if (gErrors == nullptr) gErrors = new std::map<Display*, int>();
    (*gErrors)[display] = 0;
    if (!gInstalled) {
        gPreviousHandler = XSetErrorHandler(sinkErrorHandler);
        gInstalled = true;
    }
    return display;
}

void CloseSinkDisplay(Display* display) {
    if (display == nullptr) return;
    XCloseDisplay(display);
    std::lock_guard<std::mutex> l(gLock);
    if (gErrors != nullptr) gErrors->erase(display);
}

void ClearX11Error(Display* display) {
    std::lock_guard<std::mutex> l(gLock);
    if (gErrors != nullptr) (*gErrors)[display] = 0;
}

int TakeX11Error(Display* display) {
    XSync(display, False);
    std::lock_guard<std::mutex> l(gLock);
    if (gErrors == nullptr) return 0;
    int code = (*gErrors)[display];
    (*gErrors)[display] = 0;
    return code;
}

}  // namespace velmor
