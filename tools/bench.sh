#!/usr/bin/env bash
# Builds velmora-bench and runs it; options go to it (see --help). Installs what
# building needs, and Xvfb for the start-up lines, when they are missing.
#   bash tools/bench.sh [--smoke | --connects N ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BUILD_DIR:-$root/build}

# The start-up lines need Xvfb, and xcb to watch it.
bash "$root/tools/install-deps.sh" xvfb libxcb1-dev

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target velmora-bench
exec "$build/bench/velmora-bench" "$@"
