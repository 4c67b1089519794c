#include "platform/linux/SinkFactory.h"

#include "platform/linux/AudioSinkAlsa.h"
#include "platform/linux/AudioSinkNull.h"
#include "platform/linux/VideoSinkOpenGL.h"
#include "platform/linux/VideoSinkX11.h"

namespace velmor {

Ref<PlayerBase::VideoSink> CreatePlatformVideoSink(unsigned long window, int kind, int width, int height) {
    if (kind == 1) return new VideoSinkOpenGL(window);
    return new VideoSinkX11(window, width, height);
}

Ref<PlayerBase::AudioSink> CreatePlatformAudioSink(intptr_t value) {
    if (value == -1) return new AudioSinkNull();
    return new AudioSinkAlsa(AudioSinkAlsa::deviceNameFor(value).c_str());
}

}  // namespace velmor
