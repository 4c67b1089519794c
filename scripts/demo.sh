#!/usr/bin/env bash
# Sets everything up and runs the main job: builds the engine and plays the demo clip (or the
# address given as argument) with the quorvantix-play host, in a window when there is a display
# and headless otherwise, printing notifications and progress.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
export QV_MEDIA_DIR="${QV_MEDIA_DIR:-$ROOT/build/media}"
if [[ -x scripts/make_fixtures.sh ]]; then bash scripts/make_fixtures.sh "$QV_MEDIA_DIR" >/dev/null; fi
cmake -S . -B build/main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/main -j2 quorvantix-play >/dev/null
args=("$@")
if [[ -z "${DISPLAY:-}" ]]; then args=(--headless "${args[@]}"); fi
# Engine log lines go to standard error; keep them in a file so the progress line stays readable.
exec build/main/quorvantix-play "${args[@]}" 2>"${QV_LOG:-/tmp/quorvantix-play.log}"
