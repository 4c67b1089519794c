# What the benchmark scripts share (sourced): where things are, and two helpers.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QV_BENCH_BUILD:-$ROOT/build/bench}"
MEDIA="${QV_MEDIA_DIR:-$ROOT/build/media}"
RUNS="${RUNS:-5}"

# key=value lookup in a line: get KEY LINE
get() { tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p" | sed -n 1p; }
# Median of the numbers given as arguments (empty when none).
median() { printf '%s\n' "$@" | { grep -E '^-?[0-9.]+$' || true; } | sort -g | awk '{v[NR]=$1} END{if (NR) print v[int((NR+1)/2)]}'; }

# Starts the loopback services (nginx, X server, sound server) for the script's lifetime, unless
# the caller already runs them (QV_HTTP_BASE set), and points the tests' media variable at $MEDIA.
start_services() {
  export QV_MEDIA_DIR="$MEDIA"
  [[ -z "${QV_HTTP_BASE:-}" ]] || return 0
  # shellcheck source=/dev/null
  source "$ROOT/scripts/services.sh"
  services_start
  trap services_stop EXIT
}
