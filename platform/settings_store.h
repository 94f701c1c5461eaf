#pragma once

#include <QString>

namespace platform {

// The per-user store of text values, addressed by application, section and key.
// On Windows it is the registry under
//   HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<application>\<section>
// elsewhere one INI file per application, <config dir>/<application>.ini.
// Every read looks at the store as it is now, so a value that the other program
// wrote since is seen at once.
class SettingsStore
{
public:
    // A missing or unreadable value reads as defaultValue.
    static QString read(const QString &application, const QString &section, const QString &key,
                        const QString &defaultValue);

    // Replaces one value and keeps every other. False when the store could not be
    // written or the value cannot be kept as it is (a line break, blanks at either end).
    static bool write(const QString &application, const QString &section, const QString &key,
                      const QString &value);

    // Deletes the key, so that it reads as missing again; a section left empty goes
    // with it. True when the key is missing afterwards, also when it never was there.
    static bool remove(const QString &application, const QString &section, const QString &key);

    // Where the application's values live, to tell the user.
    static QString location(const QString &application);
};

} // namespace platform
