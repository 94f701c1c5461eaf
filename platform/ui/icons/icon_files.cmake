# The application icon as files, drawn from wrench.xpm by velmora-icon (icon_tool.cmake)
# at build time so the XPM stays the picture's one source: PNGs for the desktop
# icon theme and an ICO for the Windows resources. Sets, for the whole project,
#   VELMORA_ICON_PNG_SIZES   sizes of the PNGs, in pixels
#   VELMORA_ICON_PNG_<size>  each PNG
#   VELMORA_ICON_ICO         the ICO, 32 x 32
# and the target velmora_icons that makes them.
set(icon_dir ${CMAKE_CURRENT_BINARY_DIR}/icons)
set(icon_source ${CMAKE_CURRENT_LIST_DIR}/wrench.xpm)
file(MAKE_DIRECTORY ${icon_dir})

set(icon_tool velmora-icon)
set(icon_tool_target velmora-icon)
if(CMAKE_CROSSCOMPILING)
    # The converter runs here, on the build machine: a native build of it
    # with the build machine's compiler and Qt, never an .exe.
    include(ExternalProject)
    set(host_dir ${PROJECT_BINARY_DIR}/host-tools)
    ExternalProject_Add(velmora_host_tools
        SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/host
        BINARY_DIR ${host_dir}
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
                   -DCMAKE_PREFIX_PATH=${QT_HOST_PATH}
                   -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
        BUILD_BYPRODUCTS ${host_dir}/velmora-icon
        INSTALL_COMMAND "")
    set(icon_tool ${host_dir}/velmora-icon)
    set(icon_tool_target velmora_host_tools ${host_dir}/velmora-icon)
elseif(WIN32)
    # Nothing copies Qt's DLLs beside a tool that only the build runs.
    set(icon_tool ${CMAKE_COMMAND} -E env --modify PATH=path_list_prepend:$<TARGET_FILE_DIR:Qt6::Core>
        $<TARGET_FILE:velmora-icon>)
endif()

# 32 is the picture itself; the larger ones repeat each pixel as a square
# block, sharper on dense screens than what a menu's own scaling gives.
set(icon_sizes 32 64 128)
set(icon_files)
foreach(size ${icon_sizes})
    set(png ${icon_dir}/velmora-${size}.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${icon_tool} ${icon_source} ${png} ${size}
        DEPENDS ${icon_tool_target} ${icon_source}
        COMMENT "Drawing the application icon as a ${size} x ${size} PNG"
        VERBATIM)
    list(APPEND icon_files ${png})
    set(VELMORA_ICON_PNG_${size} ${png} CACHE INTERNAL "")
endforeach()
set(ico ${icon_dir}/velmora.ico)
add_custom_command(OUTPUT ${ico}
    COMMAND ${icon_tool} ${icon_source} ${ico}
    DEPENDS ${icon_tool_target} ${icon_source}
    COMMENT "Drawing the application icon as an ICO"
    VERBATIM)
list(APPEND icon_files ${ico})
add_custom_target(velmora_icons ALL DEPENDS ${icon_files})

set(VELMORA_ICON_PNG_SIZES ${icon_sizes} CACHE INTERNAL "")
set(VELMORA_ICON_ICO ${ico} CACHE INTERNAL "")
