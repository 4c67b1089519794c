#!/usr/bin/env bash
# PlaylistParser on generated 10 000-segment media playlists, and ffprobe on the same playlist as
# the peer. Prints the medians of $RUNS runs:
#   plain   "#EXTINF" + relative address per segment (10 000 items)
#   keyed   plus "#EXT-X-KEY" (method, quoted address with a comma, IV) and "#EXT-X-BYTERANGE"
#           (every other one chaining from the previous range) per segment
# Engine figures come from bench_hls_parser (see its header): the median in-process parse time of
# 20 parses per run, the growth of peak RSS across the first parse, and the wall/CPU time of a whole
# process that reads and parses the file once.
# The peer: `ffprobe -v error -show_entries format=nb_streams PLAYLIST` over the plain playlist,
# whose segments all name one real 1 s transport stream file beside it. ffprobe's time includes
# start-up and probing the first segment, so the same command on a one-segment playlist is run too;
# the difference is what the 9 999 extra entries cost ffprobe. ffprobe cannot read the keyed
# playlist without real keys and encrypted ranges, so that row has no peer.
# Environment: RUNS (default 5), QV_BENCH_BUILD (see ../lib.sh), ITEMS (default 10000).
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
BIN="$BUILD/bench/bench_hls_parser"
ITEMS="${ITEMS:-10000}"

if [[ ! -x "$BIN" ]]; then
  echo "no $BIN: build the bench targets first (QV_BENCH_BUILD=$BUILD)" >&2
  exit 1
fi

WORK="$(mktemp -d /tmp/qv-bench-hls-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
"$BIN" gen plain "$ITEMS" "$WORK/plain.m3u8"
"$BIN" gen keyed "$ITEMS" "$WORK/keyed.m3u8"
"$BIN" gen plain 1 "$WORK/one.m3u8"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mpeg2video -f mpegts "$WORK/seg.ts"

# Wall and CPU (user + sys, from wait4) seconds of one command, in milliseconds.
PROC_RUN='
import os, subprocess, sys, time
t0 = time.monotonic()
p = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, status, ru = os.wait4(p.pid, 0)
wall = time.monotonic() - t0
if status != 0:
    sys.exit("%s failed" % sys.argv[1])
print("%.2f %.2f %d" % (wall * 1e3, (ru.ru_utime + ru.ru_stime) * 1e3, ru.ru_maxrss))
'
proc() { python3 -c "$PROC_RUN" "$@"; }

# Untimed: both sides read the playlists once (and agree on the item count).
line=$("$BIN" parse "$WORK/plain.m3u8" 1)
echo "check: plain $line"
[[ "$(get items "$line")" == "$ITEMS" ]] || { echo "plain playlist: wrong item count" >&2; exit 1; }
line=$("$BIN" parse "$WORK/keyed.m3u8" 1)
echo "check: keyed $line"
[[ "$(get items "$line")" == "$ITEMS" ]] || { echo "keyed playlist: wrong item count" >&2; exit 1; }
streams=$(ffprobe -v error -show_entries format=nb_streams -of default=nw=1:nk=1 "$WORK/plain.m3u8")
[[ "$streams" == "1" ]] || { echo "ffprobe cannot read the plain playlist ($streams)" >&2; exit 1; }

p_ms=() p_kb=() k_ms=() k_kb=() pw=() pc=() pr=() kw=() kc=() kr=() fw=() fc=() fr=() ow=() oc=()
for ((i = 0; i < RUNS; i++)); do
  line=$("$BIN" parse "$WORK/plain.m3u8")
  p_ms+=("$(get parse_ms "$line")") p_kb+=("$(get peak_kb "$line")")
  line=$("$BIN" parse "$WORK/keyed.m3u8")
  k_ms+=("$(get parse_ms "$line")") k_kb+=("$(get peak_kb "$line")")
  read -r w c r <<<"$(proc "$BIN" parse "$WORK/plain.m3u8" 1)"; pw+=("$w") pc+=("$c") pr+=("$r")
  read -r w c r <<<"$(proc "$BIN" parse "$WORK/keyed.m3u8" 1)"; kw+=("$w") kc+=("$c") kr+=("$r")
  read -r w c r <<<"$(proc ffprobe -v error -show_entries format=nb_streams "$WORK/plain.m3u8")"
  fw+=("$w") fc+=("$c") fr+=("$r")
  read -r w c _ <<<"$(proc ffprobe -v error -show_entries format=nb_streams "$WORK/one.m3u8")"
  ow+=("$w") oc+=("$c")
done

echo "runs (parse ms): plain ${p_ms[*]} | keyed ${k_ms[*]}"
echo "runs (process wall ms): plain ${pw[*]} | keyed ${kw[*]} | ffprobe ${fw[*]} | ffprobe 1-item ${ow[*]}"
echo "medians of $RUNS runs, $ITEMS-segment media playlists ($(stat -c %s "$WORK/plain.m3u8") and $(stat -c %s "$WORK/keyed.m3u8") bytes)"
printf '%-22s %10s %12s %13s %12s %13s\n' "" "parse ms" "parse KB" "process ms" "process CPU" "process RSS KB"
printf '%-22s %10s %12s %13s %12s %13s\n' "engine plain" "$(median "${p_ms[@]}")" "$(median "${p_kb[@]}")" \
  "$(median "${pw[@]}")" "$(median "${pc[@]}")" "$(median "${pr[@]}")"
printf '%-22s %10s %12s %13s %12s %13s\n' "engine keyed" "$(median "${k_ms[@]}")" "$(median "${k_kb[@]}")" \
  "$(median "${kw[@]}")" "$(median "${kc[@]}")" "$(median "${kr[@]}")"
printf '%-22s %10s %12s %13s %12s %13s\n' "ffprobe plain" "-" "-" "$(median "${fw[@]}")" "$(median "${fc[@]}")" \
  "$(median "${fr[@]}")"
printf '%-22s %10s %12s %13s %12s %13s\n' "ffprobe 1-item" "-" "-" "$(median "${ow[@]}")" "$(median "${oc[@]}")" "-"
awk -v a="$(median "${fc[@]}")" -v b="$(median "${oc[@]}")" -v e="$(median "${p_ms[@]}")" \
  'BEGIN{printf "ffprobe CPU ms for the extra entries (plain - 1-item): %.2f; engine parse ms: %.2f\n", a - b, e}'
