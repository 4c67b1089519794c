#!/usr/bin/env bash
# Generates the test media with the ffmpeg command. Usage: scripts/make_fixtures.sh [DIR]
# (default <repo>/build/media). Idempotent: a file that already exists is kept; every file is
# written under a temporary name and moved into place only when ffmpeg succeeded, so a file
# cut short by an interruption never counts. A second run with everything present is instant.
#
# Pictures come from testsrc2 (a known pattern with a moving counter), sound from sine
# (a steady tone), so decoder tests can check what they get.
#
#   h264_aac.mp4         H.264 + AAC stereo 44.1 kHz, 320x240 25 fps, 8 s, key frame every 1 s
#   hevc_aac.mkv         HEVC + AAC, 320x240 25 fps, 2 s
#   mpeg4_mp3.avi        MPEG-4 Part 2 + MP3, 320x240 25 fps, 2 s
#   vp8_vorbis.webm      VP8 + Vorbis, 320x240 25 fps, 2 s
#   h264_aac.ts          H.264 + AAC in MPEG-TS, 320x240 25 fps, 2 s
#   h264_aac.flv         H.264 + AAC in FLV, 320x240 25 fps, 2 s
#   audio.flac           FLAC stereo 44.1 kHz, 2 s (audio only)
#   audio.wav            PCM s16le stereo 44.1 kHz, 2 s (audio only)
#   audio_mono.m4a       AAC mono 22.05 kHz, 2 s (audio only)
#   audio_51.m4a         AAC 5.1 48 kHz, 2 s (audio only)
#   audio_51.flac        FLAC 5.1 48 kHz, 2 s (audio only)
#   video_only.mp4       H.264, 320x240 25 fps, 2 s, no sound
#   multi_track.mkv      H.264 + AAC "eng" + AAC "fre" (different tones) + SubRip "eng", 320x240, 4 s
#   languages.mkv        H.264 + AAC "eng" 440 Hz + AAC "fre" 880 Hz, 320x240, 8 s (seekable)
#   size_change.ts       H.264 + AAC in MPEG-TS: 2 s at 320x240, then 2 s at 640x480
#   rotated.mp4          H.264 + AAC, 320x240, 2 s, "rotate=90" written by ffmpeg 5.1 when copying: a display
#                        matrix turning 90 degrees counter-clockwise (a clockwise "rotate" of 270)
#   short_3s.mp4         H.264 + AAC, 320x240 25 fps, 3 s
#   short_audio.mp4      H.264 320x240 25 fps 4 s, AAC only for the first 1.5 s
#   hd720.mp4            H.264 + AAC, 1280x720 30 fps, 5 s
#   demo.mp4             H.264 + AAC, 640x360 25 fps, 10 s (the demo program's clip)
#   big_1080p.mp4        H.264 + AAC, 1920x1080 30 fps, 60 s (benchmarks)
#   empty.mp4            zero bytes
#   truncated.mp4        the first 40% of h264_aac.mp4: the index at the end is missing
#   truncated.mkv        the first 50% of multi_track.mkv: opens, ends early
#   random_40m.bin       40 MiB of pseudo-random bytes from a fixed seed (HTTP transport and cache)

