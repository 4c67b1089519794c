#define LOG_TAG "VEL_CodecConfig"

#include "engine/codecs/CodecConfig.h"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/codecs/ESDS.h"
#include "utils/Log.h"

namespace velmor {

int copyCodecParameters(AVCodecContext* ctx, const AVCodecContext* source) {
    AVCodecParameters* par = avcodec_parameters_alloc();
    int err = (ctx && par) ? avcodec_parameters_from_context(par, source) : AVERROR(ENOMEM);
    if (err >= 0) err = avcodec_parameters_to_context(ctx, par);
    avcodec_parameters_free(&par);
    if (err < 0) return err;
    ctx->pkt_timebase = source->pkt_timebase;
    return 0;
}

void setCodecExtradata(AVCodecContext* ctx, const void* data, size_t size) {
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (ctx->extradata) {
        memcpy(ctx->extradata, data, size);
        ctx->extradata_size = static_cast<int>(size);
    }
}

void setCodecExtradataFromESDS(AVCodecContext* ctx, const void* esds, size_t size) {
    ESDS parsed(esds, size);
    const void* data = nullptr;
    size_t length = 0;
    if (parsed.InitCheck() == OK && parsed.getCodecSpecificInfo(&data, &length) == OK && length > 0) {
        setCodecExtradata(ctx, data, length);
    }
}

status_t openCodecContext(AVCodecContext** ctx, const AVCodec* codec, const char* tag) {
    int err = avcodec_open2(*ctx, codec, nullptr);
    if (err >= 0) return OK;
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, text, sizeof(text));
    log(LOG_ERROR, tag, "avcodec_open2 failed %d (%s)", err, text);
    avcodec_free_context(ctx);
    return ERROR_UNSUPPORTED;
}

}  // namespace velmor
