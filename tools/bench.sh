#!/usr/bin/env bash
# Builds velmora-bench and runs it; options go to it (see --help). Installs what
# building needs, and Xvfb for the start-up lines, when they are missing.
#   bash tools/bench.sh [--smoke | --connects N ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BUILD_DIR:-$root/build}

bash "$root/tools/install-deps.sh"
missing=()
for package in xvfb libxcb1-dev; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target velmora-bench
exec "$build/bench/velmora-bench" "$@"
