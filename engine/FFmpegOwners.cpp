#include "engine/FFmpegOwners.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace velmor {

void CodecContextFree::operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
void FormatContextClose::operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
void IOContextFree::operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
}
void FrameFree::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void PacketFree::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void SwsFree::operator()(SwsContext* sws) const { sws_freeContext(sws); }
void SwrFree::operator()(SwrContext* swr) const { swr_free(&swr); }
void BufferPoolFree::operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
void AvMemoryFree::operator()(uint8_t* p) const { av_free(p); }

}  // namespace velmor
