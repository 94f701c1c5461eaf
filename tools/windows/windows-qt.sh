#!/usr/bin/env bash
# Prints the folder of a Qt for MinGW (one with lib/cmake/Qt6) for the Windows
# build, or says on stderr what to provide and fails:
#   bash tools/windows/windows-qt.sh BUILD_DIR
#   bash tools/windows/windows-qt.sh --check    (only whether there is one)
# In this order: VELMORA_WINDOWS_QT names one already unpacked; the archive
# that tools/windows/build-qt.sh writes into the user's cache
# (${XDG_CACHE_HOME:-~/.cache}/velmora); the one in ../shared/windows-qt beside
# the project. The archive is checked against its .sha256 file and unpacked
# into BUILD_DIR, again whenever its checksum changes.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
check_only=false
[ "$build" != --check ] || check_only=true
name=qt-6.4.2-mingw-x64
cache_dir=${XDG_CACHE_HOME:-$HOME/.cache}/velmora
shared_dir=$root/../shared/windows-qt

if [ -n "${VELMORA_WINDOWS_QT:-}" ]; then
    if [ ! -d "$VELMORA_WINDOWS_QT/lib/cmake/Qt6" ]; then
        echo "VELMORA_WINDOWS_QT=$VELMORA_WINDOWS_QT has no lib/cmake/Qt6" >&2
        exit 1
    fi
    $check_only || (cd "$VELMORA_WINDOWS_QT" && pwd)
    exit 0
fi

archive_dir=
for dir in "$cache_dir" "$shared_dir"; do
    if [ -f "$dir/$name.tar.xz" ]; then
        archive_dir=$dir
        break
    fi
done
if [ -z "$archive_dir" ]; then
    echo "no Qt for MinGW: run tools/windows/build-qt.sh (about 35 minutes), or set" \
         "VELMORA_WINDOWS_QT to one (a folder with lib/cmake/Qt6)" >&2
    exit 1
fi
$check_only && exit 0

archive=$archive_dir/$name.tar.xz
(cd "$archive_dir" && sha256sum --quiet --check "$name.tar.xz.sha256") >&2 || {
    echo "$archive does not match $name.tar.xz.sha256" >&2
    exit 1
}
# The stamp holds the checksum of the archive the folder came from: another
# archive under the same name is unpacked again.
checksum=$(cut -d' ' -f1 "$archive_dir/$name.tar.xz.sha256")
unpacked=$build/$name
stamp=$unpacked/.unpacked-sha256
if [ "$(cat "$stamp" 2>/dev/null)" != "$checksum" ]; then
    echo "Unpacking $archive" >&2
    rm -rf "$unpacked"
    mkdir -p "$build"
    tar -xJf "$archive" -C "$build"
    echo "$checksum" > "$stamp"
fi
echo "$unpacked"
