// Creates the platform's output sinks for the player object.
#pragma once

#include <cstdint>

#include "engine/PlayerBase.h"

namespace velmor {

// kind 1: the OpenGL sink on the X11 window; any other kind: the X11 software sink of
// width x height. Never null: a sink whose window is unusable fails in init().
Ref<PlayerBase::VideoSink> CreatePlatformVideoSink(unsigned long window, int kind, int width, int height);

// value 0 (QV_AUDIO_SINK_DEFAULT): the default ALSA device; -1 (QV_AUDIO_SINK_NULL): the
// clock-paced null sink; other values name an ALSA device index.
Ref<PlayerBase::AudioSink> CreatePlatformAudioSink(intptr_t value);

}  // namespace velmor
