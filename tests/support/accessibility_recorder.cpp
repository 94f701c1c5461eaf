// Built as a static plugin, so that the test that imports it finds it without
// a plugin folder.
#define QT_STATICPLUGIN

#include "tests/support/accessibility_recorder.h"

#include <QAccessibleBridge>
#include <QAccessibleBridgePlugin>

namespace accessibility_recorder {

QList<Event> &Events()
{
    static QList<Event> recorded;
    return recorded;
}

QList<Event> EventsOf(const QObject *object, QAccessible::Event type)
{
    QList<Event> found;
    for (const Event &event : Events()) {
        if (event.object == object && event.type == type)
            found << event;
    }
    return found;
}

} // namespace accessibility_recorder

namespace {

class RecordingBridge final : public QAccessibleBridge
{
public:
    void setRootObject(QAccessibleInterface *) override {}

    void notifyAccessibilityUpdate(QAccessibleEvent *event) override
    {
        accessibility_recorder::Event recorded;
        recorded.type = event->type();
        recorded.object = event->object();
        if (event->type() == QAccessible::StateChanged)
            recorded.changed = static_cast<QAccessibleStateChangeEvent *>(event)->changedStates();
        if (QAccessibleInterface *iface = event->accessibleInterface()) {
            recorded.name = iface->text(QAccessible::Name);
            recorded.checked = iface->state().checked;
        }
        accessibility_recorder::Events() << recorded;
    }
};

} // namespace

class AccessibilityRecorder final : public QAccessibleBridgePlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QAccessibleBridgeFactoryInterface_iid FILE "accessibility_recorder.json")

public:
    QAccessibleBridge *create(const QString &) override { return new RecordingBridge; }
};

#include "accessibility_recorder.moc"
