// The INI store's text on its own, without a file: what a line means, how a
// change lands in the text a user may have edited by hand, lines that are not
// UTF-8, and what is not text at all.
// The expected texts are written out by hand from the file's rules.
#include "platform/settings/ini_text.h"

#include <QtTest>

using platform::IniText;

namespace {

IniText parsed(const QByteArray &bytes)
{
    IniText ini;
    if (!ini.parse(bytes))
        qFatal("the test's own text is not text: %s", bytes.constData());
    return ini;
}

} // namespace

class tst_IniText : public QObject
{
    Q_OBJECT

private slots:
    void valueIsFound_data();
    void valueIsFound();
    void textIsWrittenBackAsItWasRead_data();
    void textIsWrittenBackAsItWasRead();
    void lineNotUtf8IsKeptAndIgnored_data();
    void lineNotUtf8IsKeptAndIgnored();
    void whatIsNotTextReadsAsEmpty_data();
    void whatIsNotTextReadsAsEmpty();
    void setChangesTheTextInPlace_data();
    void setChangesTheTextInPlace();
    void removeSaysWhetherItDroppedAnything_data();
    void removeSaysWhetherItDroppedAnything();
};

void tst_IniText::valueIsFound_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("value");
    const QString general = QStringLiteral("General");
    const QString port = QStringLiteral("CommPort");
    QTest::newRow("blanks around the equals sign") << QByteArray("[General]\n  CommPort  =  7  \n") << general << port
                                                   << true << "7";
    QTest::newRow("tabs around the equals sign") << QByteArray("[General]\nCommPort\t=\t7\n") << general << port << true
                                                 << "7";
    QTest::newRow("names in the file in another case") << QByteArray("[GENERAL]\ncommport=7\n") << general << port
                                                       << true << "7";
    QTest::newRow("names asked in another case") << QByteArray("[General]\nCommPort=7\n") << "general"
                                                 << "COMMPORT" << true << "7";
    QTest::newRow("letters beyond ASCII in another case")
        << QByteArray("[Schnittstellen]\nGR\xc3\x96\xc3\x9f" "E=gro\xc3\x9f\n") << "schnittstellen"
        << QString::fromUtf8("Gr\xc3\xb6\xc3\x9f" "e") << true << QString::fromUtf8("gro\xc3\x9f");
    QTest::newRow("blanks inside and before the brackets") << QByteArray("  [ General ]\nCommPort=7\n") << general
                                                           << port << true << "7";
    QTest::newRow("comment line before the key") << QByteArray("[General]\n; the bench's port\nCommPort=7\n")
                                                 << general << port << true << "7";
    QTest::newRow("first of two lines") << QByteArray("[General]\nCommPort=7\nCommPort=8\n") << general << port
                                        << true << "7";
    QTest::newRow("section given twice") << QByteArray("[General]\nA=1\n[Ports]\nCOM1=x\n[general]\nCommPort=7\n")
                                         << general << port << true << "7";
    QTest::newRow("empty value") << QByteArray("[General]\nCommPort=\n") << general << port << true << "";
    QTest::newRow("equals sign in the value") << QByteArray("[General]\nCommPort= a = b \n") << general << port
                                              << true << "a = b";
    QTest::newRow("Windows line ends") << QByteArray("[General]\r\nCommPort=7\r\n") << general << port << true
                                       << "7";
    QTest::newRow("no line end at the end") << QByteArray("[General]\nCommPort=7") << general << port << true
                                            << "7";
    QTest::newRow("byte order mark before the first section") << QByteArray("\xef\xbb\xbf[General]\nCommPort=7\n")
                                                              << general << port << true << "7";
    QTest::newRow("key in another section only") << QByteArray("[Ports]\nCommPort=7\n[General]\nA=1\n") << general
                                                 << port << false << "";
    QTest::newRow("key before any section") << QByteArray("CommPort=7\n[General]\n") << general << port << false
                                            << "";
    QTest::newRow("commented out with a semicolon") << QByteArray("[General]\n;CommPort=7\n") << general << port
                                                    << false << "";
    QTest::newRow("commented out with a hash after blanks") << QByteArray("[General]\n  # CommPort=7\n") << general
                                                            << port << false << "";
    QTest::newRow("line without an equals sign") << QByteArray("[General]\nCommPort 7\n") << general << port
                                                 << false << "";
    QTest::newRow("empty text") << QByteArray() << general << port << false << "";
}

