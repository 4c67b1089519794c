#define LOG_TAG "VEL_TSParser"

#include "engine/mpeg2ts/TSParser.h"

#include <cstring>
#include <vector>

#include "engine/MediaDefs.h"
#include "engine/mpeg2ts/AccessUnitQueue.h"
#include "engine/mpeg2ts/BitReader.h"
#include "utils/Log.h"

namespace velmor {

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr unsigned kPatPid = 0;
constexpr size_t kPsiGranule = 1024;
constexpr size_t kPesInitialCapacity = 196608;
constexpr size_t kPesGranule = 65536;
// A PES packet that runs on this long without a next start is not a stream we can play.
constexpr size_t kPesMaxSize = 32 * 1024 * 1024;
constexpr uint32_t kMaxPmtSectionLength = 1021;
constexpr uint32_t kPatHeaderAndCrcBytes = 9;
constexpr uint32_t kPmtHeaderAndCrcBytes = 13;
constexpr uint32_t kCrcBits = 32;
constexpr uint32_t kSectionLengthMask = 0x0fff;

// Stream types.
enum : uint32_t {
    kTypeMpeg1Video = 0x01,
    kTypeMpeg2Video = 0x02,
    kTypeMpeg1Audio = 0x03,
    kTypeMpeg2Audio = 0x04,
    kTypeAacAdts = 0x0F,
    kTypeMpeg4Video = 0x10,
    kTypeH264 = 0x1B,
    kTypePcmAudio = 0x83,
};

// PES stream ids whose packets carry no PES header.
bool streamIdHasNoHeader(uint32_t id) {
    return id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xFF || id == 0xF2 ||
           id == 0xF8;
}

int64_t ptsToUs(uint64_t pts) { return static_cast<int64_t>(pts * 100 / 9); }

const char* const kMediaTimeKey = "MediaTimeUs";
const char* const kResumeAtPtsKey = "ResumeAtPTS";
const char* const kResumeAtMediaTimeKey = "resume-at-mediatimeUs";
const char* const kAnchorTimeKey = "timeUs";
const char* const kOffsetKey = "offset";

// Reads a 33-bit time stamp written as 3 + 15 + 15 bits with a marker after each part.
bool readTimestamp(BitReader* br, uint64_t* value) {
    uint64_t v = uint64_t{br->getBits(3)} << 30;
    if (br->getBits(1) != 1) return false;
    v |= uint64_t{br->getBits(15)} << 15;
    if (br->getBits(1) != 1) return false;
    v |= br->getBits(15);
    if (br->getBits(1) != 1) return false;
    *value = v;
    return true;
}

}  // namespace

struct Program;

// What the parser's programs share: its flags and the times added to every converted PTS.
struct ParserTimes {
    explicit ParserTimes(uint32_t flags) : mFlags(flags) {}
    const uint32_t mFlags;
    int64_t mAbsoluteTimeAnchorUs = -1;
    bool mTimeOffsetValid = false;
    int64_t mTimeOffsetUs = 0;
};

// Programs, streams and sections below all run on the parser's caller's thread, like the
// parser itself; only the packet sources they fill are shared with other threads.

// The payload of one elementary stream: PES packets reassembled and cut into access units.
struct Stream : public RefCounted {
    Stream(Program* program, unsigned elementaryPID, unsigned streamType, unsigned pcrPID, uint32_t parserFlags);

    status_t parse(unsigned continuityCounter, bool payloadUnitStart, const uint8_t* data, size_t size);
    void signalDiscontinuity(int32_t type, const Ref<Message>& extra);
    bool isAudio() const;
    bool isVideo() const;
    Ref<PacketSource> source() const { return mSource; }

    Program* mProgram;  // back pointer: the program owns this stream
    unsigned mElementaryPID;
    unsigned mStreamType;
    unsigned mPCRPID;
    int32_t mExpectedContinuityCounter = -1;
    bool mPayloadStarted = false;
    std::vector<uint8_t> mBuffer;  // the PES packet collected so far
    AccessUnitQueue* mQueue = nullptr;  // owned; null for stream types we do not read
    Ref<PacketSource> mSource;          // made when the queue first knows its format

protected:
    ~Stream() override { delete mQueue; }

private:
    status_t flush();
    status_t parsePES(const uint8_t* data, size_t size);
    status_t onPayloadData(unsigned ptsDtsFlags, uint64_t pts, const uint8_t* data, size_t size);
};

