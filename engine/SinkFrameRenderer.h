// Hands decoded pictures to the video sink and keeps the last one for redraws.
//
// A picture buffer describes its planes with a PlayerBase::VideoSink::Picture in its meta data
// under kKeyPictureLayout (the video decoder sets it; the planes live in the buffer's codec
// frame). A buffer without one holds tightly packed planes of the format's width x height.
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

    // The picture layout of a buffer: its kKeyPictureLayout record, or tightly packed planes of
    // width x height at the start of its range. False when the buffer is too small for that.
    static bool pictureOf(MediaBuffer* buffer, int32_t width, int32_t height, PlayerBase::VideoSink::Picture* out);

protected:
    ~SinkFrameRenderer() override;

private:
    Ref<PlayerBase::VideoSink> mSink;
    int32_t mWidth, mHeight;   // the decoded size the sink was initialised with
    MediaBuffer* mLastBuffer;  // one reference held, null before the first picture
    status_t mInitStatus;
};

}  // namespace velmor
