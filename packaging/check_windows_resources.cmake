# Compiles each program's Windows resources with MinGW-w64's windres, turns
# them back into text and checks that they hold the 32 x 32 icon and the
# product's name and version. Run by CTest:
#   cmake -DWINDRES=... -DWORK_DIR=... -DICO=velmora.ico -DRC_FILES=a.rc,b.rc
#         -DPRODUCTS=A,B -DVERSIONS=1.10,1.00 -P check_windows_resources.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
require_arguments(WINDRES WORK_DIR ICO RC_FILES PRODUCTS VERSIONS)
split_lists(RC_FILES PRODUCTS VERSIONS)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# The ICO: reserved 0, type 1 (icon), one image, 32 x 32 in the directory entry.
file(READ ${ICO} head LIMIT 8 HEX)
if(NOT head STREQUAL "0000010001002020")
    fail("${ICO} is not one 32 x 32 icon: header ${head}")
endif()

foreach(rc product version IN ZIP_LISTS RC_FILES PRODUCTS VERSIONS)
    get_filename_component(name ${rc} NAME_WE)
    # As the Windows build links it, and as a .res that windres can write back as text.
    execute_process(COMMAND ${WINDRES} -i ${rc} -O coff -o ${WORK_DIR}/${name}.res.o
        RESULT_VARIABLE result ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
        fail("${rc} does not compile:\n${error}")
        continue()
    endif()
    execute_process(COMMAND ${WINDRES} -i ${rc} -O res -o ${WORK_DIR}/${name}.res
        COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${WINDRES} -i ${WORK_DIR}/${name}.res -O rc -o ${WORK_DIR}/${name}.back.rc
        COMMAND_ERROR_IS_FATAL ANY)
    file(READ ${WORK_DIR}/${name}.back.rc text)

    # The first icon group, whose one image is 32 x 32 pixels in 32 bits.
    if(NOT text MATCHES "\"IDI_ICON1\" 14 /\\* RT_GROUP_ICON \\*/")
        fail("${rc}: no icon group IDI_ICON1")
    elseif(NOT text MATCHES "\"\\\\040\\\\040\\\\000\\\\000\", 1, 32,")
        fail("${rc}: the icon group has no 32 x 32 image")
    endif()

    string(REGEX MATCH "^([0-9]+)\\.([0-9]+)$" parts "${version}")
    math(EXPR major "${CMAKE_MATCH_1}")
    math(EXPR minor "${CMAKE_MATCH_2}")
    foreach(expected
            "FILEVERSION ${major}, ${minor}, 0, 0"
            "PRODUCTVERSION ${major}, ${minor}, 0, 0"
            "FILETYPE 0x1\n"
            "VALUE \"ProductName\", \"${product}\"\n"
            "VALUE \"FileDescription\", \"${product}\"\n"
            "VALUE \"ProductVersion\", \"${version}\"\n"
            "VALUE \"FileVersion\", \"${version}\"\n")
        string(FIND "${text}" "${expected}" at)
        if(at EQUAL -1)
            string(STRIP "${expected}" expected)
            fail("${rc}: lacks ${expected}")
        endif()
    endforeach()
endforeach()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} problem(s) in the Windows resources")
endif()
message(STATUS "Windows resources compile and carry icon, name and version")
