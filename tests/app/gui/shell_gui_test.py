#!/usr/bin/python3
"""The real application under Xvfb with a private session bus: window, page environment, bridge,
frame isolation, navigation policy, offline media, zoom, tray item, single instance, quit and crash.

Usage: shell_gui_test.py <velmora-classroom binary> <test page folder> <seal_lesson tool>"""

import glob
import http.server
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.webkitgtk.options import Options  # noqa: E402

BINARY = PAGE = SEAL_TOOL = None
APP_UI = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "app-ui")
APPLICATION_ID = "com.velmora.Classroom"
OWNER_KEY = "gui-account-key"
ASSET_ID = "lesson-1"
LONG_ASSET_ID, LONG_LESSON_BYTES = "long-lesson", 256 * 1024 * 1024
DAMAGED_ASSET_ID = "damaged-lesson"
RECORD_BYTES = 32 + 1024 * 1024  # one sealed record of a lesson: prefix and a full piece
START_ADDRESS = "velmora-app://local/index.html"
TITLE = "星禾课堂"
POST = "window.webkit.messageHandlers.velmora.postMessage"
# The page tells the test server (the address in the argument) when it is asked to save its progress.
SAVE_REPORTER = """window.addEventListener('message', (event) => {
    if (event.data && event.data.type === 'saveProgressRequested') fetch(arguments[0], {mode: 'no-cors'});
});"""


def wait_for(condition, timeout=15.0, message="condition"):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {message}")
        time.sleep(0.1)
    return value


def proc_number(pid, name, field):
    """A number from /proc/<pid>/<name> lines of the form "field: number"."""
    with open(f"/proc/{pid}/{name}") as handle:
        return next(int(line.split()[1]) for line in handle if line.startswith(field + ":"))


def steady(read):
    """The value of read() once it has stayed the same for 0.3 s."""
    readings = [read()]

    def unchanged():
        time.sleep(0.3)
        readings.append(read())
        return readings[-1] == readings[-2]

    wait_for(unchanged, message="a steady value")
    return readings[-1]


def alive(pid):
    return os.path.exists(f"/proc/{pid}") and open(f"/proc/{pid}/stat").read().split()[2] != "Z"


class Installation:
    """The binary copied into a fresh folder with the test page beside it as "app-ui" and a private
    XDG_DATA_HOME; start() adds an HTTPS server for web frames and a WebDriver session."""

    def __init__(self, page=True):
        self.root = tempfile.mkdtemp(prefix="velmora-gui-")
        self.binary = os.path.join(self.root, "velmora-classroom")
        shutil.copy2(BINARY, self.binary)
        if page:
            os.symlink(os.path.abspath(PAGE), os.path.join(self.root, "app-ui"))
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.root, "data"))
        os.makedirs(self.env["XDG_DATA_HOME"])
        self.requests, self.server, self.driver, self.pid = [], None, None, None

    def start(self):
        cert, key = os.path.join(self.root, "server.pem"), os.path.join(self.root, "server.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert], check=True, capture_output=True)
        requests = self.requests

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=PAGE, **kwargs)

            def do_GET(self):
                requests.append(self.path)
                super().do_GET()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

        self.log_path = os.path.join(self.root, "app.log")
        options = Options()
        options.binary_location = self.binary
        options.add_argument("--automation-mode")
        options.set_capability("browserName", "VelmoraClassroom")
        options.set_capability("acceptInsecureCerts", True)
        saved = dict(os.environ)
        os.environ.update(self.env)  # WebKitWebDriver passes its own environment to the application
        try:
            self.driver = webdriver.WebKitGTK(executable_path="/usr/bin/WebKitWebDriver", options=options,
                                              service_log_path=self.log_path)
        finally:
            os.environ.clear()
            os.environ.update(saved)
        self.driver.set_script_timeout(20)
        wait_for(lambda: self.js("return !!window.shellTest && document.readyState === 'complete'"), message="the test page")
        self.pid = application_pid()
        return self

    def js(self, source, *args):
        return self.driver.execute_script(source, *args)

    def url(self, path):
        return f"https://127.0.0.1:{self.server.server_address[1]}/{path}"

    def close(self):
        if self.driver:
            try:
                self.driver.quit()
            except Exception:  # the application may already have ended
                pass
        # The next test's app must not find this one still holding the bus name or its window.
        if self.pid and alive(self.pid):
            try:
                wait_for(lambda: not alive(self.pid), timeout=20, message="the application to end")
            except AssertionError:
                os.kill(self.pid, signal.SIGKILL)
        if self.server:
            self.server.shutdown()
            self.server.server_close()
        shutil.rmtree(self.root, ignore_errors=True)


def make_clip(path, seconds):
    """A clip of `seconds` with picture and sound, as the player gets from a lesson."""
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", f"testsrc=duration={seconds}:size=320x240:rate=25",
                    "-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}", "-c:v", "libx264", "-preset", "ultrafast",
                    "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", "-movflags", "+faststart", path],
                   check=True, capture_output=True, timeout=60)
    return path


