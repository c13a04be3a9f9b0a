"""Helpers for driving the real application under Xvfb with a private session bus: a relocated copy
of the binary beside a test "app-ui" folder, a WebDriver session, a fake tray watcher, a local HTTPS
server for web frames, and X11 window queries."""

import http.server
import os
import re
import shutil
import ssl
import subprocess
import tempfile
import threading
import time

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.webkitgtk.options import Options  # noqa: E402

APPLICATION_ID = "com.velmora.Classroom"
BROWSER_NAME = "VelmoraClassroom"


def wait_for(condition, timeout=15.0, interval=0.1, message="condition"):
    """Polls `condition` until it returns a truthy value; raises AssertionError on time-out."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {message}")
        time.sleep(interval)


class Installation:
    """The binary copied into a fresh folder, optionally with an "app-ui" folder beside it, and
    a private user data folder (XDG_DATA_HOME) for the secure store and the vault."""

    def __init__(self, binary, page_folder=None):
        self.root = tempfile.mkdtemp(prefix="velmora-gui-")
        self.binary = os.path.join(self.root, "velmora-classroom")
        shutil.copy2(binary, self.binary)
        if page_folder is not None:
            os.symlink(os.path.abspath(page_folder), os.path.join(self.root, "app-ui"))
        self.data_home = os.path.join(self.root, "data")
        os.makedirs(self.data_home)

    def environment(self):
        env = dict(os.environ)
        env["XDG_DATA_HOME"] = self.data_home
        return env

    def remove(self):
        if not os.environ.get("VELMORA_GUI_KEEP"):  # keep the folder and the log for a look
            shutil.rmtree(self.root, ignore_errors=True)


def make_clip(path, seconds=6):
    """A small H.264/AAC MP4 with its index first, as lessons are delivered."""
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", f"testsrc=duration={seconds}:size=320x240:rate=25",
                    "-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}", "-c:v", "libx264", "-preset", "ultrafast",
                    "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", "-movflags", "+faststart", path],
                   check=True, capture_output=True, timeout=60)


def seal_lesson(tool, installation, owner_key, asset_id, media):
    """Seals `media` into the installation's vault as a committed lesson of `owner_key`."""
    subprocess.run([tool, installation.data_home, owner_key, asset_id, media], check=True, capture_output=True, timeout=60,
                   env=installation.environment())


class DriverSession:
    """The application started and driven by WebKitWebDriver; its output goes to `log_path`."""

    def __init__(self, installation):
        self.log_path = os.path.join(installation.root, "app.log")
        options = Options()
        options.binary_location = installation.binary
        options.add_argument("--automation-mode")
        options.set_capability("browserName", BROWSER_NAME)
        options.set_capability("acceptInsecureCerts", True)
        saved = dict(os.environ)
        os.environ.update(installation.environment())
        try:
            self.driver = webdriver.WebKitGTK(executable_path="/usr/bin/WebKitWebDriver", options=options,
                                              service_log_path=self.log_path)
        finally:
            os.environ.clear()
            os.environ.update(saved)
        self.driver.set_script_timeout(20)

    def script(self, source, *args):
        return self.driver.execute_script(source, *args)

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as handle:
            return handle.read()

    def quit(self):
        try:
            self.driver.quit()
        except Exception:  # the application may already have ended
            pass


def session_bus():
    address = Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None)
    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    return Gio.DBusConnection.new_for_address_sync(address, flags, None, None)


def call(bus, name, path, interface, method, parameters=None, reply_type=None):
    return bus.call_sync(name, path, interface, method, parameters,
                         GLib.VariantType.new(reply_type) if reply_type else None,
                         Gio.DBusCallFlags.NONE, 5000, None)


def process_of(bus, name):
    reply = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "GetConnectionUnixProcessID", GLib.Variant("(s)", (name,)), "(u)")
    return reply.unpack()[0]


def parent_of(pid):
    try:
        with open(f"/proc/{pid}/stat") as handle:
            return int(handle.read().rsplit(")", 1)[1].split()[1])
    except (OSError, ValueError, IndexError):
        return 0


def web_processes_of(app_pid):
    """The WebKit web content processes started (directly or through a sandbox) by `app_pid`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as handle:
                if not handle.read().startswith("WebKitWebProces"):
                    continue
        except OSError:
            continue
        ancestor = int(entry)
        while ancestor > 1:
            ancestor = parent_of(ancestor)
            if ancestor == app_pid:
                found.append(int(entry))
                break
    return found


class FakeStatusNotifierWatcher:
    """Owns org.kde.StatusNotifierWatcher on its own connection and thread and records every item
    that registers (with the registering connection's unique name)."""

    XML = """<node><interface name="org.kde.StatusNotifierWatcher">
      <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
      <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
      <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
      <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
      <property name="ProtocolVersion" type="i" access="read"/>
    </interface></node>"""

    def __init__(self):
        self.items = []
        self._lock = threading.Lock()
        self._ready = threading.Event()
        self._context = GLib.MainContext.new()
        self._loop = GLib.MainLoop.new(self._context, False)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("the fake watcher did not start")

    def _run(self):
        self._context.push_thread_default()
        self.bus = session_bus()
        info = Gio.DBusNodeInfo.new_for_xml(self.XML).interfaces[0]
        self.bus.register_object("/StatusNotifierWatcher", info, self._on_call, self._on_property, None)
        call(self.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
             GLib.Variant("(su)", ("org.kde.StatusNotifierWatcher", 4)), "(u)")
        self._ready.set()
        self._loop.run()

    def _on_call(self, connection, sender, path, interface, method, parameters, invocation):
        if method == "RegisterStatusNotifierItem":
            with self._lock:
                self.items.append((sender, parameters.unpack()[0]))
        invocation.return_value(None)

    def _on_property(self, connection, sender, path, interface, name):
        with self._lock:
            values = {"RegisteredStatusNotifierItems": GLib.Variant("as", [s for _, s in self.items]),
                      "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
                      "ProtocolVersion": GLib.Variant("i", 0)}
        return values.get(name)

    def registered(self):
        with self._lock:
            return list(self.items)

    def stop(self):
        self._context.invoke_full(GLib.PRIORITY_DEFAULT, self._loop.quit)
        self._thread.join(5)


class LocalHttpsServer:
    """Serves a folder over HTTPS on 127.0.0.1 with a certificate made for this run and records
    the paths asked for."""

    def __init__(self, folder, scratch):
        self.requests = []
        cert = os.path.join(scratch, "server.pem")
        key = os.path.join(scratch, "server.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)

        requests = self.requests

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=folder, **kwargs)

            def do_GET(self):
                requests.append(self.path)
                super().do_GET()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"https://127.0.0.1:{self.server.server_address[1]}/{path}"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def toplevel_windows():
    """(window id, UTF-8 title, mapped) of every top-level X11 window."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    windows = []
    for window in re.findall(r"^\s+(0x[0-9a-f]+)", tree, re.M):
        name = subprocess.run(["xprop", "-id", window, "_NET_WM_NAME"], capture_output=True, text=True).stdout
        match = re.search(r'= "(.*)"', name)
        info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
        windows.append((window, match.group(1) if match else "", "IsViewable" in info))
    return windows


def window_titled(title):
    return [w for w in toplevel_windows() if w[1] == title]


def mapped_windows():
    return {w[0] for w in toplevel_windows() if w[2]}


def press_key(window, key):
    """Gives `window` the keyboard focus and types `key` through XTEST."""
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True, timeout=10)
    subprocess.run(["xdotool", "key", "--clearmodifiers", key], check=True, timeout=10)
