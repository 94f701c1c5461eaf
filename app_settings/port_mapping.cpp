#include "app_settings/port_mapping.h"

#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

platform::PortTarget ResolveComPort(int portNumber)
{
    if (portNumber < 1)
        return platform::PortTargetFromMapping(portNumber, QString());
    const QString mapped = platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts,
                                                         settings_keys::PortKey(portNumber), QString());
    return platform::PortTargetFromMapping(portNumber, mapped);
}