def session_bus():
    address = Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None)
    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    return Gio.DBusConnection.new_for_address_sync(address, flags, None, None)


def call(bus, name, path, interface, method, parameters=None, reply_type=None):
    return bus.call_sync(name, path, interface, method, parameters, GLib.VariantType.new(reply_type) if reply_type else None,
                         Gio.DBusCallFlags.NONE, 5000, None)


def application_pid():
    return call(session_bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "GetConnectionUnixProcessID", GLib.Variant("(s)", (APPLICATION_ID,)), "(u)").unpack()[0]


def web_processes_of(app_pid):
    """The WebKit web content processes started (directly or through a sandbox) by `app_pid`."""
    names, parents = {}, {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as handle:
                head, tail = handle.read().rsplit(")", 1)
        except OSError:
            continue
        names[int(entry)], parents[int(entry)] = head.split("(", 1)[1], int(tail.split()[1])

    def descends(pid):
        while pid > 1 and pid != app_pid:
            pid = parents.get(pid, 0)
        return pid == app_pid

    return [pid for pid, name in names.items() if name.startswith("WebKitWebProces") and descends(pid)]


class FakeBusService:
    """Owns the well-known `NAME` on its own connection and thread, serving the interface in `XML`
    at `PATH`; subclasses answer the calls in _on_call."""

    NAME = PATH = XML = ""

    def __init__(self):
        ready = threading.Event()
        self._context = GLib.MainContext.new()
        self._loop = GLib.MainLoop.new(self._context, False)

        def run():
            self._context.push_thread_default()
            self._bus = session_bus()
            self._bus.register_object(self.PATH, Gio.DBusNodeInfo.new_for_xml(self.XML).interfaces[0], self._on_call, None, None)
            call(self._bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                 GLib.Variant("(su)", (self.NAME, 4)), "(u)")
            ready.set()
            self._loop.run()

        self._thread = threading.Thread(target=run, daemon=True)
        self._thread.start()
        if not ready.wait(10):
            raise RuntimeError(f"the fake {self.NAME} did not start")

    def _on_call(self, connection, sender, path, interface, method, parameters, invocation):
        raise NotImplementedError

    def stop(self):
        self._context.invoke_full(GLib.PRIORITY_DEFAULT, self._loop.quit)
        self._thread.join(5)
        # Gives up the name: an owner that no longer answers would hang the next application's
        # start-up calls (GTK registers with a session manager synchronously, without a time-out).
        self._bus.close_sync(None)


class FakeStatusNotifierWatcher(FakeBusService):
    """Records every status item that registers, with the registering connection's unique name."""

    NAME, PATH = "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher"
    XML = """<node><interface name="org.kde.StatusNotifierWatcher"><method name="RegisterStatusNotifierItem">
      <arg name="service" type="s" direction="in"/></method></interface></node>"""

    def __init__(self):
        self.items = []
        super().__init__()

    def _on_call(self, connection, sender, path, interface, method, parameters, invocation):
        self.items.append((sender, parameters.unpack()[0]))
        invocation.return_value(None)


class FakeSessionManager(FakeBusService):
    """The desktop's session manager as GTK uses it: registers the application as a client and
    records every Inhibit as [cookie, app id, reason, flags] and every Uninhibit by cookie. GTK
    only talks to a session manager that is on the bus when the application starts."""

    NAME, PATH = "org.gnome.SessionManager", "/org/gnome/SessionManager"
    XML = """<node><interface name="org.gnome.SessionManager">
      <method name="RegisterClient"><arg type="s" direction="in"/><arg type="s" direction="in"/>
        <arg type="o" direction="out"/></method>
      <method name="UnregisterClient"><arg type="o" direction="in"/></method>
      <method name="Inhibit"><arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
        <arg type="u" direction="in"/><arg type="u" direction="out"/></method>
      <method name="Uninhibit"><arg type="u" direction="in"/></method>
      <method name="IsInhibited"><arg type="u" direction="in"/><arg type="b" direction="out"/></method></interface></node>"""
    IDLE, SUSPEND = 8, 4

    def __init__(self):
        self.inhibits, self.released = [], []
        super().__init__()

    def _on_call(self, connection, sender, path, interface, method, parameters, invocation):
        if method == "RegisterClient":
            invocation.return_value(GLib.Variant("(o)", ("/org/gnome/SessionManager/Client1",)))
        elif method == "Inhibit":
            app_id, _, reason, flags = parameters.unpack()
            self.inhibits.append([len(self.inhibits) + 1, app_id, reason, flags])
            invocation.return_value(GLib.Variant("(u)", (len(self.inhibits),)))
        elif method == "Uninhibit":
            self.released.append(parameters.unpack()[0])
            invocation.return_value(None)
        elif method == "IsInhibited":
            invocation.return_value(GLib.Variant("(b)", (bool(self.held(parameters.unpack()[0])),)))
        else:
            invocation.return_value(None)

    def held(self, flags):
        """The inhibits with `flags` that have not been released."""
        return [i for i in self.inhibits if i[3] & flags and i[0] not in self.released]


def toplevel_windows():
    """(window id, UTF-8 title, mapped) of every top-level X11 window."""
    def run(*args):
        return subprocess.run(args, capture_output=True, text=True).stdout

    windows = []
    for window in re.findall(r"^\s+(0x[0-9a-f]+)", run("xwininfo", "-root", "-children"), re.M):
        match = re.search(r'= "(.*)"', run("xprop", "-id", window, "_NET_WM_NAME"))
        windows.append((window, match.group(1) if match else "", "IsViewable" in run("xwininfo", "-id", window)))
    return windows


def window_titled(title):
    return [w for w in toplevel_windows() if w[1] == title]


def mapped_windows():
    return {w[0] for w in toplevel_windows() if w[2]}


def press_key(window, key):
    """Gives `window` the keyboard focus and types `key` through XTEST."""
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True, timeout=10)
    subprocess.run(["xdotool", "key", "--clearmodifiers", key], check=True, timeout=10)


