#pragma once

#include "platform/ui/ole_colour.h"

#include <QPushButton>

// A push button drawn in the classic raised style with a background colour of
// its own. The colour is kept as the 32-bit value that was set, which reads
// back exactly, so that state can be kept in it and compared by value.
class ColourButton : public QPushButton
{
    Q_OBJECT

public:
    explicit ColourButton(const QString &caption, QWidget *parent = nullptr);

    platform::OleColour backColor() const { return m_backColor; }
    void setBackColor(platform::OleColour colour);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    platform::OleColour m_backColor = platform::SystemColour(platform::SystemColourButtonFace);
};
