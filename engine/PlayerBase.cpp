#include "engine/PlayerBase.h"

namespace velmor {

PlayerBase::PlayerBase() : mCookie(nullptr), mNotify(nullptr), mAutoLoop(false) {}

PlayerBase::~PlayerBase() {}

status_t PlayerBase::setListener(const Ref<PlayerListener>& listener) {
    Ref<PlayerListener> old;
    {
        Mutex::Autolock _l(mNotifyLock);
        old = mListener;
        mListener = listener;
    }
    // The old listener may be destroyed here, outside the lock: its queue thread is joined.
    old.clear();
    return OK;
}

void PlayerBase::sendEvent(int32_t msg, int32_t ext1, int32_t ext2, const Payload* obj) {
    Mutex::Autolock _l(mNotifyLock);
    if (mNotify) {
        mNotify(mCookie, msg, ext1, ext2, obj);
    } else if (mListener != nullptr) {
        mListener->notify(msg, ext1, ext2, obj);
    }
}

}  // namespace velmor
