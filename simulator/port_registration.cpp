#include "simulator/port_registration.h"

#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

namespace tarvex_sim {

PortRegistration::PortRegistration(int com, const std::string &simulatorFolder)
    : m_key(settings_keys::PortKey(com))
    , m_simulatorFolder(QString::fromStdString(simulatorFolder) + QLatin1Char('/'))
{}

bool PortRegistration::registerPath(const std::string &path, std::string *report)
{
    m_path = QString::fromStdString(path);
    // No stored value can hold a line break, so this default marks "absent".
    const QString absent = QStringLiteral("\n");
    const QString before = read(absent);
    // What a simulator killed before it could tidy up left is no one's to restore.
    const bool simulators = isSimulators(before);
    if (before != absent && !simulators)
        m_previous = before;
    if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts, m_key,
                                        m_path)) {
        *report = "cannot write " + m_key.toStdString() + " to " + location();
        return false;
    }
    *report = m_key.toStdString() + " = " + path + ", mapped in " + location();
    if (m_previous)
        *report += " (it was " + m_previous->toStdString() + ")";
    else if (simulators)
        *report += " (it was " + before.toStdString() + ", left by a simulator, not kept)";
    return true;
}

bool PortRegistration::restore(std::string *report)
{
    const std::string key = m_key.toStdString();
    const QString now = read(QStringLiteral("\n"));
    if (now != m_path) {
        *report = key + " left as it is: it was changed meanwhile";
        return true;
    }
    if (m_previous) {
        if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts, m_key,
                                            *m_previous)) {
            *report = "could not set " + key + " back to " + m_previous->toStdString() + " in " + location();
            return false;
        }
        *report = key + " set back to " + m_previous->toStdString();
        return true;
    }
    if (!platform::SettingsStore::remove(settings_keys::Application, settings_keys::SectionPorts, m_key)) {
        *report = "could not remove " + key + " from " + location();
        return false;
    }
    *report = key + " removed again";
    return true;
}

bool PortRegistration::isSimulators(const QString &value) const
{
    const QString path = value.trimmed();
    return path.startsWith(m_simulatorFolder) || path.startsWith(QLatin1String("/dev/pts/"));
}

QString PortRegistration::read(const QString &fallback) const
{
    return platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts, m_key,
                                         fallback);
}

std::string PortRegistration::location()
{
    return platform::SettingsStore::location(settings_keys::Application).toStdString();
}

} // namespace tarvex_sim
