#!/usr/bin/python3
"""Starts an installed velmora-classroom under WebKitWebDriver, sees its window appear with the
installed web UI loaded, and ends it with SIGTERM. Needs a display and a session bus of its own.

Usage: installed_app_check.py <installed binary> <installed app-ui folder> <work folder>
The app's data, cache and configuration folders go under <work folder>/data, cache and config."""

import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "gui"))
from selenium import webdriver  # noqa: E402
from selenium.webdriver.webkitgtk.options import Options  # noqa: E402
from shell_gui_test import START_ADDRESS, TITLE, alive, application_pid, wait_for, window_titled  # noqa: E402

READ_PAGE_SOURCE = """const done = arguments[arguments.length - 1];
    fetch(arguments[0]).then((r) => r.text()).then(done).catch((e) => done('failed: ' + e));"""


def main(binary, app_ui, work):
    # With no app-ui beside the program, the installed data folder is the only place the page can come from.
    if os.path.exists(os.path.join(os.path.dirname(binary), "app-ui")):
        sys.exit(f"an app-ui folder beside {binary} would hide the installed one")
    for name, folder in (("XDG_DATA_HOME", "data"), ("XDG_CACHE_HOME", "cache"), ("XDG_CONFIG_HOME", "config")):
        os.environ[name] = os.path.join(work, folder)
        os.makedirs(os.environ[name], exist_ok=True)

    options = Options()
    options.binary_location = binary
    options.add_argument("--automation-mode")
    options.set_capability("browserName", "VelmoraClassroom")
    driver = webdriver.WebKitGTK(executable_path="/usr/bin/WebKitWebDriver", options=options,
                                 service_log_path=os.path.join(work, "webdriver.log"))
    try:
        wait_for(lambda: any(mapped for _, _, mapped in window_titled(TITLE)), timeout=30, message="the main window")
        wait_for(lambda: driver.execute_script("return document.readyState") == "complete", message="the page")
        if driver.current_url != START_ADDRESS:
            sys.exit(f"the window shows {driver.current_url}, not {START_ADDRESS}")
        with open(os.path.join(app_ui, "index.html"), encoding="utf-8") as handle:
            installed = handle.read()
        if driver.execute_async_script(READ_PAGE_SOURCE, START_ADDRESS) != installed:
            sys.exit(f"the page shown is not {app_ui}/index.html")
        print(f"installed app: window \"{TITLE}\" shows {START_ADDRESS} from {app_ui}")

        pid = application_pid()
        os.kill(pid, signal.SIGTERM)
        wait_for(lambda: not alive(pid), message="the application to end")
    finally:
        try:
            driver.quit()
        except Exception:  # the application has ended already
            pass


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
