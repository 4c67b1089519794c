#!/usr/bin/env bash
# Parses two generated subtitle files with the engine's readers and with ffmpeg, each in its own
# process, alternating, $RUNS times, and prints the medians:
#   srt   10 000 SubRip cues (Korean UTF-8 text, two lines each)
#   sami  about 2 MB of SAMI with two classes (KRCC, ENCC)
# Engine figures come from bench_subtitles (start() time, every cue read, the whole process's
# wall time and peak RSS); ffmpeg's from `ffmpeg -i FILE -map 0 -c copy -f null -`: a subtitle-only
# input gives `-f null -` alone no output stream ("Output file #0 does not contain any stream"),
# so every subtitle packet the demuxer parses is copied to the null muxer instead. Wall time and
# max RSS of both processes are measured by /usr/bin/time -v.
# Environment: RUNS (default 5), QV_BENCH_BUILD, QV_MEDIA_DIR (see ../lib.sh).
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
BIN="$BUILD/bench/bench_subtitles"
if [[ ! -x "$BIN" ]]; then
  echo "no $BIN: build the bench targets first (QV_BENCH_BUILD=$BUILD)" >&2
  exit 1
fi
if [[ ! -x /usr/bin/time ]]; then
  echo "/usr/bin/time is needed (Debian package 'time')" >&2
  exit 1
fi

# The bench files, made once and kept beside the test media (not fixtures).
mkdir -p "$MEDIA"
SRT="$MEDIA/bench_subs_10k.srt"
SAMI="$MEDIA/bench_subs_2mb.smi"
if [[ ! -f "$SRT" || ! -f "$SAMI" ]]; then
  python3 - "$SRT" "$SAMI" <<'PY'
import sys
srt, sami = sys.argv[1], sys.argv[2]
def ts(ms):
    return "%02d:%02d:%02d,%03d" % (ms // 3600000, ms // 60000 % 60, ms // 1000 % 60, ms % 1000)
lines = ["안녕하세요, 이것은 %d번째 자막입니다.", "두 번째 줄에는 조금 더 긴 문장이 들어갑니다 (%d)."]
with open(srt + ".tmp", "w", encoding="utf-8") as f:
    for i in range(10000):
        start = i * 3000
        f.write("%d\n%s --> %s\n%s\n%s\n\n" % (i + 1, ts(start), ts(start + 2500), lines[0] % i, lines[1] % i))
parts = ["<SAMI>\n<HEAD>\n<TITLE>bench</TITLE>\n<STYLE TYPE=\"text/css\">\n<!--\n"
         ".KRCC { Name:Korean; lang:ko-KR; }\n.ENCC { Name:English; lang:en-US; }\n-->\n</STYLE>\n"
         "</HEAD>\n<BODY>\n"]
size, i = 0, 0
while size < 2 * 1024 * 1024:
    start = i * 3000
    block = ("<SYNC Start=%d><P Class=KRCC><font color=\"#ffffff\">%s</font><br>%s\n"
             "<SYNC Start=%d><P Class=ENCC>Subtitle number %d<br>a second, longer English line\n"
             "<SYNC Start=%d><P Class=KRCC>&nbsp;\n" % (start, lines[0] % i, lines[1] % i, start, i, start + 2500))
    parts.append(block)
    size += len(block.encode("utf-8"))
    i += 1
parts.append("</BODY>\n</SAMI>\n")
with open(sami + ".tmp", "w", encoding="utf-8") as f:
    f.write("".join(parts))
PY
  mv "$SRT.tmp" "$SRT"
  mv "$SAMI.tmp" "$SAMI"
fi

# timed OUT_FILE CMD...: runs CMD under /usr/bin/time -v; writes "wall_ms rss_kb" to OUT_FILE.fig.
timed() {
  local out="$1"
  shift
  if ! /usr/bin/time -v "$@" >"$out" 2>"$out.time"; then
    echo "failed: $*" >&2
    cat "$out.time" >&2
    return 1
  fi
  awk -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; wall = s * 1000 }
    /Maximum resident set size/ { rss = $2 }
    END { printf "%.1f %d\n", wall, rss }' "$out.time" >"$out.fig"
}

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
declare -A parse wall rss fwall frss cues
for kind in srt sami; do
  file="$SRT"
  [[ $kind == sami ]] && file="$SAMI"
  p=() w=() r=() fw=() fr=()
  for ((i = 0; i < RUNS; i++)); do
    timed "$TMP/engine" "$BIN" "$file"
    read -r ew er <"$TMP/engine.fig"
    line="$(cat "$TMP/engine")"
    p+=("$(get parse_ms "$line")") w+=("$ew") r+=("$er")
    cues[$kind]="$(get cues "$line")"
    timed "$TMP/ffmpeg" ffmpeg -nostdin -hide_banner -loglevel error -i "$file" -map 0 -c copy -f null -
    read -r gw gr <"$TMP/ffmpeg.fig"
    fw+=("$gw") fr+=("$gr")
  done
  echo "runs $kind: parse ms ${p[*]} | engine wall ms ${w[*]} | ffmpeg wall ms ${fw[*]}"
  parse[$kind]="$(median "${p[@]}")" wall[$kind]="$(median "${w[@]}")" rss[$kind]="$(median "${r[@]}")"
  fwall[$kind]="$(median "${fw[@]}")" frss[$kind]="$(median "${fr[@]}")"
done

echo "medians of $RUNS alternating runs"
printf '%-6s %10s %7s %10s %15s %15s %15s %15s\n' "file" "size KB" "cues" "start() ms" "engine wall ms" \
  "engine RSS KB" "ffmpeg wall ms" "ffmpeg RSS KB"
for kind in srt sami; do
  file="$SRT"
  [[ $kind == sami ]] && file="$SAMI"
  printf '%-6s %10d %7s %10s %15s %15s %15s %15s\n' "$kind" "$(($(stat -c %s "$file") / 1024))" "${cues[$kind]}" \
    "${parse[$kind]}" "${wall[$kind]}" "${rss[$kind]}" "${fwall[$kind]}" "${frss[$kind]}"
done
