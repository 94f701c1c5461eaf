# The application icon as files, committed here so that no build has to draw
# them: PNGs for the desktop icon theme, an ICO for the Windows resources and
# the installer. wrench.xpm stays the picture's one source: velmora-icon draws
# the files from it, tst_icon_files checks that they are what it draws, and
#   cmake --build BUILD --target velmora_redraw_icons
# draws them anew into this folder after a change (then commit them).
# Sets, for the whole project,
#   VELMORA_ICON_PNG_SIZES   sizes of the PNGs, in pixels
#   VELMORA_ICON_PNG_<size>  each PNG
#   VELMORA_ICON_ICO         the ICO, 32 x 32
#   VELMORA_ICON_FILES       every file as "SIZE|PATH", as velmora-icon draws it
set(icon_dir ${CMAKE_CURRENT_LIST_DIR})

# 32 is the picture itself; the larger ones repeat each pixel as a square
# block, sharper on dense screens than what a menu's own scaling gives.
set(icon_sizes 32 64 128)
set(icon_files)
foreach(size ${icon_sizes})
    set(png ${icon_dir}/velmora-${size}.png)
    set(VELMORA_ICON_PNG_${size} ${png} CACHE INTERNAL "")
    list(APPEND icon_files "${size}|${png}")
endforeach()
set(VELMORA_ICON_PNG_SIZES ${icon_sizes} CACHE INTERNAL "")
set(VELMORA_ICON_ICO ${icon_dir}/velmora.ico CACHE INTERNAL "")
list(APPEND icon_files "32|${VELMORA_ICON_ICO}")
set(VELMORA_ICON_FILES ${icon_files} CACHE INTERNAL "")

# The tool runs on the build machine only, so a cross build leaves it out.
if(CMAKE_CROSSCOMPILING)
    return()
endif()
qt_add_executable(velmora-icon ${icon_dir}/velmora_icon.cpp)
target_link_libraries(velmora-icon PRIVATE Qt::Gui)

set(draw $<TARGET_FILE:velmora-icon>)
if(WIN32)
    # Nothing copies Qt's DLLs beside a tool that only developers run.
    set(draw ${CMAKE_COMMAND} -E env --modify PATH=path_list_prepend:$<TARGET_FILE_DIR:Qt6::Core> ${draw})
endif()
set(redraw)
foreach(entry ${icon_files})
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 size)
    list(GET entry 1 file)
    list(APPEND redraw COMMAND ${draw} ${icon_dir}/wrench.xpm ${file} ${size})
endforeach()
add_custom_target(velmora_redraw_icons ${redraw}
    COMMENT "Drawing the icon files in ${icon_dir} from wrench.xpm"
    VERBATIM)
add_dependencies(velmora_redraw_icons velmora-icon)
