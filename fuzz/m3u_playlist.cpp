// Feeds arbitrary bytes to PlaylistParser as a playlist fetched from a few kinds of address (an
// http folder, an https address with a query, a local file, a base it cannot resolve against),
// then reads every item and every key the session would read. The parser must give a status for
// any input, never crash, hang or leak, and what it hands out must be consistent.
//
//   QV_FUZZ_BUILD=build/h-fuzz2 bash fuzz/run.sh 600 m3u_playlist
#include <cstddef>
#include <cstdint>

#include "engine/hls/PlaylistParser.h"
#include "utils/Log.h"

namespace {

using namespace velmor;

// Keys the session reads from an item, by type.
const char* const kInt64Keys[] = {kKeyItemDurationUs, kKeyRangeOffset, kKeyRangeLength};
const char* const kInt32Keys[] = {kKeyDiscontinuity, kKeyBandwidth};
const char* const kStringKeys[] = {kKeyResolution, kKeyCipherMethod, kKeyCipherUri, kKeyCipherIv};

void walk(const Ref<PlaylistParser>& p) {
    const status_t err = p->initCheck();
    if (err != OK && err != ERROR_MALFORMED) __builtin_trap();
    if (p->meta() != nullptr) {
        int32_t v;
        p->meta()->findInt32(kKeyTargetDuration, &v);
        p->meta()->findInt32(kKeyMediaSequence, &v);
    }
    ByteString uri;
    Ref<Message> meta;
    for (size_t i = 0; i < p->size(); ++i) {
        if (!p->itemAt(i, &uri, &meta)) __builtin_trap();
        // Media playlists only hold items with a duration.
        int64_t durationUs;
        if (!p->isVariantPlaylist() && (meta == nullptr || !meta->findInt64(kKeyItemDurationUs, &durationUs))) {
            __builtin_trap();
        }
        if (meta == nullptr) continue;
        for (const char* key : kInt64Keys) {
            int64_t v;
            meta->findInt64(key, &v);
        }
        for (const char* key : kInt32Keys) {
            int32_t v;
            meta->findInt32(key, &v);
        }
        for (const char* key : kStringKeys) {
            ByteString s;
            if (meta->findString(key, &s)) (void)s.size();
        }
        int64_t offset, length;
        if (meta->findInt64(kKeyRangeOffset, &offset) != meta->findInt64(kKeyRangeLength, &length)) __builtin_trap();
        if (meta->findInt64(kKeyRangeOffset, &offset) && (offset < 0 || length < 0 || offset > INT64_MAX - length)) {
            __builtin_trap();
        }
    }
    if (p->itemAt(p->size(), &uri, &meta) || !uri.empty() || meta != nullptr) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (setLogLevel(kLogSilent), true);  // unresolvable key addresses log
    (void)quiet;
    for (const char* base : {"http://h/a/b.m3u8", "https://h:8443/live/x.m3u8?tok=a/b", "file:///m/l.m3u8",
                             "rtmp://h/a"}) {
        walk(new PlaylistParser(base, data, size));
    }
    // The live session's collection of items that left the window.
    Ref<PlaylistParser> first = new PlaylistParser("http://h/a/b.m3u8", data, size);
    Ref<PlaylistParser> history = new PlaylistParser("http://h/a/b.m3u8", first->meta());
    for (size_t i = 0; i < first->size(); ++i) {
        ByteString uri;
        Ref<Message> meta;
        first->itemAt(i, &uri, &meta);
        history->appendItem(uri, meta);
    }
    if (history->size() != first->size() || history->initCheck() != OK) __builtin_trap();
    return 0;
}
