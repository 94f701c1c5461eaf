#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace platform {

// The text of an INI store as lines, parsed just enough to find sections and
// keys; every other line (comments, blanks, what a user typed by hand) is kept
// as it stands. Section and key names are matched without regard to case, and
// blanks around "=" are ignored. No file is touched here.
//
// Damage is judged line by line: a line that is not UTF-8 (a comment saved in
// Latin-1, say) is kept byte for byte where it stands and is otherwise ignored.
// A key on it reads as missing and is neither changed nor removed there; a
// section header on it starts a section that no name matches, so the keys
// under it are kept but cannot be reached, rather than taken for the previous
// section's.
class IniText
{
public:
    // Takes the bytes of a store. False, leaving the text empty, when they
    // cannot be text at all (they hold a NUL byte): then nothing in them is
    // trusted. A character cut short at the very end is just a last line that
    // is not UTF-8.
    bool parse(const QByteArray &bytes);

    // The lines, each ended by a line feed (a carriage return before it is
    // dropped): UTF-8, and those that were not UTF-8 as they were read; nothing
    // when there are none.
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
    struct Line
    {
        // The line as read, without its line end. For a line that is not
        // UTF-8 only a header's, decoded with replacement characters.
        QString text;
        // The bytes of a line that is not UTF-8, written back as they came;
        // empty for every other line (such a line is never empty).
        QByteArray kept;

        // Whether the line is a section header; named says whether of that
        // section, which one that is not UTF-8 never is.
        bool isHeader(const QString &section, bool *named) const;
        bool isHeader() const;
        // Whether the line holds a key, and then the key and its value; one
        // that is not UTF-8 never does.
        bool isKey(QString *key, QString *value) const;
    };

    qsizetype find(const QString &section, const QString &key, qsizetype *sectionEnd) const;

    QList<Line> m_lines;
};

} // namespace platform
