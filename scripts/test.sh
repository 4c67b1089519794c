#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: installs packages, generates the test media,
# starts the services the tests use (X server, sound server), builds the normal
# and the AddressSanitizer/UndefinedBehaviorSanitizer configurations and runs every test in both,
# then builds the ThreadSanitizer configuration for the test programs that run threads against
# each other (foundation, timer, listener, playback, http, hls_session) and runs their threaded
# cases there; any race report fails the run. Exits non-zero when anything fails.
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
configure() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}
run_tests() {
  local dir="$1"; shift
  echo "== tests in $dir"
  (cd "$dir" && ctest --output-on-failure -j1 --timeout 900 "$@") || status=1
}
# Waits for a build started in the background and shows its log when it failed.
wait_build() {
  local pid="$1" log="$2"
  if ! wait "$pid"; then
    tail -n 60 "$log"
    echo "test.sh: build failed, log $log" >&2
    exit 1
  fi
}

start=$(date +%s)
configure build/main -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build/main -j"$JOBS"

# The sanitizer builds compile at low priority while the tests of the configuration before them
# run: the tests mostly wait on real-time playback and loopback servers, so the two overlap well.
#
# ThreadSanitizer: only the programs whose tests run threads against each other are built and run.
# The filter leaves out the cases that are long and check behaviour already covered above rather
# than threads: every fixture to the end, many decoder threads on huge pictures (FFmpeg's own
# threads are not instrumented), bad addresses, RTMP/RTSP, the strict A/V lateness bounds (TSan's
# slowdown makes the first pictures late), negative seeks, and the server and live fault tables.
# tests/tsan.supp holds suppressions for third-party libraries only; halt_on_error turns the first
# report into a failed test.
tsan_programs=(foundation timer listener playback http hls_session)
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BENCH=OFF
configure build/tsan -DCMAKE_BUILD_TYPE=Debug -DQV_TSAN=ON -DQV_BENCH=OFF -DQV_AGENT_SERVICE=OFF
mkdir -p build/logs
(nice -n 10 ninja -C build/asan -j"$JOBS" >build/logs/asan-build.log 2>&1) &
asan_build=$!
run_tests build/main
wait_build "$asan_build" build/logs/asan-build.log
(nice -n 10 ninja -C build/tsan -j"$JOBS" "${tsan_programs[@]/#/test_}" >build/logs/tsan-build.log 2>&1) &
tsan_build=$!
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp:print_suppressions=0"
run_tests build/asan
wait_build "$tsan_build" build/logs/tsan-build.log
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
tsan_start=$(date +%s)
echo "== ThreadSanitizer tests in build/tsan"
tsan_skip="PlaybackTest.EveryFixturePlaysToCompletion:PlaybackTest.ShortClipsOnManyProcessorsAndHugePictures"
tsan_skip+=":PlaybackTest.BadAddressesFailWithTheirStatus:PlaybackTest.RtmpAndRtspStreamsServedOnLoopbackPlay"
tsan_skip+=":PlaybackTest.VideoFollowsTheAudioClockWithoutDrops:PlaybackTest.NegativeSeekTargetsLandAtTheStart"
tsan_skip+=":HttpDataSource.ServerFaultsGiveTheirStatus:HlsSession.FaultsEndWithTheirStatus:HlsSession.LiveFaults"
tsan_skip+=":HlsSession.TimeshiftSeekIntoTheWindow"
(cd build/tsan &&
  TSAN_OPTIONS="suppressions=$ROOT/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
  GTEST_FILTER="-$tsan_skip" \
  ctest --output-on-failure -j1 --timeout 900 -R "^($(IFS='|'; echo "${tsan_programs[*]}"))\$") || status=1
echo "test.sh: ThreadSanitizer step took $(( $(date +%s) - tsan_start )) s"
echo "test.sh: finished in $(( $(date +%s) - start )) s"
exit $status
