#!/usr/bin/env bash
# Installs what is missing, builds, and starts Velmora against a simulated
# Tarvex base on COM 1; the simulator stops when Velmora ends.
#   bash tools/demo.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BUILD_DIR:-$root/build}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: no display; run this from a desktop session (or under Xvfb with DISPLAY set)." >&2
    exit 1
fi

bash "$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target Velmora VelmoraPassword tarvex-sim velmora-settings

settings="$build/tools/velmora-settings"

# The simulator's lines stay visible, marked as the base's.
"$build/tools/tarvex-sim" --com 1 --no-stdin > >(sed -u 's/^/[base] /') 2>&1 &
simulator=$!
stop_simulator() {
    kill -TERM "$simulator" 2>/dev/null || true
    wait "$simulator" 2>/dev/null || true
}
trap stop_simulator EXIT

for _ in $(seq 50); do
    case "$("$settings" get Ports COM1)" in /dev/*) break ;; esac
    kill -0 "$simulator" 2>/dev/null || { echo "demo: the simulator did not start" >&2; exit 1; }
    sleep 0.1
done

if [ "$("$settings" get General Password -1)" = "-1" ]; then
    echo "demo: no administrator password is stored yet; set one (6 characters or more)."
    "$build/password_utility/VelmoraPassword"
fi
echo "demo: starting Velmora; choose Option > Communication Port > COM 1 and Connect."
"$build/access_gate/Velmora"
