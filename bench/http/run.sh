#!/usr/bin/env bash
# Reads a 200 MB file from the loopback nginx three ways, each in its own process, alternating,
# $RUNS times, and prints the medians:
#   engine-direct  HttpDataSource alone (256 KiB readAt calls, sequential)
#   engine-cached  CachedSource over HttpDataSource (the reader as fast as the cache answers)
#   curl           curl -s -o /dev/null URL
# Figures: MB/s (1 MB = 10^6 bytes), CPU seconds (user + sys of the whole process) per GB, the
# time from the start of the connect to the first body byte (engine: before connect() until the
# first 256 KiB readAt returned; curl: time_starttransfer, its first response byte), and for the
# engine the time until connect() returned, the response head read (what curl's figure measures).
# Targets: throughput >= 0.9 x curl, CPU/GB <= 1.5 x curl.
# One untimed pass per engine side first hashes what it read and compares it with the file, so
# the figures cannot come from reading the wrong bytes.
# Environment: RUNS (default 5), QV_BENCH_BUILD, QV_MEDIA_DIR (see ../lib.sh).
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
BIN="$BUILD/bench/bench_http"
NAME="bench_200m.bin"
FILE="$MEDIA/$NAME"

if [[ ! -x "$BIN" ]]; then
  echo "no $BIN: build the bench targets first (QV_BENCH_BUILD=$BUILD)" >&2
  exit 1
fi

# The bench file: random bytes, made once and kept beside the test media (not a fixture).
if [[ ! -f "$FILE" || "$(stat -c %s "$FILE")" != "$((200 * 1024 * 1024))" ]]; then
  mkdir -p "$MEDIA"
  head -c 200M /dev/urandom >"$FILE.tmp"
  mv "$FILE.tmp" "$FILE"
fi

# nginx on loopback, serving $MEDIA.
start_services
URL="$QV_HTTP_BASE/$NAME"
served=$(curl -s -I "$URL" | tr -d '\r' | sed -n 's/^[Cc]ontent-[Ll]ength: //p')
if [[ "$served" != "$(stat -c %s "$FILE")" ]]; then
  echo "$URL does not serve $FILE (length '${served}'): nginx serves another media folder?" >&2
  exit 1
fi

# Untimed passes: the checks, and the file into the page cache.
for mode in direct cached; do
  line=$("$BIN" "$URL" "$mode" --verify "$FILE")
  echo "check: $line"
done
curl -s -o /dev/null "$URL"

# One curl run: its -w figures and its CPU seconds (user + sys) from wait4, to the microsecond
# (/usr/bin/time rounds to 10 ms, a tenth of what curl spends on the file).
CURL_RUN='
import os, subprocess, sys
p = subprocess.Popen(["curl", "-s", "-o", "/dev/null", "-w",
                      "%{speed_download} %{time_starttransfer} %{time_connect} %{size_download}", sys.argv[1]],
                     stdout=subprocess.PIPE)
out = p.stdout.read().decode().strip()
_, status, ru = os.wait4(p.pid, 0)
if status != 0:
    sys.exit("curl failed")
print(out, ru.ru_utime + ru.ru_stime)
'

d_mbps=() d_cpu=() d_first=() d_head=() c_mbps=() c_cpu=() c_first=() c_head=() u_mbps=() u_cpu=() u_first=()
for ((i = 0; i < RUNS; i++)); do
  line=$("$BIN" "$URL" direct)
  d_mbps+=("$(get mbps "$line")") d_cpu+=("$(get cpu_per_gb "$line")") d_first+=("$(get first_ms "$line")")
  d_head+=("$(get connect_ms "$line")")
  line=$("$BIN" "$URL" cached)
  c_mbps+=("$(get mbps "$line")") c_cpu+=("$(get cpu_per_gb "$line")") c_first+=("$(get first_ms "$line")")
  c_head+=("$(get connect_ms "$line")")
  read -r speed start _ size cpu <<<"$(python3 -c "$CURL_RUN" "$URL")"
  u_mbps+=("$(awk -v s="$speed" 'BEGIN{printf "%.1f", s / 1e6}')")
  u_cpu+=("$(awk -v c="$cpu" -v b="$size" 'BEGIN{printf "%.3f", c / (b / 1e9)}')")
  u_first+=("$(awk -v t="$start" 'BEGIN{printf "%.2f", t * 1e3}')")
done

echo "runs (MB/s): direct ${d_mbps[*]} | cached ${c_mbps[*]} | curl ${u_mbps[*]}"
echo "runs (CPU s/GB): direct ${d_cpu[*]} | cached ${c_cpu[*]} | curl ${u_cpu[*]}"
UM=$(median "${u_mbps[@]}") UC=$(median "${u_cpu[@]}") UF=$(median "${u_first[@]}")
echo "medians of $RUNS alternating runs, $URL"
printf '%-14s %9s %10s %14s %13s %13s %12s\n' "" "MB/s" "CPU s/GB" "first byte ms" "head read ms" "MB/s vs curl" \
  "CPU vs curl"
row() {  # row NAME MBPS CPU FIRST HEAD
  awk -v n="$1" -v m="$2" -v c="$3" -v f="$4" -v h="$5" -v um="$UM" -v uc="$UC" \
    'BEGIN{printf "%-14s %9.1f %10.3f %14.2f %13s %13.2f %12.2f\n", n, m, c, f, h, m / um, c / uc}'
}
row engine-direct "$(median "${d_mbps[@]}")" "$(median "${d_cpu[@]}")" "$(median "${d_first[@]}")" "$(median "${d_head[@]}")"
row engine-cached "$(median "${c_mbps[@]}")" "$(median "${c_cpu[@]}")" "$(median "${c_first[@]}")" "$(median "${c_head[@]}")"
row curl "$UM" "$UC" "$UF" "-"
echo "targets: MB/s vs curl >= 0.90, CPU vs curl <= 1.50"
