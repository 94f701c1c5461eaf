#pragma once

#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QtTest>

// The control named `name` in `form` stands at `expected` (pixels) and, for a
// button or a label, shows `caption`.
inline void verifyControl(QWidget *form, const QString &name, const QRect &expected, const QString &caption)
{
    QWidget *widget = form->findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->geometry(), expected);
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), caption);
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), caption);
}
