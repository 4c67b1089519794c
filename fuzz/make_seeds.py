#!/usr/bin/env python3
"""Makes seed inputs for the fuzz targets from the test media.

Usage: make_seeds.py MEDIA_DIR OUT_DIR

OUT_DIR/extractor: the first 0.3 s of each small fixture remuxed into its own container, and
the first bytes of each fixture as it is.
OUT_DIR/decoders: the first packets of each codec's track in the layout fuzz/decoders.cpp reads
(codec/mode byte, size/channel byte, then 2-byte length-prefixed packets), taken out of the
fixtures with ffprobe; H.263, MPEG-2 and AC-3 are made from the fixtures with ffmpeg.
OUT_DIR/http_response: web server answers in the layout fuzz/http_response.cpp serves (a mode
byte, then the answers of successive connections separated by HTTP_NEXT), written here.
OUT_DIR/agent_json: player agent answers (open and media information) after a selector byte.
"""
import json
import os
import random
import struct
import subprocess
import sys

FF = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"]

# Must match kCodecs in fuzz/decoders.cpp.
CODECS = ["avc", "hevc", "mpeg4", "h263", "vp8", "mpeg2", "aac", "mp3", "flac", "vorbis", "ac3", "amrnb"]
MODE_PLAIN, MODE_CONFIG, MODE_ESDS, MODE_WATERMARK = 0, 1, 2, 3

EXTRACTOR_FIXTURES = ["h264_aac.mp4", "hevc_aac.mkv", "mpeg4_mp3.avi", "vp8_vorbis.webm", "h264_aac.ts",
                      "h264_aac.flv", "audio.flac", "audio.wav", "audio_mono.m4a", "audio_51.flac",
                      "multi_track.mkv", "size_change.ts", "rotated.mp4", "truncated.mp4"]
MAX_SEED = 48 * 1024
FORMAT_CHANGE = "format-change"  # stands for the 0xFFFF length: a read that reports a format change


def hexdump_bytes(text):
    """Bytes of an ffprobe -show_data dump ("00000000: 0164 000d ...  .d..")."""
    out = bytearray()
    for line in text.splitlines():
        if ": " not in line:
            continue
        hexpart = line.split(": ", 1)[1][:40]
        out += bytes.fromhex(hexpart.replace(" ", ""))
    return bytes(out)


def probe(path, stream):
    """(extradata, [packet bytes]) of the first second of one stream."""
    cmd = ["ffprobe", "-v", "error", "-select_streams", stream, "-show_streams", "-show_packets", "-show_data",
           "-read_intervals", "%+1", "-of", "json", path]
    info = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
    streams = info.get("streams", [])
    extradata = hexdump_bytes(streams[0].get("extradata", "")) if streams else b""
    packets = [hexdump_bytes(p.get("data", "")) for p in info.get("packets", [])]
    return extradata, [p for p in packets if p]


def esds(config):
    """An ES_Descriptor around AAC codec configuration bytes."""
    def descriptor(tag, body):
        return bytes([tag, len(body)]) + body
    dsi = descriptor(5, config)
    dcd = descriptor(4, bytes([0x40, 0x15]) + b"\0\0\0" + struct.pack(">II", 128000, 128000) + dsi)
    sl = descriptor(6, b"\x02")
    return descriptor(3, struct.pack(">HB", 1, 0) + dcd + sl)


def decoder_seed(codec, mode, second, first, packets, limit=8):
    out = bytearray([CODECS.index(codec) + len(CODECS) * mode, second])
    if first is not None:
        out += struct.pack(">H", len(first)) + first
    for p in packets[:limit]:
        if p == FORMAT_CHANGE:
            out += struct.pack(">H", 0xFFFF)
            continue
        if len(p) >= 0xFFFF or len(out) + len(p) > MAX_SEED:
            break
        out += struct.pack(">H", len(p)) + p
    return bytes(out)


