#pragma once

#include <QAccessible>
#include <QList>
#include <QPointer>
#include <QString>

// Every accessibility event that widgets send, as a bridge to assistive tools
// receives it, with what the sender's interface said at that moment. Qt hands
// events to such bridges whether or not a tool is listening. A test loads it
// with Q_IMPORT_PLUGIN(AccessibilityRecorder).
namespace accessibility_recorder {

struct Event
{
    QAccessible::Event type = QAccessible::InvalidEvent;
    QPointer<QObject> object;
    QAccessible::State changed; // StateChanged events only
    QString name;               // the sender's accessible name
    bool checked = false;       // the sender's checked state
};

QList<Event> &Events();

// The events of one type that an object sent.
QList<Event> EventsOf(const QObject *object, QAccessible::Event type);

} // namespace accessibility_recorder
