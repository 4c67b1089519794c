// The SAMI (.smi) reader: <SYNC Start=ms> blocks whose text names a class (language) with
// Class=NAME. Each class gets its own cue table and character set; the first class met in the
// file is the one read. A cue goes out as the raw fragment after its SYNC tag and lasts until
// the next cue replaces it (end time 0).
//
// Threads: as SubtitleSource (one caller at a time, no lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/subtitles/SubtitleSource.h"
#include "engine/subtitles/SubtitleTextSupport.h"

namespace velmor {

class SamiSource : public SubtitleSource {
public:
    explicit SamiSource(const Ref<DataSource>& source);

    status_t start() override;
    status_t stop() override;
    status_t read(int64_t* startTimeUs, int64_t* endTimeUs, Payload* cue,
                  const MediaSource::ReadOptions* options = nullptr) override;
    status_t extractGlobalDescriptions(Payload* descriptions) override;
    Ref<MetaData> getFormat() override { return mFormat; }

    // The classes in the order the file names them, and the character set of the one read.
    size_t classCount() const { return mClasses.size(); }
    const std::string& className(size_t index) const { return mClasses[index].name; }
    const char* charset() const { return mCharset; }

protected:
    ~SamiSource() override = default;

private:
    struct Cue {
        int64_t startUs = 0;
        int64_t textOffset = 0;
        int32_t textLength = 0;
    };
    struct ClassTable {
        std::string name;
        std::vector<Cue> cues;
        char charset[kCharsetNameSize];
    };

    status_t parse();
    // Reads the text of cue `index` of the selected class into `text`.
    status_t getText(size_t index, std::string* text);

    const Ref<DataSource> mSource;
    const Ref<MetaData> mFormat;
    char mCharset[kCharsetNameSize];
    std::vector<ClassTable> mClasses;
    size_t mSelected = 0;  // index into mClasses
    size_t mNextCue = 0;
};

}  // namespace velmor
