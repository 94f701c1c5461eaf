#include "platform/serial/win32/win32_serial_logic.h"

#include <QtTest>

// Expected values come from the Windows documentation of DCB, COMMTIMEOUTS,
// WaitCommEvent, ClearCommError and the system error codes.
using platform::win32::DcbFields;

class tst_Win32SerialLogic : public QObject
{
    Q_OBJECT

private slots:
    void settingsBecomeDcbFields_data();
    void settingsBecomeDcbFields();
    void refusesWhatTheDcbCannotHold_data();
    void refusesWhatTheDcbCannotHold();
    void timeoutsNeverBlockReadsAndBoundWrites_data();
    void timeoutsNeverBlockReadsAndBoundWrites();
    void portsAreOpenedInTheDeviceNamespace_data();
    void portsAreOpenedInTheDeviceNamespace();
    void openFailuresAreNumbered_data();
    void openFailuresAreNumbered();
    void vanishedDeviceErrors_data();
    void vanishedDeviceErrors();
    void watchesLinesBreaksAndErrors();
    void eventMasksBecomeCommEvents_data();
    void eventMasksBecomeCommEvents();
};

void tst_Win32SerialLogic::settingsBecomeDcbFields_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<uint>("baudRate");
    QTest::addColumn<int>("byteSize");
    QTest::addColumn<int>("parity");    // NOPARITY 0, ODDPARITY 1, EVENPARITY 2, MARKPARITY 3, SPACEPARITY 4
    QTest::addColumn<int>("stopBits");  // ONESTOPBIT 0, ONE5STOPBITS 1, TWOSTOPBITS 2
    QTest::addColumn<int>("fParity");
    QTest::newRow("the trainer's line") << "2400,E,8,2" << 2400u << 8 << 2 << 2 << 1;
    QTest::newRow("no parity, checking off") << "9600,N,8,1" << 9600u << 8 << 0 << 0 << 0;
    QTest::newRow("odd") << "1200,O,7,1" << 1200u << 7 << 1 << 0 << 1;
    QTest::newRow("mark") << "300,M,7,2" << 300u << 7 << 3 << 2 << 1;
    QTest::newRow("space") << "19200,S,8,1" << 19200u << 8 << 4 << 0 << 1;
    QTest::newRow("five bits with 1.5 stop bits") << "110,N,5,1.5" << 110u << 5 << 0 << 1 << 0;
    QTest::newRow("six bits with two stop bits") << "4800,E,6,2" << 4800u << 6 << 2 << 2 << 1;
    QTest::newRow("speed outside the CBR_ table") << "250000,N,8,1" << 250000u << 8 << 0 << 0 << 0;
}

void tst_Win32SerialLogic::settingsBecomeDcbFields()
{
    QFETCH(QString, settings);
    QFETCH(uint, baudRate);
    QFETCH(int, byteSize);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(int, fParity);
    const auto fields = platform::win32::DcbFieldsFromSettings(settings.toStdString());
    QVERIFY(fields.has_value());
    QCOMPARE(fields->BaudRate, baudRate);
    QCOMPARE(int(fields->ByteSize), byteSize);
    QCOMPARE(int(fields->Parity), parity);
    QCOMPARE(int(fields->StopBits), stopBits);
    QCOMPARE(int(fields->fParity), fParity);

    // Whatever the line, bytes pass unaltered and no handshake holds them back.
    QCOMPARE(int(fields->fBinary), 1);
    QCOMPARE(int(fields->fOutxCtsFlow), 0);
    QCOMPARE(int(fields->fOutxDsrFlow), 0);
    QCOMPARE(int(fields->fDsrSensitivity), 0);
    QCOMPARE(int(fields->fOutX), 0);
    QCOMPARE(int(fields->fInX), 0);
    QCOMPARE(int(fields->fErrorChar), 0);
    QCOMPARE(int(fields->fNull), 0);
    QCOMPARE(int(fields->fAbortOnError), 0);
    QCOMPARE(int(fields->fDtrControl), 1);  // DTR_CONTROL_ENABLE
    QCOMPARE(int(fields->fRtsControl), 1);  // RTS_CONTROL_ENABLE
    QCOMPARE(int(fields->XonChar), 0x11);
    QCOMPARE(int(fields->XoffChar), 0x13);
}

