// Shared pieces of the transport stream tests: generated fixtures, FFmpeg's own demux of them,
// a parser fed from a file, and a small writer of hand-made transport streams.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/MediaBuffer.h"
#include "engine/mpeg2ts/PacketSource.h"
#include "engine/mpeg2ts/TSParser.h"

namespace qvts {

using namespace velmor;

// Transport streams written by the ffmpeg command once per test program, in a temp dir.
inline const std::string& fixtureDir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/qv-ts-XXXXXX";
        const char* made = mkdtemp(tmpl);
        return std::string(made ? made : "/tmp");
    }();
    return dir;
}

struct Fixture {
    const char* name;
    const char* args;  // encoder options after the two lavfi inputs
};

inline const std::vector<Fixture>& fixtures() {
    static const std::vector<Fixture> list = {
        {"h264_aac", "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 "
                     "-t 2 -c:v libx264 -pix_fmt yuv420p -g 25 -c:a aac"},
        {"mpeg2_mp2", "-f lavfi -i testsrc=size=352x288:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                      "-t 2 -c:v mpeg2video -c:a mp2"},
        {"mpeg4_mp3", "-f lavfi -i testsrc=size=176x144:rate=25 -f lavfi -i sine=frequency=440:sample_rate=32000 "
                      "-t 2 -c:v mpeg4 -c:a libmp3lame"},
    };
    return list;
}

// The path of a generated fixture (made on first use); empty when ffmpeg failed.
inline std::string fixturePath(const std::string& name) {
    std::string path = fixtureDir() + "/" + name + ".ts";
    FILE* f = fopen(path.c_str(), "rb");
    if (f != nullptr) {
        fclose(f);
        return path;
    }
    for (const Fixture& fx : fixtures()) {
        if (name != fx.name) continue;
        std::string cmd = std::string("ffmpeg -nostdin -v error -y ") + fx.args + " -f mpegts '" + path + "'";
        if (system(cmd.c_str()) == 0) return path;
    }
    return "";
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(f);
    return bytes;
}

// One packet of FFmpeg's demux.
struct RefPacket {
    std::vector<uint8_t> data;
    int64_t pts;  // 90 kHz, AV_NOPTS_VALUE when unknown
};

// FFmpeg's packets of the first stream of a kind: cut into frames by its parsers, or (raw) the
// PES payloads as they are.
inline std::vector<RefPacket> ffmpegPackets(const std::string& path, AVMediaType kind, bool raw) {
    std::vector<RefPacket> out;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return out;
    if (raw) ctx->flags |= AVFMT_FLAG_NOPARSE;
    if (avformat_find_stream_info(ctx, nullptr) < 0) {
        avformat_close_input(&ctx);
        return out;
    }
    int index = av_find_best_stream(ctx, kind, -1, -1, nullptr, 0);
    AVPacket* pkt = av_packet_alloc();
    while (index >= 0 && av_read_frame(ctx, pkt) >= 0) {
        if (pkt->stream_index == index) {
            out.push_back(RefPacket{std::vector<uint8_t>(pkt->data, pkt->data + pkt->size), pkt->pts});
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return out;
}

// Feeds every whole packet of bytes; returns the first error (feeding goes on past errors when
// keepGoing).
inline status_t feedAll(TSParser* parser, const std::vector<uint8_t>& bytes, bool keepGoing = false) {
    status_t first = OK;
    for (size_t off = 0; off + TSParser::kTSPacketSize <= bytes.size(); off += TSParser::kTSPacketSize) {
        status_t err = parser->feedTSPacket(bytes.data() + off, TSParser::kTSPacketSize);
        if (err != OK && first == OK) first = err;
        if (err != OK && !keepGoing) break;
    }
    return first;
}

struct Unit {
    std::vector<uint8_t> data;
    int64_t timeUs;
};

// Everything a source holds up to its end (the caller signalled the end first).
inline std::vector<Unit> readAll(const Ref<PacketSource>& source, std::vector<status_t>* infos = nullptr) {
    std::vector<Unit> units;
    for (;;) {
        MediaBuffer* buffer = nullptr;
        status_t err = source->read(&buffer);
        if (err == INFO_FORMAT_CHANGED || err == INFO_DISCONTINUITY) {
            if (infos) infos->push_back(err);
            continue;
        }
        if (err != OK) break;
        const uint8_t* p = static_cast<const uint8_t*>(buffer->data()) + buffer->range_offset();
        Unit u{std::vector<uint8_t>(p, p + buffer->range_length()), -2};
        buffer->meta_data()->findInt64(kKeyTime, &u.timeUs);
        units.push_back(std::move(u));
        buffer->release();
    }
    return units;
}

// NAL units of an Annex-B byte stream, without start codes and trailing zero bytes.
inline std::vector<std::vector<uint8_t>> splitNals(const std::vector<uint8_t>& s) {
    std::vector<std::vector<uint8_t>> nals;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
        while (end > starts[k] && s[end - 1] == 0) --end;
        nals.emplace_back(s.begin() + static_cast<long>(starts[k]), s.begin() + static_cast<long>(end));
    }
    return nals;
}

// ---------------------------------------------------------------------------------------------
// Hand-made transport streams.

class TsWriter {
public:
    // Cuts payload into packets of pid; the first carries the unit start. Short packets are
    // padded with adaptation field stuffing.
    void put(unsigned pid, const std::vector<uint8_t>& payload, bool unitStart = true) {
        size_t off = 0;
        bool first = true;
        do {
            size_t n = std::min<size_t>(184, payload.size() - off);
            std::vector<uint8_t> pkt(188, 0xff);
            pkt[0] = 0x47;
            pkt[1] = static_cast<uint8_t>(((first && unitStart) ? 0x40 : 0) | ((pid >> 8) & 0x1f));
            pkt[2] = static_cast<uint8_t>(pid & 0xff);
            uint8_t& cc = mCounters[pid & 0x1fff];
            size_t headerEnd = 4;
            if (n < 184) {
                size_t afLength = 183 - n;  // bytes after the length byte
                pkt[3] = static_cast<uint8_t>(0x30 | (cc & 0x0f));
                pkt[4] = static_cast<uint8_t>(afLength);
                if (afLength > 0) pkt[5] = 0x00;
                headerEnd = 5 + afLength;
            } else {
                pkt[3] = static_cast<uint8_t>(0x10 | (cc & 0x0f));
            }
            cc = static_cast<uint8_t>((cc + 1) & 0x0f);
            memcpy(pkt.data() + headerEnd, payload.data() + off, n);
            bytes.insert(bytes.end(), pkt.begin(), pkt.end());
            off += n;
            first = false;
        } while (off < payload.size());
    }

    void pat(unsigned pmtPid, unsigned programNumber = 1) {
        std::vector<uint8_t> s = {0x00, 0x00, 0xb0, 0x0d, 0x00, 0x01, 0xc1, 0x00, 0x00};
        s.push_back(static_cast<uint8_t>(programNumber >> 8));
        s.push_back(static_cast<uint8_t>(programNumber));
        s.push_back(static_cast<uint8_t>(0xe0 | (pmtPid >> 8)));
        s.push_back(static_cast<uint8_t>(pmtPid));
        s.insert(s.end(), {0, 0, 0, 0});  // CRC, not checked
        put(0, s);
    }

    struct Entry {
        unsigned type;
        unsigned pid;
    };
    void pmt(unsigned pmtPid, const std::vector<Entry>& streams, unsigned pcrPid = 0x100) {
        std::vector<uint8_t> body = {0x00, 0x01, 0xc1, 0x00, 0x00};
        body.push_back(static_cast<uint8_t>(0xe0 | (pcrPid >> 8)));
        body.push_back(static_cast<uint8_t>(pcrPid));
        body.insert(body.end(), {0xf0, 0x00});
        for (const Entry& e : streams) {
            body.push_back(static_cast<uint8_t>(e.type));
            body.push_back(static_cast<uint8_t>(0xe0 | (e.pid >> 8)));
            body.push_back(static_cast<uint8_t>(e.pid));
            body.insert(body.end(), {0xf0, 0x00});
        }
        size_t sectionLength = body.size() + 4;
        std::vector<uint8_t> s = {0x00, 0x02, static_cast<uint8_t>(0xb0 | (sectionLength >> 8)),
                                  static_cast<uint8_t>(sectionLength)};
        s.insert(s.end(), body.begin(), body.end());
        s.insert(s.end(), {0, 0, 0, 0});
        put(pmtPid, s);
    }

    // A PES packet with a PTS (when pts >= 0). length < 0 writes the true length, 0 writes 0.
    static std::vector<uint8_t> pes(uint8_t streamId, int64_t pts, const std::vector<uint8_t>& payload,
                                    long length = -1) {
        std::vector<uint8_t> header;
        if (pts >= 0) {
            uint64_t p = static_cast<uint64_t>(pts);
            header = {0x80, 0x80, 0x05, static_cast<uint8_t>(0x21 | ((p >> 29) & 0x0e)),
                      static_cast<uint8_t>(p >> 22), static_cast<uint8_t>(0x01 | ((p >> 14) & 0xfe)),
                      static_cast<uint8_t>(p >> 7), static_cast<uint8_t>(0x01 | ((p << 1) & 0xfe))};
        } else {
            header = {0x80, 0x00, 0x00};
        }
        size_t trueLength = header.size() + payload.size();
        size_t written = length < 0 ? (trueLength > 0xffff ? 0 : trueLength) : static_cast<size_t>(length);
        std::vector<uint8_t> out = {0x00, 0x00, 0x01, streamId, static_cast<uint8_t>(written >> 8),
                                    static_cast<uint8_t>(written)};
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    }

    std::vector<uint8_t> bytes;

private:
    uint8_t mCounters[8192] = {};
};

}  // namespace qvts
