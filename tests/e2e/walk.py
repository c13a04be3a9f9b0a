#!/usr/bin/python3
"""The end-to-end walk: the real app of the demo build, driven by WebKitWebDriver, against the demo
service. Sign in, play a lesson online and seek, download a multi-MiB lesson while watching its
progress events, find it in the offline library, stop the service, play it offline and seek,
retitle it, delete it, then restart the app and find the session restored without signing in.
Screenshots go to <out>/screenshots/.

usage: walk.py <source folder> <demo build folder> <out folder>
"""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.remote.remote_connection import RemoteConnection
from selenium.webdriver.webkitgtk.options import Options

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'app-ui', 'harness'))
from walk_helpers import Walk, sign_in  # noqa: E402

SOURCE, DEMO, OUT = sys.argv[1:4]
# A command the app never answers fails the walk where it hung, not at the suite's time limit.
RemoteConnection.set_timeout(120)
PORT = 47443  # the demo build's compiled-in API port
BROWSER_NAME = 'VelmoraClassroom'
LESSON = 'math-1001-02'  # the several-MiB clip
DOUBLE_CLICK_SECONDS = 0.5  # GTK's default double-click time (400 ms), and a margin

RECORDERS = '''
window.__pageErrors = window.__pageErrors || [];
window.__events = window.__events || [];
if (!window.__recording) {
  window.__recording = true;
  window.addEventListener('error', (e) => window.__pageErrors.push('error: ' + e.message));
  window.addEventListener('unhandledrejection', (e) => window.__pageErrors.push('unhandled: ' + (e.reason && e.reason.message || e.reason)));
  window.addEventListener('message', (e) => window.__events.push(e.data));
  document.addEventListener('securitypolicyviolation', (e) => window.__pageErrors.push('csp: ' + e.violatedDirective + ' ' + e.blockedURI));
}
'''


def find_app():
    for folder, _, names in os.walk(DEMO):
        if 'velmora-classroom' in names and os.access(os.path.join(folder, 'velmora-classroom'), os.X_OK):
            return os.path.join(folder, 'velmora-classroom')
    raise SystemExit('walk: the demo build has no velmora-classroom binary')


class DemoService:
    def __init__(self):
        subprocess.run([os.path.join(SOURCE, 'tools/make-clips'), os.path.join(DEMO, 'clips')], check=True,
                       stdout=subprocess.DEVNULL)
        self.process = subprocess.Popen([os.path.join(DEMO, 'tools/demo-service/velmora-demo-service'),
                                         '--state', os.path.join(DEMO, 'demo-state'), '--media', os.path.join(DEMO, 'clips'),
                                         '--port', str(PORT)], stdout=subprocess.PIPE, text=True)
        if not self.process.stdout.readline().startswith('velmora-demo-service: serving'):
            raise SystemExit(f'walk: the demo service did not start (is port {PORT} in use?)')

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


def start_app(app, data_home, log):
    options = Options()
    options.binary_location = app
    options.add_argument('--automation-mode')
    options.set_capability('browserName', BROWSER_NAME)
    saved = dict(os.environ)
    os.environ['XDG_DATA_HOME'] = data_home
    try:
        driver = webdriver.WebKitGTK(executable_path='/usr/bin/WebKitWebDriver', options=options, service_log_path=log)
    except Exception:
        # What the driver and the app said is the only trace of a start that never answered.
        if os.path.exists(log):
            with open(log, errors='replace') as said:
                print(f'{log}:\n{said.read()[-4000:]}', file=sys.stderr)
        raise
    finally:
        os.environ.clear()
        os.environ.update(saved)
    walk = Walk(driver, os.path.join(OUT, 'screenshots'), 'app')
    walk.wait('document.readyState === "complete" && document.getElementById("view")', 'the packaged page')
    walk.js(RECORDERS)
    return walk


def app_process(walk):
    """The app's process id: the app is the driver's child."""
    driver = str(walk.driver.service.process.pid)
    children = subprocess.run(['pgrep', '-P', driver], capture_output=True, text=True).stdout.split()
    return int(children[0]) if children else None


def running(pid):
    try:
        with open(f'/proc/{pid}/stat') as stat:
            return stat.read().rsplit(')', 1)[1].split()[0] != 'Z'
    except FileNotFoundError:
        return False


def close(walk):
    """Ends the session and waits for the app to be gone. The driver kills the app when it ends the
    session, but a driver stopped before that leaves the app running a while; the next start would
    then only hand its activation to that instance and never answer the driver."""
    app = app_process(walk)
    try:
        walk.driver.quit()
    except Exception:  # the app may end before the session does
        pass
    if app is None:
        return
    deadline = time.monotonic() + 5
    while running(app) and time.monotonic() < deadline:
        time.sleep(0.05)
    if running(app):
        with contextlib.suppress(ProcessLookupError):  # it may end in between
            os.kill(app, signal.SIGKILL)
        while running(app):
            time.sleep(0.05)


