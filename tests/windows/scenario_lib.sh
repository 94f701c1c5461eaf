# What the scenarios under Wine share: finding and using the programs' windows
# on the private Xvfb with xdotool, and reading the settings in the registry.
# Sourced by installer_scenario.sh and serial_scenario.sh.

settings='HKCU\Software\VB and VBA Program Settings\TarvexCircuitTool\General'

step() { echo "-- $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# Only ever under wine-run.sh: its mount namespace shows no serial device, and
# the COM links made here must never lead to the machine's own ports.
[ "$(readlink /proc/self/ns/mnt)" != "$(readlink /proc/1/ns/mnt)" ] && [ -n "${WINEPREFIX:-}" ] \
    || fail "run this through tools/windows/wine-run.sh --shell, never on its own"

# Waits for a top-level window with exactly this title; prints its id.
window() {
    local id
    for _ in $(seq 300); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1 || true)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    fail "no window \"$1\" appeared"
}

# Gives the window the keyboard (there is no window manager) by a click at a
# spot that does nothing, X Y from its top-left corner, then types keys:
#   keys_at ID X Y xdotool-arguments...
keys_at() {
    local id=$1 x=$2 y=$3
    shift 3
    xdotool mousemove --window "$id" "$x" "$y" click 1
    sleep 0.3
    xdotool "$@"
}

# The main window's version label, bottom right, where a click does nothing.
main_quiet_spot=(261 349)

# The same, clicking near the top-left corner: dialogs have no menu bar there.
keys() {
    keys_at "$1" 5 5 "${@:2}"
}

# Starts a program of the folder $programs (a Windows path); its process is $pid.
start() {
    wine "$programs\\$1" &
    pid=$!
}

# The program must end by itself, and normally, once its last window is gone.
ends() {
    local status
    for _ in $(seq 150); do
        if ! kill -0 "$pid" 2>/dev/null; then
            status=0
            wait "$pid" || status=$?
            [ "$status" -eq 0 ] || fail "$1: the program ended with status $status"
            return 0
        fi
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    fail "$1: the program still runs with no window"
}

registry_value() {
    wine reg query "$settings" /v "$1" 2>/dev/null | tr -d '\r' | awk -v key="$1" '$1 == key { print $2, $3 }'
}

# VelmoraPassword stores the password typed twice and ends after "Password Accepted".
set_password() {
    start VelmoraPassword.exe
    local utility box
    utility=$(window "Velmora Password")
    keys "$utility" type --delay 30 "$1"
    xdotool key Tab
    xdotool type --delay 30 "$1"
    xdotool key Return
    box=$(window "Password Accepted")
    keys "$box" key Return
    ends "after \"Password Accepted\""
}

# Velmora opens its main window, $main, for the password.
log_in() {
    start Velmora.exe
    local dialog
    dialog=$(window Authentication)
    keys "$dialog" type --delay 30 "$1"
    xdotool key Return
    main=$(window Velmora)
}
