// Hands decoded pictures to the video sink and keeps the last one for redraws.
//
// A picture buffer describes its planes with a PlayerBase::VideoSink::Picture in its meta data
// under kKeyPictureLayout (the video decoder sets it on every picture; the planes live in the
// buffer's codec frame). A buffer without one is not drawn.
//
// Thread: used only by the engine's playback queue thread (the video event and the redraw event),
// under the engine's main lock; it has no lock of its own. Holding the last buffer keeps one
// decoder picture out of the decoder's pool until the next picture replaces it.
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

    // The picture layout of a buffer (its kKeyPictureLayout record); false when it has none.
    static bool pictureOf(MediaBuffer* buffer, PlayerBase::VideoSink::Picture* out);

protected:
    ~SinkFrameRenderer() override;

private:
    Ref<PlayerBase::VideoSink> mSink;
    MediaBuffer* mLastBuffer;  // one reference held, null before the first picture
    status_t mInitStatus;
};

}  // namespace velmor
