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
# Web server: nginx on loopback serving the media folder ($QV_MEDIA_DIR) over HTTP and HTTPS
# (a self-signed certificate made here). Exports QV_HTTP_BASE=http://127.0.0.1:PORT and
# QV_HTTPS_BASE=https://127.0.0.1:PORT2. Both servers answer:
#   /NAME                     the file, with byte ranges (206 + Content-Range), HEAD, keep-alive
#   /rate/BYTES_PER_SEC/NAME  the same file sent evenly at that rate (limit_rate from the path;
#                             the response head counts against the rate too)
# The ports are probed at the first start and kept in the state directory for later calls.
_QV_SERVICES_REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# A free TCP port on 127.0.0.1 at or above $1 (the listening port is what counts: nginx still
# fails at start when another process takes it in between, and the caller then probes again).
_qv_free_port() {
  python3 - "$1" <<'EOF'
import socket, sys
port = int(sys.argv[1])
while port < 65535:
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", port))
        print(port)
        break
    except OSError:
        port += 1
    finally:
        s.close()
EOF
}

# True when our nginx answers at $1 (its liveness location gives 204).
_qv_http_answers() {
  local code
  code="$(curl -k -s -o /dev/null --max-time 2 -w '%{http_code}' "$1/_qv_alive" 2>/dev/null)" || true
  [[ "$code" == "204" ]]
}

_qv_nginx_config() {  # _qv_nginx_config DIR MEDIA HTTP_PORT HTTPS_PORT
  local dir="$1" media="$2" http_port="$3" https_port="$4" user_line=""
  if [[ "$(id -u)" == "0" ]]; then user_line="user root root;"; fi
  # The files are served with sendfile and answered with ranges by the static module. The throttled
  # location takes its rate from the path: limit_rate_after 0 throttles from the first byte.
  cat >"$dir/locations.conf" <<EOF
root $media;
location / {
}
location = /_qv_alive {
    return 204;
}
location ~ ^/rate/(?<qv_rate>[0-9]+)/(?<qv_file>[^/].*)\$ {
    alias $media/\$qv_file;
    limit_rate \$qv_rate;
    limit_rate_after 0;
    # nginx lets one second's worth of bytes out at once and then waits; small writes with a pause
    # after each keep the flow even from the first byte. sendfile would round every write up to a
    # whole 4 KiB page (seconds of silence at a few hundred bytes per second): copy instead.
    sendfile off;
    sendfile_max_chunk 8k;
}
EOF
  cat >"$dir/nginx.conf" <<EOF
$user_line
daemon on;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events {
    worker_connections 512;
}
http {
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    access_log $dir/access.log;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    sendfile on;
    keepalive_timeout 65s;
    keepalive_requests 10000;
    server_tokens off;
    server {
        listen 127.0.0.1:$http_port;
        include $dir/locations.conf;
    }
    server {
        listen 127.0.0.1:$https_port ssl;
        ssl_certificate $dir/cert.pem;
        ssl_certificate_key $dir/key.pem;
        include $dir/locations.conf;
    }
}
EOF
}

_qv_nginx_export() {
  local dir="$QV_SERVICES_DIR/nginx"
  export QV_HTTP_BASE="http://127.0.0.1:$(cat "$dir/http_port")"
  export QV_HTTPS_BASE="https://127.0.0.1:$(cat "$dir/https_port")"
}

nginx_start() {
  local dir="$QV_SERVICES_DIR/nginx"
  local media="${QV_MEDIA_DIR:-$_QV_SERVICES_REPO/build/media}"
  mkdir -p "$dir/tmp" "$media"
  media="$(cd "$media" && pwd)"
  if _qv_pid_alive "$dir/nginx.pid" && [[ -f "$dir/http_port" && -f "$dir/https_port" ]]; then
    _qv_nginx_export
    if _qv_http_answers "$QV_HTTP_BASE" && _qv_http_answers "$QV_HTTPS_BASE"; then
      if [[ "$(cat "$dir/root" 2>/dev/null)" != "$media" ]]; then
        # Same ports, another media folder: the running server takes the new configuration.
        _qv_nginx_config "$dir" "$media" "$(cat "$dir/http_port")" "$(cat "$dir/https_port")"
        nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -s reload >/dev/null 2>&1 || return 1
        echo "$media" >"$dir/root"
        sleep 0.3
      fi
      return 0
    fi
    nginx_stop
  fi
  if [[ ! -s "$dir/cert.pem" || ! -s "$dir/key.pem" ]]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=127.0.0.1 \
      -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1 || {
      _qv_svc_log "openssl could not make the test certificate"; return 1; }
  fi
  local attempt http_port https_port next=18080 i
  for attempt in 1 2 3 4 5; do
    http_port="$(_qv_free_port "$next")"
    https_port="$(_qv_free_port $((http_port + 1)))"
    if [[ -z "$http_port" || -z "$https_port" ]]; then _qv_svc_log "no free port for nginx"; return 1; fi
    _qv_nginx_config "$dir" "$media" "$http_port" "$https_port"
    rm -f "$dir/nginx.pid"
    if nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" </dev/null >/dev/null 2>>"$dir/error.log"; then
      # The daemon writes its pid file after it has detached.
      for i in $(seq 1 50); do [[ -s "$dir/nginx.pid" ]] && break; sleep 0.1; done
      if _qv_pid_alive "$dir/nginx.pid"; then break; fi
    fi
    next=$((https_port + 1))
  done
  if ! _qv_pid_alive "$dir/nginx.pid"; then
    _qv_svc_log "nginx failed:"; tail -n 20 "$dir/error.log" >&2 2>/dev/null; return 1
  fi
  echo "$http_port" >"$dir/http_port"
  echo "$https_port" >"$dir/https_port"
  echo "$media" >"$dir/root"
  _qv_nginx_export
  for i in $(seq 1 50); do _qv_http_answers "$QV_HTTP_BASE" && break; sleep 0.1; done
  if ! _qv_http_answers "$QV_HTTP_BASE"; then _qv_svc_log "nginx does not answer at $QV_HTTP_BASE"; return 1; fi
  _qv_mark_started nginx
  _qv_svc_log "nginx at $QV_HTTP_BASE and $QV_HTTPS_BASE serving $media"
}

nginx_stop() {
  local dir="$QV_SERVICES_DIR/nginx"
  if _qv_pid_alive "$dir/nginx.pid"; then
    local pid; pid="$(cat "$dir/nginx.pid")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$dir/nginx.pid" "$dir/http_port" "$dir/https_port" "$dir/root"
}

# ---------------------------------------------------------------------------------------------
services_start() {
  mkdir -p "$QV_SERVICES_DIR"
  xvfb_start || return 1
  pulse_start || return 1
  nginx_start || return 1
}

services_stop() {
  local s
  for s in $QV_SERVICES_STARTED; do
    case "$s" in
      xvfb) xvfb_stop ;;
      pulse) pulse_stop ;;
      pulseclock) _qv_pulse_clock_stop ;;
      nginx) nginx_stop ;;
    esac
  done
  QV_SERVICES_STARTED=""
}