void tst_IniText::valueIsFound()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(bool, found);
    QFETCH(QString, value);
    const std::optional<QString> got = parsed(text).value(section, key);
    QCOMPARE(got.has_value(), found);
    if (found)
        QCOMPARE(*got, value);
}

void tst_IniText::textIsWrittenBackAsItWasRead_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("written");
    const QByteArray handMade("; made by hand\n\n[General]\n# the port\n  CommPort = 7 \n\n[Ports]\n\n");
    QTest::newRow("comments, blanks and blank lines") << handMade << handMade;
    QTest::newRow("letters beyond ASCII") << QByteArray("[Ports]\nGr\xc3\xb6\xc3\x9f" "e=\xe2\x82\xac\n")
                                          << QByteArray("[Ports]\nGr\xc3\xb6\xc3\x9f" "e=\xe2\x82\xac\n");
    QTest::newRow("Windows line ends") << QByteArray("[General]\r\nA=1\r\n") << QByteArray("[General]\nA=1\n");
    QTest::newRow("no line end at the end") << QByteArray("[General]\nA=1") << QByteArray("[General]\nA=1\n");
    QTest::newRow("byte order mark at the start of a later line")
        << QByteArray("[General]\n\xef\xbb\xbf" "A=1\n") << QByteArray("[General]\n\xef\xbb\xbf" "A=1\n");
    QTest::newRow("empty text") << QByteArray() << QByteArray();
}

void tst_IniText::textIsWrittenBackAsItWasRead()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, written);
    QCOMPARE(parsed(text).toBytes(), written);
}

