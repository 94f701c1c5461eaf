// The settings store on Windows: string values in the registry, where earlier
// installations keep them. Checked through the Win32 registry API, not through
// the Qt class that the store uses.
#include "tests/support/store_sandbox.h"

#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

#include <QtTest>

#include <windows.h>

using platform::SettingsStore;

namespace {

const QString App = settings_keys::Application;
const wchar_t *const GeneralKey = L"Software\\VB and VBA Program Settings\\TarvexCircuitTool\\General";

struct RegistryValue
{
    bool present = false;
    DWORD type = REG_NONE;
    QString text;
};

RegistryValue registryValue(const wchar_t *subKey, const QString &name)
{
    RegistryValue result;
    wchar_t data[512] = {};
    DWORD size = sizeof(data);
    const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, subKey, reinterpret_cast<const wchar_t *>(name.utf16()),
                                        RRF_RT_ANY | RRF_NOEXPAND, &result.type, data, &size);
    result.present = status == ERROR_SUCCESS;
    if (result.present && result.type == REG_SZ)
        result.text = QString::fromWCharArray(data);
    return result;
}

bool keyExists(const wchar_t *subKey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// As an earlier installation left it: a REG_SZ value written by another program.
void writeFromOutside(const QString &name, const QString &text)
{
    const std::wstring value = text.toStdWString();
    QCOMPARE(RegSetKeyValueW(HKEY_CURRENT_USER, GeneralKey, reinterpret_cast<const wchar_t *>(name.utf16()),
                             REG_SZ, value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t))),
             LSTATUS(ERROR_SUCCESS));
}

} // namespace

class tst_RegistryStore : public QObject
{
    Q_OBJECT

private slots:
    void missingValueReadsDefault();
    void valuesAreStringsUnderTheApplicationsKey_data();
    void valuesAreStringsUnderTheApplicationsKey();
    void writeReplacesOneValueAndKeepsTheOthers();
    void valueLeftByAnEarlierInstallationIsRead();
    void valuesThatCannotBeKeptAreRefused_data();
    void valuesThatCannotBeKeptAreRefused();
    void removeDropsTheValueAndThenTheEmptyKey();
};

void tst_RegistryStore::missingValueReadsDefault()
{
    StoreSandbox sandbox;
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("-1")),
             QStringLiteral("-1"));
    writeFromOutside(QStringLiteral("Password"), QStringLiteral("A"));
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("-1")),
             QStringLiteral("-1"));
    QCOMPARE(SettingsStore::read(App, QStringLiteral("Ports"), QStringLiteral("Password"), QStringLiteral("-1")),
             QStringLiteral("-1"));
}

void tst_RegistryStore::valuesAreStringsUnderTheApplicationsKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("port") << "CommPort" << "12";
    QTest::newRow("password") << "Password" << "A575J141a154z";
    QTest::newRow("inner blanks, beyond ASCII") << "Password" << "x 1 é";
}

void tst_RegistryStore::valuesAreStringsUnderTheApplicationsKey()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    StoreSandbox sandbox;
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), key, value));

    const RegistryValue stored = registryValue(GeneralKey, key);
    QVERIFY(stored.present);
    QCOMPARE(stored.type, DWORD(REG_SZ));
    QCOMPARE(stored.text, value);
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), key, QStringLiteral("-1")), value);
    QCOMPARE(SettingsStore::location(App),
             QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\TarvexCircuitTool"));
}

void tst_RegistryStore::writeReplacesOneValueAndKeepsTheOthers()
{
    StoreSandbox sandbox;
    writeFromOutside(QStringLiteral("Password"), QStringLiteral("A575J141a154z"));
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("3")));
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("7")));
    QCOMPARE(registryValue(GeneralKey, QStringLiteral("CommPort")).text, QStringLiteral("7"));
    QCOMPARE(registryValue(GeneralKey, QStringLiteral("Password")).text, QStringLiteral("A575J141a154z"));
}

void tst_RegistryStore::valueLeftByAnEarlierInstallationIsRead()
{
    StoreSandbox sandbox;
    writeFromOutside(QStringLiteral("CommPort"), QStringLiteral("4"));
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("-1")),
             QStringLiteral("4"));
    // Every read looks again: a change made meanwhile by the other program counts.
    writeFromOutside(QStringLiteral("CommPort"), QStringLiteral("9"));
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("-1")),
             QStringLiteral("9"));
}

void tst_RegistryStore::valuesThatCannotBeKeptAreRefused_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("line feed") << "A1a\n2b";
    QTest::newRow("carriage return") << "A1a\r";
    QTest::newRow("leading blank") << " A1a";
    QTest::newRow("trailing blank") << "A1a ";
}

void tst_RegistryStore::valuesThatCannotBeKeptAreRefused()
{
    QFETCH(QString, value);
    StoreSandbox sandbox;
    writeFromOutside(QStringLiteral("Password"), QStringLiteral("A575J141a154z"));
    QVERIFY(!SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"), value));
    QCOMPARE(registryValue(GeneralKey, QStringLiteral("Password")).text, QStringLiteral("A575J141a154z"));
}

void tst_RegistryStore::removeDropsTheValueAndThenTheEmptyKey()
{
    StoreSandbox sandbox;
    writeFromOutside(QStringLiteral("CommPort"), QStringLiteral("4"));
    writeFromOutside(QStringLiteral("Password"), QStringLiteral("A"));

    QVERIFY(SettingsStore::remove(App, QStringLiteral("General"), QStringLiteral("CommPort")));
    QVERIFY(!registryValue(GeneralKey, QStringLiteral("CommPort")).present);
    QCOMPARE(registryValue(GeneralKey, QStringLiteral("Password")).text, QStringLiteral("A"));

    QVERIFY(SettingsStore::remove(App, QStringLiteral("General"), QStringLiteral("Password")));
    QVERIFY(!keyExists(GeneralKey));
    // Removing what is not there is no failure.
    QVERIFY(SettingsStore::remove(App, QStringLiteral("General"), QStringLiteral("Password")));
}

QTEST_MAIN(tst_RegistryStore)
#include "tst_registry_store.moc"
