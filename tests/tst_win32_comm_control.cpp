#include "tests/support/fake_serial_engine.h"


#include <QtTest>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>

using platform::CommError;
using platform::DeviceCommControl;
using platform::win32::DcbFields;
using platform::win32::SerialFailure;

// A control over a fake engine, with every OnComm recorded as the code it had
// and whether the port was still open when it arrived.
struct Fixture
{
    Fixture()
    {
        QObject::connect(&control, &DeviceCommControl::OnComm, &control, [this] {
            codes << control.commEvent();
            openWhenDelivered << control.portOpen();
            deliveredOnOwnerThread = deliveredOnOwnerThread && QThread::currentThread() == control.thread();
        });
    }

    void openTrainerLine()
    {
        control.setCommPort(3);
        control.setSettings(QStringLiteral("2400,E,8,2"));
        control.setPortOpen(true);
    }

    // Fires the codes from another thread, as the engine's worker does.
    void fireFromWorker(const QList<qint16> &fired)
    {
        const auto handler = script->handler;
        std::thread worker([&handler, &fired] {
            for (const qint16 code : fired)
                handler(code);
        });
        worker.join();
    }

    std::shared_ptr<EngineScript> script = std::make_shared<EngineScript>();
    std::unique_ptr<DeviceCommControl> controlOwner = ControlOverFakeEngine(script);
    DeviceCommControl &control = *controlOwner;
    QList<int> codes;
    QList<bool> openWhenDelivered;
    bool deliveredOnOwnerThread = true;
};

// Runs the event loop long enough for queued events to pass both hops.
void drainEvents()
{
    QTest::qWait(20);
}

class tst_Win32CommControl : public QObject
{
    Q_OBJECT

private slots:
    void opensTheChosenPortAndLine_data();
    void opensTheChosenPortAndLine();
    void settingsTheDcbCannotHoldAreRefusedAtOpen_data();
    void settingsTheDcbCannotHoldAreRefusedAtOpen();
    void openFailuresKeepNumberAndText_data();
    void openFailuresKeepNumberAndText();
    void closedPortReadsNothing();
    void outputWritesEveryByte();
    void inputTakesAtMostInputLen_data();
    void inputTakesAtMostInputLen();
    void inBufferCountFitsSixteenBits_data();
    void inBufferCountFitsSixteenBits();
    void workerEventsArriveQueuedInOrder();
    void eventsOfAClosedOpeningAreDropped_data();
    void eventsOfAClosedOpeningAreDropped();
    void lostDeviceClosesThePortThenReportsOnce_data();
    void lostDeviceClosesThePortThenReportsOnce();
    void destroyingTheControlClosesTheEngine();
};

void tst_Win32CommControl::opensTheChosenPortAndLine_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("settings");   // empty: never set
    QTest::addColumn<QString>("expectedLine");
    QTest::newRow("the trainer's line on COM3") << 3 << "2400,E,8,2" << "2400,E,8,2";
    QTest::newRow("settings never set: 9600,N,8,1") << 12 << QString() << "9600,N,8,1";
}

void tst_Win32CommControl::opensTheChosenPortAndLine()
{
    QFETCH(int, port);
    QFETCH(QString, settings);
    QFETCH(QString, expectedLine);
    Fixture f;
    f.control.setCommPort(qint16(port));
    if (!settings.isEmpty())
        f.control.setSettings(settings);
    f.control.setPortOpen(true);
    QVERIFY(f.control.portOpen());
    QCOMPARE(f.script->port, port);
    QVERIFY(f.script->fields == *platform::win32::DcbFieldsFromSettings(expectedLine.toStdString()));
}

void tst_Win32CommControl::settingsTheDcbCannotHoldAreRefusedAtOpen_data()
{
    QTest::addColumn<QString>("settings");
    QTest::newRow("5 data bits with 2 stop bits") << "2400,N,5,2";
    QTest::newRow("8 data bits with 1.5 stop bits") << "2400,N,8,1.5";
}

