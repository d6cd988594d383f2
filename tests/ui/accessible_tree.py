#!/usr/bin/python3
"""Reads the real telkey's windows as a screen reader does, through AT-SPI, and fails when an
interactive control has no name, a name with layout blanks, or the name of another control of
the same window (menu items: of the same menu). Prints per window how many interactive controls
are named and how many take the focus. Then switches transmit on and off and checks that the
screen reader hears it: a notification shows with the news.

Usage: accessible_tree.py TELKEY_BINARY WINDOW_OPENER_LIBRARY
Runs inside a session bus whose at-spi2 registry is up (accessible_tree_test.sh starts them)."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

# Every wait below is bounded by this many polls of POLL_S seconds.
POLLS = 600
POLL_S = 0.1

R = Atspi.Role
INTERACTIVE = {
    R.PUSH_BUTTON, R.TOGGLE_BUTTON, R.CHECK_BOX, R.RADIO_BUTTON, R.COMBO_BOX, R.SPIN_BUTTON,
    R.SLIDER, R.MENU, R.MENU_ITEM, R.CHECK_MENU_ITEM, R.RADIO_MENU_ITEM, R.PAGE_TAB, R.LINK,
    R.ENTRY, R.PASSWORD_TEXT, R.TEXT, R.LIST, R.TREE, R.TABLE,
}
MENU_ROLES = {R.MENU, R.MENU_ITEM, R.CHECK_MENU_ITEM, R.RADIO_MENU_ITEM}

failures = []


heard = []
checked = []


def on_event(event):
    try:
        if event.type.endswith(":showing") and event.source.get_role() == R.NOTIFICATION:
            if event.detail1 == 1:
                heard.append(event.source.get_name())
        elif event.type.endswith(":checked"):
            checked.append((event.source.get_name(), event.detail1))
    except Exception:  # the source may be gone already
        pass


def pump():
    context = GLib.MainContext.default()
    while context.iteration(False):
        pass


def wait_for(what, probe):
    for _ in range(POLLS):
        pump()
        try:
            found = probe()
        except Exception:  # the application may be busy building the window
            found = None
        if found:
            return found
        time.sleep(POLL_S)
    failures.append("never appeared: " + what)
    return None


def find_app(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def windows(app):
    return [app.get_child_at_index(i) for i in range(app.get_child_count())]


def describe(acc):
    return "%s '%s'" % (acc.get_role_name(), spoken_name(acc))


def walk(acc, found, depth=0):
    """Collects every interactive control below acc. A combo box's drop-down list is part of
    the combo box (its items are its values), not a control of its own."""
    if depth > 40:
        return
    role = acc.get_role()
    # A hidden control is neither heard nor reached; the items of a closed menu are.
    hidden = not acc.get_state_set().contains(Atspi.StateType.VISIBLE)
    if role in INTERACTIVE and (role in MENU_ROLES or not hidden):
        found.append(acc)
    for i in range(acc.get_child_count()):
        child = acc.get_child_at_index(i)
        if child is None or role == R.COMBO_BOX and child.get_role() in (R.LIST, R.MENU):
            continue
        walk(child, found, depth + 1)


def spoken_name(acc):
    """The name a screen reader says: Orca reads a control by the labels that label it, where it
    has any (a combo box's own name is its value)."""
    relations = acc.get_relation_set() or []
    for relation in relations:
        if relation.get_relation_type() == Atspi.RelationType.LABELLED_BY:
            labels = [relation.get_target(i) for i in range(relation.get_n_targets())]
            text = " ".join(label.get_name() or "" for label in labels if label is not None)
            if text.strip():
                return text
    return acc.get_name() or ""


def check_window(title, window):
    found = []
    walk(window, found)
    names = {}
    named = focusable = 0
    for acc in found:
        name = spoken_name(acc)
        states = acc.get_state_set()
        where = "%s in %s" % (describe(acc), title)
        if name.strip():
            named += 1
        else:
            failures.append("no name: " + where)
        if name != name.strip() or "  " in name:
            failures.append("layout blanks in the name: " + where)
        if states.contains(Atspi.StateType.FOCUSABLE):
            focusable += 1
        # A menu item is told apart by its menu; the other controls by their window.
        parent = acc.get_parent()
        scope = parent.get_name() if acc.get_role() in MENU_ROLES and parent is not None else ""
        key = (scope, name)
        if name.strip() and key in names:
            failures.append("two controls named '%s' in %s (%s)" % (name, title, describe(acc)))
        names[key] = acc
    print("%s: named %d/%d interactive, focusable %d/%d" %
          (title, named, len(found), focusable, len(found)))
    return found


def request(path, name):
    with open(path + ".new", "w") as f:
        f.write(name)
    os.replace(path + ".new", path)


def main():
    binary, opener = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    Atspi.set_timeout(20000, 20000)
    listener = Atspi.EventListener.new(on_event)
    listener.register("object:state-changed:showing")
    listener.register("object:state-changed:checked")
    work = tempfile.mkdtemp(prefix="telkey-a11y-")
    order = os.path.join(work, "open")
    env = dict(os.environ)
    env.update({
        "QT_QPA_PLATFORM": "xcb",
        "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
        "QT_ACCESSIBILITY": "1",
        "LD_PRELOAD": opener,
        "TELKEY_TEST_OPEN": order,
        "TELKEY_BUS_DIR": os.path.join(work, "bus"),
        "TELKEY_COMMON_DIR": os.path.join(work, "common"),
    })
    # An unwritable settings file makes "Save setup" show its error box.
    os.mkdir(os.path.join(work, "Telkey.ini"))
    program = subprocess.Popen([binary, "--ports=sim", "--speaker=none"], cwd=work, env=env)
    try:
        app = wait_for("telkey on the accessibility bus", lambda: find_app(program.pid))
        if app is None:
            return 1
        main_window = wait_for("the main window", lambda: next(
            (w for w in windows(app) if w.get_role() == R.FRAME and w.get_name() == "Telkey"),
            None))
        if main_window is None:
            return 1
        # The main window's menus are read while closed: the menu bar holds every item.
        check_window("main window", main_window)

        def other_window(name=None):
            for w in windows(app):
                if w is None or w.get_name() == "Telkey" and w.get_role() == R.FRAME:
                    continue
                if w.get_role() in (R.MENU, R.TOOL_TIP, R.WINDOW) and name is None:
                    continue
                if w.get_state_set().contains(Atspi.StateType.SHOWING) and (
                        name is None or w.get_name() == name):
                    return w
            return None

        for item, title, name in (("EditMacros1", "macro editor", "Edit Macros"),
                                  ("About1", "About box", "About Telkey"),
                                  ("Station1", "Station dialog", "Station"),
                                  ("Savesetup1", "error box", None)):
            request(order, item)
            window = wait_for(title, lambda: other_window(name))
            if window is not None:
                check_window(title, window)
            request(order, "close")
            wait_for(title + " closed", lambda: other_window(name) is None)

        for news, down in (("Transmit on", 1), ("Transmit off", 0)):
            request(order, "TxButton")
            wait_for("the announcement '%s'" % news, lambda: news in heard)
            # The button itself says it is down or up.
            wait_for("Transmit checked %d" % down, lambda: ("Transmit", down) in checked)
    finally:
        program.terminate()
        try:
            program.wait(timeout=30)
        except subprocess.TimeoutExpired:
            program.kill()
            program.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("heard: " + ", ".join(heard))
    print("checked: " + ", ".join("%s %d" % c for c in checked))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
