#!/usr/bin/python3
"""The real application under Xvfb with a private session bus: window, page environment, bridge,
frame isolation, navigation policy, tray item, single instance and a clean quit.

Usage: shell_gui_test.py <velmora-classroom binary> <test page folder> <seal_lesson tool>"""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shell_harness as h  # noqa: E402

BINARY = None
PAGE = None
SEAL_TOOL = None
OWNER_KEY = "gui-account-key"
ASSET_ID = "lesson-1"
START_ADDRESS = "velmora-app://local/index.html"
TITLE = "星禾课堂"


class RunningApplication(unittest.TestCase):
    """One application for the whole class, started under WebDriver with a tray watcher present."""

    @classmethod
    def setUpClass(cls):
        cls.watcher = h.FakeStatusNotifierWatcher()
        cls.installation = h.Installation(BINARY, PAGE)
        cls.clip = os.path.join(cls.installation.root, "lesson.mp4")
        h.make_clip(cls.clip)
        h.seal_lesson(SEAL_TOOL, cls.installation, OWNER_KEY, ASSET_ID, cls.clip)
        cls.https = h.LocalHttpsServer(PAGE, cls.installation.root)
        cls.app = h.DriverSession(cls.installation)
        cls.bus = h.session_bus()
        h.wait_for(lambda: cls.app.script("return !!window.shellTest && document.readyState === 'complete'"),
                   message="the test page")

    @classmethod
    def tearDownClass(cls):
        cls.app.quit()
        cls.https.stop()
        cls.watcher.stop()
        cls.installation.remove()

    def messages(self):
        return self.app.script("return window.shellTest.messages")

    def main_window(self):
        windows = h.window_titled(TITLE)
        self.assertEqual(len(windows), 1, f"windows: {h.toplevel_windows()}")
        return windows[0]

    def test_window_shows_the_packaged_page_with_the_product_title(self):
        self.assertTrue(self.main_window()[2], "the main window is not mapped")
        self.assertEqual(self.app.driver.current_url, START_ADDRESS)

    def test_page_sees_the_exact_user_agent_and_the_native_body_class(self):
        self.assertEqual(self.app.script("return navigator.userAgent"), "VelmoraClassroom-macOS/1.4.5 AppleWebKit")
        self.assertTrue(self.app.script("return document.body.classList.contains('mac-native')"))

    def test_message_from_the_page_is_answered_with_a_message_event(self):
        before = len(self.messages())
        self.app.script("window.webkit.messageHandlers.velmora.postMessage({type: 'restoreSession'})")
        h.wait_for(lambda: len(self.messages()) > before, message="the bridge's reply")
        self.assertEqual(self.messages()[before:], [{"type": "noSession"}])

    def test_invalid_envelopes_get_no_answer(self):
        before = len(self.messages())
        self.app.script("""const post = (body) => window.webkit.messageHandlers.velmora.postMessage(body);
                           post({}); post({type: 7}); post({type: 'RestoreSession'}); post('restoreSession');""")
        # A valid message afterwards proves the earlier ones were handled (and ignored) first.
        self.app.script("window.webkit.messageHandlers.velmora.postMessage({type: 'restoreSession'})")
        h.wait_for(lambda: len(self.messages()) > before, message="the reply to the valid message")
        time.sleep(0.3)
        self.assertEqual(self.messages()[before:], [{"type": "noSession"}])

    def frame_reports(self):
        return self.app.script("return window.shellTest.frameReports")

    def test_app_frames_reach_the_bridge_and_web_frames_do_not(self):
        self.app.script("document.getElementById('web-frame').src = arguments[0]", self.https.url("frame.html"))
        reports = h.wait_for(lambda: len(self.frame_reports()) >= 2 and self.frame_reports(), message="both frames")
        self.assertIn({"origin": "velmora-app:", "hasBridge": True}, reports)
        self.assertIn({"origin": "https:", "hasBridge": False}, reports)

        before = len(self.messages())
        self.app.script("document.getElementById('web-frame').contentWindow.postMessage('post', '*')")
        time.sleep(1.0)
        self.assertEqual(self.messages()[before:], [], "a web frame reached the bridge")

        self.app.script("document.getElementById('app-frame').contentWindow.postMessage('post', '*')")
        h.wait_for(lambda: len(self.messages()) > before, message="the reply to the app frame")
        self.assertEqual(self.messages()[before:], [{"type": "noSession"}])

    def test_main_frame_stays_on_the_packaged_page_for_web_and_mail_links(self):
        # A web address that answers, so that only the policy can keep the page.
        self.app.script("document.getElementById('web-link').href = arguments[0]", self.https.url("frame.html"))
        self.app.script("window.shellTest.marker = 'still here'")
        for link in ("web-link", "mail-link"):
            with self.subTest(link=link):
                self.app.script("document.getElementById(arguments[0]).click()", link)
                time.sleep(1.0)
                self.assertEqual(self.app.driver.current_url, START_ADDRESS)
                self.assertEqual(self.app.script("return window.shellTest.marker"), "still here")

    def lesson_address(self):
        return f"velmora-media://local/v1/{ASSET_ID}?owner={OWNER_KEY}"

    def test_offline_lesson_plays_and_seeks_in_a_video_element(self):
        self.app.script("""
            const video = document.createElement('video');
            video.muted = true;  // Xvfb has no sound output
            video.src = arguments[0];
            window.shellTest.video = { element: video, seeked: 0, error: null };
            video.addEventListener('seeked', () => window.shellTest.video.seeked++);
            video.addEventListener('error', () => { window.shellTest.video.error = video.error && video.error.code; });
            video.autoplay = true;  // no gesture: the script is not a user action
            document.body.appendChild(video);""", self.lesson_address())
        state = "return [window.shellTest.video.element.readyState, window.shellTest.video.error]"
        h.wait_for(lambda: self.app.script(state)[0] >= 2 or self.app.script(state)[1], timeout=30, message="the video")
        self.assertIsNone(self.app.script(state)[1])
        self.assertTrue(self.app.script("return window.shellTest.video.element.currentSrc").startswith("http://127.0.0.1:"))

        self.app.script("window.shellTest.video.element.currentTime = 4")
        h.wait_for(lambda: self.app.script("return window.shellTest.video.seeked") >= 1, timeout=30, message="seeked")
        self.assertGreaterEqual(self.app.script("return window.shellTest.video.element.currentTime"), 3.9)
        start = self.app.script("return window.shellTest.video.element.currentTime")
        h.wait_for(lambda: self.app.script("return window.shellTest.video.element.currentTime") > start + 0.2, timeout=30,
                   message="playback to move on")

    def test_media_scheme_answers_fetch_and_fails_foreign_accounts(self):
        # The page's origin differs from the media scheme's, so the answer is opaque to it (no
        # CORS headers); what shows is whether WebKit got a response or a failure.
        fetch = """const done = arguments[arguments.length - 1];
            fetch(arguments[0], { mode: 'no-cors', headers: { Range: 'bytes=0-15' } })
              .then((r) => done({ type: r.type })).catch((e) => done({ error: String(e) }));"""
        self.assertEqual(self.app.driver.execute_async_script(fetch, self.lesson_address()), {"type": "opaque"})
        foreign = self.lesson_address().replace(OWNER_KEY, "another-account")
        self.assertIn("error", self.app.driver.execute_async_script(fetch, foreign))

    def test_zoom_command_changes_the_page_zoom(self):
        width = self.app.script("return window.innerWidth")
        self.app.script("window.webkit.messageHandlers.velmora.postMessage({type: 'setZoom', percent: 125})")
        h.wait_for(lambda: self.app.script("return window.innerWidth") < width, message="the zoomed layout")
        self.assertAlmostEqual(self.app.script("return window.innerWidth") * 1.25, width, delta=2)
        self.app.script("window.webkit.messageHandlers.velmora.postMessage({type: 'setZoom', percent: 100})")
        h.wait_for(lambda: self.app.script("return window.innerWidth") == width, message="the zoom reset")

    def test_tray_item_registers_and_activate_shows_the_hidden_window(self):
        sender, service = h.wait_for(lambda: self.watcher.registered() and self.watcher.registered()[0],
                                     message="the tray item to register")
        self.assertTrue(service.startswith("org.kde.StatusNotifierItem-"), service)
        title = h.call(self.bus, service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                       h.GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Title")), "(v)").unpack()[0]
        self.assertEqual(title, TITLE)

        layout = h.call(self.bus, sender, "/StatusNotifierItem/Menu", "com.canonical.dbusmenu", "GetLayout",
                        h.GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))").unpack()[1]
        labels = [child[1].get("label", child[1].get("type")) for child in layout[2]]
        self.assertEqual(labels, ["打开星禾课堂", "设置…", "separator", "退出星禾课堂"])

        self.app.script("window.webkit.messageHandlers.velmora.postMessage({type: 'minimizeToTray'})")
        h.wait_for(lambda: not self.main_window()[2], message="the window to hide")
        h.call(self.bus, service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
               h.GLib.Variant("(ii)", (0, 0)))
        h.wait_for(lambda: self.main_window()[2], message="the window to come back")

    def test_second_launch_shows_the_existing_window(self):
        self.app.script("window.webkit.messageHandlers.velmora.postMessage({type: 'minimizeToTray'})")
        h.wait_for(lambda: not self.main_window()[2], message="the window to hide")
        second = subprocess.run([self.installation.binary], env=self.installation.environment(), timeout=20,
                                capture_output=True, text=True)
        self.assertEqual(second.returncode, 0, second.stderr)
        h.wait_for(lambda: self.main_window()[2], message="the window to come back")
        self.assertEqual(len(h.window_titled(TITLE)), 1)
        self.assertEqual(self.app.driver.current_url, START_ADDRESS)

    def test_zz_ends_cleanly_on_termination_without_gtk_warnings(self):
        pid = h.process_of(self.bus, h.APPLICATION_ID)
        screenshot = os.environ.get("VELMORA_GUI_SCREENSHOT")
        if screenshot:
            self.app.driver.get_screenshot_as_file(screenshot)
        os.kill(pid, signal.SIGTERM)
        h.wait_for(lambda: not os.path.exists(f"/proc/{pid}") or "Z" in open(f"/proc/{pid}/stat").read().split()[2],
                   message="the application to end")
        problems = [line for line in self.app.log().splitlines()
                    if "velmora-classroom" in line and ("CRITICAL" in line or "WARNING" in line)]
        self.assertEqual(problems, [])


