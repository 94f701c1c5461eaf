#include "platform/ui/single_byte_text.h"

#include <QStringDecoder>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using platform::FromSingleByteCodes;
using platform::ToSingleByteCodes;

class tst_SingleByteText : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void charactersHaveTheirCodes_data();
    void charactersHaveTheirCodes();
    void charactersWithoutACodeAreRefused_data();
    void charactersWithoutACodeAreRefused();
    void everyCodeRoundTrips();
    void everyCodeAgreesWithQtsCodec();
};

void tst_SingleByteText::initTestCase()
{
#ifdef Q_OS_WIN
    if (GetACP() != 1252)
        QSKIP("The expected codes are those of Windows-1252; this system's ANSI code page differs.");
#endif
}

void tst_SingleByteText::charactersHaveTheirCodes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("codes");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("ASCII") << QStringLiteral("Pass word~") << QByteArray("Pass word~");
    QTest::newRow("NUL and DEL") << (QString(QChar(0x00)) + QChar(0x7f)) << QByteArray("\x00\x7f", 2);
    QTest::newRow("e acute, Latin-1 half") << QStringLiteral("caf\u00e9") << QByteArray("caf\xe9");
    QTest::newRow("y diaeresis, last byte") << QStringLiteral("\u00ff") << QByteArray("\xff");
    QTest::newRow("no-break space") << QStringLiteral("\u00a0") << QByteArray("\xa0");
    QTest::newRow("euro sign") << QStringLiteral("\u20ac") << QByteArray("\x80");
    QTest::newRow("per mille sign") << QStringLiteral("\u2030") << QByteArray("\x89");
    QTest::newRow("capital Y diaeresis") << QStringLiteral("\u0178") << QByteArray("\x9f");
    QTest::newRow("quotation marks") << QStringLiteral("\u201c\u2019\u201d") << QByteArray("\x93\x92\x94");
    QTest::newRow("undefined byte 0x81") << QStringLiteral("\u0081") << QByteArray("\x81");
    QTest::newRow("undefined bytes 0x8D 0x8F 0x90 0x9D")
        << QStringLiteral("\u008d\u008f\u0090\u009d") << QByteArray("\x8d\x8f\x90\x9d");
}

void tst_SingleByteText::charactersHaveTheirCodes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, codes);
    QCOMPARE(ToSingleByteCodes(text), std::optional<std::string>(codes.toStdString()));
    QCOMPARE(FromSingleByteCodes(codes.toStdString()), text);
}

void tst_SingleByteText::charactersWithoutACodeAreRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("A macron, just past Latin-1") << QStringLiteral("abc\u0100");
    QTest::newRow("C1 control whose byte is the euro sign") << QStringLiteral("\u0080");
    QTest::newRow("C1 control whose byte is Y diaeresis") << QStringLiteral("\u009f");
    QTest::newRow("CJK character") << QStringLiteral("pass\u5bc6");
    QTest::newRow("emoji, a surrogate pair") << QStringLiteral("key\U0001F511");
    QTest::newRow("lone high surrogate") << QString(QChar(0xD800));
    QTest::newRow("replacement character") << QStringLiteral("\ufffd");
}

void tst_SingleByteText::charactersWithoutACodeAreRefused()
{
    QFETCH(QString, text);
    QCOMPARE(ToSingleByteCodes(text), std::optional<std::string>());
}

void tst_SingleByteText::everyCodeRoundTrips()
{
    std::string codes;
    for (int code = 0; code <= 255; ++code)
        codes += static_cast<char>(code);
    const QString text = FromSingleByteCodes(codes);
    QCOMPARE(text.size(), qsizetype(256));
    QCOMPARE(ToSingleByteCodes(text), std::optional<std::string>(codes));
}

void tst_SingleByteText::everyCodeAgreesWithQtsCodec()
{
    // Qt has this codec only when built with ICU; where it does, it is an independent table.
    QStringDecoder decoder("windows-1252");
    if (!decoder.isValid())
        QSKIP("This Qt has no Windows-1252 codec to compare with.");
    for (int code = 0; code <= 255; ++code) {
        const char byte = static_cast<char>(code);
        QCOMPARE(FromSingleByteCodes(std::string_view(&byte, 1)), decoder.decode(QByteArrayView(&byte, 1)));
    }
}

QTEST_APPLESS_MAIN(tst_SingleByteText)
#include "tst_single_byte_text.moc"
