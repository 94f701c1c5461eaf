#!/usr/bin/env bash
# Prints the folder of a Qt for MinGW (one with lib/cmake/Qt6) for the Windows
# build, or says on stderr what to provide and fails:
#   bash tools/windows/windows-qt.sh BUILD_DIR
#   bash tools/windows/windows-qt.sh --check    (only whether there is one)
# VELMORA_WINDOWS_QT names one already unpacked; otherwise the archive in
# ../shared/windows-qt beside the project is checked against its sha256 file
# and unpacked into BUILD_DIR once.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
check_only=false
[ "$build" != --check ] || check_only=true
archive_dir=$root/../shared/windows-qt
name=qt-6.4.2-mingw-x64

if [ -n "${VELMORA_WINDOWS_QT:-}" ]; then
    if [ ! -d "$VELMORA_WINDOWS_QT/lib/cmake/Qt6" ]; then
        echo "VELMORA_WINDOWS_QT=$VELMORA_WINDOWS_QT has no lib/cmake/Qt6" >&2
        exit 1
    fi
    $check_only || (cd "$VELMORA_WINDOWS_QT" && pwd)
    exit 0
fi

archive=$archive_dir/$name.tar.xz
if [ ! -f "$archive" ]; then
    echo "no Qt for MinGW: set VELMORA_WINDOWS_QT to one (a folder with lib/cmake/Qt6)" \
         "or put $name.tar.xz in $(cd "$root/.." && pwd)/shared/windows-qt" >&2
    exit 1
fi
$check_only && exit 0
unpacked=$build/$name
stamp=$unpacked/.unpacked-from-$(basename "$archive")
if [ ! -f "$stamp" ]; then
    (cd "$archive_dir" && sha256sum --quiet --check "$name.tar.xz.sha256") >&2 || {
        echo "$archive does not match $name.tar.xz.sha256" >&2
        exit 1
    }
    rm -rf "$unpacked"
    mkdir -p "$build"
    tar -xJf "$archive" -C "$build"
    touch "$stamp"
fi
echo "$unpacked"
