#!/usr/bin/python3
"""--version and --help print and exit 0 with no display, no session bus and a data folder that
must stay absent: they may not open a window, register the application or create learner data.

Usage: command_line_test.py <velmora-classroom binary> <expected version>"""

import os
import subprocess
import sys
import tempfile
import unittest

BINARY = VERSION = None


class CommandLine(unittest.TestCase):
    def run_app(self, *args):
        root = tempfile.TemporaryDirectory()
        self.addCleanup(root.cleanup)
        self.data = os.path.join(root.name, "data")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(XDG_DATA_HOME=self.data, DBUS_SESSION_BUS_ADDRESS=f"unix:path={root.name}/no-bus")
        return subprocess.run([BINARY, *args], env=env, capture_output=True, text=True, timeout=20)

    def test_options_print_and_exit_without_a_session(self):
        cases = [(["--version"], f"velmora-classroom {VERSION}\n"), (["--help"], "--version"), (["-h"], "--version")]
        for args, expected in cases:
            with self.subTest(args=args):
                result = self.run_app(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                if expected.endswith("\n"):
                    self.assertEqual(result.stdout, expected)
                else:
                    self.assertIn(expected, result.stdout)
                self.assertNotIn("automation-mode", result.stdout)
                self.assertFalse(os.path.exists(self.data), "the data folder was created")

    def test_unknown_option_fails_with_a_message(self):
        result = self.run_app("--no-such-option")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("no-such-option", result.stderr)
        self.assertFalse(os.path.exists(self.data))


if __name__ == "__main__":
    BINARY, VERSION = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