struct Program : public RefCounted {
    Program(ParserTimes* parser, unsigned programNumber, unsigned programMapPID)
        : mParser(parser), mProgramNumber(programNumber), mProgramMapPID(programMapPID) {}

    status_t parseProgramMap(const uint8_t* data, size_t size);
    // True when the PID is one of this program's streams; err gets the stream's status.
    bool parsePID(unsigned pid, unsigned continuityCounter, bool payloadUnitStart, const uint8_t* data, size_t size,
                  status_t* err);
    void signalDiscontinuity(int32_t type, const Ref<Message>& extra);
    int64_t convertPTSToTimestamp(uint64_t pts);
    Ref<PacketSource> getSource(TSParser::SourceType type);

    ParserTimes* mParser;  // back pointer into the parser, which owns this program
    unsigned mProgramNumber;
    unsigned mProgramMapPID;
    bool mFirstPTSValid = false;
    uint64_t mFirstPTS = 0;
    std::map<unsigned, Ref<Stream>> mStreams;

protected:
    ~Program() override {}
};

// Table bytes collected for one PID until the section is whole.
struct PSISection {
    std::vector<uint8_t> mBuffer;

    void append(const uint8_t* data, size_t size) {
        if (mBuffer.capacity() < mBuffer.size() + size) {
            mBuffer.reserve((mBuffer.size() + size + kPsiGranule - 1) / kPsiGranule * kPsiGranule);
        }
        mBuffer.insert(mBuffer.end(), data, data + size);
    }
    void clear() { mBuffer.clear(); }
    bool isComplete() const {
        if (mBuffer.size() < 3) return false;
        size_t sectionLength = ((mBuffer[1] << 8) | mBuffer[2]) & kSectionLengthMask;
        return mBuffer.size() >= sectionLength + 3;
    }
    bool isEmpty() const { return mBuffer.empty(); }
};

struct TSParser::Impl {
    explicit Impl(uint32_t flags) : mTimes(flags) { mPSISections[kPatPid] = PSISection(); }

    status_t feedTSPacket(const uint8_t* data, size_t size);
    status_t parsePayload(unsigned pid, unsigned continuityCounter, bool payloadUnitStart, const uint8_t* data,
                          size_t size);
    status_t parseProgramAssociationTable(const uint8_t* data, size_t size);
    void signalDiscontinuity(int32_t type, const Ref<Message>& extra);

    ParserTimes mTimes;
    std::vector<Ref<Program>> mPrograms;
    std::map<unsigned, PSISection> mPSISections;
};

// ---------------------------------------------------------------------------------------------
// Stream

Stream::Stream(Program* program, unsigned elementaryPID, unsigned streamType, unsigned pcrPID, uint32_t parserFlags)
    : mProgram(program), mElementaryPID(elementaryPID), mStreamType(streamType), mPCRPID(pcrPID) {
    switch (streamType) {
        case kTypeH264:
            mQueue = new AccessUnitQueue(AccessUnitQueue::H264,
                                         (parserFlags & TSParser::ALIGNED_VIDEO_DATA)
                                             ? static_cast<uint32_t>(AccessUnitQueue::kFlag_AlignedData)
                                             : 0u);
            break;
        case kTypeAacAdts:
            mQueue = new AccessUnitQueue(AccessUnitQueue::AAC);
            break;
        case kTypeMpeg1Audio:
        case kTypeMpeg2Audio:
            mQueue = new AccessUnitQueue(AccessUnitQueue::MPEG_AUDIO);
            break;
        case kTypeMpeg1Video:
        case kTypeMpeg2Video:
            mQueue = new AccessUnitQueue(AccessUnitQueue::MPEG_VIDEO);
            break;
        case kTypeMpeg4Video:
            mQueue = new AccessUnitQueue(AccessUnitQueue::MPEG4_VIDEO);
            break;
        case kTypePcmAudio:
            mQueue = new AccessUnitQueue(AccessUnitQueue::PCM_AUDIO);
            break;
        default:
            break;
    }
    if (mQueue != nullptr) mBuffer.reserve(kPesInitialCapacity);
}

