#include "platform/settings/ini_text.h"

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

bool IniText::parse(const QByteArray &bytes)
{
    m_lines.clear();
    if (bytes.contains('\0'))
        return false;
    // Stateless: a character cut short at the end is an error too, where the
    // decoder would otherwise keep it back for more input and drop it unseen.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return false;
    m_lines = text.split(QLatin1Char('\n'));
    for (QString &line : m_lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    if (!m_lines.isEmpty() && m_lines.last().isEmpty())
        m_lines.removeLast();
    return true;
}

QByteArray IniText::toBytes() const
{
    if (m_lines.isEmpty())
        return QByteArray();
    return (m_lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

// Index of the key's line in the section, or -1. sectionEnd gets the index
// after the section's last key line, or -1 when the section is absent.
qsizetype IniText::find(const QString &section, const QString &key, qsizetype *sectionEnd) const
{
    bool inSection = false;
    *sectionEnd = -1;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        QString name, k, v;
        if (sectionName(m_lines[i], &name)) {
            inSection = name.compare(section, Qt::CaseInsensitive) == 0;
            if (inSection)
                *sectionEnd = i + 1;
        } else if (inSection && keyValue(m_lines[i], &k, &v)) {
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
    if (at < 0 || !keyValue(m_lines[at], &k, &value))
        return std::nullopt;
    return value;
}

void IniText::set(const QString &section, const QString &key, const QString &value)
{
    const QString line = key + QLatin1Char('=') + value;
    qsizetype sectionEnd = -1;
    const qsizetype at = find(section, key, &sectionEnd);
    if (at >= 0) {
        m_lines[at] = line;
    } else if (sectionEnd >= 0) {
        m_lines.insert(sectionEnd, line);
    } else {
        while (!m_lines.isEmpty() && m_lines.last().trimmed().isEmpty())
            m_lines.removeLast();
        if (!m_lines.isEmpty())
            m_lines.append(QString());
        m_lines.append(QLatin1Char('[') + section + QLatin1Char(']'));
        m_lines.append(line);
    }
}

bool IniText::remove(const QString &section, const QString &key)
{
    QStringList kept;
    QList<qsizetype> touchedHeaders;
    bool inSection = false;
    qsizetype header = -1;
    for (const QString &line : std::as_const(m_lines)) {
        QString name, k, v;
        if (sectionName(line, &name)) {
            inSection = name.compare(section, Qt::CaseInsensitive) == 0;
            header = kept.size();
        } else if (inSection && keyValue(line, &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
            if (touchedHeaders.isEmpty() || touchedHeaders.last() != header)
                touchedHeaders.append(header);
            continue;
        }
        kept.append(line);
    }
    if (touchedHeaders.isEmpty())
        return false;

    for (qsizetype t = touchedHeaders.size() - 1; t >= 0; --t) {
        const qsizetype at = touchedHeaders[t];
        qsizetype end = at + 1;
        bool blank = true;
        QString name;
        for (; end < kept.size() && !sectionName(kept[end], &name); ++end)
            blank = blank && kept[end].trimmed().isEmpty();
        if (blank)
            kept.remove(at, end - at);
    }
    while (!kept.isEmpty() && kept.last().trimmed().isEmpty())
        kept.removeLast();
    m_lines = kept;
    return true;
}

} // namespace platform