def events(walk, kind):
    return walk.js('return window.__events.filter(e => e.type === arguments[0] && e.assetId === arguments[1])', kind, LESSON)


def download(walk):
    walk.js('location.hash = "#/course/1001"')
    walk.see('1.2 函数的表示法')
    walk.shot('course')
    walk.click(f'.download[data-asset="{LESSON}"] button')
    walk.wait(f'document.querySelector(\'.download[data-asset="{LESSON}"] progress\')', 'a progress bar')
    walk.wait('window.__events.some(e => e.type === "downloadProgress" && e.phase === "downloading")', 'progress events', 60)
    walk.shot('download-in-progress')
    walk.wait(f'document.querySelector(\'.download[data-asset="{LESSON}"]\').innerText.includes("已下载")', 'the finished download', 120)
    progress = events(walk, 'downloadProgress')
    phases = [e['phase'] for e in progress]
    assert phases[0] == 'authorizing' and phases[-1] == 'completed' and 'downloading' in phases, phases
    sizes = [e['downloaded'] for e in progress if e['phase'] == 'downloading']
    assert sizes == sorted(sizes) and sizes[-1] > 3 * 1048576, sizes
    assert events(walk, 'downloadCompleted'), 'no downloadCompleted event'


def play_and_seek(walk, route, source_text, seek_to, shot):
    walk.js(f'location.hash = "{route}"')
    walk.see(source_text)
    walk.wait('document.querySelector("video.player") && document.querySelector("video.player").readyState >= 1', 'the media', 30)
    walk.js('const v = document.querySelector("video.player"); window.__seeked = false;'
            'v.addEventListener("seeked", () => { window.__seeked = true; }); v.muted = true; v.play();'
            f'v.currentTime = {seek_to};')
    walk.wait('window.__seeked', 'the seeked event', 30)
    start = walk.js('return document.querySelector("video.player").currentTime')
    assert start >= seek_to - 1, start
    walk.wait(f'document.querySelector("video.player").currentTime > {start + 0.5}', 'playback to advance after the seek', 30)
    walk.shot(shot)


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=20).stdout


def app_window(walk):
    """The X window of this walk's app, raised: earlier tests on the suite's display may have left
    windows of the same title where the click lands."""
    window = run('xdotool', 'search', '--sync', '--onlyvisible', '--pid', str(app_process(walk))).split()[0]
    run('xdotool', 'windowraise', window)
    return window


def settled(walk, script, *args):
    """`script`'s answer once two reads 0.2 s apart agree: the layout has stopped moving."""
    last = walk.js(script, *args)
    for _ in range(50):
        time.sleep(0.2)
        now = walk.js(script, *args)
        if now == last:
            return now
        last = now
    raise AssertionError(f'the layout kept moving: {last}')


def double_click(walk, selector):
    """A real double-click through XTEST on the middle of `selector`: WebDriver's own pointer actions
    are an unsupported operation in WebKitGTK 2.4x's GTK 4 port, and script events are no gesture."""
    time.sleep(DOUBLE_CLICK_SECONDS)  # else GTK counts these presses with the last ones: a triple click
    where = ('const r = document.querySelector(arguments[0]).getBoundingClientRect();'
             'return [r.left + r.width / 2, r.top + r.height / 2, innerWidth, innerHeight]')
    left, top, inner_width, inner_height = settled(walk, where, selector)
    shell = run('xdotool', 'getwindowgeometry', '--shell', app_window(walk))
    geometry = {key: int(value) for key, value in (line.split('=') for line in shell.split()) if key != 'SCREEN'}
    border = (geometry['WIDTH'] - inner_width) / 2  # the page fills the window inside its shadow
    x = geometry['X'] + border + left
    y = geometry['Y'] + geometry['HEIGHT'] - inner_height - border + top
    run('xdotool', 'mousemove', '--sync', str(int(x)), str(int(y)), 'click', '--repeat', '2', '--delay', '60', '1')


