#include "simulator/tarvex_model.h"

#include <QtTest>

using tarvex_sim::Action;
using tarvex_sim::BaseModel;
using tarvex_sim::ItemKind;

Q_DECLARE_METATYPE(tarvex_sim::ItemKind)

namespace {

QString state(const BaseModel &model)
{
    return QString::fromStdString(model.stateText());
}

} // namespace

class tst_TarvexModel : public QObject
{
    Q_OBJECT

private slots:
    void eachItemCodeSwitchesItsOwnItem_data();
    void eachItemCodeSwitchesItsOwnItem();
    void repeatedCommandChangesNothing();
    void resetRemovesEverything();
    void onlyTheProbeIsAnswered();
    void unknownBytesChangeNothing_data();
    void unknownBytesChangeNothing();
    void stateTextListsItemsAscending();
};

void tst_TarvexModel::eachItemCodeSwitchesItsOwnItem_data()
{
    QTest::addColumn<ItemKind>("kind");
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("insert");
    QTest::addColumn<int>("remove");
    QTest::addColumn<QString>("insertedState");

    // The trainer's command table, item by item.
    QTest::newRow("fault 1") << ItemKind::Fault << 1 << 0x54 << 0x74 << "faults=1 mods=none";
    QTest::newRow("fault 2") << ItemKind::Fault << 2 << 0x55 << 0x75 << "faults=2 mods=none";
    QTest::newRow("fault 3") << ItemKind::Fault << 3 << 0x56 << 0x76 << "faults=3 mods=none";
    QTest::newRow("fault 4") << ItemKind::Fault << 4 << 0x57 << 0x77 << "faults=4 mods=none";
    QTest::newRow("fault 5") << ItemKind::Fault << 5 << 0x58 << 0x78 << "faults=5 mods=none";
    QTest::newRow("fault 6") << ItemKind::Fault << 6 << 0x59 << 0x79 << "faults=6 mods=none";
    QTest::newRow("fault 7") << ItemKind::Fault << 7 << 0x5A << 0x7A << "faults=7 mods=none";
    QTest::newRow("fault 8") << ItemKind::Fault << 8 << 0x5B << 0x7B << "faults=8 mods=none";
    QTest::newRow("fault 9") << ItemKind::Fault << 9 << 0x5C << 0x7C << "faults=9 mods=none";
    QTest::newRow("fault 10") << ItemKind::Fault << 10 << 0x5D << 0x7D << "faults=10 mods=none";
    QTest::newRow("fault 11") << ItemKind::Fault << 11 << 0x5E << 0x7E << "faults=11 mods=none";
    QTest::newRow("fault 12") << ItemKind::Fault << 12 << 0x5F << 0x7F << "faults=12 mods=none";
    QTest::newRow("mod 1") << ItemKind::Modification << 1 << 0x40 << 0x60 << "faults=none mods=1";
    QTest::newRow("mod 2") << ItemKind::Modification << 2 << 0x41 << 0x61 << "faults=none mods=2";
    QTest::newRow("mod 3") << ItemKind::Modification << 3 << 0x42 << 0x62 << "faults=none mods=3";
    QTest::newRow("mod 4") << ItemKind::Modification << 4 << 0x43 << 0x63 << "faults=none mods=4";
    QTest::newRow("mod 5") << ItemKind::Modification << 5 << 0x44 << 0x64 << "faults=none mods=5";
    QTest::newRow("mod 6") << ItemKind::Modification << 6 << 0x45 << 0x65 << "faults=none mods=6";
    QTest::newRow("mod 7") << ItemKind::Modification << 7 << 0x46 << 0x66 << "faults=none mods=7";
    QTest::newRow("mod 8") << ItemKind::Modification << 8 << 0x47 << 0x67 << "faults=none mods=8";
    QTest::newRow("mod 9") << ItemKind::Modification << 9 << 0x48 << 0x68 << "faults=none mods=9";
    QTest::newRow("mod 10") << ItemKind::Modification << 10 << 0x49 << 0x69 << "faults=none mods=10";
    QTest::newRow("mod 11") << ItemKind::Modification << 11 << 0x4A << 0x6A << "faults=none mods=11";
    QTest::newRow("mod 12") << ItemKind::Modification << 12 << 0x4B << 0x6B << "faults=none mods=12";
    QTest::newRow("mod 13") << ItemKind::Modification << 13 << 0x4C << 0x6C << "faults=none mods=13";
    QTest::newRow("mod 14") << ItemKind::Modification << 14 << 0x4D << 0x6D << "faults=none mods=14";
    QTest::newRow("mod 15") << ItemKind::Modification << 15 << 0x4E << 0x6E << "faults=none mods=15";
    QTest::newRow("mod 16") << ItemKind::Modification << 16 << 0x4F << 0x6F << "faults=none mods=16";
    QTest::newRow("mod 17") << ItemKind::Modification << 17 << 0x50 << 0x70 << "faults=none mods=17";
    QTest::newRow("mod 18") << ItemKind::Modification << 18 << 0x51 << 0x71 << "faults=none mods=18";
    QTest::newRow("mod 19") << ItemKind::Modification << 19 << 0x52 << 0x72 << "faults=none mods=19";
    QTest::newRow("mod 20") << ItemKind::Modification << 20 << 0x53 << 0x73 << "faults=none mods=20";
}

