#!/usr/bin/env bash
# Video sink throughput: 600 frames of 1920x1080 YUV 4:2:0 through the OpenGL sink and the X11
# software sink, and the same frames through mpv --vo=gpu and mpv --vo=x11, all on the same Xvfb
# (Mesa llvmpipe for OpenGL).
#
# mpv's x11 output cannot use shared memory with this server ("Not using SHM" in its log) and
# falls back to XPutImage, so the X11 sink is also measured with shared memory off (x11-noshm).
#
# Fairness: every player gets the identical raw clip (no decoding: mpv reads it with its rawvideo
# demuxer, the bench program maps it and touches it first), a 1920x1080 window on the same
# server (no scaling), no audio, and runs as fast as it can (mpv --untimed). mpv's figures also
# hold its start-up and demuxing; `mpv --vo=null` on the same clip is printed as that baseline.
# CPU is user + system time of the player process (all threads, llvmpipe's included) and,
# separately, of the X server, since XPutImage/XShmPutImage and GLX swaps cost the server time.
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
FRAMES="${QV_SINK_BENCH_FRAMES:-600}"
W=1920
H=1080

if [[ -z "${DISPLAY:-}" ]] || ! xdpyinfo >/dev/null 2>&1; then
  # shellcheck source=/dev/null
  source "$ROOT/scripts/services.sh"
  services_start
  trap services_stop EXIT
fi
XPID=""
if [[ -f "${QV_SERVICES_DIR:-/tmp/qv-services-${UID:-0}}/xvfb/pid" ]]; then
  XPID="$(cat "${QV_SERVICES_DIR:-/tmp/qv-services-${UID:-0}}/xvfb/pid")"
fi

CLIP="$BUILD/sinks_clip_${W}x${H}_${FRAMES}.yuv"
if [[ ! -s "$CLIP" ]]; then
  echo "generating $CLIP"
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=${W}x${H}:rate=30" -frames:v "$FRAMES" -pix_fmt yuv420p \
    -f rawvideo "$CLIP"
fi
# Warm the page cache for every player alike.
cat "$CLIP" >/dev/null

xcpu() {
  [[ -n "$XPID" && -r "/proc/$XPID/stat" ]] || { echo -1; return; }
  awk '{print $14 + $15}' "/proc/$XPID/stat"
}
TICK=$(getconf CLK_TCK)

BENCH_BIN="$BUILD/bench_sinks"
[[ -x "$BENCH_BIN" ]] || BENCH_BIN="$BUILD/bench/bench_sinks"

results=()
for sink in gl x11 x11-noshm; do
  line=$("$BENCH_BIN" --sink "$sink" --file "$CLIP" --width $W --height $H --frames "$FRAMES" \
    --xserver-pid "${XPID:-0}")
  echo "$line"
  results+=("$line")
done

run_mpv() {
  local vo="$1"
  local x0 x1 out
  x0=$(xcpu)
  out=$( { /usr/bin/time -f "TIME %e %U %S" mpv --no-config --no-audio --untimed --hwdec=no --osc=no --osd-level=0 \
      --no-input-default-bindings --input-vo-keyboard=no --geometry=${W}x${H}+0+0 --no-border --keep-open=no \
      --demuxer=rawvideo --demuxer-rawvideo-w=$W --demuxer-rawvideo-h=$H --demuxer-rawvideo-mp-format=yuv420p \
      --demuxer-rawvideo-fps=30 --frames="$FRAMES" --vo="$vo" "${@:2}" --really-quiet "$CLIP" >/dev/null; } 2>&1 )
  x1=$(xcpu)
  local t
  t=$(echo "$out" | grep '^TIME' | tail -1)
  if [[ -z "$t" ]]; then echo "mpv-$vo failed: $out" >&2; return; fi
  read -r _ e u s <<<"$t"
  local xms=-1
  if [[ "$x0" != -1 && "$x1" != -1 ]]; then xms=$(awk -v a="$x0" -v b="$x1" -v n="$FRAMES" -v t="$TICK" 'BEGIN{printf "%.2f", (b-a)/t*1000/n}'); fi
  local line
  line=$(awk -v e="$e" -v u="$u" -v s="$s" -v n="$FRAMES" -v vo="$vo" -v x="$xms" \
    'BEGIN{printf "mpv-vo=%s frames=%d seconds=%.3f fps=%.1f cpu_ms_per_frame=%.2f xserver_ms_per_frame=%s\n", vo, n, e, n/e, (u+s)*1000/n, x}')
  echo "$line"
  results+=("$line")
}
if command -v mpv >/dev/null 2>&1; then
  # mpv refuses a software OpenGL renderer unless told otherwise; x11egl is its X11 OpenGL context.
  run_mpv gpu --gpu-api=opengl --gpu-context=x11egl --gpu-sw=yes
  run_mpv x11
  run_mpv null
else
  echo "mpv not installed: no peer figures"
fi

echo
printf "%-20s %8s %10s %14s %16s\n" "player" "fps" "seconds" "cpu ms/frame" "Xvfb ms/frame"
for line in "${results[@]}"; do
  name=${line%% *}
  get() { echo "$line" | tr ' ' '\n' | grep "^$1=" | cut -d= -f2; }
  printf "%-20s %8s %10s %14s %16s\n" "$name" "$(get fps)" "$(get seconds)" "$(get cpu_ms_per_frame)" \
    "$(get xserver_ms_per_frame)"
done