class RunningApplication(unittest.TestCase):
    """One application for the whole class, with a sealed offline lesson and a tray watcher present."""

    @classmethod
    def setUpClass(cls):
        cls.watcher = FakeStatusNotifierWatcher()
        cls.session_manager = FakeSessionManager()
        cls.app = Installation()
        clip = make_clip(os.path.join(cls.app.root, "lesson.mp4"), 6)
        # Noise does not compress: 20 s make a lesson of several records, so playback gets going
        # before the player reaches the damaged one.
        noisy = os.path.join(cls.app.root, "noisy.mp4")
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "color=c=gray:s=640x360:d=20,noise=alls=60:allf=t",
                        "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "3M", "-maxrate", "3M", "-bufsize", "3M",
                        "-pix_fmt", "yuv420p", "-movflags", "+faststart", noisy], check=True, capture_output=True, timeout=120)
        long_media = os.path.join(cls.app.root, "long.bin")
        with open(long_media, "wb") as handle:
            handle.truncate(LONG_LESSON_BYTES)
        for asset, media in ((ASSET_ID, clip), (LONG_ASSET_ID, long_media), (DAMAGED_ASSET_ID, noisy)):
            subprocess.run([SEAL_TOOL, cls.app.env["XDG_DATA_HOME"], OWNER_KEY, asset, media], check=True, capture_output=True,
                           timeout=120, env=cls.app.env)
        os.remove(long_media)
        damaged = glob.glob(os.path.join(cls.app.env["XDG_DATA_HOME"], "**", DAMAGED_ASSET_ID + ".vlmedia"), recursive=True)[0]
        with open(damaged, "r+b") as handle:  # one flipped byte in the ciphertext of the fifth record
            handle.seek(32 + 4 * RECORD_BYTES + 32 + 1000)
            byte = handle.read(1)[0]
            handle.seek(-1, os.SEEK_CUR)
            handle.write(bytes([byte ^ 0x01]))
        cls.app.start()
        cls.bus = session_bus()

    @classmethod
    def tearDownClass(cls):
        cls.app.close()
        cls.watcher.stop()
        cls.session_manager.stop()

    def messages(self):
        """The page's messages, less "networkChanged", which follows every "restoreSession"."""
        return [m for m in self.app.js("return window.shellTest.messages") if m.get("type") != "networkChanged"]

    def main_window(self):
        windows = window_titled(TITLE)
        self.assertEqual(len(windows), 1, f"windows: {toplevel_windows()}")
        return windows[0]

    def test_window_shows_the_packaged_page_with_the_exact_agent_and_body_class(self):
        self.assertTrue(self.main_window()[2], "the main window is not mapped")
        self.assertEqual(self.app.driver.current_url, START_ADDRESS)
        self.assertEqual(self.app.js("return navigator.userAgent"), "VelmoraClassroom-macOS/1.4.5 AppleWebKit")
        self.assertTrue(self.app.js("return document.body.classList.contains('mac-native')"))

    def test_only_valid_envelopes_are_answered_with_a_message_event(self):
        before = len(self.messages())
        self.app.js(f"const post = (body) => {POST}(body); post({{}}); post({{type: 7}}); post({{type: 'RestoreSession'}});"
                    "post('restoreSession');")
        # A valid message afterwards proves the earlier ones were handled (and ignored) first.
        self.app.js(f"{POST}({{type: 'restoreSession'}})")
        wait_for(lambda: len(self.messages()) > before, message="the reply to the valid message")
        time.sleep(0.3)
        self.assertEqual(self.messages()[before:], [{"type": "noSession"}])

    def test_app_frames_reach_the_bridge_and_web_frames_do_not(self):
        reports = lambda: self.app.js("return window.shellTest.frameReports")  # noqa: E731
        self.app.js("document.getElementById('web-frame').src = arguments[0]", self.app.url("frame.html"))
        wait_for(lambda: len(reports()) >= 2, message="both frames")
        self.assertIn({"origin": "velmora-app:", "hasBridge": True}, reports())
        self.assertIn({"origin": "https:", "hasBridge": False}, reports())

        before = len(self.messages())
        self.app.js("document.getElementById('web-frame').contentWindow.postMessage('post', '*')")
        time.sleep(1.0)
        self.assertEqual(self.messages()[before:], [], "a web frame reached the bridge")
        self.app.js("document.getElementById('app-frame').contentWindow.postMessage('post', '*')")
        wait_for(lambda: len(self.messages()) > before, message="the reply to the app frame")
        self.assertEqual(self.messages()[before:], [{"type": "noSession"}])

    def test_main_frame_stays_on_the_packaged_page_for_web_and_mail_links(self):
        # A web address that answers, so that only the policy can keep the page.
        self.app.js("document.getElementById('web-link').href = arguments[0]", self.app.url("frame.html"))
        self.app.js("window.shellTest.marker = 'still here'")
        for link in ("web-link", "mail-link"):
            with self.subTest(link=link):
                self.app.js("document.getElementById(arguments[0]).click()", link)
                time.sleep(1.0)
                self.assertEqual(self.app.driver.current_url, START_ADDRESS)
                self.assertEqual(self.app.js("return window.shellTest.marker"), "still here")

    def test_script_navigations_to_other_schemes_leave_the_packaged_page_and_bridge(self):
        self.app.js("window.shellTest.marker = 'still here'")
        for address in ("about:blank", "about:srcdoc", "data:text/html,<p>replaced</p>"):
            with self.subTest(address=address):
                self.app.js("location.href = arguments[0]", address)
                time.sleep(1.0)
                self.assertEqual(self.app.driver.current_url, START_ADDRESS)
                self.assertEqual(self.app.js("return window.shellTest.marker"), "still here")
        before = len(self.messages())
        self.app.js(f"{POST}({{type: 'restoreSession'}})")
        wait_for(lambda: len(self.messages()) > before, message="the bridge's reply")

    lesson_address = f"velmora-media://local/v1/{ASSET_ID}?owner={OWNER_KEY}"

    def test_offline_lesson_plays_and_seeks_in_a_video_element(self):
        self.app.js("""
            const video = document.createElement('video');
            video.muted = true;  // Xvfb has no sound output
            video.src = arguments[0];
            window.shellTest.video = { element: video, seeked: 0, error: null };
            video.addEventListener('seeked', () => window.shellTest.video.seeked++);
            video.addEventListener('error', () => { window.shellTest.video.error = video.error && video.error.code; });
            video.autoplay = true;  // no gesture: the script is not a user action
            document.body.appendChild(video);""", self.lesson_address)
        state = lambda: self.app.js("return [window.shellTest.video.element.readyState, window.shellTest.video.error]")  # noqa
        wait_for(lambda: state()[0] >= 2 or state()[1], timeout=30, message="the video")
        self.assertIsNone(state()[1])
        self.assertTrue(self.app.js("return window.shellTest.video.element.currentSrc").startswith("http://127.0.0.1:"))

        position = lambda: self.app.js("return window.shellTest.video.element.currentTime")  # noqa: E731
        self.app.js("window.shellTest.video.element.currentTime = 4")
        wait_for(lambda: self.app.js("return window.shellTest.video.seeked") >= 1, timeout=30, message="seeked")
        self.assertGreaterEqual(position(), 3.9)
        start = position()
        wait_for(lambda: position() > start + 0.2, timeout=30, message="playback to move on")

    def test_a_damaged_lesson_fails_in_the_player_and_the_page_is_told(self):
        self.app.js(f"{POST}({{type: 'saveSession', token: 'gui-token', ownerKey: '{OWNER_KEY}', userName: 'gui'}})")
        self.addCleanup(lambda: self.app.js(f"{POST}({{type: 'clearSession'}})"))
        self.app.js("""
            const video = document.createElement('video');
            video.muted = true;
            video.autoplay = true;
            video.src = arguments[0];
            window.shellTest.damaged = video;
            document.body.appendChild(video);""", self.lesson_address.replace(ASSET_ID, DAMAGED_ASSET_ID))
        wait_for(lambda: self.app.js("return !!window.shellTest.damaged.error || window.shellTest.damaged.ended"), timeout=40,
                 message="the player to fail")
        self.assertFalse(self.app.js("return window.shellTest.damaged.ended"), "a damaged lesson played to its end")
        self.assertIn({"type": "offlineLessonDamaged", "assetId": DAMAGED_ASSET_ID}, self.messages())
        self.app.js("window.shellTest.damaged.remove()")

    def test_media_scheme_answers_fetch_and_fails_foreign_accounts(self):
        # The answer is opaque to the page (another origin, no CORS); what shows is response or failure.
        fetch = """const done = arguments[arguments.length - 1];
            fetch(arguments[0], { mode: 'no-cors', headers: { Range: 'bytes=0-15' } })
              .then((r) => done({ type: r.type })).catch((e) => done({ error: String(e) }));"""
        self.assertEqual(self.app.driver.execute_async_script(fetch, self.lesson_address), {"type": "opaque"})
        foreign = self.lesson_address.replace(OWNER_KEY, "another-account")
        self.assertIn("error", self.app.driver.execute_async_script(fetch, foreign))

    def test_whole_lesson_fetch_is_decrypted_at_webkit_pace_and_stops_with_the_page(self):
        # Without a Range header the whole lesson is answered. Decryption must keep pace with
        # WebKit's reading: little memory while WebKit takes the first 8 MiB, and no decryption
        # long after the page gave up. (Past that, WebKit queues what it has read for the web
        # process without any pace of its own, so a whole read measures WebKit, not the app.)
        pid = application_pid()
        with open(f"/proc/{pid}/clear_refs", "w") as handle:
            handle.write("5")  # the peak resident size starts again from the current one
        peak_kib, read_before = proc_number(pid, "status", "VmHWM"), proc_number(pid, "io", "rchar")
        decrypted = lambda: proc_number(pid, "io", "rchar") - read_before  # noqa: E731
        self.app.js("""window.shellTest.lessonLoad = new AbortController();
            fetch(arguments[0], {mode: 'no-cors', signal: window.shellTest.lessonLoad.signal}).catch(() => {});""",
                    self.lesson_address.replace(ASSET_ID, LONG_ASSET_ID))
        wait_for(lambda: decrypted() >= 8 * 1024 * 1024, message="the lesson's first pieces")
        self.app.js("window.shellTest.lessonLoad.abort()")
        self.assertLess(steady(decrypted), 64 * 1024 * 1024, "decryption ran on after the page gave up")
        # glibc keeps freed pieces in its heaps for reuse; decrypting ahead of WebKit would add the lesson.
        self.assertLessEqual(proc_number(pid, "status", "VmHWM") - peak_kib, 48 * 1024)

    def test_zoom_command_changes_the_page_zoom(self):
        width = self.app.js("return window.innerWidth")
        self.app.js(f"{POST}({{type: 'setZoom', percent: 125}})")
        wait_for(lambda: self.app.js("return window.innerWidth") < width, message="the zoomed layout")
        self.assertAlmostEqual(self.app.js("return window.innerWidth") * 1.25, width, delta=2)
        self.app.js(f"{POST}({{type: 'setZoom', percent: 100}})")
        wait_for(lambda: self.app.js("return window.innerWidth") == width, message="the zoom reset")

    def hide_to_tray(self):
        self.app.js(f"{POST}({{type: 'minimizeToTray'}})")
        wait_for(lambda: not self.main_window()[2], message="the window to hide")

    def test_a_playing_lesson_keeps_the_screen_on_until_paused_or_hidden(self):
        idle = lambda: self.session_manager.held(FakeSessionManager.IDLE)  # noqa: E731
        post = lambda kind: self.app.js(f"{POST}({{type: '{kind}'}})")  # noqa: E731
        post("playbackStarted")
        held = wait_for(idle, message="the idle inhibit")
        self.assertEqual([held[0][1:]], [[APPLICATION_ID, "正在播放课程", FakeSessionManager.IDLE]])
        post("playbackStarted")
        post("playbackStopped")
        wait_for(lambda: not idle(), message="the inhibit to be released on pause")
        self.assertEqual(len(self.session_manager.inhibits), 1, "a second start asked again")

        post("playbackStarted")
        wait_for(idle, message="the inhibit again")
        self.hide_to_tray()
        wait_for(lambda: not idle(), message="the inhibit to be released when the window hides")
        subprocess.run([self.app.binary], env=self.app.env, timeout=20, check=True)  # shows the window again
        wait_for(lambda: self.main_window()[2], message="the window to come back")
        post("playbackStopped")
        wait_for(lambda: not idle(), message="no inhibit left")

    def test_tray_item_registers_and_activate_shows_the_hidden_window(self):
        sender, service = wait_for(lambda: self.watcher.items and self.watcher.items[0], message="the tray item to register")
        self.assertTrue(service.startswith("org.kde.StatusNotifierItem-"), service)
        title = call(self.bus, service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                     GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Title")), "(v)").unpack()[0]
        self.assertEqual(title, TITLE)
        layout = call(self.bus, sender, "/StatusNotifierItem/Menu", "com.canonical.dbusmenu", "GetLayout",
                      GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))").unpack()[1]
        labels = [child[1].get("label", child[1].get("type")) for child in layout[2]]
        self.assertEqual(labels, ["打开星禾课堂", "设置…", "separator", "退出星禾课堂"])

        self.hide_to_tray()
        call(self.bus, service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", GLib.Variant("(ii)", (0, 0)))
        wait_for(lambda: self.main_window()[2], message="the window to come back")

    def test_second_launch_shows_the_existing_window(self):
        self.hide_to_tray()
        second = subprocess.run([self.app.binary], env=self.app.env, timeout=20, capture_output=True, text=True)
        self.assertEqual(second.returncode, 0, second.stderr)
        wait_for(lambda: self.main_window()[2], message="the window to come back")
        self.assertEqual(len(window_titled(TITLE)), 1)
        self.assertEqual(self.app.driver.current_url, START_ADDRESS)

    def test_zz_ends_on_termination_after_the_page_saved_without_gtk_warnings(self):
        pid = application_pid()
        self.app.js(SAVE_REPORTER, self.app.url("saved"))
        os.kill(pid, signal.SIGTERM)
        wait_for(lambda: not alive(pid), message="the application to end")
        self.assertEqual(self.app.requests.count("/saved"), 1)
        with open(self.app.log_path, encoding="utf-8", errors="replace") as handle:
            problems = [line for line in handle if "velmora-classroom" in line and ("CRITICAL" in line or "WARNING" in line)]
        self.assertEqual(problems, [])


class MissingWebUi(unittest.TestCase):
    def test_without_the_app_ui_folder_the_process_stops_with_the_message(self):
        installation = Installation(page=False)
        self.addCleanup(installation.close)
        process = subprocess.Popen([installation.binary], env=installation.env, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        self.assertEqual(process.stderr.readline().strip(), "应用界面资源缺失")
        self.assertEqual(window_titled(TITLE), [], "the main window appeared")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=20), 1)


