// Names for the numbers that travel between the player interface and the engine: the numbered
// invoke requests and the parameter keys (notification codes live in utils/Errors.h). The
// numbers are fixed by the host interface; this is the one place they appear.
#pragma once

#include <cstdint>

#include "utils/Errors.h"

namespace velmor {

// The first int32 of an invoke request.
enum class InvokeRequest : int32_t {
    kTrackInfo = 1,
    kAddSubtitleSource = 2,
    kSelectTrack = 4,
    kDeselectTrack = 5,
    kSetPlaybackRate = 7,
    kSetStoragePath = 8,
    kSetDeviceGuid = 9,
    kContentInfo = 10,
    kLoadBookmarks = 11,
    kGetBookmarks = 12,
    kAddBookmark = 13,
    kDeleteBookmark = 14,
    kReserved15 = 15,
    kVideoCodecName = 16,
    kSetAudioEnabled = 17,
    kDecoderSettings = 18,
    kSetBrightness = 19,
    kSetSaturation = 20,
    kSetContrast = 21,
    kSetScaleMode = 22,
    kSetAspectRatio = 23,
    kSetViewOffset = 24,
    kSetVolume = 25,
    kSetOsVersion = 26,
    kReserved27 = 27,
    kSetOption28 = 28,
    kSetOption29 = 29,
    kSkipTo = 30,
    kAgentSetter31 = 31,
    kAgentSetter32 = 32,
    kAgentSetter33 = 33,
    kSetAudioEffect = 34,
    kVideoInfo = 35,
    kSetTimeshiftOffset = 36,
    kLivePrograms = 37,
    kSetLiveOption = 38,
    kReportError = 39,
    kSetLiveDisabled = 40,
    kAgentValue = 41,
};

// Keys of request 18 (decoder settings).
enum DecoderSettingKey : int32_t {
    kDecoderSettingVideoFlags = 1,
    kDecoderSettingPlayback = 2,
};

// MEDIA_INFO codes (ext1) of the agent exchanges; ext2 carries the bookmark's seconds.
enum AgentInfoCode : int32_t {
    kInfoBookmarksLoaded = 4,
    kInfoBookmarkAdded = 5,
    kInfoBookmarkDeleted = 6,
    kInfoLiveRetry = 13,
};

// The notification (msg) that the agent has a thumbnail ready.
constexpr int32_t kMsgThumbnailReady = 98;

// setParameter / getParameter keys.
enum ParameterKey : int32_t {
    kParamStatisticsWindow = 1100,
    kParamVideoRotation = 1200,
    kParamTimeStretch = 1300,
};

}  // namespace velmor
