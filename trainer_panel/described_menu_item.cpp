#include "described_menu_item.h"

#include <QAccessible>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QStyle>
#include <QTextDocument>
#include <QWindow>

namespace {

// A single "&" marks the access key; "&&" is an ampersand.
const QRegularExpression AccessKeyMark(QStringLiteral("&(?!&)"));

// What tools read of a DescribedMenuItem: a menu item as Qt reports one (role,
// states, name, access key, the press action), with the description added.
class AccessibleDescribedMenuItem final : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    explicit AccessibleDescribedMenuItem(DescribedMenuItem *item)
        : m_item(item)
    {
    }

    bool isValid() const override { return m_item && owner(); }
    QObject *object() const override { return m_item; }

    QWindow *window() const override
    {
        QWidget *menu = owner();
        return menu ? menu->window()->windowHandle() : nullptr;
    }

    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(owner()); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name:
            return QString(m_item->text()).remove(AccessKeyMark);
        case QAccessible::Description:
            return m_item->description();
        case QAccessible::Accelerator:
            if (!m_item->shortcut().isEmpty())
                return m_item->shortcut().toString(QKeySequence::NativeText);
            return QKeySequence::mnemonic(m_item->text()).toString(QKeySequence::NativeText);
        default:
            return QString();
        }
    }
    void setText(QAccessible::Text, const QString &) override {}

    QRect rect() const override
    {
        QWidget *menu = owner();
        if (!menu)
            return QRect();
        QRect geometry;
        if (auto *popup = qobject_cast<QMenu *>(menu))
            geometry = popup->actionGeometry(m_item);
        else if (auto *bar = qobject_cast<QMenuBar *>(menu))
            geometry = bar->actionGeometry(m_item);
        return geometry.translated(menu->mapToGlobal(QPoint(0, 0)));
    }

    QAccessible::Role role() const override { return QAccessible::MenuItem; }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        QWidget *menu = owner();
        if (!menu || !menu->testAttribute(Qt::WA_WState_Visible) || !m_item->isVisible())
            state.invisible = true;
        if (auto *popup = qobject_cast<QMenu *>(menu))
            state.focused = popup->activeAction() == m_item;
        else if (auto *bar = qobject_cast<QMenuBar *>(menu))
            state.focused = bar->activeAction() == m_item;
        if (menu && menu->style()->styleHint(QStyle::SH_Menu_MouseTracking, nullptr, menu))
            state.hotTracked = true;
        state.disabled = !m_item->isEnabled();
        state.checkable = m_item->isCheckable();
        state.checked = m_item->isChecked();
        return state;
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this) : nullptr;
    }

    QStringList actionNames() const override { return QStringList{pressAction()}; }
    QStringList keyBindingsForAction(const QString &) const override { return QStringList(); }

    void doAction(const QString &action) override
    {
        if (action == pressAction() && m_item->isEnabled())
            m_item->trigger();
    }

private:
    // The menu that shows the item.
    QWidget *owner() const
    {
        if (!m_item)
            return nullptr;
        for (QObject *object : m_item->associatedObjects()) {
            if (qobject_cast<QMenu *>(object) || qobject_cast<QMenuBar *>(object))
                return static_cast<QWidget *>(object);
        }
        return nullptr;
    }

    QPointer<DescribedMenuItem> m_item;
};

QAccessibleInterface *accessibleDescribedMenuItem(const QString &className, QObject *object)
{
    if (className == QLatin1String(DescribedMenuItem::staticMetaObject.className()))
        return new AccessibleDescribedMenuItem(static_cast<DescribedMenuItem *>(object));
    return nullptr;
}

} // namespace

DescribedMenuItem::DescribedMenuItem(const QString &text, QObject *parent)
    : QAction(text, parent)
{
    // Installed before any interface of such an item is asked for; Qt keeps
    // one copy of each factory.
    QAccessible::installFactory(accessibleDescribedMenuItem);
}

void DescribedMenuItem::setDescription(const QString &description)
{
    if (description == m_description)
        return;
    m_description = description;
    // The text comes from a settings file: shown as plain text, never as markup.
    setToolTip(Qt::mightBeRichText(description)
                   ? QStringLiteral("<p style='white-space:pre'>%1</p>").arg(description.toHtmlEscaped())
                   : description);
    QAccessibleEvent event(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
}
