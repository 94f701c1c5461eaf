#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   bash tools/test.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BUILD_DIR:-$root/build}

bash "$root/tools/install-deps.sh"
# The Windows serial code's MinGW-w64 check is required here, not only where found.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_WIN32_CROSS_CHECK=ON
cmake --build "$build" --parallel "$(nproc)"
(cd "$build" && ctest --output-on-failure --parallel "$(nproc)" --timeout 300)

# The Windows programs, cross-built and run under Wine, whenever there is a Qt
# for MinGW to build them with.
if reason=$(bash "$root/tools/windows/windows-qt.sh" --check 2>&1); then
    windows_build=${VELMORA_WINDOWS_BUILD_DIR:-$root/build-windows}
    VELMORA_WINDOWS_BUILD_DIR=$windows_build bash "$root/tools/windows/build.sh" \
        -DVELMORA_TARVEX_SIM="$build/simulator/tarvex-sim" \
        -DVELMORA_WINDOW_POINTS="$build/tests/window-points" \
        -DVELMORA_MODEM_LINE_FIXTURE="$build/tests/libmodem_line_fixture.so"
    (cd "$windows_build" && ctest --output-on-failure --parallel "$(nproc)" --timeout 300)
else
    echo "Windows stage skipped: $reason"
fi
