#define LOG_TAG "VEL_AccessUnitQueue"

#include "engine/mpeg2ts/AccessUnitQueue.h"

#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "engine/MediaDefs.h"
#include "engine/mpeg2ts/BitReader.h"
#include "utils/Log.h"

namespace velmor {

namespace {

const char* const kTimeKey = "timeUs";
// The video decoder sorts its output times when the input carries presentation times.
constexpr uint32_t kKeyInputIsPts = FourCC('i', 'p', 't', 's');

constexpr size_t kBufferGranule = 65536;
// Pending bytes that never form a unit stop here: the stream is not one we can cut.
constexpr size_t kMaxPendingBytes = 32 * 1024 * 1024;

// H.264 NAL unit types.
constexpr uint8_t kNalSlice = 1;
constexpr uint8_t kNalIdrSlice = 5;
constexpr uint8_t kNalSPS = 7;
constexpr uint8_t kNalPPS = 8;
constexpr uint8_t kNalAUD = 9;
constexpr uint8_t kNalTypeMask = 0x1f;
const uint8_t kStartCode4[4] = {0, 0, 0, 1};

// MPEG-1/2 video start code values.
constexpr uint8_t kMpegPictureStart = 0x00;
constexpr uint8_t kMpegSequenceHeader = 0xB3;
constexpr uint8_t kMpegGroupStart = 0xB8;

// MPEG-4 visual start code values.
constexpr uint8_t kMpeg4VopStart = 0xB6;
constexpr uint8_t kMpeg4VolFirst = 0x20;
constexpr uint8_t kMpeg4VolLast = 0x2F;

// ADTS.
constexpr size_t kAdtsHeaderSize = 7;
constexpr uint32_t kAdtsMaxFrequencyIndex = 11;
const int32_t kAacSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

// The PCM header and its only accepted codes.
constexpr size_t kPcmHeaderSize = 4;
constexpr uint8_t kPcmMarker = 0xA0;
constexpr uint32_t kPcmFrequencyCode48k = 2;
constexpr uint32_t kPcmChannelCodeStereo = 1;
constexpr size_t kPcmFrameBytes = 320;
constexpr int32_t kPcmSampleRate = 48000;
constexpr int32_t kPcmChannels = 2;

// Offset of the first 00 00 01 at or after from, or size when there is none.
size_t findStartCode3(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 2 < size; ++i) {
        if (data[i + 2] > 1) {
            i += 2;  // no start code can end within the next two bytes
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return size;
}

size_t findStartCode4(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 3 < size; ++i) {
        if (memcmp(data + i, kStartCode4, sizeof(kStartCode4)) == 0) return i;
    }
    return size;
}

bool isPlausibleAdts(const uint8_t* p, size_t left) {
    if (left < 3 || p[0] != 0xFF || (p[1] >> 4) != 0xF) return false;
    uint32_t layer = (p[1] >> 1) & 3;
    uint32_t id = (p[1] >> 3) & 1;
    uint32_t profile = p[2] >> 6;
    return layer == 0 && !(id == 1 && profile == 3);
}

bool isPlausibleMpegAudio(const uint8_t* p, size_t left) {
    if (left < 3 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    uint32_t version = (p[1] >> 3) & 3;
    uint32_t layer = (p[1] >> 1) & 3;
    uint32_t bitrateIndex = p[2] >> 4;
    uint32_t rateIndex = (p[2] >> 2) & 3;
    return version != 1 && layer != 0 && bitrateIndex != 15 && rateIndex != 3;
}

// Frame size, sample rate, channels and layer of a 4-byte MPEG audio header; false for a header
// that does not describe a frame (including free-format bit rates).
bool parseMpegAudioHeader(uint32_t header, size_t* frameSize, int32_t* sampleRate, int32_t* channels, int* layerOut,
                          int32_t* samplesOut) {
    if ((header & 0xFFE00000u) != 0xFFE00000u) return false;
    uint32_t version = (header >> 19) & 3;  // 0: 2.5, 2: 2, 3: 1
    uint32_t layerBits = (header >> 17) & 3;
    uint32_t bitrateIndex = (header >> 12) & 15;
    uint32_t rateIndex = (header >> 10) & 3;
    uint32_t padding = (header >> 9) & 1;
    if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
    int layer = 4 - static_cast<int>(layerBits);

    static const int32_t kRates[3] = {44100, 48000, 32000};
    int32_t rate = kRates[rateIndex];
    if (version == 2) rate /= 2;
    if (version == 0) rate /= 4;

    static const int32_t kV1L1[] = {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448};
    static const int32_t kV1L2[] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    static const int32_t kV1L3[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int32_t kV2L1[] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256};
    static const int32_t kV2L23[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    bool v1 = version == 3;
    int32_t kbps = v1 ? (layer == 1 ? kV1L1 : layer == 2 ? kV1L2 : kV1L3)[bitrateIndex]
                      : (layer == 1 ? kV2L1 : kV2L23)[bitrateIndex];

    size_t size;
    if (layer == 1) {
        size = static_cast<size_t>((12000 * kbps / rate + static_cast<int32_t>(padding)) * 4);
    } else if (layer == 3 && !v1) {
        size = static_cast<size_t>(72000 * kbps / rate + static_cast<int32_t>(padding));
    } else {
        size = static_cast<size_t>(144000 * kbps / rate + static_cast<int32_t>(padding));
    }
    *frameSize = size;
    *sampleRate = rate;
    *channels = ((header >> 6) & 3) == 3 ? 1 : 2;
    *layerOut = layer;
    *samplesOut = layer == 1 ? 384 : (layer == 3 && !v1) ? 576 : 1152;
    return size >= 4;
}

// The NAL unit's bytes without emulation prevention bytes.
std::vector<uint8_t> unescapeNal(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    size_t zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        out.push_back(data[i]);
    }
    return out;
}

void skipScalingList(BitReader* br, int size) {
    int32_t last = 8, next = 8;
    for (int j = 0; j < size && !br->overrun(); ++j) {
        if (next != 0) {
            int32_t delta = br->getSE();
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

// Picture size from a sequence parameter set (NAL header included, escaped).
bool parseSpsSize(const uint8_t* nal, size_t size, int32_t* width, int32_t* height) {
    std::vector<uint8_t> rbsp = unescapeNal(nal, size);
    if (rbsp.size() < 4) return false;
    BitReader br(rbsp.data() + 1, rbsp.size() - 1);
    uint32_t profile = br.getBits(8);
    br.skipBits(16);  // constraint flags, level
    br.getUE();       // seq_parameter_set_id
    uint32_t chromaFormat = 1;
    bool separateColourPlanes = false;
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
        profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
        profile == 135) {
        chromaFormat = br.getUE();
        if (chromaFormat > 3) return false;
        if (chromaFormat == 3) separateColourPlanes = br.getBits(1) != 0;
        br.getUE();       // bit_depth_luma_minus8
        br.getUE();       // bit_depth_chroma_minus8
        br.skipBits(1);   // qpprime_y_zero_transform_bypass_flag
        if (br.getBits(1)) {  // seq_scaling_matrix_present_flag
            int lists = chromaFormat == 3 ? 12 : 8;
            for (int i = 0; i < lists && !br.overrun(); ++i) {
                if (br.getBits(1)) skipScalingList(&br, i < 6 ? 16 : 64);
            }
        }
    }
    br.getUE();  // log2_max_frame_num_minus4
    uint32_t pocType = br.getUE();
    if (pocType == 0) {
        br.getUE();
    } else if (pocType == 1) {
        br.skipBits(1);
        br.getSE();
        br.getSE();
        uint32_t cycle = br.getUE();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && !br.overrun(); ++i) br.getSE();
    } else if (pocType != 2) {
        return false;
    }
    br.getUE();       // max_num_ref_frames
    br.skipBits(1);   // gaps_in_frame_num_value_allowed_flag
    uint32_t widthMbs = br.getUE() + 1;
    uint32_t heightUnits = br.getUE() + 1;
    uint32_t frameMbsOnly = br.getBits(1);
    if (!frameMbsOnly) br.skipBits(1);
    br.skipBits(1);  // direct_8x8_inference_flag
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (br.getBits(1)) {
        cropLeft = br.getUE();
        cropRight = br.getUE();
        cropTop = br.getUE();
        cropBottom = br.getUE();
    }
    if (br.overrun() || widthMbs > 1024 || heightUnits > 1024) return false;
    uint32_t chroma = separateColourPlanes ? 0 : chromaFormat;
    uint32_t cropUnitX = (chroma == 1 || chroma == 2) ? 2 : 1;
    uint32_t cropUnitY = (chroma == 1 ? 2 : 1) * (2 - frameMbsOnly);
    int64_t w = int64_t{widthMbs} * 16 - int64_t{cropUnitX} * (int64_t{cropLeft} + cropRight);
    int64_t h = int64_t{heightUnits} * 16 * (2 - frameMbsOnly) - int64_t{cropUnitY} * (int64_t{cropTop} + cropBottom);
    if (w <= 0 || h <= 0) return false;
    *width = static_cast<int32_t>(w);
    *height = static_cast<int32_t>(h);
    return true;
}

// Picture size from an MPEG-4 video object layer header (the bytes after its start code).
bool parseVolSize(const uint8_t* data, size_t size, int32_t* width, int32_t* height) {
    BitReader br(data, size);
    br.skipBits(1 + 8);  // random_accessible_vol, video_object_type_indication
    uint32_t verId = 1;
    if (br.getBits(1)) {  // is_object_layer_identifier
        verId = br.getBits(4);
        br.skipBits(3);
    }
    if (br.getBits(4) == 15) br.skipBits(16);  // extended pixel aspect ratio
    if (br.getBits(1)) {                       // vol_control_parameters
        br.skipBits(2 + 1);                    // chroma_format, low_delay
        if (br.getBits(1)) br.skipBits(79);    // vbv_parameters
    }
    uint32_t shape = br.getBits(2);
    if (shape == 3 && verId != 1) br.skipBits(4);
    if (br.getBits(1) != 1) return false;  // marker
    uint32_t resolution = br.getBits(16);
    if (br.getBits(1) != 1 || resolution == 0) return false;
    if (br.getBits(1)) {  // fixed_vop_rate
        size_t bits = 1;
        while ((1u << bits) < resolution) ++bits;
        br.skipBits(bits);
    }
    if (shape != 0) return false;  // only rectangular pictures have a size here
    if (br.getBits(1) != 1) return false;
    uint32_t w = br.getBits(13);
    if (br.getBits(1) != 1) return false;
    uint32_t h = br.getBits(13);
    if (br.overrun() || w == 0 || h == 0) return false;
    *width = static_cast<int32_t>(w);
    *height = static_cast<int32_t>(h);
    return true;
}

Ref<ByteBuffer> copyUnit(const uint8_t* data, size_t size, int64_t timeUs) {
    Ref<ByteBuffer> unit = new ByteBuffer(size);
    if (size > 0) memcpy(unit->data(), data, size);
    unit->meta()->setInt64(kTimeKey, timeUs);
    return unit;
}

}  // namespace

AccessUnitQueue::AccessUnitQueue(Mode mode, uint32_t flags) : mMode(mode), mFlags(flags) {}

void AccessUnitQueue::clear(bool clearFormat) {
    if (mBuffer != nullptr) mBuffer->setRange(0, 0);
    mRangeInfos.clear();
    mAudioBaseUs = -1;
    mAudioSamplesSinceBase = 0;
    if (clearFormat) mFormat.clear();
}

status_t AccessUnitQueue::appendData(const void* data, size_t size, int64_t timeUs) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (mBuffer == nullptr || mBuffer->size() == 0) {
        // An empty queue starts at the first place a unit can begin; bytes before it are left
        // overs of a unit whose start was lost.
        size_t start = 0;
        switch (mMode) {
            case H264:
                start = findStartCode4(p, size);
                break;
            case MPEG_VIDEO:
            case MPEG4_VIDEO:
                start = findStartCode3(p, size, 0);
                break;
            case AAC:
                while (start < size && !isPlausibleAdts(p + start, size - start)) ++start;
                break;
            case MPEG_AUDIO:
                while (start < size && !isPlausibleMpegAudio(p + start, size - start)) ++start;
                break;
            case PCM_AUDIO:
                break;
        }
        if (start >= size && mMode != PCM_AUDIO) {
            VLOGW("no unit start in %zu bytes of mode %d", size, static_cast<int>(mMode));
            return ERROR_MALFORMED;
        }
        if (start > 0) VLOGW("dropping %zu bytes before the first unit start", start);
        p += start;
        size -= start;
    }
    if (size == 0) return OK;

    size_t have = mBuffer != nullptr ? mBuffer->size() : 0;
    size_t needed = have + size;
    if (needed > kMaxPendingBytes) {
        VLOGE("%zu bytes pending without a whole unit; dropping them", needed);
        clear(false);
        return ERROR_MALFORMED;
    }
    if (mBuffer == nullptr || needed > mBuffer->capacity()) {
        size_t capacity = (needed + kBufferGranule - 1) / kBufferGranule * kBufferGranule;
        Ref<ByteBuffer> grown = new ByteBuffer(capacity);
        if (grown->capacity() < capacity) return NO_MEMORY;
        if (have > 0) memcpy(grown->data(), mBuffer->data(), have);
        mBuffer = grown;
    }
    memcpy(mBuffer->base() + have, p, size);
    mBuffer->setRange(0, needed);
    mRangeInfos.push_back(RangeInfo{timeUs, size});
    return OK;
}

int64_t AccessUnitQueue::fetchTimestamp(size_t size) {
    int64_t timeUs = -1;
    bool first = true;
    while (size > 0 && !mRangeInfos.empty()) {
        RangeInfo& info = mRangeInfos.front();
        if (first) {
            timeUs = info.mTimestampUs;
            first = false;
        }
        if (info.mLength > size) {
            info.mLength -= size;
            info.mTimestampUs = -1;
            size = 0;
        } else {
            size -= info.mLength;
            mRangeInfos.pop_front();
        }
    }
    return timeUs;
}

namespace {

// Drops the first n pending bytes.
void consume(ByteBuffer* buffer, size_t n) {
    size_t left = buffer->size() - n;
    if (left > 0) memmove(buffer->data(), buffer->data() + n, left);
    buffer->setRange(0, left);
}

}  // namespace

Ref<ByteBuffer> AccessUnitQueue::dequeueAccessUnit() {
    if (mBuffer == nullptr || mBuffer->size() == 0) return nullptr;
    switch (mMode) {
        case H264: return dequeueAccessUnitH264();
        case AAC: return dequeueAccessUnitAAC();
        case MPEG_AUDIO: return dequeueAccessUnitMPEGAudio();
        case MPEG_VIDEO: return dequeueAccessUnitMPEGVideo();
        case MPEG4_VIDEO: return dequeueAccessUnitMPEG4Video();
        case PCM_AUDIO: return dequeueAccessUnitPCMAudio();
    }
    return nullptr;
}

Ref<ByteBuffer> AccessUnitQueue::dequeueAccessUnitH264() {
    const uint8_t* data = mBuffer->data();
    const size_t size = mBuffer->size();

    struct Nal {
        size_t start;
        size_t end;
    };
    std::vector<Nal> nals;
    size_t unitSize = 0;

    if (mFlags & kFlag_AlignedData) {
        // Every payload is one unit as it is.
        if (mRangeInfos.empty() || mRangeInfos.front().mLength > size) return nullptr;
        unitSize = mRangeInfos.front().mLength;
        for (size_t pos = findStartCode3(data, unitSize, 0); pos < unitSize;) {
            size_t next = findStartCode3(data, unitSize, pos + 3);
            size_t end = next;
            while (end > pos + 3 && data[end - 1] == 0) --end;
            nals.push_back(Nal{pos + 3, end});
            pos = next;
        }
    } else {
        bool sawSlice = false;
        size_t pos = findStartCode3(data, size, 0);
        for (;;) {
            if (pos >= size) return nullptr;
            size_t start = pos + 3;
            if (start >= size) return nullptr;
            uint8_t type = data[start] & kNalTypeMask;
            bool endsUnit = false;
            if (type == kNalSlice || type == kNalIdrSlice) {
                if (start + 1 >= size) return nullptr;
                // first_mb_in_slice is 0 exactly when its Exp-Golomb code is the single bit 1.
                bool firstMbIsZero = (data[start + 1] & 0x80) != 0;
                if (sawSlice && firstMbIsZero) endsUnit = true;
                sawSlice = true;
            } else if ((type == kNalAUD || type == kNalSPS) && sawSlice) {
                endsUnit = true;
            }
            if (endsUnit) {
                unitSize = nals.back().end;
                break;
            }
            size_t next = findStartCode3(data, size, start);
            if (next >= size) return nullptr;  // this unit's end is not here yet
            size_t end = next;
            while (end > start && data[end - 1] == 0) --end;
            nals.push_back(Nal{start, end});
            pos = next;
        }
    }

    size_t outSize = 0;
    for (const Nal& nal : nals) {
        if (nal.end > nal.start) outSize += sizeof(kStartCode4) + nal.end - nal.start;
    }
    Ref<ByteBuffer> unit = new ByteBuffer(outSize);
    uint8_t* out = unit->data();
    const Nal* sps = nullptr;
    const Nal* pps = nullptr;
    for (const Nal& nal : nals) {
        if (nal.end <= nal.start) continue;
        memcpy(out, kStartCode4, sizeof(kStartCode4));
        memcpy(out + sizeof(kStartCode4), data + nal.start, nal.end - nal.start);
        out += sizeof(kStartCode4) + nal.end - nal.start;
        uint8_t type = data[nal.start] & kNalTypeMask;
        if (type == kNalSPS && sps == nullptr) sps = &nal;
        if (type == kNalPPS && pps == nullptr) pps = &nal;
    }

    if (mFormat == nullptr && sps != nullptr && pps != nullptr) {
        int32_t width = 0, height = 0;
        if (parseSpsSize(data + sps->start, sps->end - sps->start, &width, &height)) {
            // The decoder takes the parameter sets as Annex-B bytes.
            std::vector<uint8_t> csd;
            csd.insert(csd.end(), kStartCode4, kStartCode4 + 4);
            csd.insert(csd.end(), data + sps->start, data + sps->end);
            csd.insert(csd.end(), kStartCode4, kStartCode4 + 4);
            csd.insert(csd.end(), data + pps->start, data + pps->end);
            Ref<MetaData> format = new MetaData;
            format->setCString(kKeyMIMEType, kMimeVideoAvc);
            format->setData(kKeyRawCodecSpecificInfo, kTypeNone, csd.data(), csd.size());
            format->setInt32(kKeyWidth, width);
            format->setInt32(kKeyHeight, height);
            format->setInt32(kKeyInputIsPts, 1);
            mFormat = format;
        } else {
            VLOGW("sequence parameter set not understood");
        }
    }

    int64_t timeUs = (mFlags & kFlag_AlignedData) ? mRangeInfos.front().mTimestampUs : 0;
    int64_t fetched = fetchTimestamp(unitSize);
    if (!(mFlags & kFlag_AlignedData)) timeUs = fetched;
    consume(mBuffer.get(), unitSize);
    unit->meta()->setInt64(kTimeKey, timeUs);
    return unit;
}

Ref<ByteBuffer> AccessUnitQueue::dequeueAccessUnitAAC() {
    for (;;) {
        if (mRangeInfos.empty()) {
            // Bytes without a payload record cannot be timed; they are not a unit.
            mBuffer->setRange(0, 0);
            return nullptr;
        }
        size_t unitSize = mRangeInfos.front().mLength;
        if (mBuffer->size() < unitSize) return nullptr;
        const uint8_t* data = mBuffer->data();

        bool valid = true;
        for (size_t offset = 0; offset < unitSize;) {
            const uint8_t* h = data + offset;
            if (unitSize - offset < kAdtsHeaderSize || h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) {
                valid = false;
                break;
            }
            size_t frameLength = (static_cast<size_t>(h[3] & 3) << 11) | (static_cast<size_t>(h[4]) << 3) | (h[5] >> 5);
            if (frameLength < kAdtsHeaderSize || frameLength > unitSize - offset) {
                valid = false;
                break;
            }
            offset += frameLength;
        }
        if (valid && mFormat == nullptr) {
            uint32_t profile = data[2] >> 6;
            uint32_t frequencyIndex = (data[2] >> 2) & 15;
            uint32_t channelConfig = ((data[2] & 1u) << 2) | (data[3] >> 6);
            if (profile == 3 || frequencyIndex > kAdtsMaxFrequencyIndex || channelConfig == 0) {
                valid = false;
            } else {
                // The decoder gets an AudioSpecificConfig equivalent to the ADTS header.
                uint32_t objectType = profile + 1;
                uint8_t asc[2] = {static_cast<uint8_t>((objectType << 3) | (frequencyIndex >> 1)),
                                  static_cast<uint8_t>(((frequencyIndex & 1) << 7) | (channelConfig << 3))};
                Ref<MetaData> format = new MetaData;
                format->setCString(kKeyMIMEType, kMimeAudioAac);
                format->setInt32(kKeySampleRate, kAacSampleRates[frequencyIndex]);
                format->setInt32(kKeyChannelCount, static_cast<int32_t>(channelConfig == 7 ? 8 : channelConfig));
                format->setData(kKeyRawCodecSpecificInfo, kTypeNone, asc, sizeof(asc));
                format->setInt32(kKeyIsADTS, 1);
                mFormat = format;
            }
        }
        if (!valid) {
            VLOGW("dropping a payload of %zu bytes that is not whole ADTS frames", unitSize);
            fetchTimestamp(unitSize);
            consume(mBuffer.get(), unitSize);
            continue;
        }
        Ref<ByteBuffer> unit = copyUnit(data, unitSize, 0);
        unit->meta()->setInt64(kTimeKey, fetchTimestamp(unitSize));
        consume(mBuffer.get(), unitSize);
        return unit;
    }
}

Ref<ByteBuffer> AccessUnitQueue::dequeueAccessUnitMPEGAudio() {
    for (;;) {
        const uint8_t* data = mBuffer->data();
        const size_t size = mBuffer->size();
        if (size < 4) return nullptr;
        uint32_t header = (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3];
        size_t frameSize = 0;
        int32_t sampleRate = 0, channels = 0;
        int layer = 0;
        int32_t samples = 0;
        if (!isPlausibleMpegAudio(data, size) ||
            !parseMpegAudioHeader(header, &frameSize, &sampleRate, &channels, &layer, &samples)) {
            // Lost sync: skip to the next plausible header (or keep the last bytes, which may
            // begin one).
            size_t skip = 1;
            while (skip + 3 < size && !isPlausibleMpegAudio(data + skip, size - skip)) ++skip;
            fetchTimestamp(skip);
            consume(mBuffer.get(), skip);
            continue;
        }
        if (size < frameSize) return nullptr;
        if (mFormat == nullptr) {
            Ref<MetaData> format = new MetaData;
            format->setCString(kKeyMIMEType, layer == 1 ? kMimeAudioMpegLayerI
                                             : layer == 2 ? kMimeAudioMpegLayerII
                                                          : kMimeAudioMpeg);
            format->setInt32(kKeySampleRate, sampleRate);
            format->setInt32(kKeyChannelCount, channels);
            mFormat = format;
        }
        Ref<ByteBuffer> unit = copyUnit(data, frameSize, 0);
        int64_t timeUs = fetchTimestamp(frameSize);
        if (timeUs >= 0) {
            mAudioBaseUs = timeUs;
            mAudioSamplesSinceBase = 0;
        } else if (mAudioBaseUs >= 0) {
            timeUs = mAudioBaseUs + mAudioSamplesSinceBase * 1000000 / sampleRate;
        }
        mAudioSamplesSinceBase += samples;
        unit->meta()->setInt64(kTimeKey, timeUs);
        consume(mBuffer.get(), frameSize);
        return unit;
    }
}

Ref<ByteBuffer> AccessUnitQueue::dequeueAccessUnitMPEGVideo() {
    const uint8_t* data = mBuffer->data();
    const size_t size = mBuffer->size();
    size_t first = findStartCode3(data, size, 0);
    bool sawPicture = false;
    for (size_t pos = first; pos + 3 < size; pos = findStartCode3(data, size, pos + 3)) {
        uint8_t code = data[pos + 3];
        if (code == kMpegSequenceHeader && mFormat == nullptr) {
            if (pos + 7 > size) return nullptr;
            int32_t width = (data[pos + 4] << 4) | (data[pos + 5] >> 4);
            int32_t height = ((data[pos + 5] & 0x0f) << 8) | data[pos + 6];
            if (width > 0 && height > 0) {
                Ref<MetaData> format = new MetaData;
                format->setCString(kKeyMIMEType, kMimeVideoMpeg2);
                format->setInt32(kKeyVideoCodecId, AV_CODEC_ID_MPEG2VIDEO);
                format->setInt32(kKeyWidth, width);
                format->setInt32(kKeyHeight, height);
                format->setInt32(kKeyInputIsPts, 1);
                mFormat = format;
            }
        }
        // The headers in front of a picture belong to it, so the next sequence header, group
        // or picture after a picture ends the unit.
        if (sawPicture && (code == kMpegPictureStart || code == kMpegSequenceHeader || code == kMpegGroupStart)) {
            Ref<ByteBuffer> unit = copyUnit(data + first, pos - first, 0);
            unit->meta()->setInt64(kTimeKey, fetchTimestamp(pos));
            consume(mBuffer.get(), pos);
            return unit;
        }
        if (code == kMpegPictureStart) sawPicture = true;
    }
    return nullptr;
}

Ref<ByteBuffer> AccessUnitQueue::dequeueAccessUnitMPEG4Video() {
    const uint8_t* data = mBuffer->data();
    const size_t size = mBuffer->size();
    size_t first = findStartCode3(data, size, 0);
    bool sawVop = false;
    for (size_t pos = first; pos + 3 < size; pos = findStartCode3(data, size, pos + 3)) {
        uint8_t code = data[pos + 3];
        // A plane's data holds no start codes: whatever start code follows it ends the unit,
        // and the headers that come next belong to the next plane.
        if (sawVop) {
            Ref<ByteBuffer> unit = copyUnit(data + first, pos - first, 0);
            unit->meta()->setInt64(kTimeKey, fetchTimestamp(pos));
            consume(mBuffer.get(), pos);
            return unit;
        }
        if (code >= kMpeg4VolFirst && code <= kMpeg4VolLast && mFormat == nullptr) {
            size_t end = findStartCode3(data, size, pos + 3);
            if (end >= size) return nullptr;  // the layer header is not whole yet
            int32_t width = 0, height = 0;
            if (parseVolSize(data + pos + 4, end - pos - 4, &width, &height)) {
                Ref<MetaData> format = new MetaData;
                format->setCString(kKeyMIMEType, kMimeVideoMpeg4);
                format->setInt32(kKeyWidth, width);
                format->setInt32(kKeyHeight, height);
                format->setInt32(kKeyInputIsPts, 1);
                // The headers up to this layer's end configure the decoder.
                format->setData(kKeyRawCodecSpecificInfo, kTypeNone, data + first, end - first);
                mFormat = format;
            } else {
                VLOGW("video object layer not understood");
            }
        }
        if (code == kMpeg4VopStart) sawVop = true;
    }
    return nullptr;
}

Ref<ByteBuffer> AccessUnitQueue::dequeueAccessUnitPCMAudio() {
    for (;;) {
        const uint8_t* data = mBuffer->data();
        const size_t size = mBuffer->size();
        if (size < kPcmHeaderSize) return nullptr;
        BitReader br(data, kPcmHeaderSize);
        uint32_t marker = br.getBits(8);
        size_t frames = br.getBits(8);
        br.skipBits(8 + 2);
        uint32_t frequencyCode = br.getBits(3);
        uint32_t channelCode = br.getBits(3);
        if (marker != kPcmMarker || frequencyCode != kPcmFrequencyCode48k || channelCode != kPcmChannelCodeStereo) {
            VLOGW("PCM header %02x %02x %02x %02x not understood; dropping %zu bytes", data[0], data[1], data[2],
                  data[3], size);
            fetchTimestamp(size);
            consume(mBuffer.get(), size);
            return nullptr;
        }
        size_t payload = frames * kPcmFrameBytes;
        if (size < kPcmHeaderSize + payload) return nullptr;
        if (mFormat == nullptr) {
            Ref<MetaData> format = new MetaData;
            format->setCString(kKeyMIMEType, kMimeAudioRaw);
            format->setInt32(kKeyChannelCount, kPcmChannels);
            format->setInt32(kKeySampleRate, kPcmSampleRate);
            mFormat = format;
        }
        int64_t timeUs = fetchTimestamp(kPcmHeaderSize + payload);
        if (payload == 0) {
            consume(mBuffer.get(), kPcmHeaderSize);
            continue;
        }
        // Samples travel big-endian; the decoder takes them in host order (little-endian).
        Ref<ByteBuffer> unit = new ByteBuffer(payload);
        const uint8_t* in = data + kPcmHeaderSize;
        uint8_t* out = unit->data();
        for (size_t i = 0; i + 1 < payload; i += 2) {
            out[i] = in[i + 1];
            out[i + 1] = in[i];
        }
        unit->meta()->setInt64(kTimeKey, timeUs);
        consume(mBuffer.get(), kPcmHeaderSize + payload);
        return unit;
    }
}

}  // namespace velmor
