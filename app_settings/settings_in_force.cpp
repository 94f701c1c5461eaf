#include "app_settings/settings_in_force.h"

#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

namespace {

using platform::SettingsStore;

bool mayComeFromTheMachine(const QString &section)
{
    return section.compare(settings_keys::SectionPorts, Qt::CaseInsensitive) == 0
        || section.compare(settings_keys::SectionTls, Qt::CaseInsensitive) == 0;
}

bool isTrue(const std::optional<QString> &value)
{
    return value && value->compare(settings_keys::True, Qt::CaseInsensitive) == 0;
}

} // namespace

SettingInForce ReadInForce(const QString &section, const QString &key)
{
    SettingInForce inForce;
    const QString &application = settings_keys::Application;
    if (const std::optional<QString> own = SettingsStore::find(application, section, key)) {
        inForce.origin = SettingInForce::Origin::User;
        inForce.value = *own;
        inForce.where = SettingsStore::location(application);
        return inForce;
    }
    if (!mayComeFromTheMachine(section))
        return inForce;
    if (const std::optional<QString> machine =
            SettingsStore::findMachineWide(application, section, key, &inForce.where)) {
        inForce.origin = SettingInForce::Origin::Machine;
        inForce.value = *machine;
    }
    return inForce;
}

bool TlsRequired()
{
    const QString &application = settings_keys::Application;
    return isTrue(SettingsStore::find(application, settings_keys::SectionTls, settings_keys::TlsRequired))
        || isTrue(SettingsStore::findMachineWide(application, settings_keys::SectionTls, settings_keys::TlsRequired));
}