bool Stream::isAudio() const {
    return mStreamType == kTypeMpeg1Audio || mStreamType == kTypeMpeg2Audio || mStreamType == kTypeAacAdts ||
           mStreamType == kTypePcmAudio;
}

bool Stream::isVideo() const {
    return mStreamType == kTypeMpeg1Video || mStreamType == kTypeMpeg2Video || mStreamType == kTypeH264 ||
           mStreamType == kTypeMpeg4Video;
}

status_t Stream::parse(unsigned continuityCounter, bool payloadUnitStart, const uint8_t* data, size_t size) {
    if (mQueue == nullptr) return OK;
    // Recorded for diagnosis; a gap is not treated as an error (the queues resynchronise).
    mExpectedContinuityCounter = static_cast<int32_t>((continuityCounter + 1) & 0x0f);

    if (payloadUnitStart) {
        if (mPayloadStarted) {
            status_t err = flush();
            if (err != OK) return err;
        }
        mPayloadStarted = true;
    }
    if (!mPayloadStarted) return OK;

    size_t needed = mBuffer.size() + size;
    if (needed > kPesMaxSize) {
        VLOGE("PES packet on PID 0x%x exceeds %zu bytes", mElementaryPID, kPesMaxSize);
        mBuffer.clear();
        mPayloadStarted = false;
        return ERROR_MALFORMED;
    }
    if (needed > mBuffer.capacity()) {
        size_t capacity = (needed + kPesGranule - 1) / kPesGranule * kPesGranule;
        VLOGI("resizing buffer to %d bytes", static_cast<int>(capacity));
        mBuffer.reserve(capacity);
    }
    mBuffer.insert(mBuffer.end(), data, data + size);
    return OK;
}

status_t Stream::flush() {
    if (mBuffer.empty()) return OK;
    std::vector<uint8_t> packet;
    packet.swap(mBuffer);
    mBuffer.reserve(packet.capacity());
    return parsePES(packet.data(), packet.size());
}

status_t Stream::parsePES(const uint8_t* data, size_t size) {
    BitReader br(data, size);
    if (br.getBits(24) != 0x000001) return ERROR_MALFORMED;
    uint32_t streamId = br.getBits(8);
    uint32_t packetLength = br.getBits(16);
    if (br.overrun()) return ERROR_MALFORMED;

    if (streamIdHasNoHeader(streamId)) {
        if (packetLength == 0) return ERROR_MALFORMED;
        return OK;  // padding, private and system streams carry nothing for us
    }

    if (br.getBits(2) != 2) return ERROR_MALFORMED;
    br.skipBits(2 + 1 + 1 + 1 + 1);  // scrambling, priority, alignment, copyright, original
    uint32_t ptsDtsFlags = br.getBits(2);
    uint32_t escrFlag = br.getBits(1);
    uint32_t esRateFlag = br.getBits(1);
    br.skipBits(1 + 1 + 1 + 1);  // trick mode, additional copy info, CRC, extension
    uint32_t headerLength = br.getBits(8);
    if (br.overrun() || headerLength * 8 > br.numBitsLeft()) return ERROR_MALFORMED;

    uint32_t optionalBytes = headerLength;
    uint64_t pts = 0, dts = 0;
    if (ptsDtsFlags == 2 || ptsDtsFlags == 3) {
        if (optionalBytes < 5) return ERROR_MALFORMED;
        if (br.getBits(4) != ptsDtsFlags) return ERROR_MALFORMED;
        if (!readTimestamp(&br, &pts)) return ERROR_MALFORMED;
        optionalBytes -= 5;
        if (ptsDtsFlags == 3) {
            if (optionalBytes < 5) return ERROR_MALFORMED;
            if (br.getBits(4) != 1) return ERROR_MALFORMED;
            if (!readTimestamp(&br, &dts)) return ERROR_MALFORMED;
            optionalBytes -= 5;
        }
    }
    if (escrFlag) {
        if (optionalBytes < 6) return ERROR_MALFORMED;
        br.skipBits(2);
        uint64_t escr;
        if (!readTimestamp(&br, &escr)) return ERROR_MALFORMED;
        br.skipBits(9);
        if (br.getBits(1) != 1) return ERROR_MALFORMED;
        optionalBytes -= 6;
    }
    if (esRateFlag) {
        if (optionalBytes < 3) return ERROR_MALFORMED;
        if (br.getBits(1) != 1) return ERROR_MALFORMED;
        br.skipBits(22);
        if (br.getBits(1) != 1) return ERROR_MALFORMED;
        optionalBytes -= 3;
    }
    br.skipBits(optionalBytes * 8);
    if (br.overrun()) return ERROR_MALFORMED;

    // The header is whole bytes, so the payload starts on a byte boundary.
    const uint8_t* payload = br.data();
    size_t left = br.numBitsLeft() / 8;
    size_t payloadSize = left;
    if (packetLength != 0) {
        if (packetLength < 3 + headerLength) return ERROR_MALFORMED;
        size_t declared = packetLength - 3 - headerLength;
        if (declared > left) {
            VLOGW("PES packet does not carry enough data to contain payload. (numBitsLeft = %zu, required = %u)",
                  left * 8, static_cast<unsigned>(declared * 8));
            return ERROR_MALFORMED;
        }
        payloadSize = declared;
    }
    return onPayloadData(ptsDtsFlags, pts, payload, payloadSize);
}

