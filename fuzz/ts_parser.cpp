// Feeds arbitrary bytes to the transport stream parser as 188-byte packets. Some input bytes
// steer the run: the first picks the parser flags, and a packet whose fifth byte has its low
// bits set first signals a discontinuity of a kind taken from that byte. The sources are asked
// what they hold after each packet and read to the end once they are ended (so no read blocks).
//
//   QV_FUZZ_BUILD=build/h-fuzz3 bash fuzz/run.sh 600 ts_parser
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/MediaBuffer.h"
#include "engine/mpeg2ts/PacketSource.h"
#include "engine/mpeg2ts/TSParser.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

constexpr uint8_t kDiscontinuityTrigger = 0x07;

// The questions a reader asks without blocking.
void probe(const Ref<PacketSource>& source) {
    if (source == nullptr) return;
    status_t final = OK;
    int64_t timeUs;
    source->getBufferedDurationUs(&final);
    source->nextBufferTime(&timeUs);
    source->hasBufferAvailable(&final);
}

// Reads everything once the source has ended, so no read can block.
void drainEnded(const Ref<PacketSource>& source) {
    for (;;) {
        MediaBuffer* buffer = nullptr;
        status_t err = source->read(&buffer);
        if (buffer != nullptr) buffer->release();
        if (err != OK && err != INFO_FORMAT_CHANGED && err != INFO_DISCONTINUITY) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (getenv("QV_FUZZ_LOG") == nullptr) setLogLevel(LOG_FATAL + 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint32_t flags = data[0] & (TSParser::TS_TIMESTAMPS_ARE_ABSOLUTE | TSParser::ALIGNED_VIDEO_DATA);
    ++data;
    --size;
    Ref<TSParser> parser = new TSParser(flags);
    for (size_t offset = 0; offset + TSParser::kTSPacketSize <= size; offset += TSParser::kTSPacketSize) {
        const uint8_t* packet = data + offset;
        if ((packet[4] & kDiscontinuityTrigger) == kDiscontinuityTrigger) {
            Ref<Message> extra = new Message;
            int32_t type = packet[5] & 0x1f;
            if (packet[6] & 1) extra->setInt64("MediaTimeUs", packet[7] * 1000);
            if (packet[6] & 2) extra->setInt64("ResumeAtPTS", packet[8] * 90000);
            if (packet[6] & 4) extra->setInt64("timeUs", packet[9] * 1000);
            if (packet[6] & 8) extra->setInt64("offset", packet[10] * 1000);
            parser->signalDiscontinuity(type, (packet[6] & 16) ? nullptr : extra);
        }
        parser->feedTSPacket(packet, TSParser::kTSPacketSize);
        probe(parser->getSource(TSParser::VIDEO));
        probe(parser->getSource(TSParser::AUDIO));
    }
    // A short tail is refused, not read past.
    size_t tail = size % TSParser::kTSPacketSize;
    if (tail > 0) parser->feedTSPacket(data + size - tail, tail);
    for (TSParser::SourceType type : {TSParser::VIDEO, TSParser::AUDIO}) {
        Ref<PacketSource> source = parser->getSource(type);
        if (source == nullptr) continue;
        source->signalEOS(ERROR_END_OF_STREAM);
        drainEnded(source);
    }
    return 0;
}
