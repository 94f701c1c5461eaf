// velmora-icon: draws the application icon's XPM into the PNG and ICO files
// that desktop menus and Windows resources need, so the XPM stays the one
// source of the picture. The files it draws are committed; icon_files.cmake
// says how to draw them anew:
//   velmora-icon INPUT.xpm OUTPUT.png|OUTPUT.ico [SIZE]
// SIZE must be a whole multiple of the picture's width; each pixel becomes a
// square block, which keeps the small picture sharp.
#include <QCoreApplication>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>

namespace {

int fail(const QString &message)
{
    QTextStream(stderr) << "velmora-icon: " << message << '\n';
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 2 && args.size() != 3)
        return fail(QStringLiteral("usage: velmora-icon INPUT.xpm OUTPUT.png|OUTPUT.ico [SIZE]"));

    QImageReader reader(args[0]);
    QImage image = reader.read();
    if (image.isNull())
        return fail(QStringLiteral("cannot read %1: %2").arg(args[0], reader.errorString()));
    if (image.width() != image.height())
        return fail(QStringLiteral("%1 is not square").arg(args[0]));

    if (args.size() == 3) {
        bool ok = false;
        const int size = args[2].toInt(&ok);
        if (!ok || size < image.width() || size % image.width() != 0)
            return fail(QStringLiteral("SIZE must be a whole multiple of %1").arg(image.width()));
        image = image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }

    const QByteArray format = QFileInfo(args[1]).suffix().toLower().toLatin1();
    if (!QImageWriter::supportedImageFormats().contains(format))
        return fail(QStringLiteral("this Qt cannot write %1 files (is its imageformats plugin installed?)")
                        .arg(QString::fromLatin1(format)));

    // Written aside and renamed, so a failed run never leaves half a file in place of a good one.
    QSaveFile file(args[1]);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(args[1], file.errorString()));
    QImageWriter writer(&file, format);
    if (!writer.write(image))
        return fail(QStringLiteral("cannot write %1: %2").arg(args[1], writer.errorString()));
    if (!file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(args[1], file.errorString()));
    return 0;
}
