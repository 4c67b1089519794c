#!/usr/bin/env bash
# Demuxes the 60 s 1080p clip to its end with FFMpegExtractor and with
# "ffmpeg -i FILE -c copy -f null -", and prints the CPU time of both (median of 5 runs each).
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
FILE="${1:-$MEDIA/big_1080p.mp4}"
[[ -f "$FILE" ]] || bash "$ROOT/scripts/make_fixtures.sh" "$MEDIA"

"$BUILD/bench/bench_extractor" "$FILE" "$RUNS"

times=()
for ((i = 0; i < RUNS; i++)); do
  t=$( { /usr/bin/time -f "%U %S %e" ffmpeg -hide_banner -nostdin -loglevel error -i "$FILE" -c copy -f null - ; } 2>&1 | tail -1)
  times+=("$(awk '{printf "%.3f %.3f", $1 + $2, $3}' <<<"$t")")
done
printf '%s\n' "${times[@]}" | sort -n | awk -v n="$RUNS" '
  { cpu[NR] = $1; wall[NR] = $2 }
  END { m = int((n + 1) / 2); printf "ffmpeg -c copy -f null: median of %d runs: cpu %.3f s, wall %.3f s (min cpu %.3f s)\n", n, cpu[m], wall[m], cpu[1] }'
