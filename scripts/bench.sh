#!/usr/bin/env bash
# Runs every benchmark (bench/<name>/run.sh) against the peer players and prints the figures.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
export QV_MEDIA_DIR="${QV_MEDIA_DIR:-$ROOT/build/media}"
if [[ -x scripts/make_fixtures.sh ]]; then bash scripts/make_fixtures.sh "$QV_MEDIA_DIR"; fi
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
ninja -C build/bench -j2
if [[ -x scripts/services.sh ]]; then
  # shellcheck source=/dev/null
  source scripts/services.sh
  services_start
  trap services_stop EXIT
fi
export QV_BENCH_BUILD="$ROOT/build/bench"
for run in bench/*/run.sh; do
  [[ -f "$run" ]] || continue
  echo "== $run"
  bash "$run"
done
