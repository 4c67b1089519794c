// A random-access byte source under every demuxer, and the content sniffers that pick the
// extractor for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "engine/foundation/Message.h"
#include "utils/Containers.h"
#include "utils/Errors.h"
#include "utils/RefCounted.h"
#include "utils/Text8.h"

namespace velmor {

// Threads: one reader at a time calls readAt, getSize, flags, reconnectAtOffset (a demuxer's
// thread; readAt may block for the network or a stream with nothing to read yet). setStopFlag
// may be called from any thread at any time, also while readAt blocks: with kStopFlagStop the
// blocked read, and every later one, returns soon with an error (USER_STOP for the sources of
// this engine) instead of waiting on. A source may also return WOULD_BLOCK from readAt after a
// bounded wait with nothing read; the reader then checks its own stop request and time-out and
// asks again. initCheck, getUri and getMIMEType answer at once from any thread. Sniffers run on
// the caller's thread and read through readAt.
class DataSource : public RefCounted {
public:
    enum Flags : uint32_t {
        kFlagNetwork = 1,
        kFlagCaching = 4,
        kFlagSizeKnown = 16,
    };
    enum : uint32_t { kStopFlagStop = 2 };

    typedef SortedVector<KeyValuePair<Text8, Text8>> Headers;

    // file:// (any letter case) and plain paths give a FileSource; http://, https:// and
    // direct:// give a network source. Null when the source cannot be read.
    static Ref<DataSource> CreateFromURI(const char* uri, const Headers* headers = nullptr);

    DataSource() {}

    virtual status_t initCheck() const = 0;
    // Bytes read (0 at or past the end) or a negative status (WOULD_BLOCK: nothing yet).
    virtual ssize_t readAt(int64_t offset, void* data, size_t size) = 0;
    virtual void setStopFlag(uint32_t flags) {}
    virtual status_t getSize(int64_t* size);
    virtual uint32_t flags() { return 0; }
    virtual status_t reconnectAtOffset(int64_t offset) { return ERROR_UNSUPPORTED; }
    virtual Text8 getUri() { return Text8(); }
    virtual Text8 getMIMEType() const;

    // Runs every registered sniffer; the most confident one wins. False when none matched.
    bool sniff(Text8* mimeType, float* confidence, Ref<Message>* meta);

    typedef bool (*SnifferFunc)(const Ref<DataSource>& source, Text8* mimeType, float* confidence,
                                Ref<Message>* meta);
    static void RegisterSniffer(SnifferFunc func);
    // Registers the FFmpeg sniffer (once).
    static void RegisterDefaultSniffers();

protected:
    ~DataSource() override {}

private:
    DataSource(const DataSource&) = delete;
    DataSource& operator=(const DataSource&) = delete;
};

}  // namespace velmor
