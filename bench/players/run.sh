#!/usr/bin/env bash
# Many players: $PLAYERS players (default 16) in one process play different sources at once
# (local files of several codecs and containers, HTTP and HLS from the loopback nginx) for
# $PLAY_SECONDS (default 60) with null outputs, then are destroyed in random order. Prints how
# each ended and how long its destroy took, and the CPU (user + sys) and resident-memory growth of
# the playing time, in total and per player. Then, for comparison in the same run, mpv plays the
# same sources as that many separate processes at once (--vo=null --ao=null, looping) for the
# same time: their summed CPU and summed peak RSS, in total and per player.
#
#   bash bench/players/run.sh [PLAYERS [PLAY_SECONDS]]
# Environment: QV_BENCH_BUILD, QV_MEDIA_DIR, SEED (destroy order).
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
BIN="$BUILD/bench/bench_players"
PLAYERS="${1:-${PLAYERS:-16}}"
PLAY_SECONDS="${2:-${PLAY_SECONDS:-60}}"
[[ -x "$BIN" ]] || { echo "no $BIN: build the bench targets first (QV_BENCH_BUILD=$BUILD)" >&2; exit 1; }
[[ -f "$MEDIA/hls/vod/master.m3u8" ]] || bash "$ROOT/scripts/make_fixtures.sh" "$MEDIA"
start_services
LOG="${LOGDIR:-${TMPDIR:-/tmp}}/qv-bench-players.$$.log"
echo "engine log: $LOG"
# shellcheck disable=SC2086
"$BIN" "$PLAYERS" "$PLAY_SECONDS" ${SEED:-} 2>"$LOG"

# The peer: one mpv process per player on the same sources.
if ! command -v mpv >/dev/null; then echo "mpv not installed: no peer figures"; exit 0; fi
# In the order of kMixedSources (bench/endurance/HostPlayer.h), so player i plays the same source.
H="$QV_HTTP_BASE"
sources=(h264_aac.mp4 hevc_aac.mkv "$H/hls/vod/master.m3u8" "$H/demo.mp4" audio.wav mpeg4_mp3.avi
  "$H/hls/aes/index.m3u8" "$H/colors.mp4" h264_aac.flv stream_10s.ts "$H/hls/single/index.m3u8"
  "$H/short_audio.mp4" audio.flac languages.mkv "$H/hls/disc/index.m3u8" audio_51.m4a)
peer_dir="$(mktemp -d)"
peer_pids=()
for ((i = 0; i < PLAYERS; i++)); do
  src="${sources[i % ${#sources[@]}]}"
  [[ "$src" == http* ]] || src="$MEDIA/$src"
  # timeout stops mpv with SIGINT (a clean quit); time counts it as timeout's reaped child.
  /usr/bin/time -f "%U %S %M" -o "$peer_dir/$i.time" \
    timeout -s INT "$PLAY_SECONDS" mpv --no-config --really-quiet --vo=null --ao=null --loop-file=inf "$src" \
      >/dev/null 2>&1 &
  peer_pids+=($!)
done
# Only these: the services started above are children of this shell too.
wait "${peer_pids[@]}" || true
# time adds a "Command exited with non-zero status 124" line for the timeout: only the figures count.
awk -v n="$PLAYERS" -v secs="$PLAY_SECONDS" 'NF == 3 && $1 ~ /^[0-9.]+$/ {cpu += $1 + $2; rss += $3} END {
  printf "mpv: %d processes for %d s: cpu %.1f s (%.2f s per player), summed peak rss %.1f MB (%.1f MB per player)\n",
    n, secs, cpu, cpu / n, rss / 1024, rss / 1024 / n }' "$peer_dir"/*.time
rm -rf "$peer_dir"
