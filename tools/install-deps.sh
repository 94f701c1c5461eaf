#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need, and
# does nothing when all are present. As root with apt-get, otherwise through sudo.
#   bash tools/install-deps.sh [--build-windows-qt] [PACKAGE...]
# --build-windows-qt adds what tools/windows/build-qt.sh needs; packages named
# as arguments are installed too.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev libgl-dev
    # The password windows set their taskbar hint through xcb.
    libxcb1-dev
    fonts-dejavu-core fonts-liberation
    # The test command also compiles the Windows serial code with MinGW-w64.
    g++-mingw-w64-x86-64-posix
    # The Debian package (dpkg-shlibdeps; CPack runs `file` on every program),
    # Debian's own check of it, and the check of the desktop entries.
    dpkg-dev file lintian desktop-file-utils
    # Benches over the network: two RFC 2217 servers that the tests put in
    # front of the simulator, and nftables to make a server fall silent.
    ser2net python3-serial nftables iproute2
    # The lab's certificates for benches over TLS (tools/lab-certs.sh).
    openssl
    # The checks on a private X display: Xvfb with a window manager, and what
    # assistive tools use, the AT-SPI bus on a private D-Bus session bus, read
    # through pyatspi.
    xvfb openbox dbus-daemon dbus-session-bus-common at-spi2-core python3-pyatspi
)
# The fuzz targets need clang's libFuzzer runtime; built when it is there.
optional=(clang libclang-rt-14-dev)
# The Windows stage of the test command, which runs only when there is a Qt for
# MinGW (tools/windows/windows-qt.sh): xz to unpack it, Wine, wixl for the
# installer and msiinfo (msitools) to read the versions of the packages in the
# upgrade checks, and Xvfb and xdotool to use the installed programs' windows.
if bash "$(dirname "$0")/windows/windows-qt.sh" --check 2>/dev/null; then
    packages+=(xz-utils wine wine64 wixl msitools xvfb xdotool)
fi
# Building Qt for MinGW from Debian's source package (apt-get source unpacks
# it with dpkg-source).
if [ "${1:-}" = --build-windows-qt ]; then
    packages+=(dpkg-dev ninja-build qt6-base-dev-tools xz-utils)
    shift
fi

missing=()
for package in "${packages[@]}" "${optional[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo=()
else
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