class OfflineDataOfAnotherUser(unittest.TestCase):
    """A home folder moved from another machine or user: the master key does not open."""

    MESSAGE = "无法初始化星禾课堂加密媒体库：这份本机加密数据不属于当前 Mac 用户"

    def setUp(self):
        self.installation = Installation()
        self.addCleanup(self.installation.close)
        self.app_data = os.path.join(self.installation.env["XDG_DATA_HOME"], "VelmoraClassroom")
        os.makedirs(os.path.join(self.app_data, "SecureStore"))
        os.makedirs(os.path.join(self.app_data, "VaultDeviceV2"))
        with open(os.path.join(self.app_data, "SecureStore", "device-v2-ac1e02995fb68e6dd27a23c5.secure"), "wb") as handle:
            handle.write(os.urandom(60))

    def launch(self):
        process = subprocess.Popen([self.installation.binary], env=self.installation.env, stderr=subprocess.PIPE, text=True)

        def end():
            if process.poll() is None:
                process.kill()
                process.wait()
            process.stderr.close()

        self.addCleanup(end)
        self.assertEqual(process.stderr.readline().strip(), self.MESSAGE)
        dialog = wait_for(mapped_windows, message="the alert")
        time.sleep(1.0)
        self.assertEqual(mapped_windows(), dialog, "more than the alert appeared")
        return process, next(iter(dialog))

    def test_quit_ends_as_before_and_reset_moves_the_data_aside_and_starts(self):
        process, dialog = self.launch()
        press_key(dialog, "Return")  # "退出", the default
        self.assertEqual(process.wait(timeout=20), 1)
        self.assertEqual(sorted(os.listdir(self.app_data)), ["SecureStore", "VaultDeviceV2"])

        process, dialog = self.launch()
        press_key(dialog, "Tab")
        press_key(dialog, "Return")  # "重置本机离线数据"
        wait_for(lambda: mapped_windows() - {dialog}, timeout=30, message="the main window")
        moved = sorted(name for name in os.listdir(self.app_data) if ".reset-" in name)
        self.assertEqual([name.split(".reset-")[0] for name in moved], ["SecureStore", "VaultDeviceV2"])
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=20), 0)


