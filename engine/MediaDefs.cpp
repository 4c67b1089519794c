#include "engine/MediaDefs.h"

namespace velmor {

const char* const kMimeImageJpeg = "image/jpeg";
const char* const kMimeVideoFFmpeg = "video/ffmpeg";
const char* const kMimeVideoVP8 = "video/x-vnd.on2.vp8";
const char* const kMimeVideoVP9 = "video/x-vnd.on2.vp9";
const char* const kMimeVideoAvc = "video/avc";
const char* const kMimeVideoMpeg4 = "video/mp4v-es";
const char* const kMimeVideoH263 = "video/3gpp";
const char* const kMimeVideoMpeg2 = "video/mpeg2";
const char* const kMimeVideoRV = "video/rv";
const char* const kMimeVideoWMV = "video/x-ms-wmv";
const char* const kMimeVideoWMV1 = "video/wmv1";
const char* const kMimeVideoWMV2 = "video/wmv2";
const char* const kMimeVideoWMV3 = "video/wmv3";
const char* const kMimeVideoDivx = "video/divx";
const char* const kMimeVideoDivx311 = "video/divx311";
const char* const kMimeVideoDivx4 = "video/divx4";
const char* const kMimeVideoHevc = "video/hevc";
const char* const kMimeVideoRaw = "video/raw";

const char* const kMimeAudioFFmpeg = "audio/ffmpeg";
const char* const kMimeAudioEvrc = "audio/evrc";
const char* const kMimeAudioAmrNb = "audio/3gpp";
const char* const kMimeAudioAmrWb = "audio/amr-wb";
const char* const kMimeAudioMpeg = "audio/mpeg";
const char* const kMimeAudioMpegLayerI = "audio/mpeg-L1";
const char* const kMimeAudioMpegLayerII = "audio/mpeg-L2";
const char* const kMimeAudioAac = "audio/mp4a-latm";
const char* const kMimeAudioQcelp = "audio/qcelp";
const char* const kMimeAudioVorbis = "audio/vorbis";
const char* const kMimeAudioG711Alaw = "audio/g711-alaw";
const char* const kMimeAudioG711Mlaw = "audio/g711-mlaw";
const char* const kMimeAudioRaw = "audio/raw";
const char* const kMimeAudioFlac = "audio/flac";
const char* const kMimeAudioAacAdts = "audio/aac-adts";
const char* const kMimeAudioRA = "audio/ra";
const char* const kMimeAudioGsm = "audio/gsm";
const char* const kMimeAudioWMA = "audio/x-ms-wma";
const char* const kMimeAudioAc3 = "audio/ac3";
const char* const kMimeAudioDts = "audio/dts";
const char* const kMimeAudioDtsLbr = "audio/dts-lbr";
const char* const kMimeAudioEac3 = "audio/eac3";
const char* const kMimeAudioAmrWbPlus = "audio/amr-wb-plus";
const char* const kMimeAudioAacPlain = "audio/aac";
const char* const kMimeAudioVndQcelp = "audio/vnd.qcelp";
const char* const kMimeAudioQcAmr = "audio/qc-amr";
const char* const kMimeAudioQcAmrWb = "audio/qc-amr-wb";
const char* const kMimeAudioQcMpeg = "audio/qc-mpeg";
const char* const kMimeAudioQcWav = "audio/qc-wav";

const char* const kMimeContainerMpeg4 = "video/mp4";
const char* const kMimeContainerWav = "audio/x-wav";
const char* const kMimeContainerOgg = "application/ogg";
const char* const kMimeContainerMatroska = "video/x-matroska";
const char* const kMimeContainerMpeg2TS = "video/mp2ts";
const char* const kMimeContainerAvi = "video/avi";
const char* const kMimeContainerMpeg2PS = "video/mp2p";
const char* const kMimeContainerWvm = "video/wvm";
const char* const kMimeContainerFFmpeg = "application/ffmpeg";
const char* const kMimeContainerAsf = "video/x-ms-asf";
const char* const kMimeContainerMpeg2 = "video/mp2";
const char* const kMimeContainer3G2 = "video/3g2";
const char* const kMimeContainerQcMpeg2TS = "video/qc-mp2ts";
const char* const kMimeContainerQcMpeg2PS = "video/qc-mp2ps";
const char* const kMimeContainerQcMpeg4 = "video/qc-mp4";
const char* const kMimeContainerQcMatroska = "video/qc-matroska";
const char* const kMimeContainerQcOgg = "video/qc-ogg";
const char* const kMimeContainerQcFlv = "video/qc-flv";

const char* const kMimeTextCaption = "text/caption";
const char* const kMimeApplicationData = "application/data";
const char* const kMimeApplicationUnknown = "application/unknown";

}  // namespace velmor
