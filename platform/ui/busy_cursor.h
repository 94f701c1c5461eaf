#pragma once

#include <QGuiApplication>

namespace platform {

// The wait cursor over every window of the program for as long as this lives:
// for a step that may take seconds while no event loop runs.
class BusyCursor
{
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};

} // namespace platform
