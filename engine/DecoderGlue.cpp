#include "engine/DecoderGlue.h"

namespace velmor {

Ref<MediaSource> CreateTrackDecoder(const Ref<MetaData>& format, const Ref<MediaSource>& source, uint32_t flags,
                                    const Ref<PlayerBase::VideoSink>& videoSink) {
    (void)format;
    (void)source;
    (void)flags;
    (void)videoSink;
    return nullptr;
}

}  // namespace velmor