# HLS presentations under hls/ (H.264 + AAC 44.1 kHz stereo in MPEG-TS segments of 2 s, a key frame
# every second, so segment boundaries line up across variants):
#   hls/vod/master.m3u8  three variants of the same 20 s clip (testsrc2 + 440 Hz), each in its own
#                        folder with index.m3u8 and seg_000.ts .. seg_009.ts:
#                        v0/ 320x180 ~300 kbit/s, v1/ 640x360 ~800 kbit/s, v2/ 1280x720 ~2 Mbit/s;
#                        BANDWIDTH and RESOLUTION on every entry
#   hls/abr/master.m3u8  three variants of one 60 s clip in 1 s segments, for switching by throughput
#                        while playing: v0/ 160x90 ~100 kbit/s, v1/ 320x180 ~300 kbit/s, v2/ 640x360
#                        ~900 kbit/s (short segments keep the session's queue a few seconds ahead)
#   hls/bench1080/index.m3u8  big_1080p.mp4 copied into 2 s segments (the HLS benchmark)
#   hls/single/index.m3u8  640x360, 20 s, every segment a #EXT-X-BYTERANGE of the one file media.ts
#   hls/aes_clear/       the segments of hls/vod/v0 again (copies), in a playlist that starts at
#                        media sequence 100: the clear bytes of hls/aes
#   hls/aes/index.m3u8   the same ten segments, AES-128-CBC (PKCS#7 padding) encrypted, media
#                        sequence 100..109, keys rotating:
#                          100-101  key_0.key (00 01 .. 0f), no IV attribute (IV = sequence number)
#                          102-104  key_1.key (10 11 .. 1f), IV=0x000102030405060708090a0b0c0d0e0f
#                          105-107  key_2.key (20 21 .. 2f), no IV attribute
#                          108-109  METHOD=NONE: clear again
#                        aes/keys.txt has one line per segment: "SEQ FILE KEYHEX IVHEX" (KEYHEX and
#                        IVHEX "-" for a clear segment), so a test can decrypt on its own
#   hls/disc/index.m3u8  8 s at 320x180 (a_000.ts..a_003.ts, 440 Hz), #EXT-X-DISCONTINUITY, then
#                        8 s at 640x360 (b_000.ts..b_003.ts, 880 Hz) whose timestamps start again
#   hls/bad/             faulty presentations, all self-contained (no ".." in any address):
#     v0/                a copy of hls/vod/v0 that the playlists below use
#     master_no_bandwidth.m3u8  two variants, the second without BANDWIDTH (RESOLUTION only)
#     not_ts.m3u8        a complete playlist whose two segments are MP4 files named not_ts_00N.ts
#     master_not_ts.m3u8 the first (and highest) variant is not_ts.m3u8, the second v0/index.m3u8
#     short_key.m3u8     encrypted segments (enc_100.ts, enc_101.ts from hls/aes) whose key file
#                        short.key holds 15 bytes
#     missing_key.m3u8   the same segments with the key address missing.key, which does not exist
#     missing_segment.m3u8  v0 segments 0, 1, then gone_002.ts (does not exist), then 3
#     live_frozen.m3u8   a live window (no end tag) over v0 segments 3..7, media sequence 3: the
#                        same body on every request, a live playlist that never moves
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${1:-$ROOT/build/media}"
mkdir -p "$DIR"
DIR="$(cd "$DIR" && pwd)"

FF=(ffmpeg -hide_banner -nostdin -loglevel error -y)
made=0

# fixture NAME COMMAND...: runs COMMAND with the placeholder @OUT@ replaced by a temporary path
# that keeps NAME's extension, then moves the result into place.
fixture() {
  local name="$1"; shift
  local out="$DIR/$name"
  [[ -e "$out" ]] && return 0
  local tmp="$DIR/.partial.$name"
  rm -f "$tmp"
  local args=() a
  for a in "$@"; do args+=("${a//@OUT@/$tmp}"); done
  if ! "${args[@]}"; then
    rm -f "$tmp"
    echo "make_fixtures: failed to make $name" >&2
    return 1
  fi
  mv -f "$tmp" "$out"
  made=$((made + 1))
}

video() {  # video SIZE RATE SECONDS
  echo "testsrc2=size=$1:rate=$2:duration=$3"
}
tone() {  # tone FREQ SECONDS [RATE]
  echo "sine=frequency=$1:sample_rate=${3:-44100}:duration=$2"
}
H264=(-c:v libx264 -preset veryfast -pix_fmt yuv420p)
AAC=(-c:a aac -b:a 96k -ac 2)

fixture h264_aac.mp4 "${FF[@]}" -f lavfi -i "$(video 320x240 25 8)" -f lavfi -i "$(tone 440 8)" \
  "${H264[@]}" -g 25 "${AAC[@]}" -shortest @OUT@
fixture hevc_aac.mkv "${FF[@]}" -f lavfi -i "$(video 320x240 25 2)" -f lavfi -i "$(tone 440 2)" \
  -c:v libx265 -preset ultrafast -x265-params log-level=error -pix_fmt yuv420p -g 25 "${AAC[@]}" -shortest @OUT@
fixture mpeg4_mp3.avi "${FF[@]}" -f lavfi -i "$(video 320x240 25 2)" -f lavfi -i "$(tone 440 2)" \
  -c:v mpeg4 -q:v 5 -g 25 -c:a libmp3lame -b:a 128k -ac 2 -shortest @OUT@