void tst_Win32SerialLogic::refusesWhatTheDcbCannotHold_data()
{
    QTest::addColumn<QString>("settings");
    QTest::newRow("five bits with two stop bits") << "2400,N,5,2";
    QTest::newRow("six bits with 1.5 stop bits") << "2400,E,6,1.5";
    QTest::newRow("eight bits with 1.5 stop bits") << "2400,E,8,1.5";
    QTest::newRow("no line setting at all") << "2400,E,8";
}

void tst_Win32SerialLogic::refusesWhatTheDcbCannotHold()
{
    QFETCH(QString, settings);
    QVERIFY(!platform::win32::DcbFieldsFromSettings(settings.toStdString()).has_value());
}

void tst_Win32SerialLogic::timeoutsNeverBlockReadsAndBoundWrites_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<uint>("writeMultiplier");  // ms per byte: twice start + data + parity + stop bits
    QTest::newRow("2400 8E2: 12 bits, 5 ms a byte") << "2400,E,8,2" << 10u;
    QTest::newRow("9600 8N1: 10 bits, 1.04 ms, rounded up") << "9600,N,8,1" << 3u;
    QTest::newRow("300 7E1: 10 bits, 33.3 ms") << "300,E,7,1" << 67u;
    QTest::newRow("110 5N1.5: 1.5 stop bits counted as 2") << "110,N,5,1.5" << 146u;
    QTest::newRow("115200 8N1: never zero, which means no timeout") << "115200,N,8,1" << 1u;
}

void tst_Win32SerialLogic::timeoutsNeverBlockReadsAndBoundWrites()
{
    QFETCH(QString, settings);
    QFETCH(uint, writeMultiplier);
    const auto timeouts =
        platform::win32::CommTimeoutsFor(*platform::win32::DcbFieldsFromSettings(settings.toStdString()));
    // MAXDWORD, 0, 0: ReadFile returns at once with what has been received.
    QCOMPARE(timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
    QCOMPARE(timeouts.ReadTotalTimeoutMultiplier, 0u);
    QCOMPARE(timeouts.ReadTotalTimeoutConstant, 0u);
    QCOMPARE(timeouts.WriteTotalTimeoutMultiplier, writeMultiplier);
    QCOMPARE(timeouts.WriteTotalTimeoutConstant, 1000u);
}

void tst_Win32SerialLogic::portsAreOpenedInTheDeviceNamespace_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("path");
    QTest::newRow("COM1") << 1 << R"(\\.\COM1)";
    QTest::newRow("COM9, the last one DOS names reach") << 9 << R"(\\.\COM9)";
    QTest::newRow("COM10, which needs the prefix") << 10 << R"(\\.\COM10)";
    QTest::newRow("COM256") << 256 << R"(\\.\COM256)";
}

void tst_Win32SerialLogic::portsAreOpenedInTheDeviceNamespace()
{
    QFETCH(int, port);
    QFETCH(QString, path);
    QCOMPARE(QString::fromStdWString(platform::win32::PortDevicePath(port)), path);
}

void tst_Win32SerialLogic::openFailuresAreNumbered_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<uint>("systemError");
    QTest::addColumn<QString>("systemText");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    const QString denied = QStringLiteral("Access is denied.\r\n");
    QTest::newRow("COM0 names no port") << 0 << 0u << QString() << 8002 << "Invalid port number";
    QTest::newRow("a negative number, whatever the system said")
        << -3 << 5u << denied << 8002 << "Invalid port number";
    QTest::newRow("no such port: file not found")
        << 7 << 2u << "The system cannot find the file specified.\r\n" << 8002 << "Invalid port number";
    QTest::newRow("no such port: path not found")
        << 7 << 3u << "The system cannot find the path specified.\r\n" << 8002 << "Invalid port number";
    QTest::newRow("held by another program: access denied")
        << 3 << 5u << denied << 8005 << "COM3 is in use by another program";
    QTest::newRow("sharing violation") << 3 << 32u << "The process cannot access the file.\r\n"
                                       << 8005 << "COM3 is in use by another program";
    QTest::newRow("a port that does not answer: the system's text, line break dropped")
        << 4 << 121u << "The semaphore timeout period has expired.\r\n"
        << 8012 << "Cannot open COM4: The semaphore timeout period has expired.";
    QTest::newRow("trailing blanks dropped as well")
        << 12 << 21u << "The device is not ready. \r\n" << 8012 << "Cannot open COM12: The device is not ready.";
    QTest::newRow("no system text: the code is named")
        << 4 << 1234u << QString() << 8012 << "Cannot open COM4: system error 1234";
}

