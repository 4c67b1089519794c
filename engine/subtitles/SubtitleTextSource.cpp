#define LOG_TAG "VEL_SubtitleText"

#include "engine/subtitles/SubtitleTextSource.h"

#include <algorithm>
#include <climits>

#include "utils/Log.h"

namespace velmor {

namespace {
// A cue whose end is not after its start is shown this long.
constexpr int64_t kShortestCueUs = 100000;
}  // namespace

SubtitleTextSource::SubtitleTextSource(const Ref<DataSource>& source)
    : mSource(source), mFormat(new MetaData()) {
    mCharset[0] = '\0';
}

status_t SubtitleTextSource::parseFile() {
    mCues.clear();
    mNextCue = 0;
    status_t err = OK;
    if (mSource == nullptr || mSource->initCheck() != OK) {
        err = ERROR_IO;
    } else {
        SubtitleTextLineReader lines(mSource);
        err = parseCues(lines);
    }
    if (err == OK && mCues.empty()) err = ERROR_MALFORMED;
    if (err == OK) {
        // Ordered by start; of cues with the same start the one later in the file stays.
        std::stable_sort(mCues.begin(), mCues.end(),
                         [](const Cue& a, const Cue& b) { return a.startUs < b.startUs; });
        size_t kept = 0;
        for (size_t i = 0; i < mCues.size(); ++i) {
            if (i + 1 < mCues.size() && mCues[i + 1].startUs == mCues[i].startUs) continue;
            if (kept != i) mCues[kept] = std::move(mCues[i]);
            ++kept;
        }
        mCues.resize(kept);
        std::string all;
        err = SubtitleTextReadAll(mSource, &all);
        if (err == OK) {
            SubtitleTextDetectCharset(all, mCharset);
            logCharset();
        }
    }
    if (err != OK) {
        mCues.clear();
        mCues.shrink_to_fit();
    }
    mFormat->setCString(kKeyLanguage, "");
    return err;
}

void SubtitleTextSource::addCue(const SubtitleTextTiming& timing, int64_t textOffset,
                                int64_t textEnd, std::string settings) {
    if (timing.startUs < 0) {
        VLOGW("cue at %lld us dropped: negative start", static_cast<long long>(timing.startUs));
        return;
    }
    Cue cue;
    cue.startUs = timing.startUs;
    cue.endUs = timing.endUs > timing.startUs ? timing.endUs : timing.startUs + kShortestCueUs;
    cue.textOffset = textOffset;
    const int64_t length = std::max<int64_t>(0, textEnd - textOffset);
    cue.textLength = static_cast<int32_t>(std::min<int64_t>(length, INT32_MAX));
    cue.settings = std::move(settings);
    mCues.push_back(std::move(cue));
}

status_t SubtitleTextSource::stop() {
    mCues.clear();
    mCues.shrink_to_fit();
    mNextCue = 0;
    return OK;
}

status_t SubtitleTextSource::extractGlobalDescriptions(Payload* descriptions) {
    return INVALID_OPERATION;
}

size_t SubtitleTextSource::seekIndex(int64_t timeUs) const {
    // The cue i whose span [end of cue i - 1, end of cue i) holds the time.
    size_t lo = 0;
    size_t hi = mCues.size();
    size_t probe = 0;
    while (lo < hi) {
        probe = lo + (hi - lo) / 2;
        const int64_t from = probe == 0 ? 0 : mCues[probe - 1].endUs;
        if (timeUs < from) {
            hi = probe;
        } else if (timeUs >= mCues[probe].endUs) {
            lo = probe + 1;
        } else {
            return probe;
        }
    }
    return probe;
}

status_t SubtitleTextSource::read(int64_t* startTimeUs, int64_t* endTimeUs, Payload* cue,
                                  const MediaSource::ReadOptions* options) {
    if (mCues.empty()) return ERROR_END_OF_STREAM;
    int64_t seekTimeUs = 0;
    MediaSource::ReadOptions::SeekMode mode;
    if (options != nullptr && options->getSeekTo(&seekTimeUs, &mode)) {
        if (seekTimeUs < 0) return ERROR_OUT_OF_RANGE;
        if (seekTimeUs >= mCues.back().endUs) return ERROR_END_OF_STREAM;
        mNextCue = seekIndex(seekTimeUs);
    }
    if (mNextCue >= mCues.size()) return ERROR_END_OF_STREAM;
    const Cue& next = mCues[mNextCue++];
    std::string bytes;
    if (SubtitleTextReadBytes(mSource, next.textOffset, static_cast<size_t>(next.textLength),
                              &bytes) != OK) {
        return ERROR_IO;
    }
    *startTimeUs = next.startUs;
    *endTimeUs = next.endUs;
    SubtitleTextWriteCue(cue, next.startUs, mCharset, shapeText(next, bytes));
    return OK;
}

}  // namespace velmor
