#include "platform/serial/serial_settings.h"

#include <QtTest>

using platform::LineSettings;
using platform::Parity;
using platform::StopBits;

Q_DECLARE_METATYPE(platform::Parity)
Q_DECLARE_METATYPE(platform::StopBits)

class tst_SerialSettings : public QObject
{
    Q_OBJECT

private slots:
    void parsesValidText_data();
    void parsesValidText();
    void refusesMalformedText_data();
    void refusesMalformedText();
};

void tst_SerialSettings::parsesValidText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud");
    QTest::addColumn<Parity>("parity");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<StopBits>("stopBits");
    QTest::newRow("the trainer's line") << "2400,E,8,2" << 2400 << Parity::Even << 8 << StopBits::Two;
    QTest::newRow("lower-case parity") << "9600,n,8,1" << 9600 << Parity::None << 8 << StopBits::One;
    QTest::newRow("odd, 7 bits, 1.5 stop") << "1200,O,7,1.5" << 1200 << Parity::Odd << 7 << StopBits::OneAndHalf;
    QTest::newRow("mark") << "300,M,5,1" << 300 << Parity::Mark << 5 << StopBits::One;
    QTest::newRow("space, blanks around fields") << " 19200 , S , 6 , 2 " << 19200 << Parity::Space << 6 << StopBits::Two;
}

void tst_SerialSettings::parsesValidText()
{
    QFETCH(QString, text);
    QFETCH(int, baud);
    QFETCH(Parity, parity);
    QFETCH(int, dataBits);
    QFETCH(StopBits, stopBits);
    const auto parsed = platform::ParseLineSettings(text.toStdString());
    QVERIFY(parsed.has_value());
    QCOMPARE(parsed->baudRate, baud);
    QCOMPARE(parsed->parity, parity);
    QCOMPARE(parsed->dataBits, dataBits);
    QCOMPARE(parsed->stopBits, stopBits);
}

void tst_SerialSettings::refusesMalformedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("three fields") << "2400,E,8";
    QTest::newRow("five fields") << "2400,E,8,2,1";
    QTest::newRow("speed not a number") << "fast,E,8,2";
    QTest::newRow("speed zero") << "0,E,8,2";
    QTest::newRow("negative speed") << "-2400,E,8,2";
    QTest::newRow("unknown parity") << "2400,X,8,2";
    QTest::newRow("parity word") << "2400,Even,8,2";
    QTest::newRow("nine data bits") << "2400,E,9,2";
    QTest::newRow("three data bits") << "2400,E,3,2";
    QTest::newRow("three stop bits") << "2400,E,8,3";
    QTest::newRow("empty field") << "2400,,8,2";
    QTest::newRow("trailing junk on speed") << "2400x,E,8,2";
}

void tst_SerialSettings::refusesMalformedText()
{
    QFETCH(QString, text);
    QVERIFY(!platform::ParseLineSettings(text.toStdString()).has_value());
}

QTEST_APPLESS_MAIN(tst_SerialSettings)
#include "tst_serial_settings.moc"
