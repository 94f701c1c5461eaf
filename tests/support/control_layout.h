#pragma once

#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QtTest>

// The control named `name` in `form` stands at `expected` (pixels) and, for a
// button or a label, shows `caption`. A left-aligned label keeps its place and
// height but may be wider, where its text needs more room in the fonts at hand
// (tst_caption_fit checks when, and how far).
inline void VerifyControl(QWidget *form, const QString &name, const QRect &expected, const QString &caption)
{
    QWidget *widget = form->findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), caption);
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->text(), caption);
        QVERIFY(!(label->alignment() & (Qt::AlignRight | Qt::AlignHCenter)));
        QCOMPARE(widget->pos(), expected.topLeft());
        QCOMPARE(widget->height(), expected.height());
        QVERIFY2(widget->width() >= expected.width(), qPrintable(name));
        return;
    }
    QCOMPARE(widget->geometry(), expected);
}