fixture vp8_vorbis.webm "${FF[@]}" -f lavfi -i "$(video 320x240 25 2)" -f lavfi -i "$(tone 440 2)" \
  -c:v libvpx -b:v 500k -deadline realtime -cpu-used 8 -g 25 -c:a libvorbis -ac 2 -shortest @OUT@
fixture h264_aac.ts "${FF[@]}" -f lavfi -i "$(video 320x240 25 2)" -f lavfi -i "$(tone 440 2)" \
  "${H264[@]}" -g 25 "${AAC[@]}" -shortest @OUT@
fixture h264_aac.flv "${FF[@]}" -f lavfi -i "$(video 320x240 25 2)" -f lavfi -i "$(tone 440 2)" \
  "${H264[@]}" -g 25 "${AAC[@]}" -shortest @OUT@
fixture audio.flac "${FF[@]}" -f lavfi -i "$(tone 440 2)" -ac 2 -c:a flac @OUT@
fixture audio.wav "${FF[@]}" -f lavfi -i "$(tone 440 2)" -ac 2 -c:a pcm_s16le @OUT@
fixture audio_mono.m4a "${FF[@]}" -f lavfi -i "$(tone 440 2 22050)" -ac 1 -c:a aac -b:a 64k @OUT@
fixture audio_51.m4a "${FF[@]}" -f lavfi -i "$(tone 440 2 48000)" -af "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0" \
  -c:a aac -b:a 192k @OUT@
fixture audio_51.flac "${FF[@]}" -f lavfi -i "$(tone 440 2 48000)" -af "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0" \
  -c:a flac @OUT@
fixture video_only.mp4 "${FF[@]}" -f lavfi -i "$(video 320x240 25 2)" "${H264[@]}" -g 25 -an @OUT@

if [[ ! -e "$DIR/multi_track.mkv" ]]; then
  srt="$DIR/.partial.subs.srt"
  printf '1\r\n00:00:00,500 --> 00:00:01,500\r\nFirst line\r\nsecond line\r\n\r\n2\r\n00:00:02,000 --> 00:00:03,000\r\nAnother cue\r\n\r\n' > "$srt"
  fixture multi_track.mkv "${FF[@]}" -f lavfi -i "$(video 320x240 25 4)" -f lavfi -i "$(tone 440 4)" \
    -f lavfi -i "$(tone 880 4)" -i "$srt" -map 0:v -map 1:a -map 2:a -map 3:s \
    "${H264[@]}" -g 25 "${AAC[@]}" -c:s srt \
    -metadata:s:a:0 language=eng -metadata:s:a:1 language=fre -metadata:s:s:0 language=eng @OUT@
  rm -f "$srt"
fi

if [[ ! -e "$DIR/size_change.ts" ]]; then
  a="$DIR/.partial.part_a.ts"
  b="$DIR/.partial.part_b.ts"
  "${FF[@]}" -f lavfi -i "$(video 320x240 25 2)" -f lavfi -i "$(tone 440 2)" "${H264[@]}" -g 25 "${AAC[@]}" \
    -shortest "$a"
  "${FF[@]}" -f lavfi -i "$(video 640x480 25 2)" -f lavfi -i "$(tone 440 2)" "${H264[@]}" -g 25 "${AAC[@]}" \
    -shortest -output_ts_offset 2 "$b"
  fixture size_change.ts "${FF[@]}" -i "concat:$a|$b" -c copy -f mpegts @OUT@
  rm -f "$a" "$b"
fi

if [[ ! -e "$DIR/rotated.mp4" ]]; then
  # The rotation tag only reaches the file's display matrix when the stream is copied.
  plain="$DIR/.partial.unrotated.mp4"
  "${FF[@]}" -f lavfi -i "$(video 320x240 25 2)" -f lavfi -i "$(tone 440 2)" "${H264[@]}" -g 25 "${AAC[@]}" \
    -shortest "$plain"
  fixture rotated.mp4 "${FF[@]}" -i "$plain" -c copy -metadata:s:v:0 rotate=90 @OUT@
  rm -f "$plain"
fi
fixture short_3s.mp4 "${FF[@]}" -f lavfi -i "$(video 320x240 25 3)" -f lavfi -i "$(tone 440 3)" \
  "${H264[@]}" -g 25 "${AAC[@]}" -shortest @OUT@
