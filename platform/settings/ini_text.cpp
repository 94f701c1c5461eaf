#include "platform/settings/ini_text.h"

#include <QByteArrayView>
#include <QStringDecoder>

namespace platform {

namespace {

bool sectionName(const QString &line, QString *name)
{
    const QString trimmed = line.trimmed();
    if (trimmed.size() < 2 || !trimmed.startsWith(QLatin1Char('[')) || !trimmed.endsWith(QLatin1Char(']')))
        return false;
    *name = trimmed.mid(1, trimmed.size() - 2).trimmed();
    return true;
}

bool keyValue(const QString &line, QString *key, QString *value)
{
    const QString trimmed = line.trimmed();
    if (trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#')))
        return false;
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals <= 0)
        return false;
    *key = line.left(equals).trimmed();
    *value = line.mid(equals + 1).trimmed();
    return !key->isEmpty();
}

} // namespace

// A garbled header still ends the section before it, so that its keys are not
// taken for that one's; but what it names cannot be known, so it matches none.
bool IniText::Line::isHeader(const QString &section, bool *named) const
{
    QString name;
    if (!sectionName(text, &name))
        return false;
    *named = kept.isEmpty() && name.compare(section, Qt::CaseInsensitive) == 0;
    return true;
}

bool IniText::Line::isHeader() const
{
    QString name;
    return sectionName(text, &name);
}

bool IniText::Line::isKey(QString *key, QString *value) const
{
    return kept.isEmpty() && keyValue(text, key, value);
}

bool IniText::parse(const QByteArray &bytes)
{
    m_lines.clear();
    if (bytes.contains('\0'))
        return false;
    // A byte order mark belongs to the file, not to its first line.
    const QByteArrayView all(bytes);
    const QByteArrayView bom("\xef\xbb\xbf");
    const qsizetype start = all.startsWith(bom) ? bom.size() : 0;
    // Stateless, so that a character cut short at a line's end is that line's
    // error rather than held back for more input. Each line is decoded on its
    // own, so a mark at the start of a later line must stay its text.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    m_lines.reserve(all.count('\n') + 1);
    for (qsizetype from = start; from < all.size();) {
        const qsizetype feed = all.indexOf('\n', from);
        const qsizetype next = feed < 0 ? all.size() : feed + 1;
        qsizetype end = feed < 0 ? all.size() : feed;
        if (end > from && all[end - 1] == '\r')
            --end;
        const QByteArrayView raw = all.sliced(from, end - from);
        from = next;
        Line &line = m_lines.emplace_back();
        if (raw.isEmpty())
            continue;
        decoder.resetState();
        line.text = decoder.decode(raw);
        if (decoder.hasError()) {
            // Decoded with replacement characters only to tell a header; the
            // text of any other such line is never looked at.
            line.text = QString::fromUtf8(raw);
            QString name;
            if (!sectionName(line.text, &name))
                line.text.clear();
            line.kept = raw.toByteArray();
        }
    }
    return true;
}

QByteArray IniText::toBytes() const
{
    QByteArray bytes;
    for (const Line &line : m_lines) {
        bytes.append(line.kept.isEmpty() ? line.text.toUtf8() : line.kept);
        bytes.append('\n');
    }
    return bytes;
}

// Index of the key's line in the section, or -1. sectionEnd gets the index
// after the section's last key line, or -1 when the section is absent.
qsizetype IniText::find(const QString &section, const QString &key, qsizetype *sectionEnd) const
{
    bool inSection = false;
    *sectionEnd = -1;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        QString k, v;
        if (m_lines[i].isHeader(section, &inSection)) {
            if (inSection)
                *sectionEnd = i + 1;
        } else if (inSection && m_lines[i].isKey(&k, &v)) {
            if (k.compare(key, Qt::CaseInsensitive) == 0)
                return i;
            *sectionEnd = i + 1;
        }
    }
    return -1;
}

std::optional<QString> IniText::value(const QString &section, const QString &key) const
{
    qsizetype sectionEnd = -1;
    const qsizetype at = find(section, key, &sectionEnd);
    QString k, value;
    if (at < 0 || !m_lines[at].isKey(&k, &value))
        return std::nullopt;
    return value;
}

void IniText::set(const QString &section, const QString &key, const QString &value)
{
    Line line;
    line.text = key + QLatin1Char('=') + value;
    qsizetype sectionEnd = -1;
    const qsizetype at = find(section, key, &sectionEnd);
    if (at >= 0) {
        m_lines[at] = line;
    } else if (sectionEnd >= 0) {
        m_lines.insert(sectionEnd, line);
    } else {
        while (!m_lines.isEmpty() && m_lines.last().kept.isEmpty() && m_lines.last().text.trimmed().isEmpty())
            m_lines.removeLast();
        if (!m_lines.isEmpty())
            m_lines.append(Line());
        Line header;
        header.text = QLatin1Char('[') + section + QLatin1Char(']');
        m_lines.append(header);
        m_lines.append(line);
    }
}

bool IniText::remove(const QString &section, const QString &key)
{
    QList<Line> kept;
    QList<qsizetype> touchedHeaders;
    bool inSection = false;
    qsizetype header = -1;
    for (const Line &line : std::as_const(m_lines)) {
        QString k, v;
        if (line.isHeader(section, &inSection)) {
            header = kept.size();
        } else if (inSection && line.isKey(&k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
            if (touchedHeaders.isEmpty() || touchedHeaders.last() != header)
                touchedHeaders.append(header);
            continue;
        }
        kept.append(line);
    }
    if (touchedHeaders.isEmpty())
        return false;

    const auto blank = [](const Line &line) { return line.kept.isEmpty() && line.text.trimmed().isEmpty(); };
    for (qsizetype t = touchedHeaders.size() - 1; t >= 0; --t) {
        const qsizetype at = touchedHeaders[t];
        qsizetype end = at + 1;
        bool onlyBlank = true;
        for (; end < kept.size() && !kept[end].isHeader(); ++end)
            onlyBlank = onlyBlank && blank(kept[end]);
        if (onlyBlank)
            kept.remove(at, end - at);
    }
    while (!kept.isEmpty() && blank(kept.last()))
        kept.removeLast();
    m_lines = kept;
    return true;
}

} // namespace platform
