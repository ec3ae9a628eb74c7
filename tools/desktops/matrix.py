#!/usr/bin/python3
"""The service on real notification services, as a user meets it.

For each service: a private session bus (and display), the service from Debian's package, the
demo message server with the messages of messages.json, the stand-alone service with a stand-in
browser, two cycles, a real click on the newest bubble and the service's own close of another,
with busctl and dbus-monitor on the bus. Prints a matrix, service x cell, and exits 1 on any cell
that fails. Everything a run makes is in OUT/<service>: logs, the bus as JSON, screenshots.

    matrix.py --build BUILD_DIR --out OUT [--services gnome,xfce,...]
"""

import argparse
import glob
import html
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
NOTIFICATIONS = "org.freedesktop.Notifications"
NOTIFICATIONS_PATH = "/org/freedesktop/Notifications"
APP_NAME = "quorin-msg-notification"
ENTRY = "com.quorin.MsgNotification"
ENTRY_NAME = "Store messages"
GNOME_SWITCH = ("org.gnome.desktop.notifications.application:"
                "/org/gnome/desktop/notifications/application/com-quorin-msgnotification/")
CELLS = ["shown", "replaced", "unseen not counted", "click opens once", "click marks read",
         "user close keeps unread", "text shown literally", "desktop entry", "desktop switch"]
SERVICES = ["gnome", "xfce", "notification-daemon", "lxqt", "dunst"]


class Failure(Exception):
    pass


