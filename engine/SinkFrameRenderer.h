// Hands decoded pictures to the video sink and keeps the last one for redraws.
//
// Thread: used only by the engine's playback queue thread (the video event and the redraw event),
// under the engine's main lock; it has no lock of its own.
#pragma once

#include <cstdint>

#include "engine/MediaBuffer.h"
#include "engine/MetaData.h"
#include "engine/PlayerBase.h"
#include "utils/RefCounted.h"

namespace velmor {

class SinkFrameRenderer : public RefCounted {
public:
    SinkFrameRenderer(const Ref<PlayerBase::VideoSink>& sink, const Ref<MetaData>& format, int32_t displayWidth,
                      int32_t displayHeight);
    status_t initCheck() const { return mInitStatus; }
    void render(MediaBuffer* buffer);
    void redraw();

protected:
    ~SinkFrameRenderer() override;

private:
    Ref<PlayerBase::VideoSink> mSink;
    MediaBuffer* mLastBuffer;
    status_t mInitStatus;
};

}  // namespace velmor
