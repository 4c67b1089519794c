// Parses one HTTP Live Streaming playlist (a master playlist of variant streams, or a media
// playlist of segments) into items and metadata.
//
// Every item address and key address is made absolute against the playlist's own address. The
// metadata containers are Messages used as typed dictionaries, with the keys below; the live
// session reads them.
//
// Threads: built and parsed in the constructor on one thread (the session's looper); afterwards
// only read, by the session's looper and (under the session's lock) its getters. No lock of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/foundation/ByteString.h"
#include "engine/foundation/Message.h"
#include "utils/Errors.h"
#include "utils/RefCounted.h"

namespace velmor {

// Playlist-level keys.
inline constexpr const char kKeyTargetDuration[] = "target-duration";  // int32, seconds
inline constexpr const char kKeyMediaSequence[] = "media-sequence";    // int32
// Item keys.
inline constexpr const char kKeyItemDurationUs[] = "durationUs";        // int64, µs
inline constexpr const char kKeyDiscontinuity[] = "discontinuity";      // int32 1
inline constexpr const char kKeyRangeOffset[] = "range-offset";         // int64
inline constexpr const char kKeyRangeLength[] = "range-length";         // int64
inline constexpr const char kKeyBandwidth[] = "bandwidth";              // int32, bit/s (variants)
inline constexpr const char kKeyResolution[] = "resolution";            // string, "720P" (variants)
inline constexpr const char kKeyCipherMethod[] = "cipher-method";       // string
inline constexpr const char kKeyCipherUri[] = "cipher-uri";             // string, absolute address
inline constexpr const char kKeyCipherIv[] = "cipher-iv";               // string, as written

class PlaylistParser : public RefCounted {
public:
    // Parses `data` at once; initCheck() gives the result.
    PlaylistParser(const char* baseURI, const void* data, size_t size);

    // NO_INIT before parsing, then OK or ERROR_MALFORMED (what was built up to the bad line
    // is kept).
    status_t initCheck() const { return mInitCheck; }

    bool isExtM3U() const { return mIsExtM3U; }
    bool isVariantPlaylist() const { return mIsVariantPlaylist; }
    bool isComplete() const { return mIsComplete; }
    bool isEvent() const { return mIsEvent; }

    // Playlist-level metadata; null until the first playlist-level tag.
    Ref<Message> meta() const { return mMeta; }

    size_t size() const { return mItems.size(); }
    // Clears both outputs (either may be null); false for an index out of range. The metadata is
    // shared, not copied, and may be null.
    bool itemAt(size_t index, ByteString* uri, Ref<Message>* meta = nullptr) const;

    // `url` made absolute against `baseURL` (http://, https:// or file:// bases only); false
    // (and `out` empty) for another base.
    static bool MakeURL(const char* baseURL, const char* url, ByteString* out);

    // For the live session's running collection of items that slid out of a live window: an
    // empty parser whose playlist metadata is `meta`, to which items are appended.
    PlaylistParser(const char* baseURI, const Ref<Message>& meta);
    void appendItem(const ByteString& uri, const Ref<Message>& meta);

protected:
    ~PlaylistParser() override = default;

private:
    struct Item {
        ByteString mURI;
        Ref<Message> mMeta;
    };

    status_t parse(const char* data, size_t size);

    status_t mInitCheck = NO_INIT;
    ByteString mBaseURI;
    bool mIsExtM3U = false;
    bool mIsVariantPlaylist = false;
    bool mIsComplete = false;
    bool mIsEvent = false;
    Ref<Message> mMeta;
    std::vector<Item> mItems;
};

}  // namespace velmor