fixture short_audio.mp4 "${FF[@]}" -f lavfi -i "$(video 320x240 25 4)" -f lavfi -i "$(tone 440 1.5)" \
  "${H264[@]}" -g 25 "${AAC[@]}" @OUT@
fixture hd720.mp4 "${FF[@]}" -f lavfi -i "$(video 1280x720 30 5)" -f lavfi -i "$(tone 440 5)" \
  "${H264[@]}" -g 30 "${AAC[@]}" -shortest @OUT@
fixture demo.mp4 "${FF[@]}" -f lavfi -i "$(video 640x360 25 10)" -f lavfi -i "$(tone 440 10)" \
  "${H264[@]}" -g 25 "${AAC[@]}" -shortest @OUT@
fixture big_1080p.mp4 "${FF[@]}" -f lavfi -i "$(video 1920x1080 30 60)" -f lavfi -i "$(tone 440 60)" \
  -c:v libx264 -preset ultrafast -b:v 4M -maxrate 4M -bufsize 8M -pix_fmt yuv420p -g 60 "${AAC[@]}" -shortest @OUT@

# Two languages long enough to seek (more than 5 s): the audio track switch while playing.
fixture languages.mkv "${FF[@]}" -f lavfi -i "$(video 320x240 25 8)" -f lavfi -i "$(tone 440 8)" \
  -f lavfi -i "$(tone 880 8)" -map 0:v -map 1:a -map 2:a "${H264[@]}" -g 25 "${AAC[@]}" \
  -metadata:s:a:0 language=eng -metadata:s:a:1 language=fre @OUT@

fixture empty.mp4 touch @OUT@
head_part() {  # head_part SRC PERCENT OUT
  local size
  size=$(stat -c %s "$1")
  head -c $((size * $2 / 100)) "$1" > "$3"
}
fixture truncated.mp4 head_part "$DIR/h264_aac.mp4" 40 @OUT@
fixture truncated.mkv head_part "$DIR/multi_track.mkv" 50 @OUT@

# Playback-core fixtures: a picture that changes colour every second, so a test can tell from the
# window which second is on screen.
#   colors.mp4           H.264 + AAC 440 Hz, 320x240 25 fps, 6 s: red, green, blue, white, yellow, cyan
#                        for one second each, a key frame every second
fixture colors.mp4 "${FF[@]}" -f lavfi -i "color=c=red:s=320x240:r=25:d=1" -f lavfi -i "color=c=green:s=320x240:r=25:d=1" \
  -f lavfi -i "color=c=blue:s=320x240:r=25:d=1" -f lavfi -i "color=c=white:s=320x240:r=25:d=1" \
  -f lavfi -i "color=c=yellow:s=320x240:r=25:d=1" -f lavfi -i "color=c=cyan:s=320x240:r=25:d=1" -f lavfi -i "$(tone 440 6)" \
  -filter_complex "[0][1][2][3][4][5]concat=n=6:v=1:a=0[v]" -map "[v]" -map 6:a \
  "${H264[@]}" -g 25 "${AAC[@]}" -shortest @OUT@
#   stream_10s.ts        H.264 + AAC in MPEG-TS, 320x240 25 fps, 10 s (served over HTTP by a stalling server)
fixture stream_10s.ts "${FF[@]}" -f lavfi -i "$(video 320x240 25 10)" -f lavfi -i "$(tone 440 10)" \
  "${H264[@]}" -g 25 "${AAC[@]}" -shortest @OUT@

# Picture-path fixtures: clips shorter than a many-threaded decoder's pipeline, a width that is
# no multiple of 4 (rows padded past it), and a header that claims a huge picture.
#   clip_1.mp4 clip_3.mp4 clip_20.mp4   H.264 (with B-frames), 320x240 25 fps, 1, 3 and 20 pictures
#   odd_854x480.mp4      H.264, 854x480 25 fps, 1 s (a width that is no multiple of 4: rows are padded)
#   huge_8192x8184.mp4   H.264, 8192x8184 1 fps, 4 s (4 pictures), solid red
for n in 1 3 20; do
  fixture "clip_$n.mp4" "${FF[@]}" -f lavfi -i "$(video 320x240 25 1)" -frames:v "$n" "${H264[@]}" -an @OUT@
