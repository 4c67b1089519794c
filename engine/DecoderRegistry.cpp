#define LOG_TAG "VEL_DecoderRegistry"

#include "engine/DecoderRegistry.h"

#include <new>
#include <strings.h>
#include <cstring>
#include <vector>

#include "engine/MediaDefs.h"
#include "engine/codecs/FFMpegSoundDecoder.h"
#include "engine/codecs/FFMpegVideoDecoder.h"
#include "utils/Log.h"

namespace velmor {

namespace {

const char* const kSoundDecoder = "FFMpegSoundDecoder";
const char* const kVideoDecoder = "FFMpegVideoDecoder";

// The registry rows, filled by the static initialiser below when the library loads. It lives in
// the same object file as the factory, so any program that can create a decoder has it.
std::vector<DecoderRegistry::Entry> gRegistry;

struct RegistryFiller {
    RegistryFiller() {
        const DecoderRegistry::Entry rows[] = {
            {kMimeAudioFFmpeg, kSoundDecoder},  {kMimeAudioAmrNb, kSoundDecoder},
            {kMimeAudioAmrWb, kSoundDecoder},   {kMimeAudioMpeg, kSoundDecoder},
            {kMimeAudioAac, kSoundDecoder},     {kMimeAudioAacAdts, kSoundDecoder},
            {kMimeAudioQcelp, kSoundDecoder},   {kMimeAudioVorbis, kSoundDecoder},
            {kMimeAudioAc3, kSoundDecoder},     {kMimeAudioFlac, kSoundDecoder},
            {kMimeAudioRA, kSoundDecoder},      {kMimeAudioWMA, kSoundDecoder},
            {kMimeVideoFFmpeg, kVideoDecoder},  {kMimeVideoRV, kVideoDecoder},
            {kMimeVideoWMV1, kVideoDecoder},    {kMimeVideoWMV2, kVideoDecoder},
            {kMimeVideoWMV3, kVideoDecoder},    {kMimeVideoMpeg4, kVideoDecoder},
            {kMimeVideoH263, kVideoDecoder},    {kMimeVideoAvc, kVideoDecoder},
            {kMimeVideoDivx311, kVideoDecoder}, {kMimeVideoDivx4, kVideoDecoder},
            {kMimeVideoDivx, kVideoDecoder},    {kMimeVideoHevc, kVideoDecoder},
            // What the transport stream parser announces for MPEG-1/2 video and layer I/II audio.
            {kMimeVideoMpeg2, kVideoDecoder},   {kMimeAudioMpegLayerI, kSoundDecoder},
            {kMimeAudioMpegLayerII, kSoundDecoder},
        };
        gRegistry.assign(std::begin(rows), std::end(rows));
    }
};
RegistryFiller gRegistryFiller;

typedef MediaSource* (*DecoderConstructor)(const Ref<MediaSource>& source);

MediaSource* makeSoundDecoder(const Ref<MediaSource>& source) {
    return new (std::nothrow) FFMpegSoundDecoder(source, 1);
}

MediaSource* makeVideoDecoder(const Ref<MediaSource>& source) {
    return new (std::nothrow) FFMpegVideoDecoder(source, 1);
}

struct FactoryRow {
    const char* component;
    DecoderConstructor construct;
};

const FactoryRow kFactory[] = {
    {kSoundDecoder, makeSoundDecoder},
    {kVideoDecoder, makeVideoDecoder},
};

bool startsWith(const char* s, const char* prefix, bool ignoreCase) {
    size_t n = strlen(prefix);
    return ignoreCase ? strncasecmp(s, prefix, n) == 0 : strncmp(s, prefix, n) == 0;
}

// Order for kPreferSoftwareCodecs: negative when a goes before b, 0 when they compare equal.
int compareSoftwareFirst(const ByteString& a, const ByteString& b) {
    bool hwA = startsWith(a.c_str(), "HW.", false);
    bool hwB = startsWith(b.c_str(), "HW.", false);
    if (hwA != hwB) return hwA ? 1 : -1;
    if (!hwA) return 0;
    bool swA = startsWith(a.c_str(), "HW.SW.", true);
    bool swB = startsWith(b.c_str(), "HW.SW.", true);
    if (swA != swB) return swA ? -1 : 1;
    return 0;
}

}  // namespace

const DecoderRegistry::Entry* DecoderRegistry::entries(size_t* count) {
    if (count) *count = gRegistry.size();
    return gRegistry.data();
}

void DecoderRegistry::findDecoderCandidates(const char* mime, bool wantEncoder, const char* componentFilter,
                                            uint32_t flags, Vector<ByteString>* out) {
    out->clear();
    if (wantEncoder || mime == nullptr) return;
    for (const Entry& row : gRegistry) {
        if (strcasecmp(mime, row.mime) != 0) continue;
        if (componentFilter != nullptr && strcmp(componentFilter, row.component) != 0) continue;
        out->add(ByteString(row.component));
    }
    if (flags & kPreferSoftwareCodecs) {
        // Stable insertion sort.
        for (size_t i = 1; i < out->size(); ++i) {
            ByteString item = (*out)[i];
            size_t j = i;
            while (j > 0 && compareSoftwareFirst(item, (*out)[j - 1]) < 0) {
                (*out)[j] = (*out)[j - 1];
                --j;
            }
            (*out)[j] = item;
        }
    }
}

Ref<MediaSource> DecoderRegistry::createDecoder(const Ref<MetaData>& meta, bool wantEncoder,
                                                const Ref<MediaSource>& source, const char* componentFilter,
                                                uint32_t flags) {
    const char* mime = nullptr;
    if (meta == nullptr || !meta->findCString(kKeyMIMEType, &mime)) return nullptr;

    Vector<ByteString> candidates;
    findDecoderCandidates(mime, wantEncoder, componentFilter, flags, &candidates);
    if (candidates.isEmpty()) {
        VLOGW("no decoder for %s", mime);
        return nullptr;
    }
    for (const ByteString& name : candidates) {
        if (wantEncoder) continue;
        for (const FactoryRow& row : kFactory) {
            if (strcmp(row.component, name.c_str()) != 0) continue;
            Ref<MediaSource> decoder = row.construct(source);
            if (decoder != nullptr) {
                VLOGI("%s for %s", name.c_str(), mime);
                return decoder;
            }
        }
    }
    return nullptr;
}

}  // namespace velmor