status_t Stream::onPayloadData(unsigned ptsDtsFlags, uint64_t pts, const uint8_t* data, size_t size) {
    int64_t timeUs = 0;
    if (ptsDtsFlags == 2 || ptsDtsFlags == 3) timeUs = mProgram->convertPTSToTimestamp(pts);

    status_t err = mQueue->appendData(data, size, timeUs);
    if (err != OK) return err;

    Ref<ByteBuffer> unit;
    while ((unit = mQueue->dequeueAccessUnit()) != nullptr) {
        Ref<MetaData> format = mQueue->getFormat();
        if (mSource == nullptr) {
            if (format == nullptr) continue;  // nothing can read units of an unknown format
            mSource = new PacketSource(format);
        } else if (format != nullptr && mSource->getFormat() == nullptr) {
            mSource->setFormat(format);
        }
        mSource->queueAccessUnit(unit);
    }
    return OK;
}

void Stream::signalDiscontinuity(int32_t type, const Ref<Message>& extra) {
    mExpectedContinuityCounter = -1;
    if (mQueue == nullptr) return;
    mPayloadStarted = false;
    mBuffer.clear();

    bool clearFormat = (isAudio() && (type & DISCONTINUITY_AUDIO_FORMAT)) ||
                       (isVideo() && (type & DISCONTINUITY_VIDEO_FORMAT));
    mQueue->clear(clearFormat);

    int64_t resumeAtPts;
    if ((type & DISCONTINUITY_TIME) && extra != nullptr && extra->findInt64(kResumeAtPtsKey, &resumeAtPts)) {
        int64_t resumeAtMediaTimeUs = mProgram->convertPTSToTimestamp(static_cast<uint64_t>(resumeAtPts));
        extra->setInt64(kResumeAtMediaTimeKey, resumeAtMediaTimeUs);
    }
    if (mSource != nullptr) mSource->queueDiscontinuity(type, extra);
}

// ---------------------------------------------------------------------------------------------
// Program

