# The application icon as files, drawn from wrench.xpm by velmora-icon (tools/)
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
if(WIN32)
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
        DEPENDS velmora-icon ${icon_source}
        COMMENT "Drawing the application icon as a ${size} x ${size} PNG"
        VERBATIM)
    list(APPEND icon_files ${png})
    set(VELMORA_ICON_PNG_${size} ${png} PARENT_SCOPE)
endforeach()
set(ico ${icon_dir}/velmora.ico)
add_custom_command(OUTPUT ${ico}
    COMMAND ${icon_tool} ${icon_source} ${ico}
    DEPENDS velmora-icon ${icon_source}
    COMMENT "Drawing the application icon as an ICO"
    VERBATIM)
list(APPEND icon_files ${ico})
add_custom_target(velmora_icons ALL DEPENDS ${icon_files})

set(VELMORA_ICON_PNG_SIZES ${icon_sizes} PARENT_SCOPE)
set(VELMORA_ICON_ICO ${ico} PARENT_SCOPE)