done
fixture odd_854x480.mp4 "${FF[@]}" -f lavfi -i "$(video 854x480 25 1)" "${H264[@]}" -an @OUT@
fixture huge_8192x8184.mp4 "${FF[@]}" -f lavfi -i "color=c=red:size=8192x8184:rate=1:duration=4" \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -an @OUT@

# A large file with no structure, so a byte read from the wrong offset shows: the same 40 MiB on
# every machine (Python's Mersenne Twister from seed 1).
#   random_40m.bin       40 MiB (41943040 bytes) of pseudo-random bytes
fixture random_40m.bin python3 -c 'import random, sys
random.seed(1)
with open(sys.argv[1], "wb") as out:
    for _ in range(40):
        out.write(random.randbytes(1 << 20))' @OUT@

# --- HLS presentations (listed in the header). Each folder is built under a temporary name and
# moved into place when every step succeeded; a folder that exists is kept.
HLS="$DIR/hls"
mkdir -p "$HLS"

# hls_folder NAME BUILDER: runs BUILDER TMPDIR, then moves TMPDIR to hls/NAME. Builders end every
# step with "|| return 1" (errexit does not apply inside a condition).
hls_folder() {
  local name="$1" builder="$2"
  local out="$HLS/$name"
  [[ -e "$out" ]] && return 0
  local tmp="$HLS/.partial.$name"
  rm -rf "$tmp"
  mkdir -p "$tmp"
  if ! "$builder" "$tmp"; then
    rm -rf "$tmp"
    echo "make_fixtures: failed to make hls/$name" >&2
    return 1
  fi
  mv -T "$tmp" "$out"
  made=$((made + 1))
}

HLS_SECONDS=20
HLS_SEGMENT=2
AES_FIRST_SEQ=100
# One key frame a second whatever the picture does: segment cuts fall on the same times everywhere.
HLS_H264=("${H264[@]}" -g 25 -keyint_min 25 -sc_threshold 0)
HLS_OUT=(-f hls -hls_time "$HLS_SEGMENT" -hls_playlist_type vod)

playlist_head() {  # playlist_head FIRST_SEQ [TYPE]: the lines every media playlist here starts with
  echo "#EXTM3U"
  echo "#EXT-X-VERSION:3"
  echo "#EXT-X-TARGETDURATION:$HLS_SEGMENT"
  echo "#EXT-X-MEDIA-SEQUENCE:$1"
  [[ -n "${2:-}" ]] && echo "#EXT-X-PLAYLIST-TYPE:$2"
  return 0
}

build_vod() {  # three variants from one encode, so their segments cover the same times
  local t="$1"
  "${FF[@]}" -f lavfi -i "$(video 1280x720 25 $HLS_SECONDS)" -f lavfi -i "$(tone 440 $HLS_SECONDS)" \
    -filter_complex "[0:v]split=3[a][b][c];[a]scale=320:180[v0];[b]scale=640:360[v1];[c]null[v2]" \
    -map "[v0]" -map 1:a -map "[v1]" -map 1:a -map "[v2]" -map 1:a "${HLS_H264[@]}" \
    -b:v:0 300k -maxrate:v:0 330k -bufsize:v:0 600k -b:v:1 800k -maxrate:v:1 880k -bufsize:v:1 1600k \
    -b:v:2 2000k -maxrate:v:2 2200k -bufsize:v:2 4000k "${AAC[@]}" "${HLS_OUT[@]}" \
    -hls_segment_filename "$t/v%v/seg_%03d.ts" -master_pl_name master.m3u8 \
    -var_stream_map "v:0,a:0 v:1,a:1 v:2,a:2" "$t/v%v/index.m3u8"
}
hls_folder vod build_vod