status_t Program::parseProgramMap(const uint8_t* data, size_t size) {
    BitReader br(data, size);
    if (br.getBits(8) != 0x02) return ERROR_MALFORMED;
    if (br.getBits(1) != 1) return ERROR_MALFORMED;
    if (br.getBits(1) != 0) return ERROR_MALFORMED;
    br.skipBits(2);
    uint32_t sectionLength = br.getBits(12);
    if ((sectionLength & 0xc00) != 0 || sectionLength > kMaxPmtSectionLength) return ERROR_MALFORMED;
    br.skipBits(16 + 2 + 5 + 1 + 8 + 8 + 3);  // program number .. last section number, reserved
    unsigned pcrPID = br.getBits(13);
    br.skipBits(4);
    uint32_t programInfoLength = br.getBits(12);
    if ((programInfoLength & 0xc00) != 0) return ERROR_MALFORMED;
    if (br.overrun()) return ERROR_MALFORMED;
    if (sectionLength < kPmtHeaderAndCrcBytes + programInfoLength) return ERROR_MALFORMED;
    br.skipBits(programInfoLength * 8);

    struct StreamInfo {
        unsigned mType;
        unsigned mPID;
    };
    std::vector<StreamInfo> infos;
    size_t infoBytesRemaining = sectionLength - kPmtHeaderAndCrcBytes - programInfoLength;
    while (infoBytesRemaining > 0) {
        if (infoBytesRemaining < 5) return ERROR_MALFORMED;
        unsigned streamType = br.getBits(8);
        br.skipBits(3);
        unsigned elementaryPID = br.getBits(13);
        br.skipBits(4);
        uint32_t esInfoLength = br.getBits(12);
        if ((esInfoLength & 0xc00) != 0 || esInfoLength > infoBytesRemaining - 5) return ERROR_MALFORMED;
        size_t descriptorsLeft = esInfoLength;
        while (descriptorsLeft >= 2) {
            br.skipBits(8);
            uint32_t length = br.getBits(8);
            if (length + 2 > descriptorsLeft) return ERROR_MALFORMED;
            br.skipBits(length * 8);
            descriptorsLeft -= length + 2;
        }
        if (descriptorsLeft != 0) return ERROR_MALFORMED;
        if (br.overrun()) return ERROR_MALFORMED;
        infos.push_back(StreamInfo{streamType, elementaryPID});
        infoBytesRemaining -= 5 + esInfoLength;
    }
    br.skipBits(kCrcBits);  // not checked
    if (br.overrun()) return ERROR_MALFORMED;

    bool pidsChanged = false;
    for (const StreamInfo& info : infos) {
        auto it = mStreams.find(info.mPID);
        if (it != mStreams.end() && it->second->mStreamType != info.mType) {
            pidsChanged = true;
            break;
        }
    }
    if (pidsChanged) {
        VLOGI("uh oh. stream PIDs have changed.");
        // The one change we follow: two streams that exchanged their PIDs.
        bool success = false;
        if (infos.size() == 2 && mStreams.size() == 2) {
            Ref<Stream> a = mStreams.begin()->second;
            Ref<Stream> b = std::next(mStreams.begin())->second;
            auto swapped = [&](const StreamInfo& one, const StreamInfo& two) {
                return one.mPID == a->mElementaryPID && one.mType == b->mStreamType && two.mPID == b->mElementaryPID &&
                       two.mType == a->mStreamType;
            };
            if (swapped(infos[0], infos[1]) || swapped(infos[1], infos[0])) {
                std::swap(a->mElementaryPID, b->mElementaryPID);
                mStreams.clear();
                mStreams[a->mElementaryPID] = a;
                mStreams[b->mElementaryPID] = b;
                success = true;
            }
        }
        if (!success) {
            VLOGI("Stream PIDs changed and we cannot recover.");
            return ERROR_MALFORMED;
        }
    }

    for (const StreamInfo& info : infos) {
        if (mStreams.count(info.mPID) != 0) continue;
        mStreams[info.mPID] = new Stream(this, info.mPID, info.mType, pcrPID, mParser->mFlags);
        VLOGI("new stream PID 0x%02x, type 0x%02x", info.mPID, info.mType);
    }
    return OK;
}

bool Program::parsePID(unsigned pid, unsigned continuityCounter, bool payloadUnitStart, const uint8_t* data,
                       size_t size, status_t* err) {
    *err = OK;
    auto it = mStreams.find(pid);
    if (it == mStreams.end()) return false;
    *err = it->second->parse(continuityCounter, payloadUnitStart, data, size);
    return true;
}

void Program::signalDiscontinuity(int32_t type, const Ref<Message>& extra) {
    int64_t mediaTimeUs;
    if ((type & DISCONTINUITY_TIME) && extra != nullptr && extra->findInt64(kMediaTimeKey, &mediaTimeUs)) {
        mFirstPTSValid = false;
    }
    for (auto& entry : mStreams) entry.second->signalDiscontinuity(type, extra);
}

