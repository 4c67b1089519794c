#include "engine/SinkFrameRenderer.h"

#include <cstring>

#include "engine/MediaDefs.h"
#include "engine/codecs/FFMpegVideoDecoder.h"

namespace velmor {

SinkFrameRenderer::SinkFrameRenderer(const Ref<PlayerBase::VideoSink>& sink, const Ref<MetaData>& format,
                                     int32_t displayWidth, int32_t displayHeight)
    : mSink(sink), mWidth(0), mHeight(0), mLastBuffer(nullptr), mInitStatus(NO_INIT) {
    int32_t colorFormat = 0, rotation = 0;
    const char* component = "";
    format->findInt32(kKeyWidth, &mWidth);
    format->findInt32(kKeyHeight, &mHeight);
    format->findInt32(kKeyColorFormat, &colorFormat);
    format->findInt32(kKeyRotationDegrees, &rotation);
    format->findCString(kKeyDecoderComponent, &component);
    if (displayWidth <= 0) displayWidth = mWidth;
    if (displayHeight <= 0) displayHeight = mHeight;
    if (mSink != nullptr) {
        mInitStatus = mSink->init(component, displayWidth, displayHeight, mWidth, mHeight, colorFormat, rotation);
    }
}

SinkFrameRenderer::~SinkFrameRenderer() {
    if (mLastBuffer) mLastBuffer->release();
}

bool SinkFrameRenderer::pictureOf(MediaBuffer* buffer, int32_t width, int32_t height,
                                  PlayerBase::VideoSink::Picture* out) {
    uint32_t type = 0;
    const void* data = nullptr;
    size_t size = 0;
    if (buffer->meta_data()->findData(kKeyPictureLayout, &type, &data, &size) &&
        size == sizeof(PlayerBase::VideoSink::Picture)) {
        memcpy(out, data, sizeof(*out));
        return true;
    }
    // Tightly packed planes: Y of width x height, then U and V of half the size (rounded up).
    const int32_t chromaW = (width + 1) / 2, chromaH = (height + 1) / 2;
    const size_t lumaBytes = static_cast<size_t>(width) * height;
    const size_t chromaBytes = static_cast<size_t>(chromaW) * chromaH;
    if (width <= 0 || height <= 0 || buffer->range_length() < lumaBytes + 2 * chromaBytes) return false;
    const uint8_t* y = static_cast<const uint8_t*>(buffer->data()) + buffer->range_offset();
    *out = {{y, y + lumaBytes, y + lumaBytes + chromaBytes}, {width, chromaW, chromaW}, width, height};
    return true;
}

void SinkFrameRenderer::render(MediaBuffer* buffer) {
    if (mSink == nullptr || mInitStatus != OK) return;
    PlayerBase::VideoSink::Picture picture;
    if (!pictureOf(buffer, mWidth, mHeight, &picture)) return;
    mSink->render(picture);
    // Keep the picture for redraws until the next one replaces it.
    buffer->add_ref();
    if (mLastBuffer) mLastBuffer->release();
    mLastBuffer = buffer;
}

void SinkFrameRenderer::redraw() {
    if (mSink == nullptr || mInitStatus != OK || !mLastBuffer) return;
    PlayerBase::VideoSink::Picture picture;
    if (pictureOf(mLastBuffer, mWidth, mHeight, &picture)) mSink->render(picture);
}

}  // namespace velmor
