#pragma once

#include <QString>

// A value as the programs see it. Sections "Ports" and "TLS" may also come from
// the machine-wide store that lab IT deploys: for each key the user's own
// value wins, and where the user has none the machine's holds. "General" (the
// password, the chosen port) is each user's alone.
struct SettingInForce
{
    enum class Origin { Missing, User, Machine };
    Origin origin = Origin::Missing;
    QString value;
    QString where; // the file, or the registry key, that holds it
};

SettingInForce ReadInForce(const QString &section, const QString &key);

// TLS/Required: true when either store says "true", so that a policy can only tighten.
bool TlsRequired();
