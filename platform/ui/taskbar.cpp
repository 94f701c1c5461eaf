#include "platform/ui/taskbar.h"

#include <QEvent>
#include <QEventLoopLocker>
#include <QWidget>

#include <memory>

#ifdef VELMORA_UI_XCB
#include <QGuiApplication>
#include <algorithm>
#include <cstdlib>
#include <vector>
#include <xcb/xcb.h>
#endif

namespace platform {

namespace {

// Keeps the program running while the window is shown, as Qt does for a
// window without an owner: when the last hold goes and no such window is
// shown, the program's event loop ends. Minimising (a spontaneous hide)
// keeps the hold.
class HoldProgramWhileShown final : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show && !m_hold)
            m_hold = std::make_unique<QEventLoopLocker>();
        else if (event->type() == QEvent::Hide && !event->spontaneous())
            m_hold.reset();
        return false;
    }

private:
    std::unique_ptr<QEventLoopLocker> m_hold;
};

} // namespace

#ifdef VELMORA_UI_XCB
namespace {

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(qstrlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

// Puts `value` into the window's list of atoms `property`, first or last,
// keeping what is there. False when the atoms cannot be had.
bool addAtom(xcb_connection_t *connection, xcb_window_t window, const char *property, const char *value,
             bool first)
{
    const xcb_atom_t list = internAtom(connection, property);
    const xcb_atom_t atom = internAtom(connection, value);
    if (list == XCB_ATOM_NONE || atom == XCB_ATOM_NONE)
        return false;
    std::vector<xcb_atom_t> atoms;
    const xcb_get_property_cookie_t cookie = xcb_get_property(connection, 0, window, list, XCB_ATOM_ATOM, 0, 1024);
    if (xcb_get_property_reply_t *reply = xcb_get_property_reply(connection, cookie, nullptr)) {
        if (reply->type == XCB_ATOM_ATOM && reply->format == 32) {
            const auto *values = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply));
            atoms.assign(values, values + xcb_get_property_value_length(reply) / 4);
        }
        std::free(reply);
    }
    if (std::find(atoms.begin(), atoms.end(), atom) == atoms.end()) {
        atoms.insert(first ? atoms.begin() : atoms.end(), atom);
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, list, XCB_ATOM_ATOM, 32,
                            static_cast<uint32_t>(atoms.size()), atoms.data());
    }
    return true;
}

// Just before each time the window is mapped, adds _NET_WM_STATE_SKIP_TASKBAR
// to its _NET_WM_STATE: a client sets that property itself only while the
// window is unmapped, and the window manager drops it when the window is
// withdrawn; Qt keeps what it finds there when it adds its own states. The
// window is marked a dialog, before the normal window Qt makes it, because
// some window managers (openbox) give the focus to a normal window kept off
// the taskbar neither when it appears nor when a message box over it closes.
// Its frame stays that of an ordinary window (a Qt::Tool window would keep
// off the taskbar too, but with a tool window's frame).
class KeepOffTaskbarOnX11 final : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // A spontaneous show (the window restored) finds the window mapped already.
        if (event->type() == QEvent::Show && !event->spontaneous())
            markBeforeMapping(static_cast<QWidget *>(watched));
        return false;
    }

private:
    static void markBeforeMapping(QWidget *window)
    {
        // Only the xcb platform draws the window on X11 (Wayland has no such
        // hint; the offscreen one answers with no connection).
        auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !connection)
            return;
        const auto id = static_cast<xcb_window_t>(window->winId());
        // Without its atoms the window keeps its taskbar button and nothing else changes.
        if (addAtom(connection, id, "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR", false))
            addAtom(connection, id, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG", true);
        xcb_flush(connection);
    }
};

} // namespace
#endif

void KeepOffTaskbar(QWidget *window)
{
#if defined(Q_OS_WIN)
    GiveHiddenOwner(window);
#elif defined(VELMORA_UI_XCB)
    window->installEventFilter(new KeepOffTaskbarOnX11(window));
#else
    Q_UNUSED(window);
#endif
}

void GiveHiddenOwner(QWidget *window)
{
    // A window with an owner gets no taskbar button; the owner is never shown
    // and lives as long as the program.
    static QWidget *owner = [] {
        auto *hidden = new QWidget;
        hidden->winId();
        return hidden;
    }();
    if (window->parentWidget() == owner)
        return;
    window->setParent(owner, window->windowFlags());
    // A child of the window, so the hold goes with it too.
    window->installEventFilter(new HoldProgramWhileShown(window));
}

} // namespace platform