# --- http_response: must match fuzz/http_response.cpp (mode byte: bits 0-1 the offset index into
# 0, 100, 0, 5000000000; bits 2-3 the read size index into 65536, 1, 7, 4096; bit 4 one more read
# at the offset index bits 5-6 gives into 0, 1, 100, 1 MiB).
HTTP_NEXT = b"\n#--\n"
HTTP_AT_100, HTTP_READ_1, HTTP_READ_7, HTTP_SEEK_100 = 1, 1 << 2, 2 << 2, 0x10 | (2 << 5)


def http_answer(status, headers, body=b""):
    head = b"HTTP/1.1 " + status + b"\r\n" + b"".join(h + b"\r\n" for h in headers) + b"\r\n"
    return head + body


def write_http_seeds(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    body = bytes(range(32, 127)) * 3
    ok = http_answer(b"200 OK", [b"Content-Length: %d" % len(body), b"Content-Type: video/mp4"], body)
    partial = http_answer(b"206 Partial Content", [b"Content-Range: bytes 100-%d/%d" % (len(body) - 1, len(body)),
                                                   b"Content-Length: %d" % (len(body) - 100)], body[100:])
    chunked = http_answer(b"200 OK", [b"Transfer-Encoding: chunked"],
                          b"5;name=value\r\nhello\r\n1A; ext\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n"
                          b"Trailer-A: x\r\nTrailer-B: y\r\n\r\n")
    seeds = {
        # Valid answers.
        "ok_200": (0, ok),
        "ok_200_bytewise": (HTTP_READ_1, ok),
        "ok_200_lf_only": (0, ok.replace(b"\r\n", b"\n")),
        "ok_200_no_length": (HTTP_READ_7, http_answer(b"200 OK", [b"Connection: close"], body)),
        "ok_206": (HTTP_AT_100, partial),
        "ok_200_then_seek_206": (HTTP_SEEK_100, ok + HTTP_NEXT + partial),
        "ok_chunked": (HTTP_READ_7, chunked),
        "ok_chunked_upper_hex": (0, chunked.replace(b"1A; ext", b"1a")),
        "redirect_302": (0, http_answer(b"302 Found", [b"Location: /moved/x"]) + HTTP_NEXT + ok),
        "redirect_301_relative": (HTTP_AT_100, http_answer(b"301 Moved", [b"Location: y"]) + HTTP_NEXT + partial),
        "redirect_307_loop": (0, http_answer(b"307 Temporary Redirect", [b"Location: /x"])),
        "redirect_303_elsewhere": (0, http_answer(b"303 See Other", [b"Location: //127.0.0.1/x"])),
        "not_found_404": (0, http_answer(b"404 Not Found", [b"Content-Length: 9"], b"not found")),
        "short_then_206": (0, http_answer(b"200 OK", [b"Content-Length: 200"], body[:100]) + HTTP_NEXT +
                           http_answer(b"206 Partial Content", [b"Content-Range: bytes 100-199/200"], body[100:200])),
        "timeout_header": (0, http_answer(b"200 OK", [b"X-SocketTimeout: 0", b"Content-Length: 4"], b"abcd")),
        # Broken ones.
        "bad_status": (0, b"HTTP/1.1 abc\r\n\r\n"),
        "no_blank_line": (0, b"HTTP/1.1 200 OK\r\nContent-Length: 5"),
        "long_header_line": (0, http_answer(b"200 OK", [b"X-Long: " + b"a" * 5000])),
        "range_ignored": (HTTP_AT_100, ok),
        "range_wrong_start": (HTTP_AT_100, partial.replace(b"bytes 100-", b"bytes 0-")),
        "range_bad_total": (HTTP_AT_100, partial.replace(b"/%d" % len(body), b"/*")),
        "gzip_encoding": (0, http_answer(b"200 OK", [b"Transfer-Encoding: gzip"], body)),
        "odd_lengths": (0, http_answer(b"200 OK", [b"Content-Length: 1e2", b"X-SocketTimeout: abc"], body) + HTTP_NEXT +
                        http_answer(b"200 OK", [b"Content-Length: 99999999999999999999"], body)),
        "chunk_bad_size": (0, http_answer(b"200 OK", [b"Transfer-Encoding: chunked"], b"zz\r\nhello\r\n0\r\n\r\n")),
        "chunk_no_terminator": (0, http_answer(b"200 OK", [b"Transfer-Encoding: chunked"], b"5\r\nhelloXX0\r\n\r\n")),
        "chunk_huge": (HTTP_READ_7, http_answer(b"200 OK", [b"Transfer-Encoding: chunked"], b"7fffffff\r\nabc")),
        "header_many": (0, http_answer(b"200 OK", [b"X-%d: %d" % (i, i) for i in range(300)])),
        "redirect_bad_location": (0, http_answer(b"302 Found", [b"Location: ftp://x/y"]) + HTTP_NEXT +
                                  http_answer(b"302 Found", [b"Location:"])),
    }
    for name, (mode, answer) in seeds.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(bytes([mode]) + answer)



# --- agent_json: a selector byte (bit 0: media-information reader first), then the answer.
AGENT_INFO = {
    "title": "Demo", "snapshot": "snap.jpg", "thumbnail": "thumb.jpg", "detail": "d", "play_at": 12,
    "duration": 60, "autostart": True, "mute": 0, "nscreen_popup": False, "is_intro": 1, "is_seekable": 1,
    "is_skipable": 0, "watermark": "wm", "width": 1920, "height": 1080, "bitrate": 4000, "brightness": 50,
    "contrast": 50, "saturation": 50, "bookmark_kind": 1, "is_live": 0, "buffer": 3, "buffer_size": 20480,
    "playsection_start": 0, "playsection_end": 0, "ui_progresstype": 1, "ui_jumpstep": 10,
    "ui_playratesave": 1, "ui_playratestep": 2, "disable_playrate": False, "seekable_end": 0,
    "bookmark_enable": True, "thumbnail_enable": True, "max_playrate": 20, "caption_style": "{}",
    "is_audio_file": False, "repeat_play_section": {"start_time": 5, "end_time": 9},
    "next_episode": {"show_time": 50, "callback_url": "http://127.0.0.1:1/callback/next"},
    "playbackRates": [[5, 10, 15, 20], 10],
    "video_watermark": {"msg": "m", "alpha": 50, "font_size": 12, "font_color": "#fff", "show_time": 1,
                        "hide_time": 2},
    "type": 1, "fwatermark": "f",
    "subtitle": [{"name": "ko", "url": "sub.srt?id=7", "language": "ko", "default": True, "vtt": False}],
    "subtitle_sub": [{"name": "en", "url": "http://127.0.0.1/sub.vtt", "language": "en", "default": False,
                      "vtt": True}],
}


def write_agent_seeds(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    answers = {
        "open": {"error": 0, "code": 0, "type": 0,
                 "items": [{"index": 0, "media_key": "k0", "media_url": "http://127.0.0.1/a.mp4"},
                           {"index": 1, "media_key": "k1", "media_url": "http://127.0.0.1/b.mp4"}]},
        "open_partial": {"error": 1, "code": -1015, "type": 2, "items": [{"index": 0, "media_key": "k"}]},
        "open_error": {"error": 1, "code": -4040, "msg": "no such content"},
        "open_types": {"type": "x", "items": [{"index": "x", "media_key": 5}, 7, None]},
        "info": {"error": 0, "code": 0, "result": AGENT_INFO},
        "info_empty": {"error": 0, "code": 0, "result": {"repeat_play_section": {}, "next_episode": {}}},
        "info_8614": {"error": 0, "code": -8614},
        "info_types": {"code": 0, "result": {k: [] for k in AGENT_INFO}},
    }
    for name, answer in answers.items():
        text = json.dumps(answer).encode()
        for selector in (0, 1):
            with open(os.path.join(out_dir, "%s_%d" % (name, selector)), "wb") as f:
                f.write(bytes([selector]) + text)
    with open(os.path.join(out_dir, "truncated"), "wb") as f:
        f.write(b"\x01" + json.dumps(answers["info"]).encode()[:200])


def main():
    media, out = sys.argv[1], sys.argv[2]
    write_http_seeds(os.path.join(out, "http_response"))
    write_agent_seeds(os.path.join(out, "agent_json"))
    ext_dir = os.path.join(out, "extractor")
    dec_dir = os.path.join(out, "decoders")
    tmp = os.path.join(out, "tmp")
    for d in (ext_dir, dec_dir, tmp):
        os.makedirs(d, exist_ok=True)

    def m(name):
        return os.path.join(media, name)

    def t(name):
        return os.path.join(tmp, name)

    # Extractor: short remuxes and heads.
    for name in EXTRACTOR_FIXTURES:
        src = m(name)
        if not os.path.exists(src):
            continue
        ext = os.path.splitext(name)[1]
        cut = os.path.join(ext_dir, "cut_" + name)
        r = subprocess.run(FF + ["-i", src, "-map", "0", "-c", "copy", "-t", "0.3", cut + ext], capture_output=True)
        if r.returncode == 0:
            os.replace(cut + ext, cut)
        with open(src, "rb") as f:
            head = f.read(4096)
        with open(os.path.join(ext_dir, "head_" + name), "wb") as f:
            f.write(head)

    # Decoders: streams as stored in the fixtures, raw elementary streams cut by FFmpeg's parsers,
    # and codecs no fixture carries.
    made = [
        (t("h264.h264"), ["-i", m("h264_aac.mp4"), "-map", "0:v", "-c", "copy", "-t", "0.5"]),
        (t("hevc.hevc"), ["-i", m("hevc_aac.mkv"), "-map", "0:v", "-c", "copy", "-t", "0.5"]),
        (t("small.h263"), ["-i", m("h264_aac.mp4"), "-map", "0:v", "-t", "0.3", "-s", "176x144", "-c:v", "h263"]),
        (t("small.m2v"), ["-i", m("h264_aac.mp4"), "-map", "0:v", "-t", "0.3", "-c:v", "mpeg2video"]),
        (t("small.ac3"), ["-i", m("audio.wav"), "-t", "0.3", "-c:a", "ac3", "-b:a", "96k"]),
        (t("small_a.h264"), ["-i", m("h264_aac.mp4"), "-map", "0:v", "-t", "0.12", "-vf", "scale=64:48",
                             "-c:v", "libx264", "-preset", "ultrafast"]),
        (t("small_b.h264"), ["-i", m("h264_aac.mp4"), "-map", "0:v", "-t", "0.12", "-vf", "scale=96:80",
                             "-c:v", "libx264", "-preset", "ultrafast"]),
        (t("aac.adts"), ["-i", m("h264_aac.mp4"), "-map", "0:a", "-c", "copy", "-t", "0.3", "-f", "adts"]),
    ]
    for path, args in made:
        subprocess.run(FF + args + [path], check=True)

    # A picture size change inside one H.264 stream (the parser splits the joined streams).
    with open(t("size_change.h264"), "wb") as f:
        for part in ("small_a.h264", "small_b.h264"):
            with open(t(part), "rb") as g:
                f.write(g.read())

    jobs = [
        # (name, codec, source, stream, modes, second byte)
        ("avc_avcc", "avc", m("h264_aac.mp4"), "v:0", [MODE_CONFIG], 0),
        ("avc_annexb", "avc", t("h264.h264"), "v:0", [MODE_PLAIN], 0),
        ("avc_size_change", "avc", t("size_change.h264"), "v:0", [MODE_PLAIN], 2),
        ("hevc_hvcc", "hevc", m("hevc_aac.mkv"), "v:0", [MODE_CONFIG], 0),
        ("hevc_annexb", "hevc", t("hevc.hevc"), "v:0", [MODE_PLAIN], 0),
        ("mpeg4", "mpeg4", m("mpeg4_mp3.avi"), "v:0", [MODE_PLAIN, MODE_CONFIG], 0),
        ("h263", "h263", t("small.h263"), "v:0", [MODE_PLAIN], 1),
        ("vp8", "vp8", m("vp8_vorbis.webm"), "v:0", [MODE_PLAIN], 0),
        ("mpeg2", "mpeg2", t("small.m2v"), "v:0", [MODE_PLAIN], 3),
        ("aac_asc", "aac", m("h264_aac.mp4"), "a:0", [MODE_CONFIG, MODE_ESDS, MODE_WATERMARK + MODE_CONFIG], 1),
        ("aac_mono", "aac", m("audio_mono.m4a"), "a:0", [MODE_CONFIG], 0),
        ("aac_51", "aac", m("audio_51.m4a"), "a:0", [MODE_ESDS], 5),
        ("aac_adts", "aac", t("aac.adts"), "a:0", [MODE_PLAIN], 7),
        ("mp3", "mp3", m("mpeg4_mp3.avi"), "a:0", [MODE_PLAIN, MODE_WATERMARK], 1),
        ("flac", "flac", m("audio.flac"), "a:0", [MODE_PLAIN, MODE_CONFIG], 1),
        ("flac_51", "flac", m("audio_51.flac"), "a:0", [MODE_CONFIG], 5),
        ("vorbis", "vorbis", m("vp8_vorbis.webm"), "a:0", [MODE_CONFIG, MODE_WATERMARK + MODE_CONFIG], 1),
        ("ac3", "ac3", t("small.ac3"), "a:0", [MODE_PLAIN], 1),
    ]
    for name, codec, src, stream, modes, second in jobs:
        if not os.path.exists(src):
            continue
        extradata, packets = probe(src, stream)
        if not packets:
            continue
        for mode in modes:
            first = None
            if mode % 3 == MODE_CONFIG:
                first = extradata
            elif mode % 3 == MODE_ESDS:
                first = esds(extradata)
            # Sound needs more packets than pictures to fill a few output buffers.
            limit = 6 if codec in CODECS[:6] else 24
            with open(os.path.join(dec_dir, "%s_m%d" % (name, mode)), "wb") as f:
                f.write(decoder_seed(codec, mode, second, first, packets, limit))
            if mode == MODE_PLAIN and name in ("avc_annexb", "aac_adts", "mp3"):
                # The source reports a format change half-way; the decoder reconfigures.
                half = limit // 2
                changed = packets[:half] + [FORMAT_CHANGE] + packets[half:]
                with open(os.path.join(dec_dir, "%s_change_m%d" % (name, mode)), "wb") as f:
                    f.write(decoder_seed(codec, mode, second, first, changed, limit + 1))

    # AMR-NB: no encoder here; 12.2 kbit/s frames (header 0x3c, 31 bytes) of fixed noise.
    rng = random.Random(7)
    frames = [bytes([0x3C]) + bytes(rng.randrange(256) for _ in range(31)) for _ in range(20)]
    with open(os.path.join(dec_dir, "amrnb_m0"), "wb") as f:
        f.write(decoder_seed("amrnb", MODE_PLAIN, 0, None, frames, 20))

    for name in os.listdir(tmp):
        os.remove(os.path.join(tmp, name))
    os.rmdir(tmp)


if __name__ == "__main__":
    main()


# --- subtitle_srt, subtitle_sami, subtitle_vtt: the subtitle test fixtures as they are, and the
# inputs the fuzzers once crashed on, kept as regression cases beside them.
def write_subtitle_seeds(out_dir):
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "subtitles", "fixtures")
    kinds = {".srt": "subtitle_srt", ".smi": "subtitle_sami", ".vtt": "subtitle_vtt"}
    for target in kinds.values():
        os.makedirs(os.path.join(out_dir, target), exist_ok=True)
    for name in sorted(os.listdir(root)):
        target = kinds.get(os.path.splitext(name)[1])
        if target is None:
            continue
        with open(os.path.join(root, name), "rb") as f:
            data = f.read()
        with open(os.path.join(out_dir, target, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write_subtitle_seeds(sys.argv[2])


# --- m3u_playlist: the HLS playlists of the test media (master, media, byte-range, keyed, faulty)
# and hand-written ones that reach every tag the parser knows, each with its attribute forms.
M3U_SEEDS = {
    "media_live": "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:10\n#EXT-X-MEDIA-SEQUENCE:2680\n"
                  "#EXTINF:9.97,\nfileSequence2680.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:10\n/abs/seg.ts\n"
                  "#EXTINF:1e1,title\nhttps://cdn.example/x.ts?t=1\n",
    "keys": "#EXTM3U\r\n#EXT-X-TARGETDURATION:6\r\n"
            "#EXT-X-KEY:METHOD=AES-128,URI=\"k?a=1,b=2\",IV=0x000102030405060708090a0b0c0d0e0f\r\n"
            "#EXTINF:6.006,\r\na.ts\r\n#EXT-X-KEY:METHOD=NONE\r\n#EXTINF:6,\r\nb.ts\r\n"
            "#EXT-X-KEY: uri = /key , Method = SAMPLE-AES ,KEYFORMAT=\"identity\"\r\n#EXTINF:6,\r\nc.ts",
    "byteranges": "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-PLAYLIST-TYPE:EVENT\n"
                  "#EXTINF:4,\n#EXT-X-BYTERANGE:1000@0\nf.ts\n#EXTINF:4,\n#EXT-X-BYTERANGE:500\nf.ts\n"
                  "#EXTINF:4,\n#EXT-X-BYTERANGE: 200 @ 5000 \nf.ts\n#EXT-X-ENDLIST\n",
    "master": "#EXTM3U\n#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=1280000,"
              "CODECS=\"avc1.4d401f,mp4a.40.2\",RESOLUTION=1280x720\nhi/index.m3u8\n"
              "#EXT-X-STREAM-INF:RESOLUTION=320x180\n/low.m3u8\nplain.m3u8\n",
    "malformed_order": "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n",
    "huge_numbers": "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:-2147483648\n#EXTINF:9223372036854.775807,\na.ts\n"
                    "#EXTINF:1,\n#EXT-X-BYTERANGE:9223372036854775807@0\nb.ts\n",
}


def write_m3u_seeds(media_dir, out_dir):
    target = os.path.join(out_dir, "m3u_playlist")
    os.makedirs(target, exist_ok=True)
    for name, text in M3U_SEEDS.items():
        with open(os.path.join(target, name + ".m3u8"), "wb") as f:
            f.write(text.encode())
    hls = os.path.join(media_dir, "hls")
    for folder, _, files in sorted(os.walk(hls)):
        for name in sorted(files):
            if not name.endswith(".m3u8"):
                continue
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                data = f.read(MAX_SEED)
            seed = os.path.relpath(path, hls).replace(os.sep, "_")
            with open(os.path.join(target, "media_" + seed), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    write_m3u_seeds(sys.argv[1], sys.argv[2])


# --- ts_parser: short transport streams of every stream type the parser knows, written by the
# ffmpeg command, and the HLS segments of the test media; the first byte picks the parser flags.
TS_SEED_STREAMS = {
    "h264_aac": "-c:v libx264 -pix_fmt yuv420p -g 5 -c:a aac",
    "mpeg2_mp2": "-c:v mpeg2video -c:a mp2",
    "mpeg4_mp3": "-c:v mpeg4 -c:a libmp3lame",
}


def write_ts_seeds(media_dir, out_dir):
    target = os.path.join(out_dir, "ts_parser")
    os.makedirs(target, exist_ok=True)
    limit = (MAX_SEED - 1) // 188 * 188

    def keep(name, data):
        data = data[:limit]
        for flags in (0, 2):
            with open(os.path.join(target, "%s_%d" % (name, flags)), "wb") as f:
                f.write(bytes([flags]) + data)

    for name, codecs in TS_SEED_STREAMS.items():
        path = os.path.join(target, name + ".tmp.ts")
        cmd = ("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=25 "
               "-f lavfi -i sine=sample_rate=32000 -t 0.4 %s -f mpegts %s" % (codecs, path))
        if os.system(cmd) == 0:
            with open(path, "rb") as f:
                keep(name, f.read())
        if os.path.exists(path):
            os.remove(path)
    hls = os.path.join(media_dir, "hls")
    count = 0
    for folder, _, files in sorted(os.walk(hls)):
        for name in sorted(files):
            if not name.endswith(".ts") or count >= 6:
                continue
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read(limit)
            if data[:1] == b"\x47":
                keep("media_" + os.path.relpath(os.path.join(folder, name), hls).replace(os.sep, "_"), data)
                count += 1


if __name__ == "__main__":
    write_ts_seeds(sys.argv[1], sys.argv[2])
