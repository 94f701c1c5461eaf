// What the store's backends share: the rules for names and values. The
// registry backend is in win32/, the INI file backend in posix/.
#include "platform/settings/settings_store.h"

#include "platform/settings/name_rules.h"

namespace platform {

namespace {

bool hasLineBreak(const QString &text)
{
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

} // namespace

bool namesAreUsable(const QString &section, const QString &key)
{
    return SettingsStore::nameFault(section).isEmpty() && SettingsStore::nameFault(key).isEmpty();
}

// A name that the INI file would read back as something else (a key "K=1" as
// "K"), or that would start a line of its own, is refused on every system, so
// that a name works the same wherever it is stored.
QString SettingsStore::nameFault(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("the name is empty");
    if (hasLineBreak(name))
        return QStringLiteral("the name holds a line break");
    if (name.contains(QChar(0)))
        return QStringLiteral("the name holds a NUL character");
    if (name.contains(QLatin1Char('=')))
        return QStringLiteral("the name holds \"=\"");
    if (name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']')))
        return QStringLiteral("the name holds \"[\" or \"]\"");
    if (name.startsWith(QLatin1Char(';')) || name.startsWith(QLatin1Char('#')))
        return QStringLiteral("the name starts with \";\" or \"#\", which mark comments");
    if (name != name.trimmed())
        return QStringLiteral("the name has blanks at its start or end");
    return QString();
}

QString SettingsStore::valueFault(const QString &value)
{
    if (hasLineBreak(value))
        return QStringLiteral("the value holds a line break");
    if (value.contains(QChar(0)))
        return QStringLiteral("the value holds a NUL character");
    if (value != value.trimmed())
        return QStringLiteral("the value has blanks at its start or end");
    return QString();
}

} // namespace platform
