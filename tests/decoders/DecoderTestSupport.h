// Shared pieces of the decoder tests: fixture paths, ffmpeg command output, extractor tracks and
// wrapper sources that alter a track's format or packets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFMpegExtractor.h"
#include "engine/FileSource.h"
#include "engine/MediaSource.h"
#include "engine/MetaData.h"
#include "support/Media.h"
#include "utils/Mutex.h"

namespace qvdec {

using namespace velmor;

using qvtest::fileExists;
using qvtest::mediaPath;
using qvtest::runCommand;

// ffmpeg's own decode of a file as interleaved 16-bit stereo at the file's sample rate.
inline std::vector<int16_t> ffmpegPcm(const std::string& path) {
    std::vector<uint8_t> bytes =
        runCommand("ffmpeg -nostdin -v error -i '" + path + "' -vn -f s16le -acodec pcm_s16le -ac 2 -");
    std::vector<int16_t> pcm(bytes.size() / 2);
    if (!pcm.empty()) memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    return pcm;
}

// ffmpeg's decode of picture number index as tightly packed YUV 4:2:0.
inline std::vector<uint8_t> ffmpegPicture(const std::string& path, int index) {
    return runCommand("ffmpeg -nostdin -v error -noautorotate -i '" + path + "' -vf 'select=eq(n\\," + std::to_string(index) +
                      ")' -vsync 0 -frames:v 1 -f rawvideo -pix_fmt yuv420p -");
}

struct Track {
    Ref<FFMpegExtractor> extractor;
    Ref<MediaSource> source;
};

// The first video (or audio) track of a fixture, through a FileSource.
inline Track openTrack(const std::string& path, bool video) {
    Track t;
    t.extractor = new FFMpegExtractor(new FileSource(path.c_str()));
    if (t.extractor->initialize(nullptr, false) != OK) return t;
    for (size_t i = 0; i < t.extractor->countTracks(); ++i) {
        Ref<MetaData> meta = t.extractor->getTrackMetaData(i);
        const char* mime = nullptr;
        if (meta == nullptr || !meta->findCString(kKeyMIMEType, &mime)) continue;
        if (video ? isVideoMime(mime) : isAudioMime(mime)) {
            t.source = t.extractor->getTrack(i);
            break;
        }
    }
    return t;
}

// Forwards to a track, with an edited copy of its format and an optional packet filter.
class WrappedSource : public MediaSource {
public:
    typedef std::function<void(MetaData*)> FormatEdit;
    typedef std::function<status_t(MediaBuffer*, int index)> PacketFilter;

    WrappedSource(const Ref<MediaSource>& inner, FormatEdit edit, PacketFilter filter = nullptr)
        : mInner(inner), mFilter(std::move(filter)), mCount(0) {
        mFormat = new MetaData(*inner->getFormat());
        if (edit) edit(mFormat.get());
    }
    status_t start(MetaData* params) override { return mInner->start(params); }
    status_t stop() override { return mInner->stop(); }
    Ref<MetaData> getFormat() override { return mFormat; }
    status_t read(MediaBuffer** out, const ReadOptions* options) override {
        status_t err = mInner->read(out, options);
        if (err == OK && mFilter) {
            err = mFilter(*out, mCount++);
            if (err != OK) {
                (*out)->release();
                *out = nullptr;
            }
        }
        return err;
    }

protected:
    Ref<MediaSource> mInner;

private:
    Ref<MetaData> mFormat;
    PacketFilter mFilter;
    int mCount;
};

inline int64_t timeOf(MediaBuffer* buffer) {
    int64_t t = -1;
    buffer->meta_data()->findInt64(kKeyTime, &t);
    return t;
}

}  // namespace qvdec
