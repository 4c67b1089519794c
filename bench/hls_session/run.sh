#!/usr/bin/env bash
# HLS start-up over loopback nginx: the engine's live session from connect to the first segment
# in its byte queue (bench_hls_session), against the ffmpeg command opening the same master
# playlist and copying one second (ffmpeg -i URL -c copy -f null -t 1 -), each in its own process,
# alternating, $RUNS times; medians in milliseconds.
# Environment: RUNS (default 5), QV_BENCH_BUILD, QV_MEDIA_DIR (see ../lib.sh).
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
BIN="$BUILD/bench/bench_hls_session"
[[ -x "$BIN" ]] || { echo "no $BIN: build the bench targets first" >&2; exit 1; }
[[ -f "$MEDIA/hls/vod/master.m3u8" ]] || { echo "no HLS fixtures: run scripts/make_fixtures.sh" >&2; exit 1; }
start_services
URL="$QV_HTTP_BASE/hls/vod/master.m3u8"
now_ms() { python3 -c 'import time; print(f"{time.monotonic()*1000:.3f}")'; }

engine=() peer=()
"$BIN" "$URL" >/dev/null  # warm the page cache
for ((i = 0; i < RUNS; i++)); do
  line=$("$BIN" "$URL")
  engine+=("$(get first_segment_ms "$line")")
  t0=$(now_ms)
  ffmpeg -hide_banner -nostdin -v error -i "$URL" -c copy -f null -t 1 - </dev/null
  t1=$(now_ms)
  peer+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.2f", b - a}')")
done
e=$(median "${engine[@]}")
p=$(median "${peer[@]}")
printf '%-44s %10s\n' "HLS start-up (master, 3 variants, loopback)" "ms"
printf '%-44s %10s\n' "engine: connect -> first segment queued" "$e"
printf '%-44s %10s\n' "ffmpeg -c copy -t 1 (whole run)" "$p"
awk -v e="$e" -v p="$p" 'BEGIN{printf "%-44s %10.2f\n", "engine / ffmpeg", e / p}'
