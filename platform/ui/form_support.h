#pragma once

// The password windows keep off the taskbar; their callers reach it from here.
#include "platform/ui/taskbar.h"

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

} // namespace platform
