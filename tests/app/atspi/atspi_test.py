#!/usr/bin/python3
"""The window through the accessibility bus, as a screen reader sees it.

Runs the real program under Xvfb with a private D-Bus session and AT-SPI bus,
next to a mosquitto on a free port. Through AT-SPI alone it fills the Topic box
and presses Connect and Subscribe; a message then arrives. Checks: the
controls carry the names read beside them, the log's last line is read through
its text interface, and the topic list has one item per row, the clicked one
marked selected.

Usage: atspi_test.py PROGRAM   (run inside dbus-run-session, see CMakeLists.txt)
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

pyatspi = None  # imported once the accessibility bus answers: see a11y_bus_address


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait(condition, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        try:
            value = condition()
            if value:
                return value
        except Exception:  # the tree changes while it is read
            pass
        time.sleep(0.2)
    return None


def a11y_bus_address():
    """The accessibility bus's address, once its launcher owns its name.

    Until then a client asking for the bus has D-Bus start a second launcher,
    and the window and this script may end up on two different buses."""
    reply = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus",
                            "/org/a11y/bus", "org.a11y.Bus.GetAddress"], capture_output=True, text=True)
    return reply.stdout.strip() if reply.returncode == 0 else None


def nodes(node):
    yield node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from nodes(child)


def find(app, role, name):
    for node in nodes(app):
        if node.getRoleName() == role and node.name == name:
            return node
    return None


def key_bindings(node):
    """The keys announced for a node's actions (none without actions)."""
    try:
        action = node.queryAction()
    except NotImplementedError:
        return []
    return [key for key in (action.getKeyBinding(i) for i in range(action.nActions)) if key]


def press(app, name):
    button = find(app, "push button", name)
    action = button.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("press", "click", "Press"):
            return action.doAction(i)
    return action.doAction(0)


failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def main(program):
    work = tempfile.mkdtemp(prefix="vyr-atspi-")
    port = free_port()
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n")
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write_fd], stderr=subprocess.DEVNULL)
    os.close(write_fd)
    display = ":" + os.read(read_fd, 16).decode().strip()
    env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    # In a session of its own: the bus daemon it starts goes with it.
    bus = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], env=env,
                           start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    address = wait(a11y_bus_address, 60)
    if address is None:
        print("FAIL the accessibility bus does not start")
        return 1
    os.environ["AT_SPI_BUS_ADDRESS"] = address
    global pyatspi
    import pyatspi
    # The registry answers before the window starts, so the window's
    # announcement of itself is not lost.
    if wait(lambda: pyatspi.Registry.getDesktop(0).childCount >= 0, 60) is None:
        print("FAIL the accessibility registry does not answer")
        return 1
    window = subprocess.Popen([program, "--data-dir", work, "--broker", "127.0.0.1", "--port", str(port),
                               "--ssl", "no"], env=env, stderr=subprocess.DEVNULL)
    try:
        os.environ["DISPLAY"] = display

        def application():
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                app = desktop.getChildAtIndex(i)
                if app is not None and app.name == "vyr-mqtt" and find(app, "push button", "Connect"):
                    return app
            return None

        # A slow start (a sanitizer build, a busy machine) takes a while to reach the bus.
        app = wait(application, 90)
        if app is None:
            print("FAIL the window never appeared on the accessibility bus")
            return 1
        for role, name in [("text", "Message"), ("text", "Topic"), ("panel", "Retain"), ("panel", "QoS"),
                           ("text", "Log"), ("list", "Topics"), ("check box", "Save data"),
                           ("check box", "Wrap lines"), ("label", "Connection status")]:
            check(find(app, role, name) is not None, f"a {role} named {name!r}")

        press(app, "Connect")
        log = find(app, "text", "Log").queryText()

        def last_line():
            text = log.getText(0, -1)
            return text.rstrip("\n").split("\n")[-1]

        check(wait(lambda: "Client online" in log.getText(0, -1)) is not None, "the log says the client is online")
        topic = find(app, "text", "Topic")
        topic.queryEditableText().setTextContents("sensors/#")
        check(wait(lambda: find(app, "push button", "Subscribe").getState().contains(pyatspi.STATE_ENABLED))
              is not None, "Subscribe enabled once the Topic box is filled")
        press(app, "Subscribe")
        time.sleep(1)
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "-t", "sensors/t1", "-m", "21.5"],
                       check=True)
        check(wait(lambda: last_line().endswith("sensors/t1=21.5")) is not None,
              "the log's last line read through its text interface: " + last_line())
        offset = log.characterCount - 1
        line = log.getTextAtOffset(offset, pyatspi.TEXT_BOUNDARY_LINE_START)[0]
        check(line.rstrip("\n").endswith("sensors/t1=21.5"), f"the line at the caret's end: {line!r}")
        check(log.caretOffset == log.characterCount, "the caret after the last line")

        topics = find(app, "list", "Topics")
        rows = lambda: [topics.getChildAtIndex(i).name for i in range(topics.childCount)]
        check(wait(lambda: rows() == ["sensors/#=[subscribed]", "sensors/t1=21.5"]) is not None,
              f"the list's rows as items: {rows()}")
        item = topics.getChildAtIndex(1)
        box = item.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        subprocess.run(["xdotool", "mousemove", str(box.x + box.width // 2), str(box.y + box.height // 2),
                        "click", "1"], env=env, check=True)
        check(wait(lambda: topics.getChildAtIndex(1).getState().contains(pyatspi.STATE_SELECTED)) is not None,
              "the clicked row is marked selected")
        check(not topics.getChildAtIndex(0).getState().contains(pyatspi.STATE_SELECTED), "the other row is not")

        # A group box announces its own shortcut, and pressing it puts the
        # focus inside that box; a check box inside announces none of the box's.
        for name in ["Wrap lines", "Save data"]:
            keys = key_bindings(find(app, "check box", name))
            check(keys == [], f"the check box {name!r} announces no shortcut: {keys}")
        for name, keys in [("Log", "Alt+L"), ("Topics", "Alt+T")]:
            box = find(app, "panel", name)
            check(key_bindings(box) == [keys], f"the {name} box announces {keys}: {key_bindings(box)}")
            # The window has the pointer and was clicked: the keys go to it.
            subprocess.run(["xdotool", "key", keys.lower()], env=env, check=True)
            inside = lambda: any(node.getState().contains(pyatspi.STATE_FOCUSED) for node in nodes(box))
            check(wait(inside) is not None, f"{keys} puts the focus inside the {name} box")
        return 1 if failures else 0
    finally:
        # Terminated, not killed: Xvfb then removes its lock and socket, so
        # the display number is free again for the next test.
        for process in (window, xvfb, broker):
            process.terminate()
            process.wait()
        os.killpg(bus.pid, 9)
        bus.wait()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
