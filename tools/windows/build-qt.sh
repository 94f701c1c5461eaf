#!/usr/bin/env bash
# Builds the Qt for MinGW that the Windows programs are built against, from
# Debian 12's own qt6-base source package with Debian's MinGW-w64 (POSIX
# threads), and writes qt-6.4.2-mingw-x64.tar.xz and its .sha256 into OUT_DIR:
#   bash tools/windows/build-qt.sh [--work DIR] [--keep-work] [OUT_DIR]
# OUT_DIR is ${XDG_CACHE_HOME:-~/.cache}/velmora unless given, where
# tools/windows/windows-qt.sh looks for it. About 35 minutes on 2 cores. The
# work folder (OUT_DIR/qt-work unless --work, about 1.5 GB) is removed when the
# archive is written, unless --keep-work; a run that stopped goes on from it.
#
# What it holds: Core, Gui, Widgets, Network (TLS through Windows' Schannel)
# and Test as DLLs; the windows, offscreen and minimal platforms; the Windows
# styles. moc, rcc and uic are not in it: the build takes Debian's Linux Qt
# 6.4.2 (qt6-base-dev-tools) for them, and so do the programs' builds.
# Needs root or sudo: it installs what it needs and adds a deb-src entry to
# apt's sources when there is none for qt6-base.
set -euo pipefail

usage() { sed -n '2,9p' "$0" >&2; exit 2; }

root=$(cd "$(dirname "$0")/../.." && pwd)
out=
work=
keep_work=false
while [ $# -gt 0 ]; do
    case $1 in
        --work) [ $# -ge 2 ] || usage; work=$2; shift 2 ;;
        --keep-work) keep_work=true; shift ;;
        -h|--help) usage ;;
        -*) usage ;;
        *) [ -z "$out" ] || usage; out=$1; shift ;;
    esac
done
out=${out:-${XDG_CACHE_HOME:-$HOME/.cache}/velmora}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=${work:-$out/qt-work}
mkdir -p "$work"
work=$(cd "$work" && pwd)

qt_version=6.4.2
name=qt-$qt_version-mingw-x64
started=$(date +%s)

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
else
    sudo=(sudo)
fi

bash "$root/tools/install-deps.sh" --build-windows-qt

# The host tools must be the same Qt release as the libraries built here.
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
case $host_version in
    "$qt_version"+*|"$qt_version"-*) ;;
    *) echo "build-qt.sh: qt6-base-dev-tools is $host_version, not Qt $qt_version" >&2; exit 1 ;;
esac

# apt-get source needs a deb-src entry; Debian 12's container images have none.
if ! apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Package: qt6-base$'; then
    echo "Adding a deb-src entry for Debian's sources"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            "${sudo[@]}" tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    elif [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list |
            "${sudo[@]}" tee /etc/apt/sources.list.d/debian-src.list >/dev/null
    fi
    "${sudo[@]}" apt-get update -qq
fi
source_version=$(apt-cache showsrc qt6-base | sed -n 's/^Version: //p' | sort -V | tail -n1)
case $source_version in
    "$qt_version"+*|"$qt_version"-*) ;;
    *) echo "build-qt.sh: apt offers qt6-base $source_version, not Qt $qt_version" >&2; exit 1 ;;
esac

cd "$work"
# The source as Debian ships it, Debian's patches applied (their security
# fixes among them).
source_dir=$work/qt6-base-${source_version%-*}
if [ ! -f "$source_dir/.velmora-prepared" ]; then
    rm -rf "$source_dir"
    apt-get source "qt6-base=$source_version"
    # Qt 6.4.2's windows plugin asks for the dynamic-GL context even when
    # OpenGL is off: both places must also require OpenGL.
    plugin_file=$source_dir/src/plugins/platforms/windows/qwindowswindow.cpp
    sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' "$plugin_file"
    if [ "$(grep -c '^#if QT_CONFIG(dynamicgl) && QT_CONFIG(opengl)$' "$plugin_file")" -ne 2 ]; then
        echo "build-qt.sh: $plugin_file is not the one this script knows" >&2
        exit 1
    fi
    touch "$source_dir/.velmora-prepared"
fi

cat > "$work/mingw.cmake" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN

# Debian's source has no Wintab headers, hence no tablet events. OpenSSL is
# not there for MinGW; Schannel gives TLS.
options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_network=ON -DFEATURE_testlib=ON
    -DFEATURE_schannel=ON -DFEATURE_openssl=OFF -DFEATURE_libproxy=OFF -DFEATURE_gssapi=OFF
    -DFEATURE_sql=OFF -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF
    -DFEATURE_xml=OFF -DFEATURE_printsupport=OFF -DFEATURE_vulkan=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_zstd=OFF -DFEATURE_tabletevent=OFF
)
prefix=$work/$name
cmake -S "$source_dir" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$work/mingw.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${options[@]}"
cmake --build "$work/build" --parallel "$(nproc)"
rm -rf "$prefix"
cmake --install "$work/build"
x86_64-w64-mingw32-strip --strip-unneeded "$prefix"/bin/*.dll "$prefix"/plugins/*/*.dll

# What the Windows programs and their tests load; a Qt without one of these
# would build them and fail only when they run.
missing=()
for file in bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Network.dll bin/Qt6Test.dll \
            plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll \
            plugins/platforms/qminimal.dll plugins/styles/qwindowsvistastyle.dll \
            plugins/tls/qschannelbackend.dll lib/cmake/Qt6Network/Qt6NetworkConfig.cmake; do
    [ -f "$prefix/$file" ] || missing+=("$file")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "build-qt.sh: the built Qt lacks ${missing[*]}" >&2
    exit 1
fi

# What it was built from, kept with it.
{
    echo "Qt $qt_version for Windows x86_64 (MinGW-w64, POSIX threads), built by tools/windows/build-qt.sh"
    echo "source: Debian's qt6-base $source_version, its patches applied"
    echo "compiler: $(x86_64-w64-mingw32-g++-posix --version | head -n1)"
    echo "host tools: Debian's qt6-base-dev-tools $host_version"
    echo "options: ${options[*]}"
} > "$prefix/velmora-qt-build.txt"

# Written under a temporary name, so that an interrupted run leaves no
# archive that looks whole.
archive=$out/$name.tar.xz
XZ_OPT=-T0 tar -C "$work" --owner=0 --group=0 --numeric-owner --sort=name \
    -cJf "$archive.part" "$name"
mv "$archive.part" "$archive"
(cd "$out" && sha256sum "$name.tar.xz" > "$name.tar.xz.sha256")
if ! $keep_work; then
    rm -rf "$source_dir" "$work/build" "$prefix" "$work/mingw.cmake" "$work"/qt6-base_*
    rmdir "$work" 2>/dev/null || true
fi

elapsed=$(( $(date +%s) - started ))
echo "wrote $archive and $name.tar.xz.sha256 in $((elapsed / 60)) min $((elapsed % 60)) s"