void tst_IniText::lineNotUtf8IsKeptAndIgnored_data()
{
    // Each damages one line: the key asked is on it or under it (not found),
    // or elsewhere (found); written is the text put back, the damaged line in
    // its own bytes.
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("written");
    const QString general = QStringLiteral("General");
    const QString port = QStringLiteral("CommPort");
    const QString ports = QStringLiteral("Ports");
    const QString com1 = QStringLiteral("COM1");
    // What a garbled name decodes to, with replacement characters.
    const QString replaced = QString::fromUtf8("P\xef\xbf\xbdrts");

    const QByteArray comment("[General]\n; Passwort f\xfcr Raum 3\nCommPort=7\n");
    QTest::newRow("Latin-1 comment") << comment << general << port << true << "7" << comment;
    const QByteArray value("[General]\nCommPort=7\nName=Gr\xf6\xdf" "e\n");
    QTest::newRow("Latin-1 value, another key") << value << general << port << true << "7" << value;
    QTest::newRow("Latin-1 value, its own key") << value << general << "Name" << false << "" << value;
    const QByteArray key("[General]\nGr\xf6\xdf" "e=1\nCommPort=7\n");
    QTest::newRow("Latin-1 key, another key") << key << general << port << true << "7" << key;
    QTest::newRow("Latin-1 key, asked as decoded with replacements")
        << key << general << QString::fromUtf8("Gr\xef\xbf\xbd\xef\xbf\xbd" "e") << false << "" << key;
    const QByteArray header("[Ports]\nCOM2=b\n[P\xf6rts]\nCOM1=a\n[General]\nCommPort=7\n");
    QTest::newRow("Latin-1 header, its key not taken for the section before")
        << header << ports << com1 << false << "" << header;
    QTest::newRow("Latin-1 header, asked as decoded with replacements")
        << header << replaced << com1 << false << "" << header;
    QTest::newRow("Latin-1 header, the section before") << header << ports << "COM2" << true << "b" << header;
    QTest::newRow("Latin-1 header, the section after") << header << general << port << true << "7" << header;
    QTest::newRow("byte that never starts UTF-8") << QByteArray("[General]\nCommPort=7\xff\n") << general << port
                                                  << false << "" << QByteArray("[General]\nCommPort=7\xff\n");
    QTest::newRow("overlong encoding of a slash") << QByteArray("[General]\nCommPort=\xc0\xaf\n") << general << port
                                                  << false << "" << QByteArray("[General]\nCommPort=\xc0\xaf\n");
    QTest::newRow("encoded surrogate") << QByteArray("[General]\nK=\xed\xa0\x80\nCommPort=7\n") << general << port
                                       << true << "7" << QByteArray("[General]\nK=\xed\xa0\x80\nCommPort=7\n");
    QTest::newRow("sequence cut short at the end, on its own line")
        << QByteArray("[General]\nCommPort=7\n\xc3") << general << port << true << "7"
        << QByteArray("[General]\nCommPort=7\n\xc3\n");
    QTest::newRow("sequence cut short at the end of the key's line")
        << QByteArray("[General]\nCommPort=7\xc3") << general << port << false << ""
        << QByteArray("[General]\nCommPort=7\xc3\n");
    // A carriage return before the line feed is the line's end, as on every line.
    QTest::newRow("Windows line ends, Latin-1 header")
        << QByteArray("[General]\r\nA=1\r\n[P\xf6rts]\r\nCommPort=7\r\n") << general << port << false << ""
        << QByteArray("[General]\nA=1\n[P\xf6rts]\nCommPort=7\n");
    QTest::newRow("Windows line ends, Latin-1 comment")
        << QByteArray("[General]\r\n; f\xfcr\r\nCommPort=7\r\n") << general << port << true << "7"
        << QByteArray("[General]\n; f\xfcr\nCommPort=7\n");
    QTest::newRow("byte order mark before a Latin-1 first line")
        << QByteArray("\xef\xbb\xbf; f\xfcr\n[General]\nCommPort=7\n") << general << port << true << "7"
        << QByteArray("; f\xfcr\n[General]\nCommPort=7\n");
}

void tst_IniText::lineNotUtf8IsKeptAndIgnored()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(bool, found);
    QFETCH(QString, value);
    QFETCH(QByteArray, written);
    const IniText ini = parsed(text);
    const std::optional<QString> got = ini.value(section, key);
    QCOMPARE(got.has_value(), found);
    if (found)
        QCOMPARE(*got, value);
    QCOMPARE(ini.toBytes(), written);
}

void tst_IniText::whatIsNotTextReadsAsEmpty_data()
{
    // Each holds a good line for the key before the damage.
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("NUL byte at the end") << QByteArray("[General]\nCommPort=7\n\0", 22);
    QTest::newRow("NUL byte in a comment") << QByteArray("[General]\nCommPort=7\n; a\0b\n", 27);
    QTest::newRow("NUL byte on a line that is not UTF-8") << QByteArray("[General]\nCommPort=7\n\xff\0\n", 24);
}

void tst_IniText::whatIsNotTextReadsAsEmpty()
{
    QFETCH(QByteArray, bytes);
    IniText ini = parsed("[General]\nCommPort=3\n");
    QVERIFY(!ini.parse(bytes));
    QVERIFY(!ini.value(QStringLiteral("General"), QStringLiteral("CommPort")).has_value());
    QCOMPARE(ini.toBytes(), QByteArray());
}

