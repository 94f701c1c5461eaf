#pragma once

#include <QAction>
#include <QString>

// A menu item with a description: shown as its tool tip (in a menu whose tool
// tips are visible) and read by assistive tools as its accessible
// description. Qt's own menu items give tools no description at all, so this
// one brings an accessible interface of its own; the item reads to them as
// Qt's do otherwise.
class DescribedMenuItem : public QAction
{
    Q_OBJECT

public:
    DescribedMenuItem(const QString &text, QObject *parent);

    QString description() const { return m_description; }
    // Tools are told when it changes.
    void setDescription(const QString &description);

private:
    QString m_description;
};
