# What the benchmark scripts share (sourced): where things are, and two helpers.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QV_BENCH_BUILD:-$ROOT/build/bench}"
MEDIA="${QV_MEDIA_DIR:-$ROOT/build/media}"
RUNS="${RUNS:-5}"

# key=value lookup in a line: get KEY LINE
get() { tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p" | sed -n 1p; }
# Median of the numbers given as arguments (empty when none).
median() { printf '%s\n' "$@" | { grep -E '^-?[0-9.]+$' || true; } | sort -g | awk '{v[NR]=$1} END{if (NR) print v[int((NR+1)/2)]}'; }
