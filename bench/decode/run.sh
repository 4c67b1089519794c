#!/usr/bin/env bash
# Extractor + decoders over the 60 s 1080p clip against ffmpeg's own decode.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${QV_BENCH_BUILD:-$ROOT/build/bench}"
MEDIA="${QV_MEDIA_DIR:-$ROOT/build/media}"
"$BUILD/bench/bench_decode" "$MEDIA/big_1080p.mp4"
