#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: installs packages, generates the test media,
# starts the services the tests use (X server, sound server), builds the normal
# and the AddressSanitizer/UndefinedBehaviorSanitizer configurations and runs every test in both.
# Exits non-zero when anything fails.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash scripts/setup.sh
export QV_MEDIA_DIR="${QV_MEDIA_DIR:-$ROOT/build/media}"
if [[ -x scripts/make_fixtures.sh ]]; then bash scripts/make_fixtures.sh "$QV_MEDIA_DIR"; fi

# Services live for this run only.
if [[ -x scripts/services.sh ]]; then
  # shellcheck source=/dev/null
  source scripts/services.sh
  services_start
  trap services_stop EXIT
fi

JOBS="${QV_JOBS:-2}"
status=0
run_config() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir" -j"$JOBS"
  echo "== tests in $dir"
  (cd "$dir" && ctest --output-on-failure -j1 --timeout 900) || status=1
}

start=$(date +%s)
run_config build/main -DCMAKE_BUILD_TYPE=RelWithDebInfo
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp:print_suppressions=0"
run_config build/asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BENCH=OFF
echo "test.sh: finished in $(( $(date +%s) - start )) s"
exit $status
