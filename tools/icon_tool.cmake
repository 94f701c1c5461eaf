# velmora-icon draws the icon's XPM as the PNG and ICO files of the desktop
# menu and the Windows resources (platform/icons/); a build step, never
# installed. Included by tools/ and, when cross-compiling, by tools/host/.
qt_add_executable(velmora-icon ${CMAKE_CURRENT_LIST_DIR}/velmora_icon.cpp)
target_link_libraries(velmora-icon PRIVATE Qt::Gui)
