#include "access_gate/password_encoding.h"

#include <QtTest>

#include <set>
#include <vector>

namespace {

// The test's own account of the scheme, independent of the code under test.
int ClosedFormFigure(int formula, int octal)
{
    switch (formula) {
    case 0: return 4 * octal + 11;
    case 1: return octal + 4;
    case 2: return octal + 11;
    case 3: return 2 * octal - 33;
    case 4: return 4 * octal - 11;
    case 5: return 4 * octal - 96;
    case 6: return 2 * octal - 16;
    case 7: return octal - 1;
    case 8: return 4 * octal - 13;
    default: return 4 * octal - 16;
    }
}

char LetterOf(int selector)
{
    return selector <= 26 ? static_cast<char>('A' + selector - 1) : static_cast<char>('a' + selector - 27);
}

int OctalFigureOf(int code)
{
    return QString::number(code, 8).toInt();
}

// Hands out the given selectors in order and counts the draws.
class SelectorSequence
{
public:
    explicit SelectorSequence(std::vector<int> selectors) : m_selectors(std::move(selectors)) {}

    std::function<int()> source()
    {
        return [this] { return m_selectors.at(m_next++); };
    }
    std::size_t drawn() const { return m_next; }

private:
    std::vector<int> m_selectors;
    std::size_t m_next = 0;
};

// Every draw gives the same selector.
std::function<int()> Always(int selector)
{
    return [selector] { return selector; };
}

std::string Bytes(const QByteArray &bytes)
{
    return bytes.toStdString();
}

} // namespace

class tst_PasswordEncoding : public QObject
{
    Q_OBJECT

private slots:
    void workedExampleEncodesAndDecodes();
    void emptyPasswordIsTheLeadLetterAlone();
    void storedTextsDecode_data();
    void storedTextsDecode();
    void everyCodeFrom20RoundTripsUnderEverySelector_data();
    void everyCodeFrom20RoundTripsUnderEverySelector();
    void codesBelow20HaveNegativeFiguresUnderSomeFormulas_data();
    void codesBelow20HaveNegativeFiguresUnderSomeFormulas();
    void malformedTextsAreUnreadable_data();
    void malformedTextsAreUnreadable();
    void octalDigitsConvertToDecimal_data();
    void octalDigitsConvertToDecimal();
    void randomEncodingsDifferAndBothDecode();
    void randomSelectorsReachEveryLetter();
};

void tst_PasswordEncoding::workedExampleEncodesAndDecodes()
{
    SelectorSequence selectors({1, 10, 27, 52});
    const std::string stored = EncodePassword("abc", selectors.source());
    QCOMPARE(stored, std::string("A575J141a154z"));
    QCOMPARE(selectors.drawn(), std::size_t(4));
    QCOMPARE(DecodePassword(stored), std::optional<std::string>("abc"));
}

void tst_PasswordEncoding::emptyPasswordIsTheLeadLetterAlone()
{
    QCOMPARE(EncodePassword("", Always(36)), std::string("j"));
    QCOMPARE(EncodePassword("").size(), std::size_t(1));
}

void tst_PasswordEncoding::storedTextsDecode_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("password");
    QTest::newRow("other lead letter") << QByteArray("Q575J141a154z") << QByteArray("abc");
    QTest::newRow("lead character a digit") << QByteArray("5575J") << QByteArray("a");
    QTest::newRow("letter with no number skipped") << QByteArray("A575JB141a") << QByteArray("ab");
    QTest::newRow("one letter") << QByteArray("A") << QByteArray("");
    QTest::newRow("empty text") << QByteArray("") << QByteArray("");
    QTest::newRow("longest text, letters only") << QByteArray(32767, 'A') << QByteArray("");
    QTest::newRow("leading zero in a number") << QByteArray("A0575J") << QByteArray("a");
    QTest::newRow("code 255") << QByteArray("A381A") << QByteArray("\xff");
    QTest::newRow("digit 9 of a figure weighted in base 8") << QByteArray("A23A") << QByteArray("\x11");
    // Any character ends a number; its code gives the selector by the letter rule.
    QTest::newRow("bracket after Z acts as selector 27") << QByteArray("A141[") << QByteArray("b");
    QTest::newRow("at sign is selector 0, formula 0") << QByteArray("A575@") << QByteArray("a");
    QTest::newRow("comma is selector -20, formula 0") << QByteArray("A575,") << QByteArray("a");
    QTest::newRow("code 255 is selector 185, formula 5") << QByteArray("A468\xff") << QByteArray("a");
    QTest::newRow("negative remainder adds nothing") << QByteArray("A575!") << QByteArray("");
    QTest::newRow("reading goes on after a negative remainder") << QByteArray("A575 141a") << QByteArray("b");
    QTest::newRow("sign ends an empty group") << QByteArray("A-141a") << QByteArray("b");
    // A number is read by its value, however many digits it has.
    QTest::newRow("five digits with leading zeros") << QByteArray("A00575J") << QByteArray("a");
    QTest::newRow("32000 leading zeros") << QByteArray("A") + QByteArray(32000, '0') + "575J" << QByteArray("a");
    QTest::newRow("five digits before a negative remainder") << QByteArray("A12345!") << QByteArray("");
    QTest::newRow("five digits after a character, before a negative remainder")
        << QByteArray("A575J12345!") << QByteArray("a");
    QTest::newRow("32000 digits before a negative remainder")
        << QByteArray("A575J") + QByteArray(32000, '9') + "!141a" << QByteArray("ab");
}

