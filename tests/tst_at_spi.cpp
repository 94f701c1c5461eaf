#include "tests/support/panel_fixture.h"
#include "tests/support/private_desktop.h"
#include "tests/support/recording_message_boxes.h"

#include "access_gate/frm_PasswordDialog.h"
#include "password_utility/frm_Login.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

namespace {

// A Python 3 that has pyatspi: Debian's, whatever python3 comes first on the path.
QString pythonWithPyatspi()
{
    for (const QString &candidate :
         {QStringLiteral("/usr/bin/python3"), QStandardPaths::findExecutable(QStringLiteral("python3"))}) {
        if (candidate.isEmpty())
            continue;
        QProcess probe;
        probe.start(candidate, {QStringLiteral("-c"), QStringLiteral("import pyatspi")});
        if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
            return candidate;
    }
    return QString();
}

QJsonObject findNamed(const QJsonArray &objects, const QString &name, const QString &role = QString())
{
    for (const QJsonValue &value : objects) {
        const QJsonObject object = value.toObject();
        if (object[QLatin1String("name")].toString() == name
            && (role.isEmpty() || object[QLatin1String("role")].toString() == role))
            return object;
    }
    return QJsonObject();
}

QStringList relationTargets(const QJsonObject &object, const QString &type)
{
    QStringList targets;
    for (const QJsonValue &relation : object[QLatin1String("relations")].toArray()) {
        if (relation[QLatin1String("type")].toString() == type) {
            for (const QJsonValue &target : relation[QLatin1String("targets")].toArray())
                targets << target.toString();
        }
    }
    return targets;
}

void addItemRows()
{
    QTest::addColumn<QString>("name");
    for (int n = 1; n <= 12; ++n)
        QTest::addRow("fault %d", n) << QStringLiteral("Fault %1").arg(n);
    for (int n = 1; n <= 20; ++n)
        QTest::addRow("modification %d", n) << QStringLiteral("Modification %1").arg(n);
}

} // namespace

// The three windows as a screen reader finds them on the desktop's
// accessibility bus, through the AT-SPI bridge of Qt and a pyatspi client:
// read, then "Connect" pressed and fault 3 toggled by the client.
class tst_AtSpi : public QObject
{
    Q_OBJECT

public:
    explicit tst_AtSpi(const PrivateDesktop &desktop)
        : m_desktop(desktop)
    {
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void itemsAreCheckBoxes_data() { addItemRows(); }
    void itemsAreCheckBoxes();
    void framesAreNamedByTheirCaptions_data();
    void framesAreNamedByTheirCaptions();
    void textBoxesAreLabelled_data();
    void textBoxesAreLabelled();
    void changesAreHeard();
    void portItemsCarryTheirDescription_data();
    void portItemsCarryTheirDescription();

private:
    const PrivateDesktop &m_desktop;
    StoreSandbox m_sandbox;
    RecordingMessageBoxes m_messages;
    std::unique_ptr<PanelFixture> m_panel;
    std::unique_ptr<frm_PasswordDialog> m_dialog;
    std::unique_ptr<frm_Login> m_utility;
    QJsonArray m_before;
    QJsonArray m_events;
    QJsonArray m_after;
};

void tst_AtSpi::initTestCase()
{
    if (!m_desktop.isRunning())
        QSKIP(qPrintable(QStringLiteral("no private X display with a session bus: ") + m_desktop.whyNot()));
    if (QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                               QStringLiteral("dbus-1/services/org.a11y.Bus.service")).isEmpty())
        QSKIP("the accessibility bus cannot be started: install the Debian package at-spi2-core");
    const QString python = pythonWithPyatspi();
    if (python.isEmpty())
        QSKIP("no Python 3 with pyatspi: install the Debian package python3-pyatspi");

    m_panel = std::make_unique<PanelFixture>();
    platform::PortTarget bench;
    bench.kind = platform::PortTarget::Kind::Network;
    bench.number = 5;
    bench.host = QStringLiteral("bench5.lab");
    bench.tcpPort = 2217;
    bench.tls = true;
    m_panel->comm->targets[5] = bench;
    platform::PortTarget device;
    device.kind = platform::PortTarget::Kind::Device;
    device.number = 2;
    device.device = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    m_panel->comm->targets[2] = device;
    m_dialog = std::make_unique<frm_PasswordDialog>(m_messages, [] { return new QWidget; });
    m_utility = std::make_unique<frm_Login>(m_messages);
    for (QWidget *window : {static_cast<QWidget *>(m_panel->window), static_cast<QWidget *>(m_dialog.get()),
                            static_cast<QWidget *>(m_utility.get())}) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    // The port menu opened and closed once, as the instructor would: the map
    // set above is read then.
    m_panel->window->menu_Port->popup(m_panel->window->mapToGlobal(QPoint(20, 20)));
    QVERIFY(m_panel->window->menu_Port->isVisible());
    m_panel->window->menu_Port->hide();

    // The event loop runs while the client reads: every question it asks is
    // answered here.
    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(python, {QStringLiteral(AT_SPI_CLIENT), QString::number(QCoreApplication::applicationPid()),
                          QStringLiteral("Connect=Press"), QStringLiteral("Fault 3=Toggle")});
    QSignalSpy finished(&client, &QProcess::finished);
    QVERIFY(finished.wait(60000));
    const QList<QByteArray> lines = client.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        const QJsonObject report = QJsonDocument::fromJson(line).object();
        QVERIFY2(!report.contains(QLatin1String("error")), qPrintable(report[QLatin1String("error")].toString()));
        if (report.contains(QLatin1String("before")))
            m_before = report[QLatin1String("before")].toArray();
        if (report.contains(QLatin1String("events")))
            m_events = report[QLatin1String("events")].toArray();
        if (report.contains(QLatin1String("after")))
            m_after = report[QLatin1String("after")].toArray();
    }
    QCOMPARE(client.exitCode(), 0);
    QVERIFY(!m_after.isEmpty());
}

