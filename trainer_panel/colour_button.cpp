#include "colour_button.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <qdrawutil.h>

namespace {

// What assistive tools read of a ColourButton: with an "on" colour a check
// box, as Qt reports a checkable push button, else a push button. The button
// itself stays uncheckable, so no style draws it sunken while it is on.
class AccessibleColourButton final : public QAccessibleWidget
{
public:
    explicit AccessibleColourButton(ColourButton *button)
        : QAccessibleWidget(button, QAccessible::Button)
    {
    }

    QAccessible::Role role() const override
    {
        return button()->hasOnColour() ? QAccessible::CheckBox : QAccessible::Button;
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.pressed = button()->isDown();
        state.checkable = button()->hasOnColour();
        state.checked = button()->isOn();
        return state;
    }

    // Named by its accessible name, else by its caption: never by the frame it
    // stands in, which is what Qt would fall back to.
    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name)
            return QAccessibleWidget::text(t);
        if (!button()->accessibleName().isEmpty())
            return button()->accessibleName();
        // A single "&" marks the access key; "&&" is an ampersand.
        static const QRegularExpression accessKeyMark(QStringLiteral("&(?!&)"));
        return QString(button()->text()).remove(accessKeyMark);
    }

    QStringList actionNames() const override
    {
        return QStringList{button()->hasOnColour() ? toggleAction() : pressAction()}
            + QAccessibleWidget::actionNames();
    }

    // Either action is a click, and the click handler decides what changes.
    // The click comes a moment later, as with Qt's own buttons, so that a
    // message box it opens does not hold up the tool that asked for it.
    void doAction(const QString &action) override
    {
        if (action != pressAction() && action != toggleAction()) {
            QAccessibleWidget::doAction(action);
            return;
        }
        if (button()->isEnabled())
            button()->animateClick();
    }

private:
    ColourButton *button() const { return static_cast<ColourButton *>(widget()); }
};

QAccessibleInterface *accessibleColourButton(const QString &className, QObject *object)
{
    if (className == QLatin1String(ColourButton::staticMetaObject.className()))
        return new AccessibleColourButton(static_cast<ColourButton *>(object));
    return nullptr;
}

} // namespace

ColourButton::ColourButton(const QString &caption, QWidget *parent)
    : QPushButton(caption, parent)
{
    // Installed before any interface of such a button is asked for; Qt keeps
    // one copy of each factory.
    QAccessible::installFactory(accessibleColourButton);
}

void ColourButton::setBackColor(platform::OleColour colour)
{
    if (colour == m_backColor)
        return;
    const bool wasOn = isOn();
    m_backColor = colour;
    update();
    if (isOn() != wasOn) {
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }
}

void ColourButton::setOnColour(platform::OleColour onColour)
{
    m_onColour = onColour;
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
