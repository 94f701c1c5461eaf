#include "tests/support/published_lines.h"

#include <unistd.h>

PublishedLines::PublishedLines(const QString &slavePath)
    : m_path(line_state_file::PathFor(m_folder.path().toStdString(),
                                      slavePath.mid(slavePath.lastIndexOf(QLatin1Char('/')) + 1).toInt()))
{
    qputenv(line_state_file::FolderVariable, m_folder.path().toLocal8Bit());
    state.writer = ::getpid();
    state.bits = line_state_file::Cts | line_state_file::Dsr | line_state_file::Cd;
}

PublishedLines::~PublishedLines()
{
    qunsetenv(line_state_file::FolderVariable);
}

bool PublishedLines::publish(line_state_file::LineState lines) const
{
    if (lines.writer == 0)
        lines.writer = ::getpid();
    return line_state_file::Write(m_path, lines);
}