ABR_SECONDS=60
build_abr() {  # like build_vod, smaller pictures, 1 s segments, a minute long
  local t="$1"
  "${FF[@]}" -f lavfi -i "$(video 640x360 25 $ABR_SECONDS)" -f lavfi -i "$(tone 440 $ABR_SECONDS)" \
    -filter_complex "[0:v]split=3[a][b][c];[a]scale=160:90[v0];[b]scale=320:180[v1];[c]null[v2]" \
    -map "[v0]" -map 1:a -map "[v1]" -map 1:a -map "[v2]" -map 1:a "${HLS_H264[@]}" \
    -b:v:0 100k -maxrate:v:0 110k -bufsize:v:0 200k -b:v:1 300k -maxrate:v:1 330k -bufsize:v:1 600k \
    -b:v:2 900k -maxrate:v:2 990k -bufsize:v:2 1800k "${AAC[@]}" -f hls -hls_time 1 -hls_playlist_type vod \
    -hls_segment_filename "$t/v%v/seg_%03d.ts" -master_pl_name master.m3u8 \
    -var_stream_map "v:0,a:0 v:1,a:1 v:2,a:2" "$t/v%v/index.m3u8"
}
hls_folder abr build_abr

build_bench1080() {  # big_1080p.mp4's streams cut into 2 s segments, not re-encoded
  local t="$1"
  "${FF[@]}" -i "$DIR/big_1080p.mp4" -c copy -f hls -hls_time 2 -hls_playlist_type vod \
    -hls_segment_filename "$t/seg_%03d.ts" "$t/index.m3u8"
}
hls_folder bench1080 build_bench1080

build_single() {
  local t="$1"
  "${FF[@]}" -f lavfi -i "$(video 640x360 25 $HLS_SECONDS)" -f lavfi -i "$(tone 440 $HLS_SECONDS)" \
    "${HLS_H264[@]}" -b:v 800k "${AAC[@]}" -shortest "${HLS_OUT[@]}" -hls_flags single_file \
    -hls_segment_filename "$t/media.ts" "$t/index.m3u8"
}
hls_folder single build_single

build_aes_clear() {
  local t="$1"
  cp "$HLS"/vod/v0/seg_*.ts "$t/" || return 1
  sed "s/^#EXT-X-MEDIA-SEQUENCE:.*/#EXT-X-MEDIA-SEQUENCE:$AES_FIRST_SEQ/" "$HLS/vod/v0/index.m3u8" \
    >"$t/index.m3u8"
}
hls_folder aes_clear build_aes_clear

hex_run() {  # hex_run FIRST: the 16 bytes FIRST, FIRST+1, ... FIRST+15 as hex
  local i out=""
  for i in $(seq 0 15); do out+=$(printf '%02x' $(($1 + i))); done
  echo "$out"
}
build_aes() {
  local t="$1" n
  for n in 0 1 2; do
    hex_run $((n * 16)) | xxd -r -p >"$t/key_$n.key" || return 1
  done
  local explicit_iv="000102030405060708090a0b0c0d0e0f"
  local seq=$AES_FIRST_SEQ key iv_attr ivhex keyhex last_key="" f name
  playlist_head "$AES_FIRST_SEQ" VOD >"$t/index.m3u8"
  : >"$t/keys.txt"
  for f in "$HLS"/aes_clear/seg_*.ts; do
    name=$(basename "$f")
    case $((seq - AES_FIRST_SEQ)) in
      0 | 1) key=0 iv_attr="" ;;
      2 | 3 | 4) key=1 iv_attr=",IV=0x$explicit_iv" ;;
      5 | 6 | 7) key=2 iv_attr="" ;;
      *) key=none iv_attr="" ;;
    esac
    if [[ "$key" != "$last_key" ]]; then
      if [[ "$key" == none ]]; then
        echo "#EXT-X-KEY:METHOD=NONE" >>"$t/index.m3u8"
      else
        echo "#EXT-X-KEY:METHOD=AES-128,URI=\"key_$key.key\"$iv_attr" >>"$t/index.m3u8"
      fi
      last_key="$key"
    fi
    if [[ "$key" == none ]]; then
      cp "$f" "$t/$name" || return 1
      echo "$seq $name - -" >>"$t/keys.txt"
    else
      keyhex=$(hex_run $((key * 16)))
      # Without an IV attribute the vector is the media sequence number, big-endian.
      if [[ -n "$iv_attr" ]]; then ivhex="$explicit_iv"; else ivhex=$(printf '%032x' "$seq"); fi
      openssl enc -aes-128-cbc -K "$keyhex" -iv "$ivhex" -in "$f" -out "$t/$name" || return 1
      echo "$seq $name $keyhex $ivhex" >>"$t/keys.txt"
    fi
    grep -B1 -x "$name" "$HLS/aes_clear/index.m3u8" | head -n 1 >>"$t/index.m3u8"
    echo "$name" >>"$t/index.m3u8"
    seq=$((seq + 1))
  done
  echo "#EXT-X-ENDLIST" >>"$t/index.m3u8"
}
hls_folder aes build_aes

