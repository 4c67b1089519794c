#!/usr/bin/env bash
# Endurance: $CYCLES players (default 1000) one after the other in one process, each created,
# prepared, played for 0.3 s, seeked and destroyed, over local files, HTTP and HLS from the
# loopback nginx in turn. Prints resident memory, threads and open descriptors every
# $REPORT cycles (default 100) and the growth per 100 cycles after $WARMUP cycles (default 100).
#
#   bash bench/endurance/run.sh [CYCLES]
# Environment: QV_BENCH_BUILD, QV_MEDIA_DIR, REPORT, WARMUP.
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
BIN="$BUILD/bench/bench_endurance"
CYCLES="${1:-${CYCLES:-1000}}"
[[ -x "$BIN" ]] || { echo "no $BIN: build the bench targets first (QV_BENCH_BUILD=$BUILD)" >&2; exit 1; }
[[ -f "$MEDIA/hls/vod/master.m3u8" ]] || bash "$ROOT/scripts/make_fixtures.sh" "$MEDIA"
start_services
# The engine's log lines go to a file; the table to the terminal.
LOG="${LOGDIR:-${TMPDIR:-/tmp}}/qv-bench-endurance.$$.log"
echo "engine log: $LOG"
"$BIN" "$CYCLES" "${REPORT:-100}" "${WARMUP:-100}" 2>"$LOG"
