#!/usr/bin/env bash
# Runs a Windows program under Wine with no way to reach a serial device of
# this machine (ttyS0 may be its console):
#   bash tools/windows/wine-run.sh [options] [--] PROGRAM [ARGUMENTS...]
#     --prefix DIR     the Wine prefix, made with wineboot when new (required)
#     --fresh          starts from a new prefix, removing the old one first
#     --com N=DEVICE   maps COM N to DEVICE (a pseudo-terminal); repeatable
#     --display        runs a private Xvfb for the program's windows
#     --qtest          PROGRAM is a Qt Test executable: its results are written
#                      to a file (Wine does not pass console output through a
#                      shell redirect) and printed afterwards
#     --wine-path DIR  a folder searched for DLLs; repeatable
#     --shell          PROGRAM is a bash script, run in the same set-up; it
#                      calls wine itself (for a scenario of several programs)
# Everything runs as root in a private mount namespace whose /dev holds only
# the few devices listed below, in the given prefix, with every dosdevices/com*
# link removed before the tests' own are made. The script refuses to start
# Wine when a serial device is visible.
set -euo pipefail

usage() { sed -n '2,17p' "$0" >&2; exit 2; }

if [ "${1:-}" != --in-private-namespace ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "wine-run.sh: needs root for its private mount namespace" >&2
        exit 2
    fi
    exec unshare --mount --propagation private -- bash "$0" --in-private-namespace "$@"
fi
shift
# What follows replaces /dev: never in the machine's own mount namespace.
if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/1/ns/mnt)" ]; then
    echo "wine-run.sh: not in a private mount namespace; refusing to go on" >&2
    exit 3
fi

prefix=
display=false
qtest=false
coms=()
wine_path=()
shell=false
fresh=false
while [ $# -gt 0 ]; do
    case $1 in
        --prefix) prefix=$2; shift 2 ;;
        --com) coms+=("$2"); shift 2 ;;
        --display) display=true; shift ;;
        --qtest) qtest=true; shift ;;
        --wine-path) wine_path+=("$2"); shift 2 ;;
        --shell) shell=true; shift ;;
        --fresh) fresh=true; shift ;;
        --) shift; break ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ -n "$prefix" ] || usage
[ $# -gt 0 ] || usage

# A /dev of its own: a few harmless devices, the pseudo-terminals and shared
# memory. No serial device, no console.
private_dev() {
    local new
    new=$(mktemp -d /tmp/velmora-wine-dev.XXXXXX)
    mount -t tmpfs -o mode=755 velmora-dev "$new"
    for node in null zero full random urandom tty; do
        if [ -c "/dev/$node" ] && [ ! -L "/dev/$node" ]; then
            touch "$new/$node"
            mount --bind "/dev/$node" "$new/$node"
        fi
    done
    for dir in pts shm; do
        mkdir "$new/$dir"
        mount --rbind "/dev/$dir" "$new/$dir"
    done
    # A bound /dev/ptmx would look for its pseudo-terminals beside the old
    # /dev; the one in pts/ belongs to the bound pts (root may open it).
    ln -s pts/ptmx "$new/ptmx"
    ln -s /proc/self/fd "$new/fd"
    ln -s /proc/self/fd/0 "$new/stdin"
    ln -s /proc/self/fd/1 "$new/stdout"
    ln -s /proc/self/fd/2 "$new/stderr"
    mount --move "$new" /dev
    rmdir "$new" 2>/dev/null || true
}

refuse_if_serial_visible() {
    local found
    found=$(find /dev -maxdepth 2 \( -name 'ttyS*' -o -name 'ttyUSB*' -o -name 'ttyACM*' \
            -o -name 'ttyAMA*' -o -name 'rfcomm*' -o -name serial -o -name console \) -print -quit)
    if [ -n "$found" ]; then
        echo "wine-run.sh: refusing to start Wine: $found is visible" >&2
        exit 3
    fi
}

private_dev
refuse_if_serial_visible

if $fresh && [ -d "$prefix" ]; then
    WINEPREFIX=$prefix wineserver --kill 2>/dev/null || true
    rm -rf "$prefix"
fi
export WINEPREFIX
WINEPREFIX=$(mkdir -p "$prefix" && cd "$prefix" && pwd)
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# No Mono or Gecko installer dialogs in a new prefix.
export WINEDLLOVERRIDES="mscoree=;mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# Wine keeps QT_* variables for itself and hands WINEQT_* to the program as QT_*.
for name in $(compgen -e); do
    case $name in QT_*) export "WINE$name=${!name}" ;; esac
done
if [ ${#wine_path[@]} -gt 0 ]; then
    WINEPATH=$(printf 'Z:%s;' "${wine_path[@]}")
    export WINEPATH=${WINEPATH%;}
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init
    wineserver --wait
fi

# Only the ports that the caller maps.
find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' -exec rm -f {} +
for mapping in "${coms[@]}"; do
    number=${mapping%%=*}
    device=${mapping#*=}
    case $device in
        /dev/pts/*) ;;
        *) echo "wine-run.sh: COM$number: only pseudo-terminals can be mapped, not $device" >&2; exit 2 ;;
    esac
    ln -s "$device" "$WINEPREFIX/dosdevices/com$number"
done

xvfb_pid=
cleanup() {
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if $display; then
    Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 > "/tmp/velmora-xvfb.$$" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "/tmp/velmora-xvfb.$$" ] && break
        sleep 0.05
    done
    export DISPLAY=:$(head -n1 "/tmp/velmora-xvfb.$$")
    rm -f "/tmp/velmora-xvfb.$$"
    [ "$DISPLAY" != : ] || { echo "wine-run.sh: Xvfb did not start" >&2; exit 3; }
else
    unset DISPLAY
fi

# The program has ended: the wineserver and the services it started go at
# once rather than lingering for the next caller.
end_session() {
    wineserver --kill 2>/dev/null || true
    wineserver --wait 2>/dev/null || true
}

program=$1
shift
status=0
if $shell; then
    bash "$program" "$@" || status=$?
    end_session
    exit "$status"
fi
if $qtest; then
    results=$(mktemp /tmp/velmora-qtest.XXXXXX)
    wine "$program" "$@" -o "Z:$results,txt" || status=$?
    if [ ! -s "$results" ]; then
        echo "wine-run.sh: $program wrote no results (exit status $status)" >&2
        [ "$status" -ne 0 ] || status=1
    fi
    cat "$results"
    rm -f "$results"
    end_session
    exit "$status"
fi
wine "$program" "$@" || status=$?
end_session
exit "$status"
