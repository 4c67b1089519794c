// MIME types compared across the engine and the keys of track and buffer MetaData.
#pragma once

#include <cstdint>
#include <strings.h>

namespace velmor {

constexpr uint32_t FourCC(char a, char b, char c, char d) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(d));
}

// MetaData keys.
enum : uint32_t {
    kKeyMIMEType = FourCC('m', 'i', 'm', 'e'),             // cstr
    kKeyWidth = FourCC('w', 'i', 'd', 't'),                // int32
    kKeyHeight = FourCC('h', 'e', 'i', 'g'),               // int32
    kKeyDisplayWidth = FourCC('d', 'W', 'i', 'd'),         // int32
    kKeyDisplayHeight = FourCC('d', 'H', 'g', 't'),        // int32
    kKeyCropRect = FourCC('c', 'r', 'o', 'p'),             // rect
    kKeyColorFormat = FourCC('c', 'o', 'l', 'f'),          // int32
    kKeyDecoderComponent = FourCC('d', 'e', 'c', 'C'),     // cstr
    kKeyRotationDegrees = FourCC('r', 'o', 't', 'A'),      // int32
    kKeyFrameRate = FourCC('f', 'r', 'm', 'R'),            // int32
    kKeyBitRate = FourCC('b', 'r', 't', 'e'),              // int32
    kKeyDuration = FourCC('d', 'u', 'r', 'a'),             // int64, microseconds
    kKeyTime = FourCC('t', 'i', 'm', 'e'),                 // int64, microseconds
    kKeySampleRate = FourCC('s', 'r', 't', 'e'),           // int32
    kKeyChannelCount = FourCC('_', 'c', 'h', 'n'),         // int32
    kKeyMaxInputSize = FourCC('i', 'n', 'p', 'S'),         // int32
    kKeyESDS = FourCC('e', 's', 'd', 's'),                 // raw data
    kKeyAVCC = FourCC('a', 'v', 'c', 'c'),                 // raw data
    kKeyRawCodecSpecificInfo = FourCC('r', 'c', 's', 'i'), // raw data (FFmpeg extradata)
    kKeyVideoCodecId = FourCC('v', 'c', 'i', 'd'),         // int32, AVCodecID
    kKeySoundCodecId = FourCC('s', 'c', 'i', 'd'),         // int32, AVCodecID
    kKeyCodecContext = FourCC('c', 'c', 't', 'x'),         // pointer, AVCodecContext* owned by the extractor
    kKeyProfile = FourCC('p', 'r', 'o', 'f'),              // int32
    kKeySubtitleTrack = FourCC('l', 'g', 'c', 't'),        // int32
    kKeyRemoteRender = FourCC('r', 'm', 'r', 'd'),         // int32
    kKeyLanguage = FourCC('l', 'a', 'n', 'g'),             // cstr
    kKeyIsADTS = FourCC('a', 'd', 't', 's'),               // int32
    kKeyChannelMask = FourCC('c', 'h', 'n', 'm'),          // int32
};

// MetaData value types.
enum : uint32_t {
    kTypeCString = FourCC('c', 's', 't', 'r'),
    kTypeInt32 = FourCC('i', 'n', '3', '2'),
    kTypeInt64 = FourCC('i', 'n', '6', '4'),
    kTypeFloat = FourCC('f', 'l', 'o', 'a'),
    kTypePointer = FourCC('p', 't', 'r', ' '),
    kTypeRect = FourCC('r', 'e', 'c', 't'),
    kTypeNone = FourCC('n', 'o', 'n', 'e'),
};

// Video.
extern const char* const kMimeImageJpeg;
extern const char* const kMimeVideoFFmpeg;
extern const char* const kMimeVideoVP8;
extern const char* const kMimeVideoVP9;
extern const char* const kMimeVideoAvc;
extern const char* const kMimeVideoMpeg4;
extern const char* const kMimeVideoH263;
extern const char* const kMimeVideoMpeg2;
extern const char* const kMimeVideoRV;
extern const char* const kMimeVideoWMV;
extern const char* const kMimeVideoWMV1;
extern const char* const kMimeVideoWMV2;
extern const char* const kMimeVideoWMV3;
extern const char* const kMimeVideoDivx;
extern const char* const kMimeVideoDivx311;
extern const char* const kMimeVideoDivx4;
extern const char* const kMimeVideoHevc;
extern const char* const kMimeVideoRaw;
// Audio.
extern const char* const kMimeAudioFFmpeg;
extern const char* const kMimeAudioEvrc;
extern const char* const kMimeAudioAmrNb;
extern const char* const kMimeAudioAmrWb;
extern const char* const kMimeAudioMpeg;
extern const char* const kMimeAudioMpegLayerI;
extern const char* const kMimeAudioMpegLayerII;
extern const char* const kMimeAudioAac;
extern const char* const kMimeAudioQcelp;
extern const char* const kMimeAudioVorbis;
extern const char* const kMimeAudioG711Alaw;
extern const char* const kMimeAudioG711Mlaw;
extern const char* const kMimeAudioRaw;
extern const char* const kMimeAudioFlac;
extern const char* const kMimeAudioAacAdts;
extern const char* const kMimeAudioRA;
extern const char* const kMimeAudioGsm;
extern const char* const kMimeAudioWMA;
extern const char* const kMimeAudioAc3;
extern const char* const kMimeAudioDts;
extern const char* const kMimeAudioDtsLbr;
extern const char* const kMimeAudioEac3;
extern const char* const kMimeAudioAmrWbPlus;
extern const char* const kMimeAudioAacPlain;
extern const char* const kMimeAudioVndQcelp;
extern const char* const kMimeAudioQcAmr;
extern const char* const kMimeAudioQcAmrWb;
extern const char* const kMimeAudioQcMpeg;
extern const char* const kMimeAudioQcWav;
// Containers.
extern const char* const kMimeContainerMpeg4;
extern const char* const kMimeContainerWav;
extern const char* const kMimeContainerOgg;
extern const char* const kMimeContainerMatroska;
extern const char* const kMimeContainerMpeg2TS;
extern const char* const kMimeContainerAvi;
extern const char* const kMimeContainerMpeg2PS;
extern const char* const kMimeContainerWvm;
extern const char* const kMimeContainerFFmpeg;
extern const char* const kMimeContainerAsf;
extern const char* const kMimeContainerMpeg2;
extern const char* const kMimeContainer3G2;
extern const char* const kMimeContainerQcMpeg2TS;
extern const char* const kMimeContainerQcMpeg2PS;
extern const char* const kMimeContainerQcMpeg4;
extern const char* const kMimeContainerQcMatroska;
extern const char* const kMimeContainerQcOgg;
extern const char* const kMimeContainerQcFlv;
// Other tracks.
extern const char* const kMimeTextCaption;
extern const char* const kMimeApplicationData;
extern const char* const kMimeApplicationUnknown;

inline bool isAudioMime(const char* mime) { return mime && strncasecmp(mime, "audio/", 6) == 0; }
inline bool isVideoMime(const char* mime) { return mime && strncasecmp(mime, "video/", 6) == 0; }

}  // namespace velmor
