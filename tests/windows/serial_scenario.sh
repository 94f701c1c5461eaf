#!/usr/bin/env bash
# Velmora.exe on its real Win32 serial layer under Wine, from the folder that
# runs as it is. Run by
#   wine-run.sh --fresh --display --shell serial_scenario.sh FOLDER [TARVEX_SIM FIXTURE]
# which provides WINEPREFIX, DISPLAY and a /dev without serial devices.
# Always: a COM number that nothing maps gives "The selected COM port is
# invalid." With tarvex-sim and the modem-line fixture (a library that gives a
# pseudo-terminal the modem lines that Wine's serial code waits on), also the
# connect handshake on COM 1 mapped to the simulator's terminal. Without them
# that part is skipped: the script then exits with 77 after the rest passed.
set -euo pipefail
folder=$1
sim=${2:-}
fixture=${3:-}

source "$(dirname "$0")/scenario_lib.sh"
programs="Z:${folder//\//\\}"
password=secret1

# The Connect button, in pixels from the main window's top-left corner: the
# connection frame (8, 8) plus the button's centre (32 + 32, 32 + 10), below a
# menu bar of about 21 pixels (a few pixels either way still hit it).
connect_button=(64 71)
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

step "a password to log in with"
set_password "$password"

step "an unmapped COM number: \"The selected COM port is invalid.\""
log_in "$password"
keys_at "$main" "${main_quiet_spot[@]}" key alt+o c 5
sleep 0.5
click "$main" "${connect_button[@]}"
box=$(window "Invalid port number")
keys "$box" key Return
sleep 0.5
xdotool search --onlyvisible --name '^Velmora$' > /dev/null || fail "the main window went with the message"
keys_at "$main" "${main_quiet_spot[@]}" key alt+F4
ends "after the main window closed"
[ "$(registry_value CommPort)" = "REG_SZ 5" ] || fail "CommPort is \"$(registry_value CommPort)\", not REG_SZ 5"

if [ -z "$sim" ] || [ -z "$fixture" ]; then
    echo "SKIP connect handshake: give tarvex-sim and the modem-line fixture" \
         "(CMake: VELMORA_TARVEX_SIM, VELMORA_MODEM_LINE_FIXTURE)"
    exit 77
fi

step "COM 1 on tarvex-sim: the probe 0xC0, then the reset 0x80"
sim_log=$(mktemp /tmp/velmora-sim.XXXXXX)
sim_config=$(mktemp -d /tmp/velmora-sim-config.XXXXXX)
XDG_CONFIG_HOME=$sim_config "$sim" --com 1 --no-stdin > "$sim_log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; rm -rf "$sim_log" "$sim_config"' EXIT
# It maps COM 1 to a link of its own and says which terminal that leads to.
for _ in $(seq 50); do
    grep -q ' leads to /dev/pts/[0-9]*;' "$sim_log" && break
    sleep 0.1
done
device=$(sed -n 's|^tarvex-sim: .* leads to \(/dev/pts/[0-9]*\);.*|\1|p' "$sim_log")
[ -n "$device" ] || fail "tarvex-sim did not say its terminal: $(cat "$sim_log")"
ln -s "$device" "$WINEPREFIX/dosdevices/com1"

export LD_PRELOAD=$fixture
log_in "$password"
# COM &1 shares its access key with COM 10 to 12; the submenu opens on it.
keys_at "$main" "${main_quiet_spot[@]}" key alt+o c Return
sleep 0.5
click "$main" "${connect_button[@]}"
for _ in $(seq 50); do
    grep -q '^rx 0x80' "$sim_log" && break
    sleep 0.1
done
grep -o '^rx 0x[0-9A-Fa-f]*' "$sim_log" | head -n2 | tr '\n' ' ' | grep -q '^rx 0xC0 rx 0x80 $' \
    || fail "the simulator saw no probe and reset: $(head -n20 "$sim_log")"
keys_at "$main" "${main_quiet_spot[@]}" key alt+F4
ends "after the main window closed"
echo "PASS"
