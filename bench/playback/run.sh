#!/usr/bin/env bash
# Playback benchmark: the 60 s 1080p clip played headless in real time by Quorvantix
# (bench_playback: null audio sink, no video sink, frames timed and dropped at the render step)
# and by mpv (--vo=null --ao=null), plus start-up and exact-seek latencies of both.
#
#   bash bench/playback/run.sh [BENCH_PLAYBACK_BINARY [MEDIA_FILE]]
#
# Fairness:
# - Same file, both players real time (mpv --untimed=no is its default), no picture output,
#   audio through a null sink paced by the clock; the page cache is warmed first.
# - CPU (user + system) and peak memory (max RSS) of each player come from /usr/bin/time around
#   a whole process: library/binary loading, opening, playing and teardown alike.
# - Start-up and open+seek: the wall time of a whole process that opens the file, shows the first
#   frame (at the seek target) and quits (mpv --frames=1 [--start=]; bench_playback startup/openseek),
#   median of $RUNS. The in-process time is shown beside it: prepareAsync -> first frame for
#   Quorvantix, mpv's own log clock (-v --msg-time) from opening the file to "first video frame
#   after restart shown".
# - In-play exact seek: both players play from the start, seek exactly to $SEEK_MS at $SEEK_AT_MS and
#   the time to the first frame at the target is taken (mpv through a Lua script: seek command ->
#   playback-restart), median of $SEEK_RUNS.
# - The seek target lies between key frames (the clip has one every 2 s) so both decode forward.
# - Engine log lines and mpv's terminal output go to files under $LOGDIR.
# Streaming (bench/stream/run.sh): with QV_BENCH_AGENT=HOST:PORT the engine gets FILE as a content
# path of the player agent there, and mpv (and ffprobe) read PEER_URL instead of FILE.
set -euo pipefail
# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
BIN="${1:-$BUILD/bench/bench_playback}"
FILE="${2:-$MEDIA/big_1080p.mp4}"
SEEK_RUNS="${SEEK_RUNS:-3}"
SEEK_AT_MS="${SEEK_AT_MS:-3000}"
SEEK_MS="${SEEK_MS:-31500}"
LOGDIR="${LOGDIR:-$(mktemp -d "${TMPDIR:-/tmp}/qv-bench-playback.XXXXXX")}"
mkdir -p "$LOGDIR"

[[ -x "$BIN" ]] || { echo "bench_playback not found at $BIN (build it or pass its path)" >&2; exit 1; }
PEER="${PEER_URL:-$FILE}"
[[ -n "${PEER_URL:-}" || -f "$FILE" ]] || bash "$ROOT/scripts/make_fixtures.sh" "$MEDIA"
HAVE_MPV=1
command -v mpv >/dev/null 2>&1 || { HAVE_MPV=0; echo "mpv not installed: no peer figures" >&2; }

# (A playlist lists its stream once per program: the first count is the one.)
FRAMES=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$PEER" |
  grep -m1 -E '^[0-9]+$')
SEEK_S=$(awk -v m="$SEEK_MS" 'BEGIN{printf "%.3f", m / 1000}')
SEEK_AT_S=$(awk -v m="$SEEK_AT_MS" 'BEGIN{printf "%.3f", m / 1000}')
if [[ -f "$FILE" ]]; then cat "$FILE" >/dev/null; fi
echo "file $FILE${QV_BENCH_AGENT:+ (agent $QV_BENCH_AGENT; mpv reads $PEER)}: $FRAMES video frames; logs in $LOGDIR"

# Runs a command under /usr/bin/time; sets T_WALL T_CPU T_RSS_KB; stdout to $1, stderr to $2.
timed() {
  local out="$1" err="$2"
  shift 2
  local tf="$LOGDIR/time.$$"
  local rc=0
  /usr/bin/time -o "$tf" -f "%e %U %S %M" "$@" >"$out" 2>"$err" || rc=$?
  read -r T_WALL u s T_RSS_KB < <(tail -1 "$tf")
  T_CPU=$(awk -v u="$u" -v s="$s" 'BEGIN{printf "%.2f", u + s}')
  return $rc
}
# Seconds between two "[  t ]" mpv --msg-time log lines: mpv_span LOG START_PATTERN END_PATTERN (ms).
mpv_span() {
  awk -v a="$2" -v b="$3" '
    index($0, a) && !s { gsub(/[][]/, " "); split($0, f, " "); s = f[1]; next }
    index($0, b) && s && !e { gsub(/[][]/, " "); split($0, f, " "); e = f[1] }
    END { if (s && e) printf "%.1f", (e - s) * 1000 }' "$1"
}

