#!/usr/bin/env bash
# The services the tests and benchmarks talk to, one function pair per service.
#
#   source scripts/services.sh
#   services_start      # starts what is not running yet, exports DISPLAY, PULSE_SERVER, ...
#   services_stop       # stops only what this shell's services_start started
#
# State (pid files, sockets, logs) lives in $QV_SERVICES_DIR (default /tmp/qv-services-$UID).
# services_start is idempotent: a service already running from an earlier call (in this shell or
# another one) is reused and left alone by this shell's services_stop.

QV_SERVICES_DIR="${QV_SERVICES_DIR:-/tmp/qv-services-${UID:-0}}"
QV_SERVICES_STARTED="${QV_SERVICES_STARTED:-}"

_qv_svc_log() { echo "services: $*" >&2; }

_qv_pid_alive() {
  local file="$1"
  [[ -f "$file" ]] && kill -0 "$(cat "$file")" 2>/dev/null
}

_qv_mark_started() { QV_SERVICES_STARTED="$QV_SERVICES_STARTED $1"; }

# ---------------------------------------------------------------------------------------------
# X server: Xvfb with GLX (Mesa's software renderer). Screen 0 is 1920x1080 at 24 bits, screen 1
# 800x600 at 16 bits (for the 16-bit path of the software video sink).
xvfb_start() {
  local dir="$QV_SERVICES_DIR/xvfb"
  mkdir -p "$dir"
  if _qv_pid_alive "$dir/pid" && [[ -f "$dir/display" ]]; then
    export DISPLAY; DISPLAY="$(cat "$dir/display")"
    if xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
      export LIBGL_ALWAYS_SOFTWARE=1
      return 0
    fi
  fi
  local n=90
  while [[ -e "/tmp/.X${n}-lock" || -e "/tmp/.X11-unix/X${n}" ]]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1920x1080x24 -screen 1 800x600x16 +extension GLX -nolisten tcp -noreset \
    >"$dir/log" 2>&1 &
  echo $! >"$dir/pid"
  local i
  for i in $(seq 1 100); do
    if xdpyinfo -display ":$n" >/dev/null 2>&1; then break; fi
    if ! _qv_pid_alive "$dir/pid"; then _qv_svc_log "Xvfb failed:"; cat "$dir/log" >&2; return 1; fi
    sleep 0.1
  done
  if ! xdpyinfo -display ":$n" >/dev/null 2>&1; then _qv_svc_log "Xvfb :$n does not answer"; return 1; fi
  echo ":$n" >"$dir/display"
  export DISPLAY=":$n"
  export LIBGL_ALWAYS_SOFTWARE=1
  _qv_mark_started xvfb
  _qv_svc_log "Xvfb on $DISPLAY"
}

xvfb_stop() {
  local dir="$QV_SERVICES_DIR/xvfb"
  if _qv_pid_alive "$dir/pid"; then
    local pid; pid="$(cat "$dir/pid")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$dir/pid" "$dir/display"
}

# ---------------------------------------------------------------------------------------------
# Sound server: PulseAudio in user mode with one null sink ("nullsink", the default sink), reached
# by ALSA's pulse plugin through the ALSA configuration written here ($ALSA_CONFIG_PATH lists the
# system configuration first, then ours, which makes "default" the pulse device).
pulse_start() {
  local dir="$QV_SERVICES_DIR/pulse"
  mkdir -p "$dir/runtime" "$dir/state"
  chmod 700 "$dir/runtime"
  export PULSE_RUNTIME_PATH="$dir/runtime"
  export PULSE_STATE_PATH="$dir/state"
  export PULSE_SERVER="unix:$dir/native"
  export QV_PULSE_MONITOR=nullsink.monitor
  cat >"$dir/asound.conf" <<'EOF'
pcm.!default {
    type pulse
    hint { show on description "PulseAudio (test null sink)" }
}
ctl.!default {
    type pulse
}
EOF
  export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$dir/asound.conf"
  if pactl info >/dev/null 2>&1; then
    _qv_pulse_default_sink
    _qv_pulse_clock_start
    return 0
  fi
  rm -f "$dir/native"
  pulseaudio --daemonize=yes --exit-idle-time=-1 -n --log-target=file:"$dir/log" \
    --load="module-null-sink sink_name=nullsink rate=48000 channels=2" \
    --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
    --use-pid-file=yes >/dev/null 2>&1 || true
  local i
  for i in $(seq 1 100); do
    if pactl info >/dev/null 2>&1; then break; fi
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then
    _qv_svc_log "PulseAudio does not answer:"; tail -n 20 "$dir/log" >&2 2>/dev/null; return 1
  fi
  # The daemon writes its pid file into the runtime directory.
  if [[ -f "$dir/runtime/pid" ]]; then cp "$dir/runtime/pid" "$dir/pid"; fi
  _qv_pulse_default_sink
  _qv_pulse_clock_start
  _qv_mark_started pulse
  _qv_svc_log "PulseAudio at $PULSE_SERVER (monitor $QV_PULSE_MONITOR)"
}

_qv_pulse_default_sink() {
  pactl set-default-sink nullsink >/dev/null 2>&1 || true
}

# A null sink has no clock of its own to pace it in small periods: idle, it sleeps in blocks of up
# to 2 s, so a new stream can wait that long for its first request. A low-latency reader on its
# monitor keeps it running in 10 ms periods, like a sound card. The reader restarts itself when
# the sink goes away and comes back (tests do that on purpose).
_qv_pulse_clock_start() {
  local dir="$QV_SERVICES_DIR/pulse"
  if _qv_pid_alive "$dir/clock.pid"; then return 0; fi
  setsid bash -c 'while :; do parec -d nullsink.monitor --raw --latency-msec=10 >/dev/null 2>&1; sleep 0.2; done' \
    </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/clock.pid"
  _qv_mark_started pulseclock
  sleep 0.5
}

_qv_pulse_clock_stop() {
  local dir="$QV_SERVICES_DIR/pulse"
  if _qv_pid_alive "$dir/clock.pid"; then
    # The reader loop runs in its own process group (setsid): end the group.
    kill -- -"$(cat "$dir/clock.pid")" 2>/dev/null || kill "$(cat "$dir/clock.pid")" 2>/dev/null || true
  fi
  rm -f "$dir/clock.pid"
}

pulse_stop() {
  local dir="$QV_SERVICES_DIR/pulse"
  _qv_pulse_clock_stop
  local pid=""
  if [[ -f "$dir/pid" ]]; then pid="$(cat "$dir/pid")"; fi
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$dir/pid" "$dir/native"
}

# ---------------------------------------------------------------------------------------------
services_start() {
  mkdir -p "$QV_SERVICES_DIR"
  xvfb_start || return 1
  pulse_start || return 1
}

services_stop() {
  local s
  for s in $QV_SERVICES_STARTED; do
    case "$s" in
      xvfb) xvfb_stop ;;
      pulse) pulse_stop ;;
      pulseclock) _qv_pulse_clock_stop ;;
    esac
  done
  QV_SERVICES_STARTED=""
}
