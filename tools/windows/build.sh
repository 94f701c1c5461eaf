#!/usr/bin/env bash
# Cross-builds the Windows programs on Linux: Velmora.exe, VelmoraPassword.exe,
# velmora-serial-probe.exe and the tests; BUILD/Velmora/bin, a folder that runs
# as it is on Windows; and the installer BUILD/Velmora-<version>-x64.msi.
#   bash tools/windows/build.sh [extra cmake configure arguments]
# BUILD is build-windows/ (VELMORA_WINDOWS_BUILD_DIR to change it). The Qt for
# MinGW comes from VELMORA_WINDOWS_QT or ../shared/windows-qt (windows-qt.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELMORA_WINDOWS_BUILD_DIR:-$root/build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)

qt=$(bash "$root/tools/windows/windows-qt.sh" "$build")
cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/tools/windows/mingw-w64-x86_64.cmake" \
    -DVELMORA_WINDOWS_QT="$qt" -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$build" --parallel "$(nproc)"
cmake --build "$build" --target windows_installer
