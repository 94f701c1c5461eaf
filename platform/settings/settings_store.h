#pragma once

#include <QString>
#include <QStringList>

#include <optional>

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
    // A missing or unreadable value reads as defaultValue, and so does every
    // name that nameFault() refuses.
    static QString read(const QString &application, const QString &section, const QString &key,
                        const QString &defaultValue);
    // The same, telling a missing value from any value at all.
    static std::optional<QString> find(const QString &application, const QString &section, const QString &key);

    // The machine-wide store, which only administrators write and the programs
    // only read: on Windows HKEY_LOCAL_MACHINE\SOFTWARE\<application> (in the
    // 64-bit view, whatever the program's own), elsewhere <application>.ini in
    // each folder of $XDG_CONFIG_DIRS (/etc/xdg when unset), the first folder
    // that holds the key winning. A damaged or unreadable file reads as empty.
    // `origin` gets the file, or the registry key and value, it came from.
    static std::optional<QString> findMachineWide(const QString &application, const QString &section,
                                                  const QString &key, QString *origin = nullptr);
    // Where the machine-wide values are looked for, in order.
    static QStringList machineLocations(const QString &application);

    // Replaces one value and keeps every other. False when the store could not be
    // read or written, or a name or the value cannot be kept as it is.
    static bool write(const QString &application, const QString &section, const QString &key,
                      const QString &value);

    // Deletes the key, so that it reads as missing again; a section left empty goes
    // with it. True when the key is missing afterwards, also when it never was there;
    // false when the store cannot be read or a name is refused.
    static bool remove(const QString &application, const QString &section, const QString &key);

    // Where the application's values live, to tell the user.
    static QString location(const QString &application);

    // Why a section or key name cannot be used, or an empty text when it can:
    // names must not be empty, hold "=", "[", "]" or a line break, start with
    // ";" or "#", or have blanks at either end.
    static QString nameFault(const QString &name);

    // Why a value cannot be kept as it is (a line break, blanks at either end),
    // or an empty text when it can.
    static QString valueFault(const QString &value);
};

} // namespace platform
