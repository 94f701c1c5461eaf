// velmora-settings: reads and writes the per-user settings store that Velmora
// and VelmoraPassword use, for instance to map a COM number to a device:
//   velmora-settings set Ports COM1 /dev/serial/by-id/usb-...
// and reads the values in force, the machine-wide ones among them.
#include "app_settings/settings_in_force.h"
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

namespace {

int usage(QTextStream &err)
{
    err << "usage: velmora-settings get [--origin] SECTION KEY [DEFAULT]\n"
           "       velmora-settings set SECTION KEY VALUE\n"
           "       velmora-settings where\n"
           "Reads the value in force (the user's, or for Ports and TLS the machine's\n"
           "where the user has none) or writes the user's value, of the application \""
        << settings_keys::Application << "\".\n"
           "--origin also prints where the value came from: user or machine, and the\n"
           "file or registry key; \"missing\" when neither store has it.\n";
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
        out << "user: " << platform::SettingsStore::location(application) << '\n';
        for (const QString &place : platform::SettingsStore::machineLocations(application))
            out << "machine: " << place << '\n';
        return 0;
    }
    if (!args.isEmpty() && args[0] == QLatin1String("get")) {
        QStringList rest = args.mid(1);
        const bool origin = !rest.isEmpty() && rest[0] == QLatin1String("--origin");
        if (origin)
            rest.removeFirst();
        if (rest.size() != 2 && rest.size() != 3)
            return usage(err);
        if (namesRefused(err, rest[0], rest[1]))
            return 1;
        const SettingInForce inForce = ReadInForce(rest[0], rest[1]);
        out << (inForce.origin == SettingInForce::Origin::Missing ? rest.value(2) : inForce.value) << '\n';
        if (origin) {
            switch (inForce.origin) {
            case SettingInForce::Origin::User:
                out << "user " << inForce.where << '\n';
                break;
            case SettingInForce::Origin::Machine:
                out << "machine " << inForce.where << '\n';
                break;
            case SettingInForce::Origin::Missing:
                out << "missing\n";
                break;
            }
        }
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
