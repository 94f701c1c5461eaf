# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (POSIX threads).
#   -DCMAKE_TOOLCHAIN_FILE=tools/windows/mingw-w64-x86_64.cmake
#   -DVELMORA_WINDOWS_QT=<Qt for MinGW, a folder with lib/cmake/Qt6>
# moc, rcc and uic are the build machine's own (Debian's qt6-base-dev-tools).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# try_compile projects read this file again and need the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_WINDOWS_QT)
if(NOT VELMORA_WINDOWS_QT OR NOT EXISTS "${VELMORA_WINDOWS_QT}/lib/cmake/Qt6")
    message(FATAL_ERROR "VELMORA_WINDOWS_QT must name a Qt for MinGW (a folder with lib/cmake/Qt6); "
                        "tools/windows/build.sh finds or unpacks one")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${VELMORA_WINDOWS_QT}")
set(CMAKE_PREFIX_PATH "${VELMORA_WINDOWS_QT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