void tst_Win32CommControl::settingsTheDcbCannotHoldAreRefusedAtOpen()
{
    QFETCH(QString, settings);
    Fixture f;
    f.control.setCommPort(3);
    f.control.setSettings(settings);
    try {
        f.control.setPortOpen(true);
        QFAIL("the open was not refused");
    } catch (const CommError &error) {
        QCOMPARE(error.number, platform::comm_error::SettingsRejected);
        QCOMPARE(error.description, QStringLiteral("COM3 does not accept the settings ") + settings);
    }
    // Nothing reached the engine.
    QVERIFY(!f.control.portOpen());
    QCOMPARE(f.script->opens, 0);
    QVERIFY(f.script->written.empty());
}

void tst_Win32CommControl::openFailuresKeepNumberAndText_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::newRow("no such port") << 8002 << "Invalid port number";
    QTest::newRow("in use") << 8005 << "COM3 is in use by another program";
    // UTF-8 as the engine converts the system's text; escaped for any source charset.
    QTest::newRow("the system's text, not ASCII")
        << 8012 << QString::fromUtf8("Cannot open COM3: Zugriff verweigert \xE2\x80\x93 Ger\xC3\xA4t belegt");
}

void tst_Win32CommControl::openFailuresKeepNumberAndText()
{
    QFETCH(int, number);
    QFETCH(QString, description);
    Fixture f;
    f.script->openFailure = SerialFailure{number, description.toStdString()};
    try {
        f.openTrainerLine();
        QFAIL("the open did not fail");
    } catch (const CommError &error) {
        QCOMPARE(error.number, number);
        QCOMPARE(error.description, description);
    }
    QVERIFY(!f.control.portOpen());
}

void tst_Win32CommControl::closedPortReadsNothing()
{
    Fixture f;
    f.script->received = "stale";
    QCOMPARE(f.control.inBufferCount(), qint16(0));
    QVERIFY(f.control.input().isEmpty());
    QCOMPARE(f.script->received, std::string("stale"));
}

void tst_Win32CommControl::outputWritesEveryByte()
{
    Fixture f;
    f.openTrainerLine();
    const QByteArray bytes("\xC0\x00\x80\xFF", 4);  // a NUL must not end the text
    f.control.setOutput(bytes);
    QCOMPARE(QByteArray::fromStdString(f.script->written), bytes);
}

void tst_Win32CommControl::inputTakesAtMostInputLen_data()
{
    QTest::addColumn<int>("inputLen");
    QTest::addColumn<QByteArray>("taken");
    QTest::addColumn<QByteArray>("left");
    const QByteArray waiting("\x00\xFF" "ab", 4);
    QTest::newRow("0 takes everything") << 0 << waiting << QByteArray();
    QTest::newRow("2 takes two") << 2 << waiting.left(2) << waiting.mid(2);
    QTest::newRow("more than is there") << 10 << waiting << QByteArray();
}

void tst_Win32CommControl::inputTakesAtMostInputLen()
{
    QFETCH(int, inputLen);
    QFETCH(QByteArray, taken);
    QFETCH(QByteArray, left);
    Fixture f;
    f.control.setInputLen(qint16(inputLen));
    f.openTrainerLine();
    f.script->received = std::string("\x00\xFF" "ab", 4);
    QCOMPARE(f.control.input(), taken);
    QCOMPARE(QByteArray::fromStdString(f.script->received), left);
}

void tst_Win32CommControl::inBufferCountFitsSixteenBits_data()
{
    QTest::addColumn<int>("waiting");
    QTest::addColumn<int>("count");
    QTest::newRow("nothing") << 0 << 0;
    QTest::newRow("one answer byte") << 1 << 1;
    QTest::newRow("the largest 16-bit count") << 32767 << 32767;
    QTest::newRow("more than 16 bits hold, not negative") << 40000 << 32767;
}

void tst_Win32CommControl::inBufferCountFitsSixteenBits()
{
    QFETCH(int, waiting);
    QFETCH(int, count);
    Fixture f;
    f.openTrainerLine();
    f.script->waitingOverride = std::size_t(waiting);
    QCOMPARE(int(f.control.inBufferCount()), count);
}

