// Picks a decoder for a track by its MIME type and builds it around the track's MediaSource.
//
// The registry is a fixed table of (MIME type, component name) rows filled when the library
// loads; the factory turns a component name into a decoder object. The component names are the
// ones the decoders publish under kKeyDecoderComponent ('decC') in their output formats:
// "FFMpegSoundDecoder" and "FFMpegVideoDecoder".
#pragma once

#include <cstdint>

#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "engine/foundation/ByteString.h"
#include "utils/Containers.h"
#include "utils/RefCounted.h"

namespace velmor {

class DecoderRegistry {
public:
    // Bit 0 of flags: order the candidates so that software components come before "HW."
    // ones (and "HW.SW." ones before other "HW." ones).
    enum { kPreferSoftwareCodecs = 1 };

    struct Entry {
        const char* mime;
        const char* component;
    };

    // Fills out with the components registered for mime (compared ignoring case), restricted to
    // componentFilter when it is given (exact comparison). Encoders are never registered, so
    // wantEncoder yields an empty list.
    static void findDecoderCandidates(const char* mime, bool wantEncoder, const char* componentFilter,
                                      uint32_t flags, Vector<ByteString>* out);

    // The first decoder that can be built for meta's MIME type over source, or null (no MIME
    // type, no registered component, an encoder request, or construction failed). The decoder is
    // not started.
    static Ref<MediaSource> createDecoder(const Ref<MetaData>& meta, bool wantEncoder,
                                          const Ref<MediaSource>& source, const char* componentFilter = nullptr,
                                          uint32_t flags = 0);

    // The registry rows in order; count receives their number.
    static const Entry* entries(size_t* count);
};

}  // namespace velmor