class FreshApplication(unittest.TestCase):
    def setUp(self):
        self.app = Installation()
        self.addCleanup(self.app.close)


class QuitConfirmation(FreshApplication):
    def test_asks_once_cancel_keeps_running_and_confirm_saves_then_ends(self):
        app = self.app.start()
        pid = application_pid()
        app.js(SAVE_REPORTER, app.url("saved"))
        main = window_titled(TITLE)[0][0]
        dialogs = lambda: mapped_windows() - {main}  # noqa: E731
        post = lambda body: app.js(f"{POST}(arguments[0])", body)  # noqa: E731

        post({"type": "minimizeToTray"})
        wait_for(lambda: main not in mapped_windows(), message="the window to hide")
        post({"type": "close"})
        dialog = wait_for(lambda: len(dialogs()) == 1 and next(iter(dialogs())), message="the quit dialog")
        self.assertIn(main, mapped_windows(), "the main window was not brought back first")
        post({"type": "close"})
        time.sleep(1.0)
        self.assertEqual(dialogs(), {dialog}, "a second request showed a second dialog")

        press_key(dialog, "Escape")
        wait_for(lambda: not dialogs(), message="the dialog to close")
        time.sleep(0.5)
        self.assertTrue(alive(pid))
        self.assertNotIn("/saved", app.requests)

        post({"type": "close"})
        dialog = wait_for(lambda: len(dialogs()) == 1 and next(iter(dialogs())), message="the dialog again")
        press_key(dialog, "Return")
        wait_for(lambda: not alive(pid), timeout=10, message="the application to end")
        self.assertEqual(app.requests.count("/saved"), 1)


