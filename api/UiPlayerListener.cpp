#include "api/UiPlayerListener.h"

#include <cstring>

#include "utils/Log.h"

#define LOG_TAG "VEL_UiPlayerListener"

namespace velmor {

namespace {

const char kKeyMsg[] = "msg";
const char kKeyExt1[] = "ext1";
const char kKeyExt2[] = "ext2";
const char kKeySubtitle[] = "subtitle";

// Subtitle notifications of the primary and secondary tracks.
constexpr int32_t kMsgTimedText = 99;
constexpr int32_t kMsgTimedText2 = 101;

// Header of a subtitle cue payload.
constexpr int32_t kCueKeyStart = 102;
constexpr int32_t kCueKeyTime = 7;
constexpr int32_t kCueKeyText = 17;

bool readExpected(const Payload& p, int32_t expected) {
    int32_t v = 0;
    return p.readInt32(&v) == OK && v == expected;
}

// The cue text of a subtitle payload; false when the payload is not a cue or the text is empty.
bool readCueText(const Payload& p, const char** text) {
    // Read from the start whatever the sender left the position at.
    const_cast<Payload&>(p).setDataPosition(0);
    if (!readExpected(p, kCueKeyStart)) return false;
    if (!readExpected(p, kCueKeyTime)) return false;
    int32_t startMs = 0;
    if (p.readInt32(&startMs) != OK) return false;
    if (!readExpected(p, kCueKeyText)) return false;
    const char* charset = p.readCString();
    if (!charset) return false;
    const char* cue = p.readCString();
    if (!cue || cue[0] == '\0') return false;
    *text = cue;
    return true;
}

}  // namespace

UiPlayerListener::UiPlayerListener(VelmorNotifyCallback callback, void* userData)
    : mQueue(new TimerQueue("UiListener")), mCallback(callback), mUserData(userData) {
    mQueue->start();
}

UiPlayerListener::~UiPlayerListener() {
    mQueue->cancelAllEvents();
    if (mQueue->isWorkerThread()) {
        // Destroyed from inside the host callback: the delivery thread cannot be joined here.
        // It ends once the callback returns and frees the queue itself.
        mQueue->deleteFromWorkerThread();
    } else {
        mQueue->stop();
        delete mQueue;
    }
    mQueue = nullptr;
}

void UiPlayerListener::notify(int32_t msg, int32_t ext1, int32_t ext2, const Payload* obj) {
    Ref<UiReporterEvent> event = new UiReporterEvent(this, &UiPlayerListener::onDeliver);
    event->setInt32(kKeyMsg, msg);
    event->setInt32(kKeyExt1, ext1);
    event->setInt32(kKeyExt2, ext2);
    if ((msg == kMsgTimedText || msg == kMsgTimedText2) && obj) {
        const char* text = nullptr;
        if (readCueText(*obj, &text)) event->setString(kKeySubtitle, text, static_cast<ssize_t>(strlen(text)));
    }
    mQueue->postEventWithDelay(event, kDeliveryDelayUs);
}

void UiPlayerListener::onDeliver(UiReporterEvent* event) {
    int32_t msg = 0, ext1 = 0, ext2 = 0;
    if (!event->findInt32(kKeyMsg, &msg) || !event->findInt32(kKeyExt1, &ext1) || !event->findInt32(kKeyExt2, &ext2)) {
        return;
    }
    std::string subtitle;
    const bool hasText = event->findString(kKeySubtitle, &subtitle);
    if (mCallback) mCallback(mUserData, msg, ext1, ext2, hasText ? subtitle.c_str() : nullptr);
}

}  // namespace velmor
