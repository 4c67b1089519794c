#!/usr/bin/env bash
# Streaming benchmark: the 60 s 1080p clip played headless in real time from nginx on loopback
# through a player-agent session (the engine's HTTP source and page cache), and mpv
# (--no-config --vo=null --ao=null) on the same nginx URL, in the same run.
#
# The reference agent (quorvantix-agent) resolves the content "bench" to that clip; its play
# address answers with a redirect to nginx, so the engine reads the bytes from nginx as mpv does.
# The figures and their fairness rules are those of bench/playback/run.sh (time from prepareAsync
# to the first frame, CPU seconds, peak memory, open + exact seek, exact seek while playing); the
# seek target (50 s) lies beyond what the cache holds 3 s into playback, so the seek refills it.
# Targets: start-up and seek no slower than mpv's, CPU at most 0.8 of mpv's.
#
#   bash bench/stream/run.sh
# Environment: QV_BENCH_BUILD (the build with bench_playback and quorvantix-agent), QV_MEDIA_DIR,
# RUNS, SEEK_RUNS.
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
AGENT_BIN="$BUILD/apps/quorvantix-agent/quorvantix-agent"
CLIP="big_1080p.mp4"
[[ -x "$AGENT_BIN" ]] || { echo "no $AGENT_BIN: build the agent first (QV_BENCH_BUILD=$BUILD)" >&2; exit 1; }
[[ -f "$MEDIA/$CLIP" ]] || bash "$ROOT/scripts/make_fixtures.sh" "$MEDIA"

start_services

WORK="$(mktemp -d "${TMPDIR:-/tmp}/qv-bench-stream.XXXXXX")"
cat >"$WORK/catalogue.json" <<JSON
{"contents": {"bench": {"type": 0, "items": [{"file": "$CLIP", "media_key": "bench"}],
  "play_redirect": "$QV_HTTP_BASE/", "info": {"title": "bench", "duration": 60}}}}
JSON
"$AGENT_BIN" --media "$MEDIA" --catalogue "$WORK/catalogue.json" --db "$WORK/agent.db" --port 0 \
  >"$WORK/agent.out" 2>"$WORK/agent.log" &
AGENT_PID=$!
cleanup() { kill "$AGENT_PID" 2>/dev/null || true; wait "$AGENT_PID" 2>/dev/null || true; }
trap 'cleanup; [[ -n "${QV_SERVICES_STARTED:-}" ]] && services_stop' EXIT
ADDRESS=""
for _ in $(seq 1 100); do
  ADDRESS=$(sed -n 's/^quorvantix-agent listening on //p' "$WORK/agent.out")
  [[ -n "$ADDRESS" ]] && break
  sleep 0.1
done
[[ -n "$ADDRESS" ]] || { echo "the agent did not start: $(cat "$WORK/agent.log")" >&2; exit 1; }
echo "agent on $ADDRESS, nginx $QV_HTTP_BASE, work dir $WORK"

QV_BENCH_AGENT="$ADDRESS" PEER_URL="$QV_HTTP_BASE/$CLIP" SEEK_MS="${SEEK_MS:-50000}" LOGDIR="$WORK/logs" \
  bash "$ROOT/bench/playback/run.sh" "$BUILD/bench/bench_playback" bench