void tst_Win32SerialLogic::openFailuresAreNumbered()
{
    QFETCH(int, port);
    QFETCH(uint, systemError);
    QFETCH(QString, systemText);
    QFETCH(int, number);
    QFETCH(QString, description);
    const auto failure = platform::win32::OpenFailure(port, systemError, systemText.toStdString());
    QCOMPARE(failure.number, number);
    QCOMPARE(QString::fromStdString(failure.description), description);
}

void tst_Win32SerialLogic::vanishedDeviceErrors_data()
{
    QTest::addColumn<uint>("systemError");
    QTest::addColumn<bool>("vanished");
    QTest::newRow("ERROR_DEVICE_REMOVED") << 1617u << true;
    QTest::newRow("ERROR_OPERATION_ABORTED") << 995u << true;
    QTest::newRow("ERROR_BAD_COMMAND") << 22u << true;
    QTest::newRow("ERROR_GEN_FAILURE") << 31u << true;
    QTest::newRow("ERROR_DEVICE_NOT_CONNECTED") << 1167u << true;
    QTest::newRow("ERROR_ACCESS_DENIED on an open handle") << 5u << true;
    QTest::newRow("no error") << 0u << false;
    QTest::newRow("ERROR_FILE_NOT_FOUND") << 2u << false;
    QTest::newRow("ERROR_INVALID_PARAMETER") << 87u << false;
    QTest::newRow("ERROR_SEM_TIMEOUT") << 121u << false;
    QTest::newRow("ERROR_IO_PENDING") << 997u << false;
}

void tst_Win32SerialLogic::vanishedDeviceErrors()
{
    QFETCH(uint, systemError);
    QFETCH(bool, vanished);
    QCOMPARE(platform::win32::IsVanishedDeviceError(systemError), vanished);
}

void tst_Win32SerialLogic::watchesLinesBreaksAndErrors()
{
    // EV_CTS 0x08 | EV_DSR 0x10 | EV_RLSD 0x20 | EV_BREAK 0x40 | EV_ERR 0x80; no
    // EV_RXCHAR, so received bytes wake nobody.
    QCOMPARE(platform::win32::WatchedEventMask, 0x00F8u);
}

void tst_Win32SerialLogic::eventMasksBecomeCommEvents_data()
{
    QTest::addColumn<uint>("eventMask");
    QTest::addColumn<uint>("errorFlags");
    QTest::addColumn<QList<int>>("codes");
    QTest::newRow("EV_CTS") << 0x0008u << 0u << QList<int>{3};
    QTest::newRow("EV_DSR") << 0x0010u << 0u << QList<int>{4};
    QTest::newRow("EV_RLSD is carrier detect") << 0x0020u << 0u << QList<int>{5};
    QTest::newRow("EV_BREAK") << 0x0040u << 0u << QList<int>{1001};
    QTest::newRow("three lines at once, in code order") << 0x0038u << 0u << QList<int>{3, 4, 5};
    QTest::newRow("line change and break") << 0x0048u << 0u << QList<int>{3, 1001};
    QTest::newRow("EV_ERR with CE_FRAME") << 0x0080u << 0x0008u << QList<int>{1004};
    QTest::newRow("CE_OVERRUN and CE_RXPARITY") << 0x0080u << 0x0006u << QList<int>{1006, 1009};
    QTest::newRow("CE_RXOVER") << 0x0080u << 0x0001u << QList<int>{1008};
    QTest::newRow("CE_TXFULL") << 0x0080u << 0x0100u << QList<int>{1010};
    QTest::newRow("CE_BREAK alone is no second break") << 0x0080u << 0x0010u << QList<int>{};
    QTest::newRow("a break with its framing error")
        << 0x00C0u << 0x0018u << QList<int>{1001, 1004};
    QTest::newRow("error flags without EV_ERR are not reported") << 0x0008u << 0x0008u << QList<int>{3};
    QTest::newRow("woken by a mask change: nothing") << 0u << 0u << QList<int>{};
    QTest::newRow("EV_RXCHAR, EV_TXEMPTY, EV_RING are not watched") << 0x0105u << 0u << QList<int>{};
}

void tst_Win32SerialLogic::eventMasksBecomeCommEvents()
{
    QFETCH(uint, eventMask);
    QFETCH(uint, errorFlags);
    QFETCH(QList<int>, codes);
    QList<int> actual;
    for (const std::int16_t code : platform::win32::EventCodesFor(eventMask, errorFlags))
        actual << code;
    QCOMPARE(actual, codes);
}

QTEST_APPLESS_MAIN(tst_Win32SerialLogic)
#include "tst_win32_serial_logic.moc"