void tst_IniText::setChangesTheTextInPlace_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");
    const QString general = QStringLiteral("General");
    const QString ports = QStringLiteral("Ports");
    QTest::newRow("value replaced on its own line")
        << QByteArray("; top\n[General]\nCommPort=2\nPassword=x\n") << general << "CommPort" << "5"
        << QByteArray("; top\n[General]\nCommPort=5\nPassword=x\n");
    QTest::newRow("line with blanks and another case rewritten")
        << QByteArray("[general]\n  commport = 2 \nA=1\n") << general << "CommPort" << "5"
        << QByteArray("[general]\nCommPort=5\nA=1\n");
    QTest::newRow("first of two lines replaced") << QByteArray("[General]\nCommPort=2\nCommPort=3\n") << general
                                                 << "CommPort" << "5"
                                                 << QByteArray("[General]\nCommPort=5\nCommPort=3\n");
    QTest::newRow("value with an equals sign") << QByteArray("[General]\nK=1\n") << general << "K" << "a=b"
                                               << QByteArray("[General]\nK=a=b\n");
    QTest::newRow("commented-out key stays, the key goes after the last key")
        << QByteArray("[General]\n;CommPort=2\nPassword=x\n") << general << "CommPort" << "5"
        << QByteArray("[General]\n;CommPort=2\nPassword=x\nCommPort=5\n");
    QTest::newRow("new key before the blank line and the next section")
        << QByteArray("[Ports]\nCOM1=a\n\n[General]\nA=1\n") << ports << "COM2" << "b"
        << QByteArray("[Ports]\nCOM1=a\nCOM2=b\n\n[General]\nA=1\n");
    QTest::newRow("new key before a comment that follows the keys")
        << QByteArray("[Ports]\nCOM1=a\n; spare: COM3\n") << ports << "COM2" << "b"
        << QByteArray("[Ports]\nCOM1=a\nCOM2=b\n; spare: COM3\n");
    QTest::newRow("new key in a section without keys") << QByteArray("[Ports]\n\n[General]\nA=1\n") << ports
                                                       << "COM1" << "a"
                                                       << QByteArray("[Ports]\nCOM1=a\n\n[General]\nA=1\n");
    QTest::newRow("new key in a section in another case") << QByteArray("[PORTS]\nCOM1=a\n") << ports << "COM2"
                                                          << "b" << QByteArray("[PORTS]\nCOM1=a\nCOM2=b\n");
    QTest::newRow("new section after one blank line") << QByteArray("[General]\nA=1\n") << ports << "COM1" << "a"
                                                      << QByteArray("[General]\nA=1\n\n[Ports]\nCOM1=a\n");
    QTest::newRow("blank lines at the end give way to one")
        << QByteArray("[General]\nA=1\n\n\n  \n") << ports << "COM1" << "a"
        << QByteArray("[General]\nA=1\n\n[Ports]\nCOM1=a\n");
    QTest::newRow("new section after a file of comments") << QByteArray("; made by hand\n") << ports << "COM1"
                                                          << "a" << QByteArray("; made by hand\n\n[Ports]\nCOM1=a\n");
    QTest::newRow("empty text") << QByteArray() << ports << "COM1" << "a" << QByteArray("[Ports]\nCOM1=a\n");
    QTest::newRow("Windows line ends become line feeds") << QByteArray("[General]\r\nA=1\r\n") << general << "A"
                                                         << "2" << QByteArray("[General]\nA=2\n");
    // A line that is not UTF-8 is never rewritten: the key goes where it would
    // go were that line a comment, and reads from there.
    QTest::newRow("key on a Latin-1 line stays, the key goes after the last key")
        << QByteArray("[General]\nCommPort=\xb2\nPassword=x\n") << general << "CommPort" << "5"
        << QByteArray("[General]\nCommPort=\xb2\nPassword=x\nCommPort=5\n");
    QTest::newRow("key on a Latin-1 line alone in its section")
        << QByteArray("[Ports]\nCOM1=\xe9\n") << ports << "COM1" << "a" << QByteArray("[Ports]\nCOM1=a\nCOM1=\xe9\n");
    QTest::newRow("key under a Latin-1 header is no key of the section before")
        << QByteArray("[Ports]\nCOM1=a\n[P\xf6rts]\nCOM2=c\n") << ports << "COM2" << "b"
        << QByteArray("[Ports]\nCOM1=a\nCOM2=b\n[P\xf6rts]\nCOM2=c\n");
    QTest::newRow("Latin-1 header names no section")
        << QByteArray("[P\xf6rts]\nCOM1=a\n") << ports << "COM1" << "b"
        << QByteArray("[P\xf6rts]\nCOM1=a\n\n[Ports]\nCOM1=b\n");
    QTest::newRow("Latin-1 line at the end stays before a new section")
        << QByteArray("[General]\nA=1\n; f\xfcr\n") << ports << "COM1" << "a"
        << QByteArray("[General]\nA=1\n; f\xfcr\n\n[Ports]\nCOM1=a\n");
    QTest::newRow("Windows line ends and a Latin-1 line")
        << QByteArray("[General]\r\n; f\xfcr\r\nA=1\r\n") << general << "A" << "2"
        << QByteArray("[General]\n; f\xfcr\nA=2\n");
}