def escaped(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def wait_for(condition, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise Failure(f"timed out waiting for {what}")


class Run:
    """One service's scenario: its folder, environment, processes and bus."""

    def __init__(self, service, build, out):
        self.service = service
        self.build = Path(build)
        self.dir = Path(out) / service
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        self.procs = []
        home = self.dir / "home"
        runtime = self.dir / "run"
        for folder in (home, runtime):
            folder.mkdir()
        runtime.chmod(0o700)
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": str(home),
            "XDG_RUNTIME_DIR": str(runtime),
            "XDG_CONFIG_HOME": str(home / ".config"),
            "XDG_DATA_HOME": str(home / ".local/share"),
            "XDG_CACHE_HOME": str(home / ".cache"),
            "LANG": "C.UTF-8",
            "NO_AT_BRIDGE": "1",
            "GSETTINGS_BACKEND": "keyfile",
        }
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.start_bus("bus")
        self.notes = []

    # Processes

    def start(self, argv, log, env=None, **kwargs):
        with open(self.dir / log, "wb") as output:
            proc = subprocess.Popen(argv, stdout=output, stderr=subprocess.STDOUT,
                                    env={**self.env, **(env or {})}, start_new_session=True,
                                    **kwargs)
        self.procs.append(proc)
        return proc

    def stop_all(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for proc in reversed(self.procs):
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()

    def start_bus(self, name):
        folder = self.dir / name
        folder.mkdir()
        conf = (ROOT / "tools/lib/private-bus.conf").read_text()
        conf = conf.replace("@DIR@", str(folder)).replace("@SERVICEDIRS@", "")
        (folder / "bus.conf").write_text(conf)
        with open(folder / "daemon.log", "wb") as log:
            proc = subprocess.Popen(["dbus-daemon", f"--config-file={folder}/bus.conf",
                                     "--nofork", "--print-address=1"], stdout=subprocess.PIPE,
                                    stderr=log, start_new_session=True)
        self.procs.append(proc)
        return proc.stdout.readline().decode().strip()

    def start_display(self):
        read, write = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24",
                    "-nolisten", "tcp"], "xvfb.log", pass_fds=(write,))
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                raise Failure("Xvfb did not start")
            number += chunk
        os.close(read)
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def run(self, argv, env=None, check=True, timeout=60):
        result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                                env={**self.env, **(env or {})})
        if check and result.returncode != 0:
            raise Failure(f"{argv[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def busctl(self, *args, address=None):
        address = address or self.env["DBUS_SESSION_BUS_ADDRESS"]
        return self.run(["busctl", f"--address={address}", "--json=short", "call", "--", *args])

    def has_owner(self, name):
        reply = json.loads(self.busctl("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "NameHasOwner", "s", name))
        return reply["data"][0]

    def notifications(self, method, *args):
        return json.loads(self.busctl(NOTIFICATIONS, NOTIFICATIONS_PATH, NOTIFICATIONS, method,
                                      *args))["data"]

    # The service under test and its peers

    def install_entry(self):
        """The desktop entry and its icon where a desktop looks for the user's own, before the
        desktop starts, as a package installs them."""
        data_home = Path(self.env["XDG_DATA_HOME"])
        (data_home / "applications").mkdir(parents=True)
        # GIO skips an entry whose program is not on the PATH: name the one built here.
        entry = (ROOT / f"data/applications/{ENTRY}.desktop").read_text()
        query = self.build / "tools/quorin-msg-notification-query"
        (data_home / f"applications/{ENTRY}.desktop").write_text(
            entry.replace("Exec=quorin-msg-notification-query", f"Exec={query}"))
        icons = data_home / "icons/hicolor/scalable/apps"
        icons.mkdir(parents=True)
        shutil.copy(ROOT / f"data/icons/{ENTRY}.svg", icons)

    def start_service_under_test(self):
        data = self.dir / "server"
        data.mkdir()
        shutil.copy(HERE / "messages.json", data)
        shutil.copytree(ROOT / "data/demo/images", data / "images")
        server = self.start([str(self.build / "tools/quorin-msg-notification-demo-server"),
                             "--port", "0", "--data", str(data / "messages.json")], "server.log")
        log = self.dir / "server.log"
        wait_for(lambda: "listening on" in log.read_text(), 10, "the demo server")
        base = log.read_text().split("listening on ", 1)[1].split()[0]
        config = Path(self.env["XDG_CONFIG_HOME"]) / "quorin/quorin-msg-notification"
        config.mkdir(parents=True)
        (config / "quorin-msg-notification.conf").write_text(f"[General]\nserver={base}\n")
        self.opened = self.dir / "opened"
        # The default browser: the tests' stand-in, which notes how it was started. The data
        # folders hide the system's browsers, but not its settings schemas.
        self.start([str(self.build / "quorin-msg-notification")], "service.log", env={
            "XDG_DATA_DIRS": str(ROOT / "tests/data"),
            "GSETTINGS_SCHEMA_DIR": "/usr/share/glib-2.0/schemas",
            "PATH": f"{ROOT}/tests/data/bin:{self.env['PATH']}",
            "QMN_OPENED_LOG": str(self.opened),
        })
        wait_for(lambda: self.has_owner("com.quorin.MsgNotification"), 20, "the service")
        return server

    def query(self, *args):
        return self.run([str(self.build / "tools/quorin-msg-notification-query"), *args])

    def watch_bus(self):
        address = self.env["DBUS_SESSION_BUS_ADDRESS"]
        self.start(["busctl", f"--address={address}", "monitor", "--json=short"], "bus.json")
        self.start(["dbus-monitor", "--address", address], "bus.log")
        time.sleep(0.5)

    def screenshot(self, name):
        path = self.dir / f"{name}.png"
        if self.service == "gnome":
            self.busctl("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                        "org.gnome.Shell.Screenshot", "Screenshot", "bbs", "false", "false",
                        str(path))
        else:
            self.run(["import", "-window", "root", str(path)])
        return path


# The bus as it was

def read_bus(run):
    """Our Notify calls with their answers, the owner's closings and clicks, our passes."""
    titles = {m["title"]: m for m in json.loads((HERE / "messages.json").read_text())["messages"]}
    messages = [json.loads(line) for line in (run.dir / "bus.json").read_text().splitlines()
                if line.startswith("{")]
    ours = next(m["sender"] for m in messages
                if m.get("member") == "Notify" and m["payload"]["data"][0] == APP_NAME)
    calls, shows, closings, passes = {}, [], [], []
    owner = None
    for m in messages:
        t = m["timestamp-realtime"] / 1e6
        member = m.get("member")
        data = m["payload"]["data"]
        if member == "Notify" and m["sender"] == ours:
            calls[m["cookie"]] = {"title": data[3], "message": titles[data[3]], "replaces": data[1],
                                  "body": data[4], "actions": data[5], "sent": t,
                                  "pass": len(passes)}
        elif m["type"] == "method_return" and m.get("destination") == ours \
                and m.get("reply_cookie") in calls:
            call = calls.pop(m["reply_cookie"])
            owner = m["sender"]
            shows.append({**call, "id": data[0] if data else 0, "answered": t})
        elif member == "NotificationClosed" and m["sender"] == owner:
            closings.append({"id": data[0], "reason": data[1], "at": t})
        elif member == "PropertiesChanged" and m["sender"] == ours:
            running = data[1].get("running", {}).get("data")
            if running is True:
                passes.append({"start": t, "end": None})
            elif running is False and passes:
                passes[-1]["end"] = t
    return shows, closings, passes


def live_at(shows, closings, moment):
    """Bubble id -> message id of the bubbles on screen at `moment`."""
    live = {}
    events = [(s["answered"], "show", s) for s in shows if s["id"]] + \
             [(c["at"], "close", c) for c in closings]
    for at, kind, item in sorted(events, key=lambda e: e[0]):
        if at > moment:
            break
        if kind == "show":
            live[item["id"]] = item["message"]["id"]
        else:
            live.pop(item["id"], None)
    return live


# What each service's user does

def closed_on_bus(run, bubble):
    for line in (run.dir / "bus.json").read_text().splitlines():
        if '"NotificationClosed"' in line:
            message = json.loads(line)
            if message["payload"]["data"][0] == bubble:
                return True
    return False


def wait_closed(run, bubble):
    wait_for(lambda: closed_on_bus(run, bubble), 10, f"the closing of bubble {bubble}")


def oldest_open(run, order):
    """The oldest of our bubbles not closed yet (one may expire meanwhile)."""
    return next((b for b in order if not closed_on_bus(run, b)), None)


def x_windows(run, window_class):
    ids = run.run(["xdotool", "search", "--onlyvisible", "--class", window_class],
                  check=False).split()
    windows = []
    for wid in sorted(ids, key=int):
        shell = run.run(["xdotool", "getwindowgeometry", "--shell", wid])
        geometry = dict(line.split("=", 1) for line in shell.split())
        if int(geometry["WIDTH"]) > 50:
            windows.append({k: int(geometry[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")})
    return windows


def x_click(run, x, y):
    run.run(["xdotool", "mousemove", str(x), str(y), "click", "1"])


def light_segments(run, x, top, height):
    """Runs of light pixels down one column of the screen: the bubbles of a stack."""
    shot = run.screenshot("stack")
    column = run.run(["convert", str(shot), "-crop", f"1x{height}+{x}+{top}", "txt:-"])
    segments, start = [], None
    for y, line in enumerate(column.splitlines()[1:] + ["#000000"]):
        colour = line.split("#", 1)[1][:6]
        light = sum(int(colour[i:i + 2], 16) for i in (0, 2, 4)) > 3 * 180
        if light and start is None:
            start = y
        elif not light and start is not None:
            segments.append((top + start, top + y))
            start = None
    return segments


def gnome_eval(run, script):
    reply = json.loads(run.busctl("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell",
                                  "Eval", "s", script))["data"]
    if not reply[0]:
        raise Failure(f"Eval failed: {reply[1]}")
    return json.loads(reply[1]) if reply[1] else None


GNOME_POINTER = """
const {Clutter, GLib} = imports.gi;
if (!global._qmnPointer)
    global._qmnPointer = Clutter.get_default_backend().get_default_seat()
        .create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
const pointer = global._qmnPointer;
const t = GLib.get_monotonic_time();
pointer.notify_absolute_motion(t, %f, %f);
"""
GNOME_CLICK = """
pointer.notify_button(t + 1000, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.PRESSED);
pointer.notify_button(t + 2000, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.RELEASED);
"""
# GNOME 43 lists every notification; 48 groups them by program, to be expanded first.
GNOME_OPEN_LIST = """
Main.panel.statusArea.dateMenu.menu.open();
const view = Main.panel.statusArea.dateMenu._messageList._messageView;
const group = view && view.messages.find(g => g.source && g.source.title === "%s");
if (group && !group._expanded)
    group.expand();
""
"""
GNOME_MESSAGES = """
const list = Main.panel.statusArea.dateMenu._messageList;
const group = list._notificationSection ? null
    : list._messageView.messages.find(g => g.source && g.source.title === "%s");
const messages = list._notificationSection ? list._notificationSection._messages
    : group ? [...group._notificationToMessage.values()] : [];
const box = actor => [...actor.get_transformed_position(), ...actor.get_transformed_size()];
messages.map(m => ({title: m.notification.title,
                    body: (m.bodyLabel || m._bodyLabel).clutter_text.text,
                    box: box(m), close: box(m._closeButton || m._header.closeButton)}))
""" % ENTRY_NAME
GNOME_OPEN_LIST = GNOME_OPEN_LIST % ENTRY_NAME
# The sources of our bubbles in the message tray, as the shell heads them.
GNOME_SOURCES = """
Main.messageTray.getSources().filter(s => s.app || s.title === "%s" || s.title === "%s")
    .map(s => ({title: s.title, app: s.app ? s.app.get_id() : null,
                icon: s.app ? s.app.get_app_info().get_icon().to_string() : null}))
""" % (ENTRY_NAME, APP_NAME)


def gnome_point(run, box, click):
    x, y = box[0] + box[2] / 2, box[1] + box[3] / 2
    gnome_eval(run, GNOME_POINTER % (x, y) + (GNOME_CLICK if click else "") + '""')


def act(run, live, clicked, closed):
    """Clicks the bubble of message `clicked` and closes that of `closed` as the service's own
    user would. Returns what the service rendered of the clicked message's body, if it says."""
    bubble_of = {m: b for b, m in live.items()}
    order = sorted(live)  # bubble ids in the order the bubbles came
    rendered = None
    if run.service == "gnome":
        gnome_eval(run, GNOME_OPEN_LIST)
        time.sleep(1)
        shown = {m["title"]: m for m in gnome_eval(run, GNOME_MESSAGES)}
        titles = {m["id"]: m["title"] for m in json.loads((HERE / "messages.json").read_text())
                  ["messages"]}
        rendered = shown[titles[clicked]]["body"]
        run.screenshot("tray")
        # The close button shows while the pointer is over the message.
        gnome_point(run, shown[titles[closed]]["box"], click=False)
        time.sleep(0.5)
        hovered = {m["title"]: m for m in gnome_eval(run, GNOME_MESSAGES)}
        gnome_point(run, hovered[titles[closed]]["close"], click=True)
        wait_closed(run, bubble_of[closed])
        shown = {m["title"]: m for m in gnome_eval(run, GNOME_MESSAGES)}
        gnome_point(run, shown[titles[clicked]]["box"], click=True)
    elif run.service == "dunst":
        # dunstctl acts on the bubble at the top, the oldest (1.9 refuses other positions):
        # close each until the clicked one is there.
        while (top := oldest_open(run, order)) != bubble_of[clicked]:
            run.run(["dunstctl", "close"])
            wait_closed(run, top)
        run.run(["dunstctl", "action", "0"])
        # Into the history, which keeps the text as dunst lays it out.
        time.sleep(0.5)
        run.run(["dunstctl", "close"])
    elif run.service == "xfce":
        windows = x_windows(run, "xfce4-notifyd")
        if len(windows) != len(order):
            raise Failure(f"{len(windows)} bubbles on screen for {len(order)} live ones")
        w = windows[order.index(bubble_of[closed])]
        x_click(run, w["X"] + w["WIDTH"] // 2, w["Y"] + 20)  # a click on the body closes
        wait_closed(run, bubble_of[closed])
        # The closed one came before the clicked one.
        w = x_windows(run, "xfce4-notifyd")[order.index(bubble_of[clicked]) - 1]
        x_click(run, w["X"] + w["WIDTH"] - 57, w["Y"] + w["HEIGHT"] - 31)  # the button
    elif run.service == "notification-daemon":
        # One bubble at a time, the oldest first: close each until the clicked one shows.
        while (shown := oldest_open(run, order)) != bubble_of[clicked]:
            w = wait_for(lambda: x_windows(run, "notification-daemon"), 10, "a bubble")[0]
            x_click(run, w["X"] + w["WIDTH"] - 24, w["Y"] + 29)  # its close button
            wait_closed(run, shown)
            time.sleep(0.3)  # the next one takes its place
        w = wait_for(lambda: x_windows(run, "notification-daemon"), 10, "a bubble")[0]
        x_click(run, w["X"] + w["WIDTH"] // 2, w["Y"] + w["HEIGHT"] // 2)
    elif run.service == "lxqt":
        # One window holds the stack, the newest at the bottom; it may reach above the screen.
        def bubbles():
            w = x_windows(run, "lxqt-notificationd")[0]
            top = max(0, w["Y"])
            return w, light_segments(run, w["X"] + 5, top, w["Y"] + w["HEIGHT"] - top)
        w, stack = bubbles()
        if len(stack) != len(order):
            raise Failure(f"{len(stack)} bubbles on screen for {len(order)} live ones")
        top, _ = stack[order.index(bubble_of[closed]) - len(order)]
        x_click(run, w["X"] + 276, top + 24)  # its close button
        wait_closed(run, bubble_of[closed])
        time.sleep(0.3)  # the stack closes up
        w, stack = bubbles()
        top, _ = stack[order.index(bubble_of[clicked]) - len(order)]
        x_click(run, w["X"] + 150, top + 50)
    return rendered


# One service

def start_notification_service(run):
    if run.service == "gnome":
        system = run.start_bus("system-bus")
        run.env["DBUS_SYSTEM_BUS_ADDRESS"] = system
        run.start(["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"],
                  "logind.log")
        wait_for(lambda: run.run(["busctl", f"--address={system}", "call", "org.freedesktop.DBus",
                                  "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                                  "s", "org.freedesktop.login1"]).strip() == "b true", 20,
                 "the stand-in logind")
        # Eval needs unsafe mode, which GNOME 43 and 48 have no option for. From 45 on an
        # extension is a module.
        version = int(run.run(["gnome-shell", "--version"]).split()[2].split(".")[0])
        extension = Path(run.env["XDG_DATA_HOME"]) / "gnome-shell/extensions/unsafe@quorin.test"
        shutil.copytree(HERE / ("gnome-45" if version >= 45 else "gnome-43") /
                        "unsafe@quorin.test", extension)
        run.run(["gsettings", "set", "org.gnome.shell", "enabled-extensions",
                 "['unsafe@quorin.test']"])
        run.start(["gnome-shell", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                   "1280x800"], "gnome-shell.log")
        wait_for(lambda: run.has_owner("org.gnome.Shell"), 60, "GNOME Shell")
        def unsafe():
            try:
                return gnome_eval(run, "global.context.unsafe_mode")
            except Failure:  # the shell takes its name before it exports its object
                return False
        wait_for(unsafe, 30, "unsafe mode")
        # Its notification daemon runs in gjs, started by D-Bus activation on a desktop: as its
        # activation file says.
        activation = Path("/usr/share/dbus-1/services/org.gnome.Shell.Notifications.service")
        command = next(line.split("=", 1)[1] for line in activation.read_text().splitlines()
                       if line.startswith("Exec="))
        run.start(command.split(), "gjs.log")
    else:
        run.start_display()
        argv = {
            "xfce": glob.glob("/usr/lib/*/xfce4/notifyd/xfce4-notifyd"),
            "notification-daemon": ["/usr/lib/notification-daemon/notification-daemon"],
            "lxqt": ["lxqt-notificationd"],
            "dunst": ["dunst"],
        }[run.service]
        run.start(argv[:1], f"{run.service}.log", env={"QT_QPA_PLATFORM": "xcb"})
    wait_for(lambda: run.has_owner(NOTIFICATIONS), 30, "the notification service")


def scenario(run):
    run.install_entry()
    start_notification_service(run)
    capabilities = run.notifications("GetCapabilities")[0]
    name, vendor, version, _ = run.notifications("GetServerInformation")
    run.notes.append(f"{name} {version} ({vendor}); capabilities: {' '.join(capabilities)}")
    run.watch_bus()
    run.start_service_under_test()
    for _ in range(2):
        run.query("--wait", "--timeout", "60")
    time.sleep(0.5)
    run.screenshot("cycles")
    shows, closings, passes = read_bus(run)
    if len(passes) != 2 or not all(p["end"] for p in passes):
        raise Failure(f"expected two passes, saw {passes}")
    live = live_at(shows, closings, passes[1]["end"])
    messages = json.loads((HERE / "messages.json").read_text())["messages"]
    newest, other = messages[-1], messages[-2]
    if newest["id"] not in live.values() or other["id"] not in live.values():
        raise Failure(f"the two newest messages are not on screen: {live}")

    before = len(closings)
    rendered = act(run, live, newest["id"], other["id"])
    wait_for(lambda: run.opened.exists(), 10, "the browser")
    time.sleep(1.5)
    run.screenshot("clicked")
    state = json.loads(run.query("--json"))
    shows, closings, passes = read_bus(run)
    uploaded = (run.dir / "server.log").read_text()

    cells = {}
    # Shown: every call answered with a bubble, and the bubbles on screen after the cycles are
    # those of the newest messages.
    on_screen = sorted(live.values())
    newest_ids = sorted(m["id"] for m in messages)[-len(on_screen):]
    cells["shown"] = (all(s["id"] for s in shows) and on_screen == newest_ids,
                      f"on screen after the cycles: {on_screen}")
    # Replaced: the second pass replaced every bubble still on screen, under the same id.
    start2 = passes[1]["start"]
    live2 = live_at(shows, closings, start2)
    replacing = [s for s in shows if s["pass"] == 2 and s["replaces"] in live2]
    cells["replaced"] = (bool(replacing) and all(s["id"] == s["replaces"] for s in replacing),
                         f"{len(replacing)} replaced")
    # Unseen not counted: a bubble the service expired before the pass that showed it ended
    # counts no show and no shown event.
    unseen = []
    for closing in (c for c in closings if c["reason"] == 1):
        earlier = [s for s in shows if s["id"] == closing["id"] and s["sent"] <= closing["at"]]
        if earlier and closing["at"] <= passes[earlier[-1]["pass"] - 1]["end"]:
            unseen.append(earlier[-1])
    counted_ok, details = True, []
    stored = {m["id"]: m for m in state["messages"]}
    for message in messages:
        mid = message["id"]
        answered = sum(1 for s in shows if s["message"]["id"] == mid and s["id"])
        missed = sum(1 for s in unseen if s["message"]["id"] == mid)
        events = uploaded.count(f"event: id {mid}, type 2,") + sum(
            1 for e in state["events"] if e["messageId"] == mid and e["kind"] == "shown")
        counted_ok &= stored[mid]["shown"] == answered - missed == events
        details.append(f"{mid}: {answered} shown, {missed} unseen, count {stored[mid]['shown']}, "
                       f"events {events}")
    cells["unseen not counted"] = (counted_ok, "; ".join(details))
    # The click.
    lines = run.opened.read_text().splitlines() if run.opened.exists() else []
    cells["click opens once"] = (
        len(lines) == 1 and lines[0].split("|")[1] == newest["linkInfo"], f"browser: {lines}")
    closed_events = [e["messageId"] for e in state["events"] if e["kind"] == "closed"]
    cells["click marks read"] = (stored[newest["id"]]["read"] and newest["id"] in closed_events,
                                 f"read {stored[newest['id']]['read']}, closed events "
                                 f"{closed_events}")
    # The service's own close of another bubble keeps its message unread.
    own = [c for c in closings[before:] if c["id"] in live and live[c["id"]] != newest["id"]]
    closed_messages = sorted({live[c["id"]] for c in own})
    cells["user close keeps unread"] = (
        bool(own) and all(c["reason"] != 3 for c in own) and
        not any(stored[m]["read"] or m in closed_events for m in closed_messages),
        f"closed by the service: {closed_messages} with reasons {[c['reason'] for c in own]}")
    # Text: what the service renders, where it tells; otherwise what it was sent.
    sent = [s for s in shows if s["message"]["id"] == newest["id"]][-1]["body"]
    wire = escaped(newest["content"]) if "body-markup" in capabilities else newest["content"]
    text_ok, how = sent == wire, "sent as the service reads it"
    if rendered is not None:
        text_ok &= " ".join(rendered.split()) == " ".join(newest["content"].split())
        how = f"rendered: {rendered!r}"
    if run.service == "dunst":
        history = json.loads(run.run(["dunstctl", "history"]))["data"][0]
        bubble = next(b for b, m in live.items() if m == newest["id"])
        message = next(n["message"]["data"] for n in history if n["id"]["data"] == bubble)
        body = message.split("\n", 1)[1]
        text_ok &= "<" not in body and html.unescape(body) == newest["content"]
        how = f"dunst's markup: {body!r}"
    cells["text shown literally"] = (text_ok, how)

    # The desktop entry: GNOME heads the bubbles with its name and icon and keeps its switch
    # under the id it makes of it; elsewhere the hint went out.
    hints = [m["payload"]["data"][6] for m in
             (json.loads(line) for line in (run.dir / "bus.json").read_text().splitlines()
              if '"Notify"' in line) if m.get("member") == "Notify"]
    entry_sent = bool(hints) and all(h.get("desktop-entry", {}).get("data") == ENTRY
                                     for h in hints)
    if run.service == "gnome":
        sources = gnome_eval(run, GNOME_SOURCES)
        children = run.run(["gsettings", "get", "org.gnome.desktop.notifications",
                            "application-children"])
        cells["desktop entry"] = (
            entry_sent and sources == [{"title": ENTRY_NAME, "app": f"{ENTRY}.desktop",
                                        "icon": ENTRY}] and "'com-quorin-msgnotification'" in children,
            f"sources: {sources}; application-children {children.strip()}")
    else:
        cells["desktop entry"] = (entry_sent, f"hint sent with all {len(hints)} bubbles")
    # GNOME's switch for the entry off: a cycle shows nothing, and the query program says why.
    run.run(["gsettings", "set", GNOME_SWITCH, "enable", "false"])
    run.query("--wait", "--timeout", "60")
    time.sleep(0.5)
    if run.service == "gnome":
        run.screenshot("switched-off")
    shows, _, passes = read_bus(run)
    third = [s for s in shows if s["pass"] == 3]
    status = run.query("--status")
    cells["desktop switch"] = (
        len(passes) == 3 and not third and "off in the desktop's notification settings" in status,
        f"{len(third)} bubbles in the cycle after the switch; --status: "
        f"{next((l for l in status.splitlines() if l.startswith('switched')), '')!r}")
    return cells


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--services", default=",".join(SERVICES))
    args = parser.parse_args()
    results = {}
    for service in args.services.split(","):
        run = Run(service, args.build, args.out)
        started = time.monotonic()
        try:
            cells = scenario(run)
        except (Failure, subprocess.SubprocessError, KeyError, IndexError, StopIteration,
                ValueError) as failure:
            cells = {cell: (False, f"scenario stopped: {failure!r}") for cell in CELLS}
        finally:
            run.stop_all()
        results[service] = cells
        with open(run.dir / "cells.txt", "w") as report:
            for note in run.notes:
                print(note, file=report)
            for cell in CELLS:
                ok, detail = cells[cell]
                print(f"{'ok  ' if ok else 'FAIL'} {cell}: {detail}", file=report)
        print(f"== {service} ({time.monotonic() - started:.0f} s)")
        print((run.dir / "cells.txt").read_text(), end="")
    width = max(len(s) for s in results) + 2
    print("\n" + " " * width + " | ".join(CELLS))
    for service, cells in results.items():
        row = [("ok" if cells[c][0] else "FAIL").center(len(c)) for c in CELLS]
        print(service.ljust(width) + " | ".join(row))
    return 0 if all(ok for cells in results.values() for ok, _ in cells.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
