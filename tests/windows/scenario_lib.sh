# What the scenarios under Wine share: finding and using the programs' windows
# on the private Xvfb with xdotool, and reading the settings in the registry.
# Sourced by installer_scenario.sh, serial_scenario.sh and tls_scenario.sh.

shopt -s inherit_errexit

settings='HKCU\Software\VB and VBA Program Settings\TarvexCircuitTool\General'
ports='HKCU\Software\VB and VBA Program Settings\TarvexCircuitTool\Ports'
tls_settings='HKCU\Software\VB and VBA Program Settings\TarvexCircuitTool\TLS'

step() { echo "-- $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# Only ever under wine-run.sh: its mount namespace shows no serial device, and
# the COM links made here must never lead to the machine's own ports.
[ "$(readlink /proc/self/ns/mnt)" != "$(readlink /proc/1/ns/mnt)" ] && [ -n "${WINEPREFIX:-}" ] \
    || fail "run this through tools/windows/wine-run.sh --shell, never on its own"

# What a scenario makes outside the prefix; removed when it ends.
work=$(mktemp -d /tmp/velmora-scenario.XXXXXX)
finish() {
    stop_simulator
    rm -rf "$work"
}
trap finish EXIT

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

# Waits for a top-level window whose title starts with this (words only, no
# pattern); prints its id.
window_starting() {
    local id
    for _ in $(seq 300); do
        id=$(xdotool search --onlyvisible --name "^$1" 2>/dev/null | head -n1 || true)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    fail "no window whose title starts with \"$1\" appeared"
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

# The same, clicking near the top-left corner: dialogs have no menu bar there.
keys() {
    keys_at "$1" 5 5 "${@:2}"
}

# Fails unless no window with exactly this title shows for SECONDS:
#   no_window TITLE SECONDS WHY
no_window() {
    local end=$((SECONDS + $2))
    while [ "$SECONDS" -lt "$end" ]; do
        visible_windows "$1" | grep -q . && fail "$3: a window \"$1\" is there"
        sleep 0.1
    done
}

# Fails unless exactly one window with this title shows: one_window TITLE WHY
one_window() {
    local count
    count=$(visible_windows "$1" | wc -l)
    [ "$count" -eq 1 ] || fail "$2: $count windows \"$1\""
}

visible_windows() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true
}

# Answers a message box with Return and waits until it has gone:
#   dismiss TITLE ID
# With no window manager on the private Xvfb, Wine waits 2 s for one to
# withdraw a closed window ("wait_for_withdrawn_state ... wait timed out")
# before it takes the window off the screen.
dismiss() {
    keys "$2" key Return
    for _ in $(seq 50); do
        visible_windows "$1" | grep -q -x "$2" || return 0
        sleep 0.1
    done
    fail "\"$1\" stayed after Return"
}

# Where the controls of the main window are, from its layout table: the
# program window-points, built for this machine, prints their centres
# (tests/windows/window_points.cpp); $window_points names it.
window_points() {
    [ -x "${window_points:-}" ] || fail "window-points is not given (CMake: VELMORA_WINDOW_POINTS)"
    "$window_points"
}

# The centre of a control of the main window $main, as "X Y" from the corner
# of its X window, which holds the menu bar above the client area.
main_point() {
    local points x y client_height height
    points=$(window_points)
    read -r x y <<< "$(awk -v name="$1" '$1 == name { print $2, $3 }' <<< "$points")"
    [ -n "$x" ] || fail "no control $1 in the main window's layout"
    client_height=$(awk '$1 == "client" { print $3 }' <<< "$points")
    height=$(xdotool getwindowgeometry --shell "$main" | sed -n 's/^HEIGHT=//p')
    echo "$x $((y + height - client_height))"
}

click_control() {
    local point
    point=$(main_point "$1")
    # shellcheck disable=SC2086 # X and Y
    xdotool mousemove --window "$main" $point click 1
}

# Types keys into the main window after a click on its version label, where a
# click does nothing.
main_keys() {
    local point
    point=$(main_point Label1)
    # shellcheck disable=SC2086 # X and Y
    keys_at "$main" $point "$@"
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

# tarvex-sim (the path $sim) as the base on COM 1: start_simulator [OPTIONS...].
# Its output goes to $sim_log; control_simulator sends it controls.
sim_pid=
start_simulator() {
    stop_simulator
    sim_log=$work/sim.log
    rm -f "$work/sim.in" "$sim_log"
    mkfifo "$work/sim.in"
    # A folder of its own for the settings in which it maps COM 1.
    XDG_CONFIG_HOME=$work/sim-config "$sim" --com 1 "$@" < "$work/sim.in" > "$sim_log" 2>&1 &
    sim_pid=$!
    # It ends when this end of its input closes.
    exec {sim_in}> "$work/sim.in"
    received_mark=0
    # It maps COM 1 to a link of its own and says which terminal that leads to.
    local device=
    for _ in $(seq 50); do
        device=$(sed -n 's|^tarvex-sim: .* leads to \(/dev/pts/[0-9]*\);.*|\1|p' "$sim_log")
        [ -n "$device" ] && break
        sleep 0.1
    done
    [ -n "$device" ] || fail "tarvex-sim did not say its terminal: $(cat "$sim_log")"
    ln -sfn "$device" "$WINEPREFIX/dosdevices/com1"
}

stop_simulator() {
    [ -n "$sim_pid" ] || return 0
    exec {sim_in}>&-
    for _ in $(seq 50); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
    rm -f "$WINEPREFIX/dosdevices/com1"
}

# Its output, without the times that --timestamps puts in front.
sim_lines() {
    sed -E 's/^[0-9]+\.[0-9]{6} //' "$sim_log"
}

# Whether the simulator printed a line that starts with this.
sim_said() {
    grep -q -F -x -e "$1" < <(sim_lines | cut -c "1-${#1}")
}

# Sends one control ("power off") and waits until the simulator has applied it.
control_simulator() {
    echo "$1" >&"$sim_in"
    for _ in $(seq 50); do
        sim_said "$1: " && return 0
        sleep 0.1
    done
    fail "tarvex-sim did not take the control \"$1\": $(tail -n5 "$sim_log")"
}

# Fails if the simulator receives anything since the last expect_received
# within SECONDS: expect_nothing_received WHY SECONDS
expect_nothing_received() {
    local end=$((SECONDS + $2)) got
    while :; do
        got=$(sim_lines | grep '^rx ' | tail -n +$((received_mark + 1)) || true)
        [ -z "$got" ] || fail "$1: the simulator received \"$got\""
        [ "$SECONDS" -lt "$end" ] || return 0
        sleep 0.1
    done
}

# Waits until the simulator has received exactly these bytes since the last
# call, in this order: expect_received WHY BYTE...  A byte is given as the
# start of its line, e.g. "0x56 insert fault 3".
received_mark=0
expect_received() {
    local why=$1 got=
    shift
    local want
    want=$(printf 'rx %s\n' "$@")
    for _ in $(seq 50); do
        got=$(sim_lines | grep '^rx ' | tail -n +$((received_mark + 1)) || true)
        if [ "$(wc -l <<< "$got")" -ge $# ] && [ -n "$got" ]; then
            break
        fi
        sleep 0.1
    done
    # A byte too many that has come by now fails here, as does one missing or
    # out of order; a later one fails the next call.
    local line=0 expected
    while IFS= read -r expected; do
        line=$((line + 1))
        case $(sed -n "${line}p" <<< "$got") in
            "$expected"*) ;;
            *) fail "$why: the simulator received \"$got\", not \"$want\"" ;;
        esac
    done <<< "$want"
    [ "$(wc -l <<< "$got")" -eq $# ] || fail "$why: the simulator received \"$got\", not \"$want\""
    received_mark=$((received_mark + $#))
}

# Puts a PEM certificate into the prefix's store of intermediate CAs, where
# Wine's crypt32 finds it when it builds a chain (Wine 8.0's certutil cannot
# add one). The registry holds it as crypt32 serializes it: property 32 (the
# encoded certificate), 1, the length of the DER as 32 bits little-endian,
# the DER; under the certificate's SHA-1 thumbprint.
add_to_prefix_ca_store() {
    local certificate=$1 thumbprint der length blob key stored
    thumbprint=$(openssl x509 -in "$certificate" -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g')
    der=$(openssl x509 -in "$certificate" -outform der | od -An -v -tx1 | tr -d ' \n')
    length=$((${#der} / 2))
    blob=$(printf '20000000''01000000''%02x%02x%02x%02x' $((length & 255)) $((length >> 8 & 255)) \
        $((length >> 16 & 255)) $((length >> 24 & 255)))$der
    key="HKCU\\Software\\Microsoft\\SystemCertificates\\CA\\Certificates\\$thumbprint"
    wine reg add "$key" /v Blob /t REG_BINARY /d "$blob" /f > /dev/null
    stored=$(wine reg query "$key" /v Blob 2>/dev/null | tr -d '\r' | awk '$1 == "Blob" { print $3 }')
    [ "${stored,,}" = "${blob,,}" ] || fail "the prefix's CA store did not take $certificate"
}
