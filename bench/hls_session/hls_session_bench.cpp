// Time from connectAsync on a master playlist to the first segment in the session's byte queue,
// over loopback HTTP. Prints "first_segment_ms=X queued_bytes=N".
//
//   bench_hls_session URL
#include <cstdio>
#include <thread>

#include "engine/hls/HLSSession.h"
#include "utils/Log.h"

using namespace velmor;

namespace {
// Markers are 188 bytes; the first segment has arrived once more than a marker is queued.
constexpr size_t kMoreThanAMarker = 2;
constexpr int64_t kGiveUpUs = 30000000;
constexpr int64_t kPollUs = 200;
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s URL\n", argv[0]);
        return 2;
    }
    setLogLevel(LOG_FATAL);
    // Notifications go to a handler id nobody registered: the bench watches the queue itself.
    Ref<HLSSession> session = new HLSSession(false, new Message(0, 0));
    const int64_t startUs = GetNowUs();
    session->connectAsync(argv[1]);
    Ref<HLSDataSource> source = session->getDataSource();
    while (source->countQueuedBuffers() < kMoreThanAMarker && source->finalResult() == OK &&
           GetNowUs() - startUs < kGiveUpUs) {
        std::this_thread::sleep_for(std::chrono::microseconds(kPollUs));
    }
    const int64_t elapsedUs = GetNowUs() - startUs;
    const bool ok = source->countQueuedBuffers() >= kMoreThanAMarker;
    printf("first_segment_ms=%.2f ok=%d\n", elapsedUs / 1000.0, ok ? 1 : 0);
    session->disconnect();
    session.clear();
    return ok ? 0 : 1;
}
