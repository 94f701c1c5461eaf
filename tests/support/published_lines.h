#pragma once

#include "simulator/line_state_file.h"

#include <QString>
#include <QTemporaryDir>

#include <string>

// The modem lines of one pseudo-terminal, published for the modem-line
// fixture in a folder of the test's own, to which the fixture is pointed for
// as long as this lives.
class PublishedLines
{
public:
    // `slavePath`: the terminal as programs open it, "/dev/pts/7".
    explicit PublishedLines(const QString &slavePath);
    ~PublishedLines();
    PublishedLines(const PublishedLines &) = delete;
    PublishedLines &operator=(const PublishedLines &) = delete;

    bool isValid() const { return m_folder.isValid(); }
    // Writes `state`; a state with no writer is written as this process's.
    bool publish() const { return publish(state); }
    bool publish(line_state_file::LineState lines) const;

    // Starts as a base that is switched on: CTS, DSR and CD on.
    line_state_file::LineState state;

private:
    QTemporaryDir m_folder;
    std::string m_path;
};