# ---- real-time play, 60 s each -------------------------------------------------------------
echo "quorvantix: real-time play"
timed "$LOGDIR/q_play.out" "$LOGDIR/q_play.log" "$BIN" play "$FILE" || echo "  bench_playback play failed: $(cat "$LOGDIR/q_play.out")" >&2
Q_PLAY=$(grep '^quorvantix' "$LOGDIR/q_play.out" || true)
Q_CPU=$T_CPU Q_RSS=$T_RSS_KB
Q_RENDERED=$(get rendered "$Q_PLAY")
Q_DROPPED=$(( FRAMES - ${Q_RENDERED:-0} ))
Q_DROP_LINES=$(grep -c "dropping one after" "$LOGDIR/q_play.log" || true)
echo "  $Q_PLAY"

M_CPU="" M_RSS="" M_DROPPED=""
if (( HAVE_MPV )); then
  echo "mpv: real-time play"
  # The status line shows only the drop counters, so it is rewritten only when a frame drops.
  timed "$LOGDIR/m_play.out" "$LOGDIR/m_play.err" mpv --no-config --vo=null --ao=null --untimed=no \
    --term-status-msg='QVSTAT drop=${frame-drop-count} decdrop=${decoder-frame-drop-count}' "$PEER" || true
  M_CPU=$T_CPU M_RSS=$T_RSS_KB
  last=$(tr '\r' '\n' <"$LOGDIR/m_play.out" | grep -a QVSTAT | tail -1 || true)
  d=$(get drop "$last") dd=$(get decdrop "$last")
  M_DROPPED=$(( ${d:-0} + ${dd:-0} ))
  echo "  mpv cpu_s=$M_CPU maxrss_kb=$M_RSS dropped=$M_DROPPED wall_s=$T_WALL"
fi

# ---- start-up, open + exact seek, in-play exact seek -------------------------------------------
q_start_wall=() q_start_in=() m_start_wall=() m_start_in=()
q_oseek_wall=() q_oseek_in=() m_oseek_wall=() m_oseek_in=()
q_seek=() m_seek=()
q_seek_wrong=0
echo "start-up and open + seek to ${SEEK_S}s: $RUNS runs each, alternating players"
for ((i = 0; i < RUNS; i++)); do
  if timed "$LOGDIR/q_start.$i.out" "$LOGDIR/q_start.$i.log" "$BIN" startup "$FILE"; then
    q_start_wall+=("$T_WALL"); q_start_in+=("$(get startup_ms "$(cat "$LOGDIR/q_start.$i.out")")")
  fi
  if timed "$LOGDIR/q_oseek.$i.out" "$LOGDIR/q_oseek.$i.log" "$BIN" openseek "$FILE" "$SEEK_MS"; then
    line=$(cat "$LOGDIR/q_oseek.$i.out")
    q_oseek_wall+=("$T_WALL"); q_oseek_in+=("$(get openseek_ms "$line")")
    [[ "$(get frames_before_target "$line")" == 0 ]] || q_seek_wrong=$((q_seek_wrong + 1))
  fi
  if (( HAVE_MPV )); then
    if timed "$LOGDIR/m_start.$i.out" "$LOGDIR/m_start.$i.log" mpv --no-config --vo=null --ao=null --frames=1 \
      -v --msg-time "$PEER"; then
      m_start_wall+=("$T_WALL"); m_start_in+=("$(mpv_span "$LOGDIR/m_start.$i.out" "] Opening " "first video frame")")
    fi
    if timed "$LOGDIR/m_oseek.$i.out" "$LOGDIR/m_oseek.$i.log" mpv --no-config --vo=null --ao=null --frames=1 \
      --start="$SEEK_S" -v --msg-time "$PEER"; then
      m_oseek_wall+=("$T_WALL"); m_oseek_in+=("$(mpv_span "$LOGDIR/m_oseek.$i.out" "] Opening " "first video frame")")
    fi
  fi
done

