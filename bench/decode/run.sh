#!/usr/bin/env bash
# Extractor + decoders over the 60 s 1080p clip against ffmpeg's own decode.
set -euo pipefail
BUILD="${QV_BENCH_BUILD:?}"
MEDIA="${QV_MEDIA_DIR:?}"
"$BUILD/bench_decode" "$MEDIA/big_1080p.mp4"
