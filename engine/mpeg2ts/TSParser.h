// Demultiplexes an MPEG-2 transport stream fed as 188-byte packets: follows the PAT and PMTs,
// collects the PES packets of every supported elementary stream, converts their time stamps to
// µs, and hands the payloads to one AccessUnitQueue per stream, whose units go into that
// stream's PacketSource.
//
// Threads: fed and signalled by one thread at a time (the HLS extractor's reader, under the
// extractor's lock); the packet sources it creates are read by the decoders' threads. No lock.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "engine/foundation/Message.h"
#include "engine/mpeg2ts/PacketSource.h"
#include "utils/Errors.h"
#include "utils/RefCounted.h"

namespace velmor {

class TSParser : public RefCounted {
public:
    enum Flags : uint32_t {
        TS_TIMESTAMPS_ARE_ABSOLUTE = 1,
        ALIGNED_VIDEO_DATA = 2,
    };
    enum SourceType : int32_t { VIDEO = 0, AUDIO = 1 };
    static constexpr size_t kTSPacketSize = 188;

    explicit TSParser(uint32_t flags = 0);

    // ERROR_MALFORMED for a packet that is not 188 bytes starting with 0x47, or whose tables or
    // PES packets break the format.
    status_t feedTSPacket(const void* data, size_t size);
    void signalDiscontinuity(int32_t type, const Ref<Message>& extra);
    // The first program's first stream of that kind with a source; null if none yet.
    Ref<PacketSource> getSource(SourceType type);
    // Packets fed so far.
    uint32_t packetsParsed() const { return mNumTSPacketsParsed; }

protected:
    ~TSParser() override;

private:
    // The parser's tables, programs and streams are the implementer's; declare them in the
    // implementation file (or here) as needed.
    struct Impl;
    Impl* mImpl;
    uint32_t mNumTSPacketsParsed = 0;
};

}  // namespace velmor