void tst_PasswordEncoding::storedTextsDecode()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, password);
    QCOMPARE(DecodePassword(Bytes(stored)), std::optional<std::string>(Bytes(password)));
}

void tst_PasswordEncoding::everyCodeFrom20RoundTripsUnderEverySelector_data()
{
    QTest::addColumn<int>("selector");
    for (int selector = 1; selector <= 52; ++selector) {
        const QByteArray name = QStringLiteral("%1 (%2, formula %3)")
                                    .arg(selector)
                                    .arg(QLatin1Char(LetterOf(selector)))
                                    .arg(selector % 10)
                                    .toLatin1();
        QTest::newRow(name.constData()) << selector;
    }
}

void tst_PasswordEncoding::everyCodeFrom20RoundTripsUnderEverySelector()
{
    QFETCH(int, selector);
    std::string password;
    std::string expected(1, LetterOf(selector));
    for (int code = 20; code <= 255; ++code) {
        password += static_cast<char>(code);
        const int figure = ClosedFormFigure(selector % 10, OctalFigureOf(code));
        QVERIFY2(figure >= 0 && figure <= 1519, qPrintable(QStringLiteral("code %1").arg(code)));
        expected += std::to_string(figure) + LetterOf(selector);
    }
    const std::string stored = EncodePassword(password, Always(selector));
    QCOMPARE(stored, expected);
    QCOMPARE(DecodePassword(stored), std::optional<std::string>(password));
}

void tst_PasswordEncoding::codesBelow20HaveNegativeFiguresUnderSomeFormulas_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<int>("firstCodeNotNegative");
    QTest::newRow("formula 0 never") << 10 << 0;
    QTest::newRow("formula 1 never") << 1 << 0;
    QTest::newRow("formula 2 never") << 2 << 0;
    QTest::newRow("formula 3 for codes 0 to 14") << 3 << 15;
    QTest::newRow("formula 4 for codes 0 to 2") << 4 << 3;
    QTest::newRow("formula 5 for codes 0 to 19") << 5 << 20;
    QTest::newRow("formula 6 for codes 0 to 7") << 6 << 8;
    QTest::newRow("formula 7 for code 0") << 7 << 1;
    QTest::newRow("formula 8 for codes 0 to 3") << 8 << 4;
    QTest::newRow("formula 9 for codes 0 to 3") << 9 << 4;
}

void tst_PasswordEncoding::codesBelow20HaveNegativeFiguresUnderSomeFormulas()
{
    QFETCH(int, selector);
    QFETCH(int, firstCodeNotNegative);
    for (int code = 0; code < 20; ++code) {
        const std::string password(1, static_cast<char>(code));
        const std::string stored = EncodePassword(password, Always(selector));
        const QString where = QStringLiteral("code %1, stored %2").arg(code).arg(QString::fromStdString(stored));
        const int figure = ClosedFormFigure(selector % 10, OctalFigureOf(code));
        QCOMPARE(stored, std::string(1, LetterOf(selector)) + std::to_string(figure) + LetterOf(selector));
        QVERIFY2((figure < 0) == (code < firstCodeNotNegative), qPrintable(where));
        // The reader takes the sign for a letter with no number, so it never gets such a code back.
        const std::optional<std::string> decoded = DecodePassword(stored);
        if (figure < 0)
            QVERIFY2(decoded != password, qPrintable(where));
        else
            QVERIFY2(decoded == password, qPrintable(where));
    }
}