build_disc() {
  local t="$1"
  "${FF[@]}" -f lavfi -i "$(video 320x180 25 8)" -f lavfi -i "$(tone 440 8)" "${HLS_H264[@]}" -b:v 300k \
    "${AAC[@]}" -shortest "${HLS_OUT[@]}" -hls_segment_filename "$t/a_%03d.ts" "$t/a.m3u8" || return 1
  "${FF[@]}" -f lavfi -i "$(video 640x360 25 8)" -f lavfi -i "$(tone 880 8)" "${HLS_H264[@]}" -b:v 800k \
    "${AAC[@]}" -shortest "${HLS_OUT[@]}" -hls_segment_filename "$t/b_%03d.ts" "$t/b.m3u8" || return 1
  {
    grep -v -x "#EXT-X-ENDLIST" "$t/a.m3u8"
    echo "#EXT-X-DISCONTINUITY"
    sed -n '/^#EXTINF/,$p' "$t/b.m3u8"
  } >"$t/index.m3u8" || return 1
  rm -f "$t/a.m3u8" "$t/b.m3u8"
}
hls_folder disc build_disc

segments() {  # segments NAME...: an EXTINF line and the address for each
  local s
  for s in "$@"; do
    echo "#EXTINF:$HLS_SEGMENT.000000,"
    echo "$s"
  done
}
build_bad() {
  local t="$1" n key
  mkdir -p "$t/v0" && cp "$HLS"/vod/v0/* "$t/v0/" || return 1
  printf '%s\n' "#EXTM3U" "#EXT-X-VERSION:3" \
    "#EXT-X-STREAM-INF:BANDWIDTH=435600,RESOLUTION=320x180" "v0/index.m3u8" \
    "#EXT-X-STREAM-INF:RESOLUTION=320x180" "v0/index.m3u8" >"$t/master_no_bandwidth.m3u8"
  for n in 0 1; do
    "${FF[@]}" -f lavfi -i "$(video 320x180 25 $HLS_SEGMENT)" -f lavfi -i "$(tone 440 $HLS_SEGMENT)" \
      "${HLS_H264[@]}" "${AAC[@]}" -shortest -f mp4 "$t/not_ts_00$n.ts" || return 1
  done
  { playlist_head 0 VOD; segments not_ts_000.ts not_ts_001.ts; echo "#EXT-X-ENDLIST"; } >"$t/not_ts.m3u8"
  printf '%s\n' "#EXTM3U" "#EXT-X-VERSION:3" \
    "#EXT-X-STREAM-INF:BANDWIDTH=2305600,RESOLUTION=1280x720" "not_ts.m3u8" \
    "#EXT-X-STREAM-INF:BANDWIDTH=435600,RESOLUTION=320x180" "v0/index.m3u8" >"$t/master_not_ts.m3u8"
  cp "$HLS/aes/seg_000.ts" "$t/enc_100.ts" && cp "$HLS/aes/seg_001.ts" "$t/enc_101.ts" || return 1
  head -c 15 "$HLS/aes/key_0.key" >"$t/short.key" || return 1
  for key in short missing; do
    {
      playlist_head "$AES_FIRST_SEQ" VOD
      echo "#EXT-X-KEY:METHOD=AES-128,URI=\"$key.key\""
      segments enc_100.ts enc_101.ts
      echo "#EXT-X-ENDLIST"
    } >"$t/${key}_key.m3u8"
  done
  { playlist_head 0 VOD; segments v0/seg_000.ts v0/seg_001.ts gone_002.ts v0/seg_003.ts;
    echo "#EXT-X-ENDLIST"; } >"$t/missing_segment.m3u8"
  { playlist_head 3; segments v0/seg_003.ts v0/seg_004.ts v0/seg_005.ts v0/seg_006.ts v0/seg_007.ts; } \
    >"$t/live_frozen.m3u8"
}
hls_folder bad build_bad

echo "make_fixtures: $DIR ready ($made made)"
