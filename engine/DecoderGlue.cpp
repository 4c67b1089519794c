#include "engine/DecoderGlue.h"

#include "engine/DecoderRegistry.h"

namespace velmor {

Ref<MediaSource> CreateTrackDecoder(const Ref<MetaData>& format, const Ref<MediaSource>& source, uint32_t flags,
                                    const Ref<PlayerBase::VideoSink>& videoSink) {
    // Decoders hand their pictures to the engine, which renders them; the sink is not theirs.
    (void)videoSink;
    if (format == nullptr || source == nullptr) return nullptr;
    return DecoderRegistry::createDecoder(format, false, source, nullptr, flags);
}

}  // namespace velmor
