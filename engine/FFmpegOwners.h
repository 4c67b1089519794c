// Owning pointers for FFmpeg objects: each frees its object with FFmpeg's own function, so no
// error path can leak one. Shared by the extractor, the decoders and the software video sink.
#pragma once

#include <cstdint>
#include <memory>

struct AVBufferPool;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;
struct SwsContext;

namespace velmor {

struct CodecContextFree {
    void operator()(AVCodecContext* ctx) const;
};
struct FormatContextClose {
    void operator()(AVFormatContext* ctx) const;
};
// A custom I/O context and the buffer it reads into.
struct IOContextFree {
    void operator()(AVIOContext* io) const;
};
struct FrameFree {
    void operator()(AVFrame* frame) const;
};
struct PacketFree {
    void operator()(AVPacket* packet) const;
};
struct SwsFree {
    void operator()(SwsContext* sws) const;
};
struct SwrFree {
    void operator()(SwrContext* swr) const;
};
struct BufferPoolFree {
    void operator()(AVBufferPool* pool) const;
};
// Memory from av_malloc.
struct AvMemoryFree {
    void operator()(uint8_t* p) const;
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextClose>;
using IOContextPtr = std::unique_ptr<AVIOContext, IOContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using BufferPoolPtr = std::unique_ptr<AVBufferPool, BufferPoolFree>;
using AvMemoryPtr = std::unique_ptr<uint8_t, AvMemoryFree>;

}  // namespace velmor
