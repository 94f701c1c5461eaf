#!/usr/bin/env bash
# Runs a test with a serial port that tarvex-sim serves:
#   bash serial_on_tarvex_sim.sh TARVEX_SIM [--wine] [--preload LIBRARY] [--ser2net] -- COMMAND...
# The simulator maps COM 1 to a pseudo-terminal, in a settings store under a
# private XDG_CONFIG_HOME that the command shares, and logs what it receives.
# The command gets VELMORA_RULES_COM and VELMORA_RULES_SIM_LOG; an @PTY@ in it
# becomes the terminal's path (wine-run.sh --com 1=@PTY@). --wine gives the
# log as a Windows path and a line without parity (VELMORA_RULES_LINE);
# --preload loads LIBRARY into the command only; --ser2net puts Debian's
# ser2net in front of the terminal on 127.0.0.1 and gives its address as
# VELMORA_RULES_SERVER_URL (rfc2217://127.0.0.1:PORT).
set -euo pipefail
sim=$1
shift
wine=false
preload=
ser2net=false
while [ "$1" != -- ]; do
    case $1 in
        --wine) wine=true; shift ;;
        --preload) preload=$2; shift 2 ;;
        --ser2net) ser2net=true; shift ;;
        *) echo "serial_on_tarvex_sim.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
shift

work=$(mktemp -d /tmp/velmora-serial-rules.XXXXXX)
sim_pid=
server_pid=
cleanup() {
    for pid in $server_pid $sim_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config
log=$work/sim.log
"$sim" --com 1 --no-stdin > "$log" 2>&1 &
sim_pid=$!
pty=
for _ in $(seq 100); do
    pty=$(sed -n 's|^tarvex-sim: .* leads to \(/dev/pts/[0-9]*\);.*|\1|p' "$log")
    [ -n "$pty" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
done
if [ -z "$pty" ]; then
    echo "serial_on_tarvex_sim.sh: tarvex-sim named no terminal:" >&2
    cat "$log" >&2
    exit 1
fi

export VELMORA_RULES_COM=1
export VELMORA_RULES_SIM_LOG=$log

if $ser2net; then
    source "$(dirname "$0")/../../tools/ser2net.sh"
    start_ser2net "$pty" "$work"
    server_pid=$ser2net_pid
    export VELMORA_RULES_SERVER_URL=$ser2net_url
fi
if $wine; then
    VELMORA_RULES_SIM_LOG="Z:$log"
    # A pseudo-terminal keeps no parity, and Wine refuses a second open that
    # asks for it again (tcsetattr then reports "Invalid argument"); a real
    # port keeps it. The rules under test do not depend on the parity.
    export VELMORA_RULES_LINE=2400,N,8,2
fi
command=()
for word in "$@"; do
    command+=("${word//@PTY@/$pty}")
done
status=0
if [ -n "$preload" ]; then
    LD_PRELOAD=$preload "${command[@]}" || status=$?
else
    "${command[@]}" || status=$?
fi
exit "$status"
