#!/usr/bin/env bash
# HLS benchmark: the 60 s 1080p clip cut into 2 s transport stream segments (hls/bench1080),
# served by nginx on loopback, played headless in real time by Quorvantix through its own HLS
# stack (live handling on) and by mpv (--no-config --vo=null --ao=null) on the same playlist, in
# the same run. The figures and fairness rules are those of bench/playback/run.sh: time from
# prepareAsync to the first frame (and whole-process start-up), CPU seconds and peak memory for
# the whole 60 s, open + exact seek, and an exact seek while playing.
# Targets: start-up at most 0.7 of mpv's, CPU at most 0.8 of mpv's, memory no more than mpv's.
#
#   bash bench/hls_playback/run.sh
# Environment: QV_BENCH_BUILD, QV_MEDIA_DIR, RUNS, SEEK_RUNS.
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
[[ -f "$MEDIA/hls/bench1080/index.m3u8" ]] || bash "$ROOT/scripts/make_fixtures.sh" "$MEDIA"
start_services
URL="$QV_HTTP_BASE/hls/bench1080/index.m3u8"
echo "HLS playlist $URL"
PEER_URL="$URL" bash "$ROOT/bench/playback/run.sh" "$BUILD/bench/bench_playback" "$URL"
