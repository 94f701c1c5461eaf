#pragma once

#include <QList>
#include <QString>

class QWidget;

namespace platform {

// A text that a control shows later on: its caption needs room for that too.
struct LaterCaption
{
    QWidget *control = nullptr;
    QString text;
};

// Makes every caption of the labels, buttons and frames in `form` readable in
// the font at hand; call it once the form's controls stand where the layout
// puts them. A caption that fits its box changes nothing, so with the fonts
// the layout was drawn for the form stays exactly as laid out. A label too
// narrow for its text keeps its place (the edge its text is aligned to, or
// its centre) and grows into the free room beside it, never over another
// control and never nearer to its container's edge than the layouts' margin.
// Where that room is not enough, and for buttons and frames, which keep their
// size, the control gets the largest size of its font at which its text fits.
void FitCaptions(QWidget *form, const QList<LaterCaption> &later = {});

} // namespace platform
