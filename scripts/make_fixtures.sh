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

echo "make_fixtures: $DIR ready ($made made)"
