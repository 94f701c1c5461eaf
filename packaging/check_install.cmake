# Installs the build into an empty folder (DESTDIR, prefix /usr) and checks the
# layout that the package and the desktop menu rely on. Run by CTest:
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONFIG=... -DPROGRAMS=a,b
#         -DICON_SIZES=32,64 -DDESKTOP_FILES=x.desktop,y.desktop
#         [-DDESKTOP_FILE_VALIDATE=path] -P check_install.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
require_arguments(BUILD_DIR WORK_DIR PROGRAMS ICON_SIZES DESKTOP_FILES)
split_lists(PROGRAMS ICON_SIZES DESKTOP_FILES)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(ENV{DESTDIR} ${WORK_DIR})
set(config_args)
if(CONFIG)
    set(config_args --config ${CONFIG})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr ${config_args}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()
set(root ${WORK_DIR}/usr)

# Exactly the programs, nothing that only the build needs.
file(GLOB installed_programs RELATIVE ${root}/bin ${root}/bin/*)
list(SORT installed_programs)
set(expected_programs ${PROGRAMS})
list(SORT expected_programs)
if(NOT installed_programs STREQUAL expected_programs)
    fail("bin/ holds '${installed_programs}', expected '${expected_programs}'")
endif()

# PNG: the 8-byte signature, then the IHDR chunk with width and height.
function(png_size file out)
    file(READ ${file} head LIMIT 24 HEX)
    string(LENGTH "${head}" length)
    if(NOT head MATCHES "^89504e470d0a1a0a0000000d49484452" OR NOT length EQUAL 48)
        set(${out} "not a PNG" PARENT_SCOPE)
        return()
    endif()
    string(SUBSTRING "${head}" 32 8 width)
    string(SUBSTRING "${head}" 40 8 height)
    math(EXPR width "0x${width}")
    math(EXPR height "0x${height}")
    set(${out} "${width}x${height}" PARENT_SCOPE)
endfunction()

set(icon_names)
foreach(desktop ${DESKTOP_FILES})
    set(path ${root}/share/applications/${desktop})
    if(NOT EXISTS ${path})
        fail("share/applications/${desktop} not installed")
        continue()
    endif()
    if(DESKTOP_FILE_VALIDATE)
        execute_process(COMMAND ${DESKTOP_FILE_VALIDATE} ${path}
            RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
        if(NOT result EQUAL 0 OR NOT output STREQUAL "")
            fail("desktop-file-validate ${desktop}:\n${output}")
        endif()
    else()
        message(STATUS "desktop-file-validate not found: ${desktop} not validated")
    endif()
    # The entry must start an installed program and name an installed icon.
    file(STRINGS ${path} exec REGEX "^Exec=")
    string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec "${exec}")
    if(NOT exec OR NOT EXISTS ${root}/bin/${exec})
        fail("${desktop}: Exec '${exec}' is not a program in bin/")
    endif()
    file(STRINGS ${path} icon REGEX "^Icon=")
    string(REGEX REPLACE "^Icon=" "" icon "${icon}")
    if(NOT icon)
        fail("${desktop}: no Icon")
    endif()
    list(APPEND icon_names ${icon})
endforeach()

list(REMOVE_DUPLICATES icon_names)
foreach(icon ${icon_names})
    foreach(size ${ICON_SIZES})
        set(png ${root}/share/icons/hicolor/${size}x${size}/apps/${icon}.png)
        if(NOT EXISTS ${png})
            fail("icon ${icon}: share/icons/hicolor/${size}x${size}/apps/${icon}.png not installed")
            continue()
        endif()
        png_size(${png} found)
        if(NOT found STREQUAL "${size}x${size}")
            fail("icon ${icon} at ${size}: the PNG is ${found}")
        endif()
    endforeach()
endforeach()

# The installed settings tool runs from its new place and finds the store
# where the programs look for it.
set(ENV{XDG_CONFIG_HOME} ${WORK_DIR}/config)
execute_process(COMMAND ${root}/bin/velmora-settings where
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0 OR NOT output STREQUAL "${WORK_DIR}/config/TarvexCircuitTool.ini")
    fail("installed velmora-settings where: '${output}' (exit ${result}) ${error}")
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} problem(s) in the installed layout under ${WORK_DIR}")
endif()
message(STATUS "Installed layout under ${WORK_DIR}/usr is complete")
