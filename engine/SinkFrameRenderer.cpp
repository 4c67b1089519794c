#include "engine/SinkFrameRenderer.h"

#include <cstring>

#include "engine/MediaDefs.h"
#include "engine/codecs/FFMpegVideoDecoder.h"

namespace velmor {

SinkFrameRenderer::SinkFrameRenderer(const Ref<PlayerBase::VideoSink>& sink, const Ref<MetaData>& format,
                                     int32_t displayWidth, int32_t displayHeight)
    : mSink(sink), mLastBuffer(nullptr), mInitStatus(NO_INIT) {
    int32_t width = 0, height = 0, colorFormat = 0, rotation = 0;
    const char* component = "";
    format->findInt32(kKeyWidth, &width);
    format->findInt32(kKeyHeight, &height);
    format->findInt32(kKeyColorFormat, &colorFormat);
    format->findInt32(kKeyRotationDegrees, &rotation);
    format->findCString(kKeyDecoderComponent, &component);
    if (displayWidth <= 0) displayWidth = width;
    if (displayHeight <= 0) displayHeight = height;
    if (mSink != nullptr) {
        mInitStatus = mSink->init(component, displayWidth, displayHeight, width, height, colorFormat, rotation);
    }
}

SinkFrameRenderer::~SinkFrameRenderer() {
    if (mLastBuffer) mLastBuffer->release();
}

bool SinkFrameRenderer::pictureOf(MediaBuffer* buffer, PlayerBase::VideoSink::Picture* out) {
    uint32_t type = 0;
    const void* data = nullptr;
    size_t size = 0;
    if (!buffer->meta_data()->findData(kKeyPictureLayout, &type, &data, &size) ||
        size != sizeof(PlayerBase::VideoSink::Picture)) {
        return false;
    }
    memcpy(out, data, sizeof(*out));
    return true;
}

void SinkFrameRenderer::render(MediaBuffer* buffer) {
    if (mSink == nullptr || mInitStatus != OK) return;
    PlayerBase::VideoSink::Picture picture;
    if (!pictureOf(buffer, &picture)) return;
    mSink->render(picture);
    // Keep the picture for redraws until the next one replaces it.
    buffer->add_ref();
    if (mLastBuffer) mLastBuffer->release();
    mLastBuffer = buffer;
}

void SinkFrameRenderer::redraw() {
    if (mSink == nullptr || mInitStatus != OK || !mLastBuffer) return;
    PlayerBase::VideoSink::Picture picture;
    if (pictureOf(mLastBuffer, &picture)) mSink->render(picture);
}

}  // namespace velmor
