#!/usr/bin/env bash
# Writes MEDIA_DIR/catalogue.json, the player agent's catalogue for the generated test media
# (scripts/make_fixtures.sh). Usage: scripts/agent_catalogue.sh [MEDIA_DIR] (default build/media).
# Idempotent: the same media gives the same file; it is written under a temporary name and moved
# into place, so an agent watching it never reads half a catalogue.
#
# Contents:
#   demo        streamed (type 0): the 1080p 60 s clip when there is one, else demo.mp4, with
#               a full media information object and two subtitle entries
#   demo-real   "real" (type 2): the agent hands out its own /media/ URL
#   download    download (type 1)
#   playlist    three items: two clips with sound and picture, then a sound-only file
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${1:-$ROOT/build/media}"
[[ -d "$DIR" ]] || { echo "agent_catalogue: no directory $DIR" >&2; exit 1; }

# first_present NAME...: the first of the names that exists in DIR.
first_present() {
  local name
  for name in "$@"; do
    if [[ -s "$DIR/$name" ]]; then echo "$name"; return 0; fi
  done
  echo "agent_catalogue: none of $* in $DIR (run scripts/make_fixtures.sh)" >&2
  return 1
}

# seconds NAME DEFAULT: the file's duration in whole seconds (ffprobe), DEFAULT without ffprobe.
seconds() {
  local d=""
  if command -v ffprobe >/dev/null 2>&1; then
    d=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$DIR/$1" 2>/dev/null || true)
  fi
  if [[ "$d" =~ ^[0-9]+(\.[0-9]+)?$ ]]; then printf '%.0f\n' "$d"; else echo "$2"; fi
}

main_clip=$(first_present big_1080p.mp4 demo.mp4 h264_aac.mp4)
real_clip=$(first_present demo.mp4 h264_aac.mp4)
download_clip=$(first_present h264_aac.mp4 demo.mp4)
list_a=$(first_present h264_aac.mp4 demo.mp4)
list_b=$(first_present short_3s.mp4 demo.mp4)
list_c=$(first_present audio.flac audio.wav audio_mono.m4a)

main_seconds=$(seconds "$main_clip" 60)
if [[ "$main_clip" == big_1080p.mp4 ]]; then width=1920; height=1080; bitrate=4000000
else width=640; height=360; bitrate=800000; fi

tmp="$DIR/.partial.catalogue.json"
cat > "$tmp" <<JSON
{
  "contents": {
    "demo": {
      "type": 0,
      "items": [ {"file": "$main_clip", "media_key": "demo-1"} ],
      "info": {
        "title": "Quorvantix demo",
        "snapshot": "snapshot.jpg",
        "thumbnail": "thumbnail.jpg",
        "detail": "A test pattern with a steady tone",
        "play_at": 0,
        "duration": $main_seconds,
        "autostart": true,
        "mute": false,
        "nscreen_popup": false,
        "is_intro": false,
        "is_seekable": 1,
        "is_skipable": 1,
        "watermark": "QV-DEMO",
        "width": $width,
        "height": $height,
        "bitrate": $bitrate,
        "brightness": 50,
        "contrast": 50,
        "saturation": 50,
        "bookmark_kind": 0,
        "is_live": 0,
        "buffer": 3,
        "buffer_size": 4194304,
        "playsection_start": 0,
        "playsection_end": $main_seconds,
        "ui_progresstype": 0,
        "ui_jumpstep": 10,
        "ui_playratesave": 1,
        "ui_playratestep": 1,
        "disable_playrate": false,
        "seekable_end": $main_seconds,
        "bookmark_enable": true,
        "thumbnail_enable": true,
        "max_playrate": 20,
        "caption_style": "default",
        "is_audio_file": false,
        "repeat_play_section": {"start_time": 2, "end_time": 8},
        "next_episode": {"show_time": $(( main_seconds > 5 ? main_seconds - 5 : 0 )), "callback_url": "http://HOST/callback/next?media_key=demo-1"},
        "playbackRates": [ {"rates": [5, 10, 15, 20]}, 10 ],
        "video_watermark": {"msg": "QV", "alpha": 40, "font_size": 18, "font_color": "#FFFFFF", "show_time": 5, "hide_time": 10},
        "type": 0,
        "fwatermark": "",
        "subtitle": [
          {"name": "English", "url": "sub.srt?id=7", "language": "en", "default": true, "vtt": false},
          {"name": "French", "url": "http://HOST/sub.vtt", "language": "fr", "default": false, "vtt": true}
        ],
        "subtitle_sub": []
      },
      "bookmarks": [ {"position": 5, "label": "start", "value": "opening"} ]
    },
    "demo-real": {
      "type": 2,
      "items": [ {"file": "$real_clip", "media_key": "demo-real-1"} ],
      "info": {"title": "Quorvantix demo (agent URL)", "duration": $(seconds "$real_clip" 10), "is_seekable": 1}
    },
    "download": {
      "type": 1,
      "items": [ {"file": "$download_clip", "media_key": "download-1"} ],
      "info": {"title": "Quorvantix download", "duration": $(seconds "$download_clip" 8), "is_seekable": 1}
    },
    "playlist": {
      "type": 0,
      "items": [
        {"file": "$list_a", "media_key": "playlist-1"},
        {"file": "$list_b", "media_key": "playlist-2"},
        {"file": "$list_c", "media_key": "playlist-3"}
      ],
      "info": {"title": "Quorvantix playlist", "is_seekable": 1}
    }
  }
}
JSON
if command -v python3 >/dev/null 2>&1; then
  python3 -m json.tool "$tmp" >/dev/null || { rm -f "$tmp"; echo "agent_catalogue: invalid JSON" >&2; exit 1; }
fi
if [[ -e "$DIR/catalogue.json" ]] && cmp -s "$tmp" "$DIR/catalogue.json"; then
  rm -f "$tmp"   # unchanged: keep the file (and its time) as it is
else
  mv -f "$tmp" "$DIR/catalogue.json"
fi
echo "agent_catalogue: $DIR/catalogue.json"