void tst_TarvexModel::eachItemCodeSwitchesItsOwnItem()
{
    QFETCH(ItemKind, kind);
    QFETCH(int, number);
    QFETCH(int, insert);
    QFETCH(int, remove);
    QFETCH(QString, insertedState);
    const QString name = QString::fromLatin1(QTest::currentDataTag());

    const struct
    {
        int byte;
        Action action;
        const char *verb;
        bool inserted;
        QString state;
    } steps[] = {
        {insert, Action::Insert, "insert ", true, insertedState},
        {remove, Action::Remove, "remove ", false, QStringLiteral("faults=none mods=none")},
    };
    BaseModel model;
    for (const auto &step : steps) {
        const tarvex_sim::Effect effect = model.receive(static_cast<std::uint8_t>(step.byte));
        QCOMPARE(effect.action, step.action);
        QCOMPARE(effect.kind, kind);
        QCOMPARE(effect.number, number);
        QVERIFY(effect.changed);
        QVERIFY(!effect.answer);
        QCOMPARE(QString::fromStdString(tarvex_sim::Describe(effect)), QLatin1String(step.verb) + name);
        QCOMPARE(model.isInserted(kind, number), step.inserted);
        // No other item moved.
        QCOMPARE(state(model), step.state);
    }
}

void tst_TarvexModel::repeatedCommandChangesNothing()
{
    BaseModel model;
    QVERIFY(model.receive(0x5A).changed);
    const tarvex_sim::Effect again = model.receive(0x5A);
    QVERIFY(!again.changed);
    QCOMPARE(QString::fromStdString(tarvex_sim::Describe(again)), QStringLiteral("insert fault 7, was already inserted"));
    QCOMPARE(state(model), QStringLiteral("faults=7 mods=none"));

    const tarvex_sim::Effect removeMissing = model.receive(0x60);
    QCOMPARE(removeMissing.action, Action::Remove);
    QVERIFY(!removeMissing.changed);
    QCOMPARE(QString::fromStdString(tarvex_sim::Describe(removeMissing)), QStringLiteral("remove mod 1, was not inserted"));
    QCOMPARE(state(model), QStringLiteral("faults=7 mods=none"));
}

void tst_TarvexModel::resetRemovesEverything()
{
    BaseModel model;
    for (int byte = 0x40; byte <= 0x5F; ++byte)
        model.receive(static_cast<std::uint8_t>(byte));
    QCOMPARE(model.inserted(ItemKind::Fault).size(), std::size_t(12));
    QCOMPARE(model.inserted(ItemKind::Modification).size(), std::size_t(20));
    QVERIFY(!model.isInserted(ItemKind::Fault, 0));
    QVERIFY(!model.isInserted(ItemKind::Fault, 13));
    QVERIFY(!model.isInserted(ItemKind::Modification, 21));

    tarvex_sim::Effect effect = model.receive(0x80);
    QCOMPARE(effect.action, Action::Reset);
    QVERIFY(effect.changed);
    QVERIFY(!effect.answer);
    QCOMPARE(state(model), QStringLiteral("faults=none mods=none"));

    effect = model.receive(0x80);
    QCOMPARE(effect.action, Action::Reset);
    QVERIFY(!effect.changed);
}

void tst_TarvexModel::onlyTheProbeIsAnswered()
{
    BaseModel model;
    model.receive(0x56);
    model.receive(0x4B);
    for (int byte = 0; byte <= 0xFF; ++byte) {
        BaseModel copy = model;
        const tarvex_sim::Effect effect = copy.receive(static_cast<std::uint8_t>(byte));
        QCOMPARE(effect.answer.has_value(), byte == 0xC0);
    }
    const tarvex_sim::Effect probe = model.receive(0xC0);
    QCOMPARE(probe.action, Action::Probe);
    QVERIFY(!probe.changed);
    QCOMPARE(state(model), QStringLiteral("faults=3 mods=12"));
}

void tst_TarvexModel::unknownBytesChangeNothing_data()
{
    QTest::addColumn<int>("byte");
    QTest::newRow("zero") << 0x00;
    QTest::newRow("below the item codes") << 0x3F;
    QTest::newRow("item bits without bit 6") << 0x14;
    QTest::newRow("bit 5 alone") << 0x20;
    QTest::newRow("just above reset") << 0x81;
    QTest::newRow("just below the probe") << 0xBF;
    QTest::newRow("just above the probe") << 0xC1;
    QTest::newRow("fault 1 insert with bit 7 set") << 0xD4;
    QTest::newRow("fault 3 remove with bit 7 set") << 0xF6;
    QTest::newRow("all bits") << 0xFF;
}

void tst_TarvexModel::unknownBytesChangeNothing()
{
    QFETCH(int, byte);
    BaseModel model;
    model.receive(0x56);
    model.receive(0x4B);
    const tarvex_sim::Effect effect = model.receive(static_cast<std::uint8_t>(byte));
    QCOMPARE(effect.action, Action::Unknown);
    QCOMPARE(int(effect.byte), byte);
    QVERIFY(!effect.changed);
    QVERIFY(!effect.answer);
    QCOMPARE(QString::fromStdString(tarvex_sim::Describe(effect)), QStringLiteral("unknown byte, ignored"));
    QCOMPARE(state(model), QStringLiteral("faults=3 mods=12"));
}

void tst_TarvexModel::stateTextListsItemsAscending()
{
    BaseModel model;
    for (std::uint8_t byte : {0x5F, 0x5A, 0x56, 0x4B, 0x40, 0x53})
        model.receive(byte);
    QCOMPARE(state(model), QStringLiteral("faults=3,7,12 mods=1,12,20"));
    QCOMPARE(model.inserted(ItemKind::Fault), (std::vector<int>{3, 7, 12}));
}

QTEST_GUILESS_MAIN(tst_TarvexModel)
#include "tst_tarvex_model.moc"
