#!/usr/bin/python3
"""The secure store with a real Secret Service: a private gnome-keyring-daemon, unlocked with a known
password, on this test's own session bus (and only there: it is never the learner's keyring).

Usage: keyring_gui_test.py <velmora-classroom binary> <test page folder> <seal_lesson tool>"""

import os
import pwd
import subprocess
import sys
import unittest

from gi.repository import GLib

import shell_gui_test as shell

OWNER_KEY, ASSET_ID, TOKEN = "keyring-account-key", "keyring-lesson", "keyring-token"
SCHEMA_ATTRIBUTES = ["application", shell.APPLICATION_ID, "user", pwd.getpwuid(os.getuid()).pw_name]


class PrivateKeyring:
    """gnome-keyring-daemon's secrets component with its own keyring folder and control socket."""

    def __init__(self, root):
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(root, "keyring-data"), XDG_RUNTIME_DIR=os.path.join(root, "keyring-run"))
        os.makedirs(env["XDG_DATA_HOME"])
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
        self.process = subprocess.Popen(["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        self.process.stdin.write(b"keyring-test-password")
        self.process.stdin.close()
        shell.wait_for(self.has_default_collection, message="the keyring's default collection")

    def has_default_collection(self):
        # Asking before the daemon owns the name would have the bus start the system's own keyring.
        bus = shell.session_bus()
        if not shell.call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                          GLib.Variant("(s)", ("org.freedesktop.secrets",)), "(b)").unpack()[0]:
            return False
        path = shell.call(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                          "ReadAlias", GLib.Variant("(s)", ("default",)), "(o)")
        return path.unpack()[0] != "/"

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def seal(app, asset, *session_token):
    media = os.path.join(app.root, "lesson.bin")
    with open(media, "wb") as handle:
        handle.write(os.urandom(4096))
    return subprocess.run([shell.SEAL_TOOL, app.env["XDG_DATA_HOME"], OWNER_KEY, asset, media, *session_token],
                          capture_output=True, timeout=60, env=app.env)


class KeyringStore(unittest.TestCase):
    def setUp(self):
        self.app = shell.Installation()
        self.addCleanup(self.app.close)

    def end_run(self):
        try:
            self.app.driver.quit()
        except Exception:  # WebKitWebDriver may report the closing window as an error
            pass
        self.app.driver = None
        shell.wait_for(lambda: not shell.alive(self.app.pid), timeout=20, message="the application to end")
        self.app.server.shutdown()
        self.app.server.server_close()
        self.app.server = None

    def assert_session_and_lesson_open(self):
        self.app.js(f"{shell.POST}({{type: 'restoreSession'}})")
        reply = shell.wait_for(lambda: [m for m in self.app.js("return window.shellTest.messages") if m.get("type") != "networkChanged"][-1:],
                               message="the session reply")
        self.assertEqual(reply, [{"type": "session", "token": TOKEN, "ownerKey": OWNER_KEY, "userName": "窗口测试"}])
        fetch = """const done = arguments[arguments.length - 1];
            fetch(arguments[0], { mode: 'no-cors' }).then((r) => done(r.type)).catch((e) => done(String(e)));"""
        self.assertEqual(self.app.driver.execute_async_script(fetch, f"velmora-media://local/v1/{ASSET_ID}?owner={OWNER_KEY}"),
                         "opaque")

    def test_a_store_sealed_without_the_keyring_moves_to_its_secret_and_keeps_session_and_lesson(self):
        sealed = seal(self.app, ASSET_ID, TOKEN)
        self.assertEqual(sealed.returncode, 0, sealed.stderr)
        keyring = PrivateKeyring(self.app.root)
        self.addCleanup(keyring.stop)

        self.app.start()
        self.assert_session_and_lesson_open()
        self.end_run()
        secret = subprocess.run(["secret-tool", "lookup", *SCHEMA_ATTRIBUTES], capture_output=True, timeout=20)
        self.assertEqual((secret.returncode, len(secret.stdout)), (0, 32))
        # The machine's and user's public facts alone no longer open the vault's master key.
        self.assertNotEqual(seal(self.app, "second-lesson").returncode, 0)

        self.app.start()
        self.assert_session_and_lesson_open()


if __name__ == "__main__":
    shell.BINARY, shell.PAGE, shell.SEAL_TOOL = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])
