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

// A fixed-size window: title bar with a close box, no minimise or maximise box.
void MakeFixedWindow(QWidget *window);

// Centres a top-level window on the screen it is on.
void CentreOnScreen(QWidget *window);

} // namespace platform