void tst_Win32CommControl::workerEventsArriveQueuedInOrder()
{
    Fixture f;
    f.openTrainerLine();
    f.fireFromWorker({platform::comm_event::CTS, platform::comm_event::Break, platform::comm_event::Frame});
    QVERIFY(f.codes.isEmpty());  // nothing runs on the worker's thread
    QTRY_COMPARE(f.codes.size(), 3);
    QCOMPARE(f.codes, (QList<int>{3, 1001, 1004}));
    QVERIFY(f.deliveredOnOwnerThread);
}

void tst_Win32CommControl::eventsOfAClosedOpeningAreDropped_data()
{
    QTest::addColumn<bool>("reopen");
    QTest::newRow("closed") << false;
    QTest::newRow("closed and opened again") << true;
}

void tst_Win32CommControl::eventsOfAClosedOpeningAreDropped()
{
    QFETCH(bool, reopen);
    Fixture f;
    f.openTrainerLine();
    f.fireFromWorker({platform::comm_event::DSR, platform::comm_event::DeviceLost});
    f.control.setPortOpen(false);
    if (reopen)
        f.control.setPortOpen(true);
    drainEvents();
    QVERIFY(f.codes.isEmpty());
    QCOMPARE(f.control.portOpen(), reopen);
    if (reopen) {
        // The new opening's own events still arrive.
        f.fireFromWorker({platform::comm_event::CD});
        QTRY_COMPARE(f.codes, QList<int>{5});
    }
}

void tst_Win32CommControl::lostDeviceClosesThePortThenReportsOnce_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<bool>("engineReportsToo");
    QTest::newRow("the worker finds it gone") << "worker" << false;
    QTest::newRow("a write fails") << "Output" << false;
    QTest::newRow("a write fails and the engine reports it") << "Output" << true;
    QTest::newRow("the count fails and the engine reports it") << "InBufferCount" << true;
    QTest::newRow("a read fails") << "Input" << false;
}

void tst_Win32CommControl::lostDeviceClosesThePortThenReportsOnce()
{
    QFETCH(QString, where);
    QFETCH(bool, engineReportsToo);
    Fixture f;
    f.openTrainerLine();
    f.script->ioFailure = SerialFailure{platform::comm_error::WriteFailed, "Cannot write to COM3: gone"};
    f.script->reportLostWithFailure = engineReportsToo;
    if (where == u"worker") {
        f.fireFromWorker({platform::comm_event::DeviceLost});
        QVERIFY(f.control.portOpen());  // closed on the owner's thread, not the worker's
    } else if (where == u"Output") {
        try {
            f.control.setOutput(QByteArray(1, '\x56'));
            QFAIL("the write did not fail");
        } catch (const CommError &error) {
            QCOMPARE(error.number, platform::comm_error::WriteFailed);
            QCOMPARE(error.description, QStringLiteral("Cannot write to COM3: gone"));
        }
    } else if (where == u"InBufferCount") {
        QCOMPARE(f.control.inBufferCount(), qint16(0));
    } else {
        QVERIFY(f.control.input().isEmpty());
    }
    QVERIFY(f.codes.isEmpty());  // never from inside a property call
    QTRY_COMPARE(f.codes.size(), 1);
    drainEvents();
    QCOMPARE(f.codes, QList<int>{platform::comm_event::DeviceLost});
    QCOMPARE(f.openWhenDelivered, QList<bool>{false});
    QCOMPARE(f.script->closes, 1);
}

void tst_Win32CommControl::destroyingTheControlClosesTheEngine()
{
    auto script = std::make_shared<EngineScript>();
    {
        const auto control = ControlOverFakeEngine(script);
        control->setPortOpen(true);
        QVERIFY(script->open);
    }
    QVERIFY(!script->open);
    QCOMPARE(script->closes, 1);
}

QTEST_GUILESS_MAIN(tst_Win32CommControl)
#include "tst_win32_comm_control.moc"
