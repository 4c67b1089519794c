#define LOG_TAG "VEL_DataSource"

#include "engine/DataSource.h"

#include <strings.h>

#include "engine/CachedSource.h"
#include "engine/FileSource.h"
#include "engine/HttpDataSource.h"
#include "engine/MediaDefs.h"
#include "utils/Log.h"
#include "utils/Mutex.h"

namespace velmor {

namespace {

Mutex& snifferLock() {
    static Mutex lock;
    return lock;
}

List<DataSource::SnifferFunc>& sniffers() {
    static List<DataSource::SnifferFunc> list;
    return list;
}

bool gDefaultSniffersRegistered = false;

// Every source goes to the FFmpeg extractor, with a middling confidence so that a more
// specific sniffer could win.
bool SniffFFmpeg(const Ref<DataSource>&, Text8* mimeType, float* confidence, Ref<Message>*) {
    mimeType->setTo(kMimeContainerFFmpeg);
    *confidence = 0.4f;
    return true;
}

bool hasPrefixIgnoreCase(const char* s, const char* prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }

}  // namespace

status_t DataSource::getSize(int64_t* size) {
    *size = 0;
    return ERROR_UNSUPPORTED;
}

Text8 DataSource::getMIMEType() const { return Text8("application/octet-stream"); }

bool DataSource::sniff(Text8* mimeType, float* confidence, Ref<Message>* meta) {
    Autolock autoLock(snifferLock());
    mimeType->clear();
    *confidence = 0.0f;
    meta->clear();
    bool found = false;
    Ref<DataSource> self(this);
    for (SnifferFunc func : sniffers()) {
        Text8 newMime;
        float newConfidence = 0.0f;
        Ref<Message> newMeta;
        if (func(self, &newMime, &newConfidence, &newMeta) && newConfidence > *confidence) {
            *mimeType = newMime;
            *confidence = newConfidence;
            *meta = newMeta;
            found = true;
        }
    }
    return found;
}

void DataSource::RegisterSniffer(SnifferFunc func) {
    Autolock autoLock(snifferLock());
    for (SnifferFunc f : sniffers()) {
        if (f == func) return;
    }
    sniffers().push_back(func);
}

void DataSource::RegisterDefaultSniffers() {
    {
        Autolock autoLock(snifferLock());
        if (gDefaultSniffersRegistered) return;
        gDefaultSniffersRegistered = true;
    }
    RegisterSniffer(SniffFFmpeg);
}

Ref<DataSource> DataSource::CreateFromURI(const char* uri, const Headers* headers) {
    if (uri == nullptr) return nullptr;
    Ref<DataSource> source;
    if (hasPrefixIgnoreCase(uri, "file://")) {
        source = new FileSource(uri + 7);
    } else if (!hasPrefixIgnoreCase(uri, "http://") && !hasPrefixIgnoreCase(uri, "https://") &&
               !hasPrefixIgnoreCase(uri, "direct://")) {
        source = new FileSource(uri);
    } else {
        const bool direct = hasPrefixIgnoreCase(uri, "direct://");
        std::string address = direct ? std::string("http://") + (uri + 9) : std::string(uri);
        // The cache's own settings travel as request headers; they never reach the server.
        Headers requestHeaders;
        if (headers != nullptr) requestHeaders = *headers;
        Text8 cacheConfig;
        bool disconnectAtHighwatermark = false;
        if (!direct) CachedSource::RemoveCacheSpecificHeaders(&requestHeaders, &cacheConfig, &disconnectAtHighwatermark);
        Ref<HttpDataSource> http = new HttpDataSource;
        if (http->connect(address.c_str(), &requestHeaders, 0) != OK) return nullptr;
        if (direct) {
            source = http;
        } else {
            Ref<CachedSource> cached =
                new CachedSource(http, cacheConfig.isEmpty() ? nullptr : cacheConfig.c_str(), false);
            cached->start();
            source = cached;
        }
    }
    if (source == nullptr || source->initCheck() != OK) return nullptr;
    return source;
}

}  // namespace velmor
