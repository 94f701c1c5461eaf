# velmora-icon draws the icon's XPM as the PNG and ICO files of the desktop
# menu and the Windows resources (icon_files.cmake); a build step, never
# installed. Included by platform/ui/ and, when cross-compiling, by host/.
qt_add_executable(velmora-icon ${CMAKE_CURRENT_LIST_DIR}/velmora_icon.cpp)
target_link_libraries(velmora-icon PRIVATE Qt::Gui)
