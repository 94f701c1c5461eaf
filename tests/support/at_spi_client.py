"""An assistive tool in miniature: reads one application through AT-SPI,
acts on it, and reports what it found and heard, as JSON lines.

    python3 at_spi_client.py PID [NAME=ACTION ...]

Prints {"before": [...]} with every accessible object of the application (role,
name, description, checked, sensitive, relations, actions), then performs each
action on the object of that name, waiting after each for the events it
causes, then prints {"events": [...]} with every checked-state and name change
heard, and {"after": [...]} read afresh. Exits with 1 and {"error": ...} on a
failure.
"""
import json
import sys
import time

import pyatspi
from gi.repository import GLib

FIND_SECONDS = 10      # for the application to appear on the bus
EVENT_SECONDS = 5      # for the first event an action causes
QUIET_SECONDS = 0.3    # without events, after which an action counts as done


def fail(message):
    print(json.dumps({"error": message}), flush=True)
    sys.exit(1)


def find_application(pid):
    deadline = time.monotonic() + FIND_SECONDS
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            application = desktop.getChildAtIndex(i)
            try:
                if application is not None and application.get_process_id() == pid:
                    return application
            except GLib.Error:
                pass  # an application that went away meanwhile
        time.sleep(0.1)
    return None


def objects(root):
    yield root
    for i in range(root.childCount):
        child = root.getChildAtIndex(i)
        if child is not None:
            yield from objects(child)


def describe(accessible):
    state = accessible.getState()
    relations = [{"type": pyatspi.relationToString(relation.getRelationType()),
                  "targets": [relation.getTarget(i).name for i in range(relation.getNTargets())]}
                 for relation in accessible.getRelationSet()]
    try:
        action = accessible.queryAction()
        actions = [action.getName(i) for i in range(action.nActions)]
    except NotImplementedError:
        actions = []
    return {"role": accessible.getRoleName(), "name": accessible.name,
            "description": accessible.description,
            "checked": state.contains(pyatspi.STATE_CHECKED),
            "sensitive": state.contains(pyatspi.STATE_SENSITIVE),
            "relations": relations, "actions": actions}


def main():
    pid = int(sys.argv[1])
    steps = [argument.split("=", 1) for argument in sys.argv[2:]]
    application = find_application(pid)
    if application is None:
        fail("no application with process id %d on the accessibility bus" % pid)
    print(json.dumps({"before": [describe(o) for o in objects(application)]}), flush=True)

    heard = []
    last_heard = [0.0]

    def listen(event):
        try:
            source = event.source.name
        except GLib.Error:
            source = None
        heard.append({"type": event.type, "source": source, "detail1": event.detail1})
        last_heard[0] = time.monotonic()

    errors = []

    def act():
        context = GLib.MainContext.default()
        for name, action_name in steps:
            target = next((o for o in objects(application) if o.name == name), None)
            if target is None:
                errors.append("no object named %r" % name)
                break
            action = target.queryAction()
            names = [action.getName(i) for i in range(action.nActions)]
            if action_name not in names:
                errors.append("%r has no action %r, only %r" % (name, action_name, names))
                break
            count = len(heard)
            action.doAction(names.index(action_name))
            started = time.monotonic()
            while len(heard) == count and time.monotonic() - started < EVENT_SECONDS:
                context.iteration(False)
                time.sleep(0.01)
            while time.monotonic() - last_heard[0] < QUIET_SECONDS:
                context.iteration(False)
                time.sleep(0.01)
        pyatspi.Registry.stop()
        return False

    pyatspi.Registry.registerEventListener(listen, "object:state-changed:checked",
                                           "object:property-change:accessible-name")
    GLib.idle_add(act)
    pyatspi.Registry.start()
    if errors:
        fail(errors[0])
    print(json.dumps({"events": heard}), flush=True)
    print(json.dumps({"after": [describe(o) for o in objects(application)]}), flush=True)


if __name__ == "__main__":
    main()
