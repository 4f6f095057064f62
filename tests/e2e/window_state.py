#!/usr/bin/env python3
"""Prints what the launcher window of process PID shows, read through the accessibility tree:

    status=<status line>
    tooltip=<the status line's tooltip, empty when it has none>
    Play anyway=shown|hidden
    Try again=shown|hidden
    Quit=shown|hidden

Exits 1 when no such window is on the accessibility bus (yet)."""

import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

BUTTONS = ("Play anyway", "Try again", "Quit")


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def window_of(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or app.get_process_id() != pid:
            continue
        for j in range(app.get_child_count()):
            frame = app.get_child_at_index(j)
            if frame is not None and frame.get_name() == "Veltrano RPG":
                return frame
    return None


def main():
    frame = window_of(int(sys.argv[1]))
    if frame is None:
        return 1
    status, tooltip, shown = None, "", {}
    for node in walk(frame):
        role = node.get_role()
        if role == Atspi.Role.LABEL and status is None:
            status = node.get_name()
            tooltip = node.get_description() or ""
        elif role == Atspi.Role.PUSH_BUTTON and node.get_name() in BUTTONS:
            showing = node.get_state_set().contains(Atspi.StateType.SHOWING)
            shown[node.get_name()] = "shown" if showing else "hidden"
    if status is None:
        return 1
    print("status=" + status)
    print("tooltip=" + tooltip)
    for name in BUTTONS:
        print(name + "=" + shown.get(name, "absent"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
