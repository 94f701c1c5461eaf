// velmora-settings: reads and writes the per-user settings store that Velmora
// and VelmoraPassword use, for instance to map a COM number to a device:
//   velmora-settings set Ports COM1 /dev/serial/by-id/usb-...
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

namespace {

int usage(QTextStream &err)
{
    err << "usage: velmora-settings get SECTION KEY [DEFAULT]\n"
           "       velmora-settings set SECTION KEY VALUE\n"
           "       velmora-settings where\n"
           "Reads or writes a value of the application \""
        << settings_keys::Application << "\".\n";
    return 2;
}

// Says why the store refuses a section, key or value; true when it does.
bool refused(QTextStream &err, const char *what, const QString &text, const QString &fault)
{
    if (fault.isEmpty())
        return false;
    // Line breaks shown as \n and \r, so that the message stays on one line.
    QString shown = text;
    shown.replace(QLatin1Char('\n'), QLatin1String("\\n")).replace(QLatin1Char('\r'), QLatin1String("\\r"));
    err << "velmora-settings: refused " << what << " \"" << shown << "\": " << fault << '\n';
    return true;
}

bool namesRefused(QTextStream &err, const QString &section, const QString &key)
{
    return refused(err, "section", section, platform::SettingsStore::nameFault(section))
        || refused(err, "key", key, platform::SettingsStore::nameFault(key));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = app.arguments().mid(1);
    const QString &application = settings_keys::Application;

    if (args.size() == 1 && args[0] == QLatin1String("where")) {
        out << platform::SettingsStore::location(application) << '\n';
        return 0;
    }
    if ((args.size() == 3 || args.size() == 4) && args[0] == QLatin1String("get")) {
        if (namesRefused(err, args[1], args[2]))
            return 1;
        const QString fallback = args.size() == 4 ? args[3] : QString();
        out << platform::SettingsStore::read(application, args[1], args[2], fallback) << '\n';
        return 0;
    }
    if (args.size() == 4 && args[0] == QLatin1String("set")) {
        if (namesRefused(err, args[1], args[2])
            || refused(err, "value", args[3], platform::SettingsStore::valueFault(args[3])))
            return 1;
        if (!platform::SettingsStore::write(application, args[1], args[2], args[3])) {
            err << "velmora-settings: could not write " << args[1] << '/' << args[2] << " to "
                << platform::SettingsStore::location(application) << '\n';
            return 1;
        }
        return 0;
    }
    return usage(err);
}
