#pragma once

#include <QFont>
#include <QString>

class QWidget;

// What the three windows share in how they are set up.
namespace platform {

// The named font at the given size and weight. Where the family is missing, a
// font of the same metrics if there is one (so that captions fit the fixed
// layouts), else the system's sans-serif, at the same size and weight.
QFont DesignFont(const QString &family, qreal pointSize, bool bold);

// The font of every control that sets none of its own.
QFont DialogFont();

// A window of fixed size in the dialog font: a title bar with a close box, no
// minimise or maximise box, centred on its screen when it is first shown.
void SetUpFixedWindow(QWidget *window);

// A fixed window of the given client size that the Esc key does not close and
// that keeps off the taskbar: what both password windows are.
void SetUpPasswordWindow(QWidget *window, int clientWidthTwips, int clientHeightTwips);

// The Esc key does nothing in this window (a dialog would close on it).
void IgnoreEscapeKey(QWidget *window);

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