void tst_PasswordEncoding::malformedTextsAreUnreadable_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("ends in digits") << QByteArray("A575");
    QTest::newRow("ends in digits after a group") << QByteArray("A575J14");
    QTest::newRow("digits only") << QByteArray("A12");
    QTest::newRow("five digits, a figure with a fraction") << QByteArray("A12345J");
    QTest::newRow("five digits, a figure whose code is 1603") << QByteArray("A12343J");
    // The smallest five-digit number under each formula, and a far longer one.
    for (int selector = 1; selector <= 10; ++selector) {
        QTest::addRow("10000 under formula %d", selector % 10) << "A10000" + QByteArray(1, LetterOf(selector));
        QTest::addRow("32000 digits under formula %d", selector % 10)
            << "A" + QByteArray(32000, '9') + LetterOf(selector);
    }
    QTest::newRow("five digits after a negative remainder") << QByteArray("A575!12345J");
    QTest::newRow("figure with a fraction") << QByteArray("A576J");
    QTest::newRow("figure below zero") << QByteArray("A3A");
    QTest::newRow("negative figure of code 0 under formula 4") << QByteArray("A-11D");
    QTest::newRow("figure just above code 255") << QByteArray("A404A");
    QTest::newRow("largest number") << QByteArray("A9999J");
    QTest::newRow("one character longer than 32767") << QByteArray(32768, 'A');
    QTest::newRow("good text made too long") << QByteArray("A575J") + QByteArray(32763, 'B');
}

void tst_PasswordEncoding::malformedTextsAreUnreadable()
{
    QFETCH(QByteArray, stored);
    QCOMPARE(DecodePassword(Bytes(stored)), std::optional<std::string>());
}

void tst_PasswordEncoding::octalDigitsConvertToDecimal_data()
{
    QTest::addColumn<QByteArray>("digits");
    QTest::addColumn<QByteArray>("decimal");
    QTest::newRow("empty") << QByteArray("") << QByteArray("0");
    QTest::newRow("zero") << QByteArray("0") << QByteArray("0");
    QTest::newRow("141 is 97") << QByteArray("141") << QByteArray("97");
    QTest::newRow("377 is 255") << QByteArray("377") << QByteArray("255");
    QTest::newRow("10 is 8") << QByteArray("10") << QByteArray("8");
    QTest::newRow("8 weighted as a digit") << QByteArray("8") << QByteArray("8");
    QTest::newRow("19 gives 17") << QByteArray("19") << QByteArray("17");
    QTest::newRow("leading zeros") << QByteArray("000141") << QByteArray("97");
    QTest::newRow("non-digit weighs 0") << QByteArray("1a1") << QByteArray("65");
    QTest::newRow("sign weighs 0") << QByteArray("-7") << QByteArray("7");
    QTest::newRow("point weighs 0") << QByteArray("35.5") << QByteArray("1861");
    QTest::newRow("8^20 written without exponent") << QByteArray("1" + QByteArray(20, '0'))
                                                    << QByteArray("1152921504606846976");
    QTest::newRow("2^54 - 1 rounded in double") << QByteArray(18, '7') << QByteArray("18014398509481984");
    QTest::newRow("40000 leading zeros") << QByteArray(40000, '0') + "141" << QByteArray("97");
    QTest::newRow("beyond double range") << QByteArray("1" + QByteArray(342, '0')) << QByteArray("");
}

void tst_PasswordEncoding::octalDigitsConvertToDecimal()
{
    QFETCH(QByteArray, digits);
    QFETCH(QByteArray, decimal);
    QCOMPARE(ConvertOctalToDecimal(Bytes(digits)), Bytes(decimal));
}

void tst_PasswordEncoding::randomEncodingsDifferAndBothDecode()
{
    // Equal texts would need the same 16 selectors twice: about one chance in 10^27.
    const std::string password = "Tarvex base 2400";
    const std::string first = EncodePassword(password);
    const std::string second = EncodePassword(password);
    QVERIFY(first != second);
    QCOMPARE(DecodePassword(first), std::optional<std::string>(password));
    QCOMPARE(DecodePassword(second), std::optional<std::string>(password));
}

void tst_PasswordEncoding::randomSelectorsReachEveryLetter()
{
    // 3000 draws miss one of 52 letters with a chance of about 10^-21.
    const std::string stored = EncodePassword(std::string(3000, 'x'));
    std::set<char> letters;
    for (const char c : stored) {
        if (c < '0' || c > '9')
            letters.insert(c);
    }
    std::set<char> all;
    for (int selector = 1; selector <= 52; ++selector)
        all.insert(LetterOf(selector));
    QCOMPARE(letters, all);
    QCOMPARE(DecodePassword(stored), std::optional<std::string>(std::string(3000, 'x')));
}

QTEST_APPLESS_MAIN(tst_PasswordEncoding)
#include "tst_password_encoding.moc"