int64_t Program::convertPTSToTimestamp(uint64_t pts) {
    if (!(mParser->mFlags & TSParser::TS_TIMESTAMPS_ARE_ABSOLUTE)) {
        if (!mFirstPTSValid) {
            mFirstPTSValid = true;
            mFirstPTS = pts;
            VLOGI("convertPTSToTimestamp setFirstPTS %llu", static_cast<unsigned long long>(pts));
            pts = 0;
        } else if (pts < mFirstPTS) {
            pts = 0;
        } else {
            pts -= mFirstPTS;
        }
    }
    int64_t timeUs = ptsToUs(pts);
    if (mParser->mAbsoluteTimeAnchorUs >= 0) timeUs += mParser->mAbsoluteTimeAnchorUs;
    if (mParser->mTimeOffsetValid) timeUs += mParser->mTimeOffsetUs;
    return timeUs;
}

Ref<PacketSource> Program::getSource(TSParser::SourceType type) {
    for (auto& entry : mStreams) {
        const Ref<Stream>& stream = entry.second;
        if (stream->mSource == nullptr) continue;
        if ((type == TSParser::AUDIO && stream->isAudio()) || (type == TSParser::VIDEO && stream->isVideo())) {
            return stream->mSource;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Parser

status_t TSParser::Impl::parseProgramAssociationTable(const uint8_t* data, size_t size) {
    BitReader br(data, size);
    if (br.getBits(8) != 0x00) return ERROR_MALFORMED;
    if (br.getBits(1) != 1) return ERROR_MALFORMED;
    if (br.getBits(1) != 0) return ERROR_MALFORMED;
    br.skipBits(2);
    uint32_t sectionLength = br.getBits(12);
    if ((sectionLength & 0xc00) != 0) return ERROR_MALFORMED;
    br.skipBits(16 + 2 + 5 + 1 + 8 + 8);  // transport stream id .. last section number
    if (br.overrun() || sectionLength < kPatHeaderAndCrcBytes) return ERROR_MALFORMED;
    size_t loopBytes = sectionLength - kPatHeaderAndCrcBytes;
    if (loopBytes % 4 != 0) return ERROR_MALFORMED;

    for (size_t i = 0; i < loopBytes / 4; ++i) {
        unsigned programNumber = br.getBits(16);
        br.skipBits(3);
        unsigned pid = br.getBits(13);
        if (br.overrun()) return ERROR_MALFORMED;
        if (programNumber == 0) continue;  // the network PID

        bool found = false;
        for (const Ref<Program>& program : mPrograms) {
            if (program->mProgramNumber == programNumber) {
                program->mProgramMapPID = pid;
                found = true;
                break;
            }
        }
        if (!found) mPrograms.push_back(new Program(&mTimes, programNumber, pid));
        if (mPSISections.count(pid) == 0) mPSISections[pid] = PSISection();
    }
    br.skipBits(kCrcBits);  // not checked
    return br.overrun() ? ERROR_MALFORMED : OK;
}

status_t TSParser::Impl::parsePayload(unsigned pid, unsigned continuityCounter, bool payloadUnitStart,
                                      const uint8_t* data, size_t size) {
    auto sectionIt = mPSISections.find(pid);
    if (sectionIt != mPSISections.end()) {
        PSISection& section = sectionIt->second;
        if (payloadUnitStart) {
            if (size < 1) return ERROR_MALFORMED;
            size_t skip = data[0];
            if (1 + skip > size) return ERROR_MALFORMED;
            section.clear();
            data += 1 + skip;
            size -= 1 + skip;
        } else if (section.isEmpty()) {
            return OK;  // the middle of a table whose start we did not see
        }
        section.append(data, size);
        if (!section.isComplete()) return OK;

        // Parsing may add sections to the map, so work on a copy of this one.
        std::vector<uint8_t> table;
        table.swap(section.mBuffer);
        status_t err = OK;
        if (pid == kPatPid) {
            err = parseProgramAssociationTable(table.data(), table.size());
        } else {
            bool handled = false;
            for (size_t i = 0; i < mPrograms.size(); ++i) {
                if (mPrograms[i]->mProgramMapPID == pid) {
                    err = mPrograms[i]->parseProgramMap(table.data(), table.size());
                    handled = true;
                    break;
                }
            }
            if (!handled) {
                mPSISections.erase(pid);
                return OK;
            }
        }
        auto again = mPSISections.find(pid);
        if (again != mPSISections.end()) again->second.clear();
        return err;
    }

    for (const Ref<Program>& program : mPrograms) {
        status_t err;
        if (program->parsePID(pid, continuityCounter, payloadUnitStart, data, size, &err)) return err;
    }
    return OK;  // a PID nobody claims
}

status_t TSParser::Impl::feedTSPacket(const uint8_t* data, size_t size) {
    BitReader br(data, size);
    if (br.getBits(8) != kSyncByte) return ERROR_MALFORMED;
    br.skipBits(1);  // transport_error_indicator
    bool payloadUnitStart = br.getBits(1) != 0;
    br.skipBits(1);  // transport_priority
    unsigned pid = br.getBits(13);
    br.skipBits(2);  // transport_scrambling_control
    unsigned adaptationFieldControl = br.getBits(2);
    unsigned continuityCounter = br.getBits(4);

    if (adaptationFieldControl == 2 || adaptationFieldControl == 3) {
        uint32_t fieldLength = br.getBits(8);
        if (fieldLength * 8 > br.numBitsLeft()) return ERROR_MALFORMED;
        size_t used = 0;
        if (fieldLength > 0) {
            br.skipBits(1 + 2);  // discontinuity_indicator, random access, priority
            uint32_t pcrFlag = br.getBits(1);
            used = 4;
            if (pcrFlag) {
                if (fieldLength * 8 < 4 + 4 + 48) return ERROR_MALFORMED;
                br.skipBits(4);
                uint64_t pcrBase = uint64_t{br.getBits(32)} << 1;
                pcrBase |= br.getBits(1);
                br.skipBits(6);
                uint64_t pcrExt = br.getBits(9);
                (void)(pcrBase * 300 + pcrExt);  // the clock reference is not used for timing
                used += 4 + 48;
            }
        }
        br.skipBits(fieldLength * 8 - used);
    }

    if (adaptationFieldControl == 1 || adaptationFieldControl == 3) {
        const uint8_t* payload = br.data();
        size_t payloadSize = br.numBitsLeft() / 8;
        return parsePayload(pid, continuityCounter, payloadUnitStart, payload, payloadSize);
    }
    return OK;
}

void TSParser::Impl::signalDiscontinuity(int32_t type, const Ref<Message>& extra) {
    if ((type & DISCONTINUITY_TIME) && extra != nullptr) {
        int64_t mediaTimeUs;
        if (extra->findInt64(kMediaTimeKey, &mediaTimeUs)) mTimes.mAbsoluteTimeAnchorUs = mediaTimeUs;
        for (const Ref<Program>& program : mPrograms) program->signalDiscontinuity(type, extra);
    } else if (type == DISCONTINUITY_ABSOLUTE_TIME) {
        int64_t timeUs;
        if (extra == nullptr || !extra->findInt64(kAnchorTimeKey, &timeUs)) {
            VLOGW("timeUs not found");
        } else if (!mPrograms.empty()) {
            VLOGW("mPrograms is not empty");
        } else {
            mTimes.mAbsoluteTimeAnchorUs = timeUs;
        }
    } else if (type == DISCONTINUITY_TIME_OFFSET) {
        int64_t offsetUs;
        if (extra != nullptr && extra->findInt64(kOffsetKey, &offsetUs)) {
            mTimes.mTimeOffsetUs = offsetUs;
            mTimes.mTimeOffsetValid = true;
        }
    } else {
        for (const Ref<Program>& program : mPrograms) program->signalDiscontinuity(type, extra);
    }
}

// ---------------------------------------------------------------------------------------------

TSParser::TSParser(uint32_t flags) : mImpl(new Impl(flags)) {}

TSParser::~TSParser() { delete mImpl; }

status_t TSParser::feedTSPacket(const void* data, size_t size) {
    if (data == nullptr || size != kTSPacketSize) return ERROR_MALFORMED;
    status_t err = mImpl->feedTSPacket(static_cast<const uint8_t*>(data), size);
    ++mNumTSPacketsParsed;
    return err;
}

void TSParser::signalDiscontinuity(int32_t type, const Ref<Message>& extra) { mImpl->signalDiscontinuity(type, extra); }

Ref<PacketSource> TSParser::getSource(SourceType type) {
    if (mImpl->mPrograms.empty()) return nullptr;
    return mImpl->mPrograms.front()->getSource(type);
}

}  // namespace velmor