class QuitConfirmation(unittest.TestCase):
    """Every quit request goes through one confirmation; confirming lets the page save first."""

    def setUp(self):
        self.installation = h.Installation(BINARY, PAGE)
        self.https = h.LocalHttpsServer(PAGE, self.installation.root)
        self.app = h.DriverSession(self.installation)
        self.bus = h.session_bus()
        h.wait_for(lambda: self.app.script("return !!window.shellTest && document.readyState === 'complete'"),
                   message="the test page")
        self.pid = h.process_of(self.bus, h.APPLICATION_ID)
        # The page tells the test server when it is asked to save its progress.
        self.app.script("""window.addEventListener('message', (event) => {
            if (event.data && event.data.type === 'saveProgressRequested') fetch(arguments[0], {mode: 'no-cors'});
        });""", self.https.url("saved"))
        self.main = h.window_titled(TITLE)[0][0]

    def tearDown(self):
        self.app.quit()
        self.https.stop()
        self.installation.remove()

    def post(self, body):
        self.app.script("window.webkit.messageHandlers.velmora.postMessage(arguments[0])", body)

    def dialogs(self):
        return h.mapped_windows() - {self.main}

    def running(self):
        return os.path.exists(f"/proc/{self.pid}") and open(f"/proc/{self.pid}/stat").read().split()[2] != "Z"

    def test_cancel_keeps_running_and_confirm_saves_then_ends(self):
        self.post({"type": "minimizeToTray"})
        h.wait_for(lambda: self.main not in h.mapped_windows(), message="the window to hide")

        self.post({"type": "close"})
        dialog = h.wait_for(lambda: len(self.dialogs()) == 1 and next(iter(self.dialogs())), message="the quit dialog")
        self.assertIn(self.main, h.mapped_windows(), "the main window was not brought back first")
        self.post({"type": "close"})
        time.sleep(1.0)
        self.assertEqual(self.dialogs(), {dialog}, "a second request showed a second dialog")

        h.press_key(dialog, "Escape")
        h.wait_for(lambda: not self.dialogs(), message="the dialog to close")
        time.sleep(0.5)
        self.assertTrue(self.running())
        self.assertNotIn("/saved", self.https.requests)

        self.post({"type": "close"})
        dialog = h.wait_for(lambda: len(self.dialogs()) == 1 and next(iter(self.dialogs())), message="the dialog again")
        h.press_key(dialog, "Return")
        h.wait_for(lambda: not self.running(), timeout=10, message="the application to end")
        self.assertEqual(self.https.requests.count("/saved"), 1)


