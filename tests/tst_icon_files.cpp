// The committed icon files that velmora-icon draws from the XPM: the desktop
// theme's PNGs and the ICO of the Windows resources and the installer.
#include "platform/ui/app_icon.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_IconFiles : public QObject
{
    Q_OBJECT

private slots:
    void filesRepeatThePicture_data();
    void filesRepeatThePicture();
    void filesAreWhatTheToolDraws_data();
    void filesAreWhatTheToolDraws();
    void toolRefusesWhatItCannotDraw_data();
    void toolRefusesWhatItCannotDraw();
};

void tst_IconFiles::filesRepeatThePicture_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");
    // "SIZE|PATH;SIZE|PATH;...": the committed files, and the size velmora-icon draws each at.
    const QStringList entries = QString::fromUtf8(VELMORA_ICON_FILES).split(u';', Qt::SkipEmptyParts);
    QVERIFY(!entries.isEmpty());
    for (const QString &entry : entries) {
        const qsizetype bar = entry.indexOf(u'|');
        const QString path = entry.mid(bar + 1);
        QTest::newRow(qPrintable(QFileInfo(path).fileName())) << path << entry.left(bar).toInt();
    }
}

void tst_IconFiles::filesRepeatThePicture()
{
    QFETCH(QString, path);
    QFETCH(int, size);
    const QImage picture = QImage(QString::fromLatin1(platform::ApplicationIconResource))
                               .convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(picture.size(), QSize(32, 32));
    QImage file(path);
    QVERIFY2(!file.isNull(), qPrintable(path + QStringLiteral(" does not load")));
    QCOMPARE(file.size(), QSize(size, size));
    file = file.convertToFormat(QImage::Format_ARGB32);

    // Each pixel of the picture becomes a block of size/32 pixels, unblended;
    // what is transparent stays transparent.
    const int scale = size / picture.width();
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QRgb want = picture.pixel(x / scale, y / scale);
            const QRgb got = file.pixel(x, y);
            const bool same = qAlpha(want) == 0 ? qAlpha(got) == 0 : got == want;
            QVERIFY2(same, qPrintable(QStringLiteral("pixel %1,%2 is %3, expected %4")
                                          .arg(x).arg(y).arg(got, 8, 16, QLatin1Char('0'))
                                          .arg(want, 8, 16, QLatin1Char('0'))));
        }
    }
}

void tst_IconFiles::filesAreWhatTheToolDraws_data()
{
    filesRepeatThePicture_data();
}

void tst_IconFiles::filesAreWhatTheToolDraws()
{
    QFETCH(QString, path);
    QFETCH(int, size);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path + QStringLiteral(": ") + file.errorString()));
    const QByteArray committed = file.readAll();

    // Drawn twice, as velmora_redraw_icons draws it: a file that came out
    // otherwise on each run could never match what is committed.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray drawn[2];
    for (int run = 0; run < 2; ++run) {
        const QString output = dir.filePath(QString::number(run) + u'-' + QFileInfo(path).fileName());
        QProcess tool;
        tool.start(QStringLiteral(VELMORA_ICON_TOOL),
                   {QStringLiteral(VELMORA_ICON_SOURCE), output, QString::number(size)});
        QVERIFY(tool.waitForFinished(30000));
        QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0,
                 tool.readAllStandardError().constData());
        QFile out(output);
        QVERIFY(out.open(QIODevice::ReadOnly));
        drawn[run] = out.readAll();
    }
    QVERIFY2(drawn[0] == drawn[1], "velmora-icon draws this file differently from run to run");
    QVERIFY2(drawn[0] == committed,
             qPrintable(QStringLiteral("%1 (%2 bytes) is not what velmora-icon draws from wrench.xpm now "
                                       "(%3 bytes). If the picture or its drawing changed on purpose, draw "
                                       "the files anew with\n    cmake --build %4 --target "
                                       "velmora_redraw_icons\nand commit them.")
                            .arg(path).arg(committed.size()).arg(drawn[0].size())
                            .arg(QStringLiteral(VELMORA_BUILD_DIR))));
}

void tst_IconFiles::toolRefusesWhatItCannotDraw_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("size");
    const QString xpm = QStringLiteral(VELMORA_ICON_SOURCE);
    QTest::newRow("size not a multiple of 32") << xpm << QStringLiteral("icon.png") << QStringLiteral("48");
    QTest::newRow("size below the picture") << xpm << QStringLiteral("icon.png") << QStringLiteral("16");
    QTest::newRow("size not a number") << xpm << QStringLiteral("icon.png") << QStringLiteral("large");
    QTest::newRow("file type unknown") << xpm << QStringLiteral("icon.unknown") << QString();
    QTest::newRow("input missing") << QStringLiteral("no-such-picture.xpm") << QStringLiteral("icon.png")
                                   << QString();
}

void tst_IconFiles::toolRefusesWhatItCannotDraw()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, size);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString outputPath = dir.filePath(output);
    QStringList args{input, outputPath};
    if (!size.isEmpty())
        args << size;

    QProcess tool;
    tool.start(QStringLiteral(VELMORA_ICON_TOOL), args);
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QVERIFY(tool.exitCode() != 0);
    QVERIFY(tool.readAllStandardError().startsWith("velmora-icon: "));
    // The build step fails without leaving a file that a later step would take for done.
    QVERIFY(!QFile::exists(outputPath));
}

QTEST_MAIN(tst_IconFiles)
#include "tst_icon_files.moc"
