// The engine's single entry to the decoder registry.
#pragma once

#include <cstdint>

#include "engine/MediaSource.h"
#include "engine/PlayerBase.h"

namespace velmor {

// A decoder over the track's source chosen by the track format's MIME type; null when no
// decoder fits.
Ref<MediaSource> CreateTrackDecoder(const Ref<MetaData>& format, const Ref<MediaSource>& source, uint32_t flags,
                                    const Ref<PlayerBase::VideoSink>& videoSink);

}  // namespace velmor