class WebProcessCrash(unittest.TestCase):
    def test_crash_reloads_the_page(self):
        installation = h.Installation(BINARY, PAGE)
        https = h.LocalHttpsServer(PAGE, installation.root)
        app = h.DriverSession(installation)
        try:
            # The page reports each load to the test server, which outlives the WebDriver session
            # (WebKit ends automation sessions whose web process dies).
            app.driver.get(START_ADDRESS + "?report=" + https.url("loaded"))
            h.wait_for(lambda: https.requests.count("/loaded") == 1, message="the first load")
            app_pid = h.process_of(h.session_bus(), h.APPLICATION_ID)
            for pid in h.wait_for(lambda: h.web_processes_of(app_pid), message="the web process"):
                os.kill(pid, signal.SIGKILL)
            h.wait_for(lambda: https.requests.count("/loaded") == 2, timeout=30, message="the reload")
            self.assertTrue(h.window_titled(TITLE)[0][2])
        finally:
            app.quit()
            https.stop()
            installation.remove()


class MissingWebUi(unittest.TestCase):
    def test_without_the_app_ui_folder_the_process_stops_with_the_message(self):
        installation = h.Installation(BINARY, page_folder=None)
        try:
            process = subprocess.Popen([installation.binary], env=installation.environment(), stderr=subprocess.PIPE,
                                       text=True)
            line = process.stderr.readline()
            self.assertEqual(line.strip(), "应用界面资源缺失")
            self.assertEqual(h.window_titled(TITLE), [], "the main window appeared")
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(timeout=20), 1)
        finally:
            installation.remove()


if __name__ == "__main__":
    BINARY, PAGE, SEAL_TOOL = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])
