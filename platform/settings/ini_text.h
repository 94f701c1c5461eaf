#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace platform {

// The text of an INI store as lines, parsed just enough to find sections and
// keys; every other line (comments, blanks, what a user typed by hand) is kept
// as it stands. Section and key names are matched without regard to case, and
// blanks around "=" are ignored. No file is touched here.
class IniText
{
public:
    // Takes the bytes of a store. False, leaving the text empty, when they are
    // not UTF-8 text: then nothing in them is trusted.
    bool parse(const QByteArray &bytes);

    // The lines as UTF-8, each ended by a line feed; nothing when there are none.
    QByteArray toBytes() const;

    // The value of the first line of the key in the section, if there is one.
    std::optional<QString> value(const QString &section, const QString &key) const;

    // Replaces the value on the key's first line in place, or adds the key after
    // the section's last key, or adds the section at the end.
    void set(const QString &section, const QString &key, const QString &value);

    // Drops every line of the key in the section, so that no later copy shows
    // through, and then each such section that holds nothing but blank lines.
    // False when there was nothing to drop.
    bool remove(const QString &section, const QString &key);

private:
    qsizetype find(const QString &section, const QString &key, qsizetype *sectionEnd) const;

    QStringList m_lines;
};

} // namespace platform
