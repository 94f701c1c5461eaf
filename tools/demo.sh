#!/usr/bin/env bash
# Installs what is missing, builds, and starts Velmora against a simulated
# Tarvex base on COM 1; the simulator stops when Velmora ends. With --network
# the base is reached as a bench on the lab network: Debian's ser2net in front
# of the simulator on 127.0.0.1, with COM 2 mapped to it.
#   bash tools/demo.sh [--network]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BUILD_DIR:-$root/build}
network=false
case "${1:-}" in
    "") ;;
    --network) network=true ;;
    *) echo "usage: bash tools/demo.sh [--network]" >&2; exit 2 ;;
esac

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: no display; run this from a desktop session (or under Xvfb with DISPLAY set)." >&2
    exit 1
fi

bash "$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target Velmora VelmoraPassword tarvex-sim velmora-settings
# The test fixture that gives the simulator's terminal modem lines (Linux), so
# that its power, cable and break controls reach Velmora as from a real port.
fixture="$build/tests/libmodem_line_fixture.so"
if ! cmake --build "$build" --target modem_line_fixture >/dev/null 2>&1 || [ ! -f "$fixture" ]; then
    fixture=
fi

settings="$build/tools/velmora-settings"

# The simulator's lines stay visible, marked as the base's. From a terminal it
# also takes its controls there (power off, cable, break, ...; help lists them).
if [ -t 0 ]; then
    "$build/simulator/tarvex-sim" --com 1 <&0 > >(sed -u 's/^/[base] /') 2>&1 &
else
    "$build/simulator/tarvex-sim" --com 1 --no-stdin > >(sed -u 's/^/[base] /') 2>&1 &
fi
simulator=$!
server=
restore_com2=
work=$(mktemp -d /tmp/velmora-demo.XXXXXX)
stop_base() {
    # An empty value is an unmapped port.
    [ -z "$restore_com2" ] || "$settings" set Ports COM2 "${restore_com2#=}" || true
    for pid in $server $simulator; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap stop_base EXIT

# The simulator maps COM 1 to a link of its own, named after its process.
for _ in $(seq 50); do
    case "$("$settings" get Ports COM1 || true)" in *"/COM1-$simulator") break ;; esac
    kill -0 "$simulator" 2>/dev/null || { echo "demo: the simulator did not start" >&2; exit 1; }
    sleep 0.1
done

port=1
velmora_preload=()
[ -z "$fixture" ] || velmora_preload=(env "LD_PRELOAD=$fixture")
if $network; then
    # ser2net takes the simulator's terminal with its modem lines; Velmora
    # needs nothing of its own for them.
    source "$root/tools/ser2net.sh"
    terminal=$(readlink -f "$("$settings" get Ports COM1)")
    LD_PRELOAD=$fixture start_ser2net "$terminal" "$work"
    server=$ser2net_pid
    velmora_preload=()
    restore_com2="=$("$settings" get Ports COM2)"
    "$settings" set Ports COM2 "$ser2net_url"
    port=2
    echo "demo: ser2net serves the simulator's terminal at $ser2net_url; COM 2 is mapped to it until the demo ends"
fi

if [ "$("$settings" get General Password -1)" = "-1" ]; then
    echo "demo: no administrator password is stored yet; set one (6 characters or more)."
    "$build/password_utility/VelmoraPassword"
fi
echo "demo: starting Velmora; choose Option > Communication Port > COM $port and Connect."
[ -t 0 ] && echo "demo: type simulator controls here (help lists them), for example: power off"
"${velmora_preload[@]}" "$build/access_gate/Velmora"
