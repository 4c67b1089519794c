#define LOG_TAG "VEL_MediaExtractor"

#include "engine/MediaExtractor.h"

#include <strings.h>

#include "engine/DataSource.h"
#include "engine/FFMpegExtractor.h"
#include "engine/MediaDefs.h"
#include "engine/foundation/Message.h"
#include "utils/Log.h"
#include "utils/Text8.h"

namespace velmor {

Ref<MetaData> MediaExtractor::getMetaData() { return new MetaData; }

uint32_t MediaExtractor::flags() const { return CAN_SEEK_BACKWARD | CAN_SEEK_FORWARD | CAN_PAUSE | CAN_SEEK; }

status_t MediaExtractor::getCachedDuration(int64_t*, bool*) { return ERROR_UNSUPPORTED; }

status_t MediaExtractor::setOnlyKeyFrame() { return ERROR_UNSUPPORTED; }

Ref<MediaExtractor> MediaExtractor::Create(const Ref<DataSource>& source, const char* mime) {
    Text8 sniffed;
    if (mime == nullptr) {
        // Without a MIME type the source must be there to be sniffed; with one, a null source
        // makes an extractor that opens an address by itself.
        if (source == nullptr) return nullptr;
        DataSource::RegisterDefaultSniffers();
        float confidence;
        Ref<Message> meta;
        if (!source->sniff(&sniffed, &confidence, &meta)) {
            VLOGW("no sniffer recognised the source");
            return nullptr;
        }
        mime = sniffed.c_str();
        VLOGI("sniffed '%s' with confidence %.2f", mime, static_cast<double>(confidence));
    }
    if (strcasecmp(mime, kMimeContainerFFmpeg) == 0) {
        return new FFMpegExtractor(source);
    }
    return nullptr;
}

}  // namespace velmor
