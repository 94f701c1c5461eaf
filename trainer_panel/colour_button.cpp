#include "colour_button.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <qdrawutil.h>

ColourButton::ColourButton(const QString &caption, QWidget *parent)
    : QPushButton(caption, parent)
{
}

void ColourButton::setBackColor(platform::OleColour colour)
{
    if (colour == m_backColor)
        return;
    m_backColor = colour;
    update();
}

// Drawn by hand: several styles ignore a button's palette, and the colour is
// what the instructor reads the item's state from.
void ColourButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QBrush fill(platform::ResolveOleColour(m_backColor, palette()));
    const bool sunken = isDown();
    qDrawWinButton(&painter, rect(), palette(), sunken, &fill);

    QRect textRect = rect().adjusted(2, 2, -2, -2);
    if (sunken)
        textRect.translate(1, 1);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                   QPalette::ButtonText));
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextShowMnemonic, text());

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(3, 3, -3, -3);
        focus.backgroundColor = fill.color();
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}