void tst_IniText::setChangesTheTextInPlace()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    IniText ini = parsed(before);
    ini.set(section, key, value);
    QCOMPARE(ini.toBytes(), after);
    QCOMPARE(ini.value(section, key), std::optional<QString>(value));
}

void tst_IniText::removeSaysWhetherItDroppedAnything_data()
{
    // The store saves only a text that changed.
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("the key's line") << QByteArray("[Ports]\nCOM1=a\nCOM2=b\n") << true
                                    << QByteArray("[Ports]\nCOM2=b\n");
    QTest::newRow("last key of the text") << QByteArray("[Ports]\n com1 = a\n") << true << QByteArray();
    QTest::newRow("key not there") << QByteArray("[Ports]\nCOM2=b\n") << false << QByteArray("[Ports]\nCOM2=b\n");
    QTest::newRow("only a commented-out copy") << QByteArray("[Ports]\n;COM1=a\n") << false
                                               << QByteArray("[Ports]\n;COM1=a\n");
    QTest::newRow("key in another section only") << QByteArray("[General]\nCOM1=a\n") << false
                                                 << QByteArray("[General]\nCOM1=a\n");
    QTest::newRow("only a copy on a Latin-1 line") << QByteArray("[Ports]\nCOM1=\xe9\n") << false
                                                   << QByteArray("[Ports]\nCOM1=\xe9\n");
    QTest::newRow("good line goes, the Latin-1 copy keeps the section")
        << QByteArray("[Ports]\nCOM1=a\nCOM1=\xe9\n") << true << QByteArray("[Ports]\nCOM1=\xe9\n");
    QTest::newRow("key under a Latin-1 header only") << QByteArray("[Ports]\nCOM2=b\n[P\xf6rts]\nCOM1=a\n")
                                                     << false
                                                     << QByteArray("[Ports]\nCOM2=b\n[P\xf6rts]\nCOM1=a\n");
    QTest::newRow("emptied section ends at a Latin-1 header")
        << QByteArray("[Ports]\nCOM1=a\n[P\xf6rts]\nCOM2=b\n") << true << QByteArray("[P\xf6rts]\nCOM2=b\n");
}

void tst_IniText::removeSaysWhetherItDroppedAnything()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, dropped);
    QFETCH(QByteArray, after);
    IniText ini = parsed(before);
    QCOMPARE(ini.remove(QStringLiteral("Ports"), QStringLiteral("COM1")), dropped);
    QCOMPARE(ini.toBytes(), after);
    QVERIFY(!ini.value(QStringLiteral("Ports"), QStringLiteral("COM1")).has_value());
}

QTEST_GUILESS_MAIN(tst_IniText)
#include "tst_ini_text.moc"