class WebProcessCrash(FreshApplication):
    def test_crash_reloads_the_page(self):
        app = self.app.start()
        # Each load reports to the test server, which outlives the WebDriver session (WebKit ends
        # automation sessions whose web process dies).
        app.driver.get(START_ADDRESS + "?report=" + app.url("loaded"))
        wait_for(lambda: app.requests.count("/loaded") == 1, message="the first load")
        for pid in wait_for(lambda: web_processes_of(application_pid()), message="the web process"):
            os.kill(pid, signal.SIGKILL)
        wait_for(lambda: app.requests.count("/loaded") == 2, timeout=30, message="the reload")
        self.assertTrue(window_titled(TITLE)[0][2])


class DesktopSession(FreshApplication):
    """A fresh application with the desktop's session manager on the bus (GTK only talks to one that
    is there at start-up), and the account's session and a 30 s lesson stored."""

    def setUp(self):
        super().setUp()
        self.session_manager = FakeSessionManager()
        self.addCleanup(self.session_manager.stop)
        clip = make_clip(os.path.join(self.app.root, "lesson.mp4"), 30)
        subprocess.run([SEAL_TOOL, self.app.env["XDG_DATA_HOME"], OWNER_KEY, ASSET_ID, clip, "gui-token"], check=True,
                       capture_output=True, timeout=60, env=self.app.env)

    def test_a_running_download_holds_off_suspend_until_it_is_cancelled(self):
        app = self.app.start()
        app.js(f"{POST}({{type: 'restoreSession'}})")
        wait_for(lambda: any(m.get("type") == "session" for m in app.js("return window.shellTest.messages")),
                 message="the restored session")
        self.assertEqual(self.session_manager.held(FakeSessionManager.SUSPEND), [])
        app.js(f"{POST}(arguments[0])", {"type": "download", "ownerKey": OWNER_KEY, "token": "t", "assetId": "lesson-2", "classId": 1,
                                         "lessonId": 2, "lessonTitle": "第二课"})
        # Every inhibit ever taken: the download may fail and release it before a look at what is held.
        inhibit = wait_for(lambda: [i for i in self.session_manager.inhibits if i[3] & FakeSessionManager.SUSPEND],
                           message="the suspend inhibit")[0]
        self.assertEqual(inhibit[1:], [APPLICATION_ID, "正在下载离线课程", FakeSessionManager.SUSPEND])
        app.js(f"{POST}({{type: 'cancelDownload', assetId: 'lesson-2'}})")
        wait_for(lambda: not self.session_manager.held(FakeSessionManager.SUSPEND), message="the release once no download runs")

    def test_crash_of_a_playing_page_lets_the_screen_blank(self):
        self.app.start().js(f"{POST}({{type: 'playbackStarted'}})")
        wait_for(lambda: self.session_manager.held(FakeSessionManager.IDLE), message="the idle inhibit")
        for pid in web_processes_of(application_pid()):
            os.kill(pid, signal.SIGKILL)
        wait_for(lambda: not self.session_manager.held(FakeSessionManager.IDLE), timeout=30, message="the release after the crash")

