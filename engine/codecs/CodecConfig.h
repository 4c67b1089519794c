// Codec-context set-up both FFmpeg decoders share: taking over the parameters of a context the
// extractor hands over, attaching codec configuration bytes as extradata, and opening the codec.
#pragma once

#include <cstddef>

#include "utils/Errors.h"

struct AVCodec;
struct AVCodecContext;

namespace velmor {

// Copies the stream parameters and the packet time base of source into ctx. Returns 0, or the
// FFmpeg error (AVERROR(ENOMEM) when ctx is null or no parameter block can be allocated).
int copyCodecParameters(AVCodecContext* ctx, const AVCodecContext* source);

// Gives ctx a zero-padded copy of size bytes as extradata (left unset if the allocation fails).
void setCodecExtradata(AVCodecContext* ctx, const void* data, size_t size);

// Takes the DecoderSpecificInfo out of an ES_Descriptor as extradata; leaves ctx alone when the
// descriptor is malformed or carries no configuration.
void setCodecExtradataFromESDS(AVCodecContext* ctx, const void* esds, size_t size);

// Opens *ctx with codec. On failure logs "avcodec_open2 failed <code> (<text>)" under tag,
// frees *ctx and returns ERROR_UNSUPPORTED.
status_t openCodecContext(AVCodecContext** ctx, const AVCodec* codec, const char* tag);

}  // namespace velmor
