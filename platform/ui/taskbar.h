#pragma once

class QWidget;

// Keeping a window's button off the taskbar, which differs by system.
namespace platform {

// Keeps the window's button off the taskbar: on Windows through a hidden
// owner, on X11 through the _NET_WM_STATE_SKIP_TASKBAR hint of a window
// marked a dialog, which desktops that follow the EWMH honour. Elsewhere
// (Wayland, say) the desktop decides.
void KeepOffTaskbar(QWidget *window);

// How Windows keeps a window off the taskbar: the window gets an owner that is
// never shown. Qt counts an owned window for nothing when it decides whether
// the last window has closed, so the window holds the program open itself
// while it is shown. Used by KeepOffTaskbar on Windows; public so that the
// program's end can be checked with it on every system.
void GiveHiddenOwner(QWidget *window);

} // namespace platform
