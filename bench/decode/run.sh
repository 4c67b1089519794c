#!/usr/bin/env bash
# Extractor + decoders over the 60 s 1080p clip against ffmpeg's own decode
# ("ffmpeg -threads 2 -i FILE -f null -"). Each side runs in its own process, alternating,
# $RUNS times; the medians are compared (single runs vary by tens of percent on shared machines).
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
BIN="$BUILD/bench/bench_decode"
FILE="$MEDIA/big_1080p.mp4"


f_cpu=() f_wall=() f_mem=() e_cpu=() e_wall=() e_mem=()
"$BIN" "$FILE" ours 2>/dev/null | grep -v '^engine' || true   # one untimed pass: the picture and byte counts, warm caches
for ((i = 0; i < RUNS; i++)); do
  line=$("$BIN" "$FILE" ffmpeg)
  f_cpu+=("$(get cpu "$line")") f_wall+=("$(get wall "$line")") f_mem+=("$(get peak_kb "$line")")
  line=$("$BIN" "$FILE" ours 2>/dev/null | grep '^engine')
  e_cpu+=("$(get cpu "$line")") e_wall+=("$(get wall "$line")") e_mem+=("$(get peak_kb "$line")")
done
FC=$(median "${f_cpu[@]}") FW=$(median "${f_wall[@]}") FM=$(median "${f_mem[@]}")
EC=$(median "${e_cpu[@]}") EW=$(median "${e_wall[@]}") EM=$(median "${e_mem[@]}")
echo "medians of $RUNS alternating runs (cpu s: ffmpeg ${f_cpu[*]} | engine ${e_cpu[*]})"
printf '%-8s %10s %10s %12s\n' "" "cpu s" "wall s" "peak RSS MB"
awk -v c="$FC" -v w="$FW" -v m="$FM" 'BEGIN{printf "%-8s %10.2f %10.2f %12.1f\n", "ffmpeg", c, w, m / 1024}'
awk -v c="$EC" -v w="$EW" -v m="$EM" 'BEGIN{printf "%-8s %10.2f %10.2f %12.1f\n", "engine", c, w, m / 1024}'
awk -v e="$EC" -v f="$FC" 'BEGIN{printf "cpu overhead %+.1f %%  (goal <= 15 %%)\n", (e / f - 1) * 100}'
awk -v e="$EM" -v f="$FM" 'BEGIN{printf "memory overhead %+.1f %%\n", (e / f - 1) * 100}'