class DesktopMediaControls(unittest.TestCase):
    """WebKit blanks the MPRIS metadata of pages under automation, so this app runs undriven, with a
    page that plays a stored lesson through the player's own media-session module."""

    FIXTURE = """import { connectMediaSession } from './js/media-session.js';
const video = document.querySelector('video');
const lessons = ['1.1 集合与映射', '1.2 函数的概念'];
let controls;
const open = (at) => {
  controls?.stop();
  controls = connectMediaSession(navigator.mediaSession, video, { title: lessons[at], courseTitle: '函数与导数', chapterTitle: '第一章' },
    (init) => new MediaMetadata(init));
  controls.setNeighbours({ next: at + 1 < lessons.length ? () => open(at + 1) : null });
};
open(0);
video.src = 'velmora-media://local/v1/%s?owner=%s';
video.play();
"""

    def test_the_player_shows_the_lesson_by_name_and_next_and_pause_act_on_it(self):
        installation = Installation(page=False)
        self.addCleanup(installation.close)
        page = os.path.join(installation.root, "app-ui")
        os.mkdir(page)
        os.symlink(os.path.join(APP_UI, "js"), os.path.join(page, "js"))
        with open(os.path.join(page, "index.html"), "w", encoding="utf-8") as handle:
            handle.write('<!doctype html><meta charset="utf-8"><video></video><script type="module" src="fixture.js"></script>')
        with open(os.path.join(page, "fixture.js"), "w", encoding="utf-8") as handle:
            handle.write(self.FIXTURE % (ASSET_ID, OWNER_KEY))
        # WebKit's web process reaches the session bus through a proxy socket it makes in the
        # runtime folder; without one its sandbox has no bus and exports no player.
        runtime = os.path.join(installation.root, "run")
        os.mkdir(runtime, 0o700)
        installation.env["XDG_RUNTIME_DIR"] = runtime
        subprocess.run([SEAL_TOOL, installation.env["XDG_DATA_HOME"], OWNER_KEY, ASSET_ID,
                        make_clip(os.path.join(installation.root, "lesson.mp4"), 30)], check=True, capture_output=True, timeout=60)
        process = subprocess.Popen([installation.binary], env=installation.env, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))

        bus = session_bus()
        names = lambda: [n for n in call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",  # noqa
                                         "ListNames", None, "(as)").unpack()[0] if n.startswith("org.mpris.MediaPlayer2.")]
        player = wait_for(names, timeout=30, message="the MPRIS player")[0]
        self.assertTrue(player.startswith(f"org.mpris.MediaPlayer2.{APPLICATION_ID}."), player)
        get = lambda interface, name: call(bus, player, "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties",  # noqa
                                           "Get", GLib.Variant("(ss)", (interface, name)), "(v)").unpack()[0]
        now = lambda name: get("org.mpris.MediaPlayer2.Player", name)  # noqa: E731
        self.assertEqual(get("org.mpris.MediaPlayer2", "Identity"), "Velmora Classroom")
        wait_for(lambda: now("PlaybackStatus") == "Playing", message="the lesson to play")
        wait_for(lambda: now("Metadata").get("xesam:title") == "1.1 集合与映射", message="the lesson's title")
        self.assertEqual(now("Metadata")["xesam:artist"], ["函数与导数 · 第一章"])
        self.assertTrue(now("CanGoNext"))
        call(bus, player, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player", "Next")
        wait_for(lambda: now("Metadata").get("xesam:title") == "1.2 函数的概念", message="the next lesson")
        call(bus, player, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player", "Pause")
        wait_for(lambda: now("PlaybackStatus") == "Paused", message="the pause")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=20), 0)


