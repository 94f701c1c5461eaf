// A message box's title that is longer than a title bar shows: cut after a
// word, with an ellipsis, so that the reason in its first words is seen.
#include "platform/ui/message_box.h"

#include <QFontMetrics>
#include <QtTest>

namespace {

const QString Ellipsis(QChar(0x2026));

} // namespace

class tst_MessageTitle : public QObject
{
    Q_OBJECT

private slots:
    void cutAfterTheLastWordThatFits_data();
    void cutAfterTheLastWordThatFits();
    void oneWordLongerThanTheBar();
};

void tst_MessageTitle::cutAfterTheLastWordThatFits_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("room");   // the bar is as wide as this text
    QTest::addColumn<QString>("shown");

    const QString reason = QStringLiteral("Invalid port number: the certificate of bench5.lab:2217 is not signed by a "
                                          "trusted CA");
    QTest::newRow("a title that fits stays whole") << reason << reason << reason;
    const QString cut = QStringLiteral("Invalid port number: the certificate of") + Ellipsis;
    QTest::newRow("cut where the kept words just fit") << reason << cut << cut;
    QTest::newRow("a little less room: a word less")
        << reason << cut.chopped(2) << QStringLiteral("Invalid port number: the certificate") + Ellipsis;
    QTest::newRow("punctuation before the cut goes with it")
        << QStringLiteral("Invalid port number: bench5.lab:2217 closed the connection")
        << QStringLiteral("Invalid port number: bench5.la") << QStringLiteral("Invalid port number") + Ellipsis;
}

void tst_MessageTitle::cutAfterTheLastWordThatFits()
{
    QFETCH(QString, title);
    QFETCH(QString, room);
    QFETCH(QString, shown);
    const QFontMetrics metrics{QFont()};
    QCOMPARE(platform::TitleThatFits(title, metrics, metrics.horizontalAdvance(room)), shown);
}

void tst_MessageTitle::oneWordLongerThanTheBar()
{
    const QString title = QStringLiteral("Invalid_port_number_with_no_blank_in_it");
    const QFontMetrics metrics{QFont()};
    const int width = metrics.horizontalAdvance(title) / 2;
    const QString fitted = platform::TitleThatFits(title, metrics, width);
    QVERIFY2(metrics.horizontalAdvance(fitted) <= width, qPrintable(fitted));
    QVERIFY2(fitted.endsWith(Ellipsis) && title.startsWith(fitted.chopped(1)) && fitted.size() > 5, qPrintable(fitted));
}

QTEST_MAIN(tst_MessageTitle)
#include "tst_message_title.moc"
