#pragma once

#include "platform/ui/ole_colour.h"

#include <QPushButton>
#include <optional>

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

    // Makes the button a toggle for assistive tools, which hear it as a check
    // box that is checked while the button shows `onColour`, and are told when
    // that changes. Nothing drawn changes: the colour stays the only sign.
    void setOnColour(platform::OleColour onColour);
    bool hasOnColour() const { return m_onColour.has_value(); }
    bool isOn() const { return m_onColour && m_backColor == *m_onColour; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    platform::OleColour m_backColor = platform::SystemColour(platform::SystemColourButtonFace);
    std::optional<platform::OleColour> m_onColour;
};