void tst_AtSpi::cleanupTestCase()
{
    m_utility.reset();
    m_dialog.reset();
    m_panel.reset();
}

void tst_AtSpi::itemsAreCheckBoxes()
{
    QFETCH(QString, name);
    // Disconnected at first: no item inserted, none to be pressed.
    const QJsonObject before = findNamed(m_before, name);
    QCOMPARE(before[QLatin1String("role")].toString(), QStringLiteral("check box"));
    QCOMPARE(before[QLatin1String("checked")].toBool(), false);
    QCOMPARE(before[QLatin1String("sensitive")].toBool(), false);
    QVERIFY(before[QLatin1String("actions")].toArray().contains(QStringLiteral("Toggle")));
    // Connected, and fault 3 toggled by the client.
    const QJsonObject after = findNamed(m_after, name);
    QCOMPARE(after[QLatin1String("checked")].toBool(), name == QLatin1String("Fault 3"));
    QCOMPARE(after[QLatin1String("sensitive")].toBool(), true);
}

void tst_AtSpi::framesAreNamedByTheirCaptions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("holds"); // an item or control in it
    QTest::newRow("connection") << "Connection Status" << "Disconnected";
    QTest::newRow("board options") << "Board options" << "Reset All";
    QTest::newRow("circuit modifications") << "Circuit Modifications" << "Modification 20";
    QTest::newRow("faults") << "Faults" << "Fault 12";
}

void tst_AtSpi::framesAreNamedByTheirCaptions()
{
    QFETCH(QString, name);
    QFETCH(QString, holds);
    const QJsonObject frame = findNamed(m_before, name, QStringLiteral("panel"));
    QVERIFY2(!frame.isEmpty(), qPrintable(name));
    QVERIFY(relationTargets(frame, QStringLiteral("label for")).contains(holds));
    QVERIFY(relationTargets(findNamed(m_before, holds), QStringLiteral("labelled by")).contains(name));
}

void tst_AtSpi::textBoxesAreLabelled_data()
{
    QTest::addColumn<QString>("label");
    QTest::newRow("authentication dialog") << "Enter your password :";
    QTest::newRow("utility, password") << "Password :";
    QTest::newRow("utility, confirmation") << "Confirm Password :";
}

void tst_AtSpi::textBoxesAreLabelled()
{
    QFETCH(QString, label);
    const QJsonObject box = findNamed(m_before, label, QStringLiteral("password text"));
    QVERIFY2(!box.isEmpty(), qPrintable(label));
    QCOMPARE(relationTargets(box, QStringLiteral("labelled by")), QStringList{label});
    const QJsonObject labelObject = findNamed(m_before, label, QStringLiteral("label"));
    QCOMPARE(relationTargets(labelObject, QStringLiteral("label for")), QStringList{label});
}

void tst_AtSpi::changesAreHeard()
{
    QStringList heard;
    for (const QJsonValue &event : m_events) {
        heard << QStringLiteral("%1 %2 %3")
                     .arg(event[QLatin1String("type")].toString(), event[QLatin1String("source")].toString())
                     .arg(event[QLatin1String("detail1")].toInt());
    }
    QCOMPARE(heard, (QStringList{"object:property-change:accessible-name Connected on COM 1 0",
                                 "object:state-changed:checked Fault 3 1"}));
    // The client's press and toggle were clicks: the probe, the reset and fault 3's insert.
    QCOMPARE(m_panel->log->written, QByteArray("\xC0\x80\x56", 3));
}

void tst_AtSpi::portItemsCarryTheirDescription_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");
    QTest::newRow("a bench inside TLS") << "COM 5" << "bench5.lab:2217 (TLS)";
    QTest::newRow("a device by id") << "COM 2" << "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    QTest::newRow("unmapped") << "COM 1" << "/dev/ttyS0";
}

void tst_AtSpi::portItemsCarryTheirDescription()
{
    QFETCH(QString, name);
    QFETCH(QString, description);
    for (const QJsonArray &view : {m_before, m_after}) {
        const QJsonObject item = findNamed(view, name);
        QVERIFY2(!item.isEmpty(), qPrintable(name));
        QCOMPARE(item[QLatin1String("role")].toString(), QStringLiteral("menu item"));
        QCOMPARE(item[QLatin1String("description")].toString(), description);
        QCOMPARE(item[QLatin1String("checked")].toBool(), name == QLatin1String("COM 1"));
        QVERIFY(item[QLatin1String("actions")].toArray().contains(QStringLiteral("Press")));
    }
    // Connected by the client: the items cannot change the port, and say so.
    QCOMPARE(findNamed(m_before, name)[QLatin1String("sensitive")].toBool(), true);
    QCOMPARE(findNamed(m_after, name)[QLatin1String("sensitive")].toBool(), false);
}

int main(int argc, char *argv[])
{
    // The display and the session bus first: the application connects to them.
    PrivateDesktop desktop(PrivateDesktop::SessionBus);
    qputenv("QT_QPA_PLATFORM", desktop.isRunning() ? "xcb" : "offscreen");
    // As a screen reader would have it switched on.
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    tst_AtSpi test(desktop);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_at_spi.moc"
