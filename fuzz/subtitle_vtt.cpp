// Feeds arbitrary bytes to the WebVTT reader as a subtitle file held in memory.
//
//   QV_FUZZ_BUILD=build/h-fuzz bash fuzz/run.sh 300 subtitle_vtt
#include "engine/subtitles/WebVttSource.h"
#include "fuzz/SubtitleFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzSubtitleReader<velmor::WebVttSource>(data, size);
}
