# What a screen reader finds of corvantis-alert: starts the program (its
# arguments follow), finds its window on the accessibility bus by the
# window's title, prints what it learns, one "key=value" line each (values
# JSON-quoted), presses OK through the accessibility interface and prints
# the program's exit status.
#
#   python3 atspi_probe.py TIMEOUT PROGRAM ARGS...
#
# Run it under a session bus of its own (dbus-run-session): the bus starts
# the accessibility bus and its registry when they are first asked for.
import json
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

TITLE = "Corvantis Agent"


def say(key, value):
    print(key + "=" + json.dumps(value), flush=True)


def find_window():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None:
            continue
        for j in range(app.get_child_count()):
            window = app.get_child_at_index(j)
            if window is not None and window.get_name() == TITLE:
                return app, window
    return None, None


def walk(node, found):
    for k in range(node.get_child_count()):
        child = node.get_child_at_index(k)
        if child is None:
            continue
        found.append(child)
        walk(child, found)
    return found


def text_of(node):
    return Atspi.Text.get_text(node, 0, Atspi.Text.get_character_count(node))


def main():
    timeout = float(sys.argv[1])
    program = subprocess.Popen(sys.argv[2:])
    deadline = time.monotonic() + timeout
    app, window = find_window()
    while window is None and time.monotonic() < deadline and program.poll() is None:
        time.sleep(0.1)
        app, window = find_window()
    if window is None:
        program.kill()
        say("error", "no window on the accessibility bus")
        return 1
    say("application", app.get_name())
    say("role", window.get_role_name())
    say("description", window.get_description())
    ok = None
    for node in walk(window, []):
        role = node.get_role_name()
        if role == "label":
            say("label", text_of(node))
        if role == "push button":
            say("button", node.get_name())
            ok = node
    if ok is not None:
        Atspi.Action.do_action(ok, 0)
    try:
        say("exit", program.wait(timeout))
    except subprocess.TimeoutExpired:
        program.kill()
        say("exit", None)
    return 0


sys.exit(main())