class FakeNotifications(FakeBusService):
    """Records every Notify call as (id, summary, body, actions) and can click a notification as a
    desktop would."""

    NAME, PATH = "org.freedesktop.Notifications", "/org/freedesktop/Notifications"
    XML = """<node><interface name="org.freedesktop.Notifications">
      <method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
        <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
        <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/></method>
      <method name="CloseNotification"><arg type="u" direction="in"/></method>
      <method name="GetCapabilities"><arg type="as" direction="out"/></method></interface></node>"""

    def __init__(self):
        self.sent = []
        super().__init__()

    def _on_call(self, connection, sender, path, interface, method, parameters, invocation):
        if method == "Notify":
            _, _, _, summary, body, actions, _, _ = parameters.unpack()
            self.sent.append((len(self.sent) + 1, summary, body, actions))
            invocation.return_value(GLib.Variant("(u)", (len(self.sent),)))
        elif method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["actions", "body"],)))
        else:
            invocation.return_value(None)

    def click(self, notification_id):
        self._context.invoke_full(GLib.PRIORITY_DEFAULT, lambda: self._bus.emit_signal(
            None, self.PATH, self.NAME, "ActionInvoked", GLib.Variant("(us)", (notification_id, "default"))))


class DownloadNotifications(FreshApplication):
    def test_a_download_ending_unwatched_notifies_and_the_click_opens_the_library(self):
        notifications = FakeNotifications()
        self.addCleanup(notifications.stop)
        app = self.app.start()
        # The test page has no navigation; this button stands in for the library's.
        app.js("const b = document.createElement('button'); b.dataset.view = 'library';"
               "b.onclick = () => { window.shellTest.library = true; }; document.body.append(b);")
        end_download = lambda: app.js(f"{POST}({{type: 'download', assetId: 'lesson-x'}})")  # noqa: E731
        main = window_titled(TITLE)[0][0]

        subprocess.run(["xdotool", "windowfocus", "--sync", main], check=True, timeout=10)
        end_download()
        wait_for(lambda: any(m.get("type") == "downloadFailed" for m in app.js("return window.shellTest.messages")),
                 message="the failure event")
        time.sleep(1.0)
        self.assertEqual(notifications.sent, [], "notified while the learner looked at the window")

        app.js(f"{POST}({{type: 'minimizeToTray'}})")
        wait_for(lambda: main not in mapped_windows(), message="the window to hide")
        end_download()
        number, summary, body, actions = wait_for(lambda: notifications.sent and notifications.sent[0],
                                                  message="the notification")
        self.assertEqual((summary, body), (TITLE, "离线下载参数不完整，请重新登录后再试"))
        self.assertIn("default", actions)

        notifications.click(number)
        wait_for(lambda: main in mapped_windows(), message="the window to come back")
        wait_for(lambda: app.js("return window.shellTest.library === true"), message="the library to open")


if __name__ == "__main__":
    BINARY, PAGE, SEAL_TOOL = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])
