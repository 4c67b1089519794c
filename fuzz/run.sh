#!/usr/bin/env bash
# Builds the libFuzzer targets, makes seed inputs from the test media and runs each target for a
# fixed time.
#
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
#   SECONDS  run time per target (default 60)
#   TARGET   extractor, decoders, http_response, agent_json (default: every fuzz/*.cpp)
# Environment:
#   QV_FUZZ_BUILD  build directory (default <repo>/build/h-fuzz; configured here when missing,
#                  with CC=clang CXX=clang++ -DQV_FUZZ=ON -DQV_TESTS=OFF -DQV_BENCH=OFF)
#   QV_MEDIA_DIR   test media (default <repo>/build/media; made by scripts/make_fixtures.sh)
#   QV_FUZZ_WORK   seeds, corpora, logs and crash artifacts (default /tmp/qv-fuzz); the corpus
#                  of a target starts empty on every run, so runs are reproducible
#   QV_FUZZ_JOBS   ninja jobs for the build (default 1)
# Each target runs as
#   fuzz_<name> -max_total_time=SECONDS -rss_limit_mb=2048 -timeout=20 -max_len=65536
#               -print_final_stats=1 CORPUS SEEDS
# and its output goes to $QV_FUZZ_WORK/<name>.log. Exits non-zero when a target found a crash,
# leak or time-out (the input is kept as $QV_FUZZ_WORK/artifacts/<name>-crash-..., and
# `fuzz_<name> FILE` replays it).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_EACH="${1:-60}"
shift || true
BUILD="${QV_FUZZ_BUILD:-$ROOT/build/h-fuzz}"
MEDIA="${QV_MEDIA_DIR:-$ROOT/build/media}"
WORK="${QV_FUZZ_WORK:-/tmp/qv-fuzz}"
JOBS="${QV_FUZZ_JOBS:-1}"

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for src in "$ROOT"/fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

if [[ ! -f "$BUILD/build.ninja" ]]; then
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DQV_FUZZ=ON -DQV_TESTS=OFF -DQV_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
nice -n 10 ninja -C "$BUILD" -j"$JOBS" "${targets[@]/#/fuzz_}"

bash "$ROOT/scripts/make_fixtures.sh" "$MEDIA"
rm -rf "$WORK/seeds"
mkdir -p "$WORK/artifacts"
python3 "$ROOT/fuzz/make_seeds.py" "$MEDIA" "$WORK/seeds"

status=0
for t in "${targets[@]}"; do
  corpus="$WORK/corpus/$t"
  rm -rf "$corpus"
  mkdir -p "$corpus" "$WORK/seeds/$t"
  echo "== fuzz_$t: ${SECONDS_EACH}s, $(ls "$WORK/seeds/$t" | wc -l) seeds, log $WORK/$t.log"
  if ! "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -timeout=20 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$WORK/artifacts/$t-" "$corpus" "$WORK/seeds/$t" \
      >"$WORK/$t.log" 2>&1; then
    echo "fuzz_$t: FAILED, see $WORK/$t.log" >&2
    grep -E '^(==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)' "$WORK/$t.log" >&2 || true
    status=1
  fi
  grep -E '^#[0-9]+.*(INITED|DONE)' "$WORK/$t.log" || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$WORK/$t.log" || true
  echo "corpus: $(ls "$corpus" | wc -l) inputs"
done
exit $status