def speed_and_continue(walk):
    """Change the speed once, leave a lesson half watched, open the key help, then come back to the
    lesson from "继续观看": it resumes where it was left, at the chosen speed."""
    walk.js('location.hash = "#/lesson/10003"')
    walk.see('正在在线播放')
    walk.wait('document.querySelector("video.player") && document.querySelector("video.player").readyState >= 1', 'the media', 30)
    # The page's own state, once WebKit has finished each change (without a window manager the
    # window keeps its size, and a double-click during the change is not taken).
    walk.js('window.__fullscreenChanges = 0; document.addEventListener("fullscreenchange", () => ++window.__fullscreenChanges)')
    double_click(walk, 'video.player')
    walk.wait('window.__fullscreenChanges === 1 && document.fullscreenElement', 'fullscreen after a double-click on the picture')
    double_click(walk, 'video.player')
    walk.wait('window.__fullscreenChanges === 2 && !document.fullscreenElement', 'the window again after a second double-click')
    walk.click('button.speed[data-speed="1.5"]')
    walk.wait('document.querySelector("video.player").playbackRate === 1.5', 'the chosen speed')
    walk.js('const v = document.querySelector("video.player"); window.__seeked = false;'
            'v.addEventListener("seeked", () => { window.__seeked = true; }); v.currentTime = 15;')
    walk.wait('window.__seeked', 'the seeked event', 30)
    walk.shot('lesson-speed')
    walk.js('document.dispatchEvent(new KeyboardEvent("keydown", {key: "?", bubbles: true}))')
    walk.wait('document.querySelector("dialog.shortcuts[open]")', 'the key help')
    walk.see('减慢 / 加快播放速度')
    walk.shot('shortcuts')
    walk.click_text('button', '关闭')
    walk.wait('!document.querySelector("dialog.shortcuts")', 'the key help to close')
    walk.js('location.hash = "#/classes"')
    card = '.continue a.card[data-lesson="10003"]'
    walk.wait(f'document.querySelector({card!r})', 'the lesson under 继续观看')
    walk.see('继续观看')
    walk.see('高一（3）班 · 数学')
    walk.shot('continue-watching')
    walk.click(card)
    walk.wait('location.hash === "#/lesson/10003"', 'the lesson page')
    walk.wait('(v => v && v.readyState >= 1 && v.currentTime >= 14)(document.querySelector("video.player"))',
              'the lesson to resume where it was left', 30)
    assert walk.js('return document.querySelector("video.player").playbackRate') == 1.5, 'the speed was not remembered'
    # Back to 1×: under Xvfb there is no audio device, and WebKitGTK's player does not advance at other
    # rates there, while the playback checks that follow need the clock to move.
    walk.click('button.speed[data-speed="1"]')


def retitle_and_delete(walk):
    walk.js('location.hash = "#/library"')
    walk.see('1.2 函数的表示法')
    walk.click('button[aria-label="重命名课程"]')
    walk.wait('document.querySelector("form.rename input")', 'the rename form')
    walk.js('document.querySelector("form.rename input").value = "函数复习";'
            'document.querySelector("form.rename").requestSubmit();')
    walk.wait('[...document.querySelectorAll(".group-head h2")].some(h => h.textContent === "函数复习")', 'the new course title')
    walk.shot('library')
    walk.click_text('button', '删除')
    walk.click_text('button', '确认删除')
    walk.see('已从本机删除这节离线课程')
    walk.js(f'location.hash = "#/offline/{LESSON}"')
    walk.see('这节离线课程已不在本机，可能已被删除。')


def main():
    os.makedirs(os.path.join(OUT, 'screenshots'), exist_ok=True)
    app = find_app()
    root = tempfile.mkdtemp(prefix='velmora-walk-')
    data_home = os.path.join(root, 'data')
    os.makedirs(data_home)
    service = DemoService()
    walk = None
    try:
        walk = start_app(app, data_home, os.path.join(root, 'first.log'))
        walk.see('欢迎来到星禾课堂')
        walk.shot('sign-in')
        sign_in(walk, 'xiaoming', 'velmora123')
        walk.see('高一（3）班 · 数学')
        walk.shot('classes')
        # Online: the https stream from the service, whose certificate only the demo CA vouches for.
        play_and_seek(walk, '#/lesson/10001', '正在在线播放', 3, 'lesson-online')
        speed_and_continue(walk)
        download(walk)

        # The native side refuses a download for another account; the learner reads why.
        walk.js('window.webkit.messageHandlers.velmora.postMessage({type: "download", ownerKey: "someone-else",'
                ' token: "t", assetId: "math-1001-01", classId: 101, lessonId: 10001})')
        walk.see('离线下载参数不完整，请重新登录后再试')

        walk.js('location.hash = "#/library"')
        walk.see('1.2 函数的表示法')
        service.stop()
        play_and_seek(walk, f'#/offline/{LESSON}', '正在播放本机加密离线副本', 20, 'lesson-offline')
        retitle_and_delete(walk)
        assert walk.errors() == [], walk.errors()
        close(walk)
        walk = None

        walk = start_app(app, data_home, os.path.join(root, 'second.log'))
        walk.wait('document.body.classList.contains("signed-in")', 'the restored session')
        assert walk.js('return document.getElementById("account")') is None, 'the sign-in form came back'
        walk.see('李小明')
        walk.see('暂时无法连接课堂服务')  # the service is stopped; the learner is told, still signed in
        assert walk.errors() == [], walk.errors()
    finally:
        if walk is not None:
            close(walk)
        service.stop()
        shutil.rmtree(root, ignore_errors=True)
    print('end-to-end walk: passed')


if __name__ == '__main__':
    main()
