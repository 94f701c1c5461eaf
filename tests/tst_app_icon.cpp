#include "platform/ui/app_icon.h"

#include <QImage>
#include <QSet>
#include <QtTest>

class tst_AppIcon : public QObject
{
    Q_OBJECT

private slots:
    void iconOffersItsPictureAt32Pixels();
    void pictureIsGreyIn16ColoursAtMostOnTransparency();
};

void tst_AppIcon::iconOffersItsPictureAt32Pixels()
{
    const QIcon icon = platform::ApplicationIcon();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(32, 32)});
    const QImage drawn = icon.pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage stored = QImage(QString::fromLatin1(platform::ApplicationIconResource))
                              .convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(drawn, stored);
}

void tst_AppIcon::pictureIsGreyIn16ColoursAtMostOnTransparency()
{
    QImage image(QString::fromLatin1(platform::ApplicationIconResource));
    QVERIFY2(!image.isNull(), "the XPM resource did not load");
    QCOMPARE(image.size(), QSize(32, 32));
    image = image.convertToFormat(QImage::Format_ARGB32);

    QSet<QRgb> colours;
    QSet<int> greyLevels;
    int transparent = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            colours.insert(qAlpha(pixel) == 0 ? 0u : pixel);
            if (qAlpha(pixel) == 0) {
                ++transparent;
                continue;
            }
            QVERIFY2(qAlpha(pixel) == 255, qPrintable(QStringLiteral("half-transparent at %1,%2").arg(x).arg(y)));
            QVERIFY2(qRed(pixel) == qGreen(pixel) && qGreen(pixel) == qBlue(pixel),
                     qPrintable(QStringLiteral("not grey at %1,%2").arg(x).arg(y)));
            greyLevels.insert(qRed(pixel));
        }
    }
    QVERIFY2(colours.size() <= 16, qPrintable(QStringLiteral("%1 colours").arg(colours.size())));
    // Light and shadow need several greys; a wrench leaves much of the square empty.
    QVERIFY(greyLevels.size() >= 4);
    QVERIFY(transparent > 32 * 32 / 3 && transparent < 32 * 32 * 9 / 10);
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(31, 31)), 0);
}

QTEST_MAIN(tst_AppIcon)
#include "tst_app_icon.moc"