cat >"$LOGDIR/seek.lua" <<'EOF'
-- Plays until qvbench-at seconds, seeks exactly to qvbench-target and prints the time from the
-- seek command to the restart of playback (the first frame at the target shown), then quits.
local at = tonumber(mp.get_opt("qvbench-at") or "3")
local target = mp.get_opt("qvbench-target") or "31.5"
local state, t0, poll = 0, 0, nil
mp.register_event("playback-restart", function()
  if state == 0 then
    state = 1
    poll = mp.add_periodic_timer(0.005, function()
      if state == 1 and (mp.get_property_number("time-pos", 0) or 0) >= at then
        state = 2
        poll:kill()
        t0 = mp.get_time()
        mp.commandv("seek", target, "absolute+exact")
      end
    end)
  elseif state == 2 then
    state = 3
    io.stdout:write(string.format("mpvseek seek_ms=%.1f pos_ms=%.1f\n", (mp.get_time() - t0) * 1000,
                                  (mp.get_property_number("time-pos", -1) or -1) * 1000))
    io.stdout:flush()
    mp.add_timeout(1.0, function() mp.command("quit") end)
  end
end)
EOF
echo "in-play exact seek ${SEEK_AT_S}s -> ${SEEK_S}s: $SEEK_RUNS runs each"
for ((i = 0; i < SEEK_RUNS; i++)); do
  if timed "$LOGDIR/q_seek.$i.out" "$LOGDIR/q_seek.$i.log" "$BIN" seek "$FILE" "$SEEK_AT_MS" "$SEEK_MS"; then
    line=$(cat "$LOGDIR/q_seek.$i.out")
    q_seek+=("$(get seek_ms "$line")")
    [[ "$(get frames_before_target "$line")" == 0 ]] || q_seek_wrong=$((q_seek_wrong + 1))
    echo "  $line"
  fi
  if (( HAVE_MPV )); then
    timed "$LOGDIR/m_seek.$i.out" "$LOGDIR/m_seek.$i.log" mpv --no-config --vo=null --ao=null \
      --script="$LOGDIR/seek.lua" --script-opts="qvbench-at=$SEEK_AT_S,qvbench-target=$SEEK_S" "$PEER" || true
    line=$(tr '\r' '\n' <"$LOGDIR/m_seek.$i.out" | grep -a '^mpvseek' | tail -1 || true)
    [[ -n "$line" ]] && m_seek+=("$(get seek_ms "$line")")
    echo "  ${line:-mpv seek run $i gave no figure}"
  fi
done

# ---- table ------------------------------------------------------------------------------------
QSW=$(median "${q_start_wall[@]}") QSI=$(median "${q_start_in[@]}")
MSW=$(median "${m_start_wall[@]}") MSI=$(median "${m_start_in[@]}")
QOW=$(median "${q_oseek_wall[@]}") QOI=$(median "${q_oseek_in[@]}")
MOW=$(median "${m_oseek_wall[@]}") MOI=$(median "${m_oseek_in[@]}")
QSK=$(median "${q_seek[@]}") MSK=$(median "${m_seek[@]}")

# verdict OP A B [FACTOR]: "yes"/"no" for A OP B*FACTOR, "-" when a figure is missing.
verdict() {
  [[ -n "$2" && -n "$3" ]] || { echo "-"; return; }
  awk -v a="$2" -v b="$3" -v f="${4:-1}" -v op="$1" 'BEGIN{
    r = (b > 0) ? sprintf(" (%.2fx)", a / b) : ""
    ok = (op == "<=") ? (a <= b * f) : 0
    printf "%s%s", ok ? "yes" : "NO", r }'
}
mb() { [[ -n "$1" ]] && awk -v k="$1" 'BEGIN{printf "%.1f", k / 1024}'; }
row() { printf "%-52s | %-16s | %-16s | %s\n" "$1" "$2" "$3" "$4"; }

echo
row "metric" "quorvantix" "mpv" "target met?"
row "----------------------------------------------------" "----------------" "----------------" "-----------"
row "CPU s, 60 s real-time play (user+sys)" "$Q_CPU" "${M_CPU:--}" "$(verdict '<=' "$Q_CPU" "$M_CPU" 0.8) [<= 0.8x mpv]"
row "peak memory MB (max RSS)" "$(mb "$Q_RSS")" "$(mb "$M_RSS")" "$(verdict '<=' "$Q_RSS" "$M_RSS") [<= mpv]"
row "frames dropped (of $FRAMES)" "$Q_DROPPED ($Q_DROP_LINES late drops)" "${M_DROPPED:--}" "-"
row "A/V gap |video - audio clock| median / p99 ms" "$(get gap_median_ms "$Q_PLAY") / $(get gap_p99_ms "$Q_PLAY")" "-" "-"
row "prepareAsync -> first frame ms (in 60 s run)" "$(get first_frame_ms "$Q_PLAY")" "-" "-"
row "start-up: process start -> 1st frame -> exit, s" "$QSW" "${MSW:--}" "$(verdict '<=' "$QSW" "$MSW") [<= mpv]"
row "start-up in-process: open -> first frame ms" "$QSI" "${MSI:--}" "$(verdict '<=' "$QSI" "$MSI") [<= mpv]"
row "open + exact seek ${SEEK_S}s -> frame, process s" "$QOW" "${MOW:--}" "$(verdict '<=' "$QOW" "$MOW") [<= mpv]"
row "open + exact seek in-process: open -> frame ms" "$QOI" "${MOI:--}" "$(verdict '<=' "$QOI" "$MOI") [<= mpv]"
row "exact seek in play -> first frame at target ms" "$QSK" "${MSK:--}" "$(verdict '<=' "$QSK" "$MSK") [<= mpv]"
echo
echo "medians: start-up and open+seek of $RUNS runs, in-play seek of $SEEK_RUNS runs;" \
  "frames shown before the seek target: $q_seek_wrong runs"
echo "mpv in-process times come from its -v --msg-time log ('Opening' -> 'first video frame after restart shown');"
echo "quorvantix in-process times are prepareAsync -> first frame at the render step."
