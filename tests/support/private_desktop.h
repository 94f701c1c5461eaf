#pragma once

#include <QByteArray>
#include <QString>
#include <sys/types.h>
#include <vector>

// A desktop of the test's own: an X display (Xvfb) and, when asked, a window
// manager (openbox) and a D-Bus session bus, each started as a child process
// and stopped, by its process id, when this goes. It is made before the
// QApplication, which then finds them through the environment that it sets
// (DISPLAY, DBUS_SESSION_BUS_ADDRESS, and XDG_RUNTIME_DIR in a folder of its
// own). Where a part cannot start, nothing runs and whyNot() says why.
class PrivateDesktop
{
public:
    enum Part { WindowManager = 1, SessionBus = 2 };

    explicit PrivateDesktop(int parts);
    ~PrivateDesktop();
    PrivateDesktop(const PrivateDesktop &) = delete;
    PrivateDesktop &operator=(const PrivateDesktop &) = delete;

    bool isRunning() const { return m_whyNot.isEmpty(); }
    QString whyNot() const { return m_whyNot; }

private:
    bool start(int parts);
    pid_t spawn(const std::vector<QByteArray> &arguments, bool reportOnFd3, int *reportFd);
    bool waitForWindowManager();
    void reapDescendants();
    void stop();

    QString m_whyNot;
    std::vector<pid_t> m_children; // in the order they started
    bool m_reapsDescendants = false;
    QByteArray m_runtimeDir;
};
