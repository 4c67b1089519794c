#!/usr/bin/env bash
# Many players: $PLAYERS players (default 16) in one process play different sources at once
# (local files of several codecs and containers, HTTP and HLS from the loopback nginx) for
# $PLAY_SECONDS (default 60) with null outputs, then are destroyed in random order. Prints how
# each ended and how long its destroy took, and the CPU (user + sys) and resident-memory growth of
# the playing time, in total and per player.
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
if [[ -z "${QV_HTTP_BASE:-}" ]]; then
  export QV_MEDIA_DIR="$MEDIA"
  # shellcheck source=/dev/null
  source "$ROOT/scripts/services.sh"
  services_start
  trap services_stop EXIT
fi
export QV_MEDIA_DIR="$MEDIA"
LOG="${LOGDIR:-${TMPDIR:-/tmp}}/qv-bench-players.$$.log"
echo "engine log: $LOG"
# shellcheck disable=SC2086
"$BIN" "$PLAYERS" "$PLAY_SECONDS" ${SEED:-} 2>"$LOG"
