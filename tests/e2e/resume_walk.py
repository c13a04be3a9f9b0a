#!/usr/bin/python3
"""The resume walks: the real app of the demo build against a demo service that drops a lesson
download part-way and then refuses connections for a while.

1. A 30 s outage: the learner sees the download wait and retry, and it completes by itself.
2. Quitting at about a quarter: the service drops the download, the learner quits the app while it
   waits, starts it again, and the download continues by itself from the bytes already sealed, so
   the service sends at most 1.1 times the clip in all. The lesson then plays offline and seeks.
Screenshots go to <out>/screenshots/.

usage: resume_walk.py <source folder> <demo build folder> <out folder>
"""
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'app-ui', 'harness'))
import walk  # noqa: E402  the first walk's app start-up and playback steps (it reads the same arguments)
from walk_helpers import sign_in  # noqa: E402

SOURCE, DEMO, OUT = sys.argv[1:4]
PORT = 47443  # the demo build's compiled-in API port
OUTAGE_LESSON = 'math-1001-02'  # chapter 1, the medium clip (about 6 MB)
RESTART_LESSON = 'math-1001-03'  # chapter 2, the same clip
CLIP = os.path.join(DEMO, 'clips', 'clip-medium.mp4')


class Service:
    """The demo service with its drop and outage switches; reads what it says on its output."""

    def __init__(self, drop_at, outage_seconds):
        self.process = subprocess.Popen([os.path.join(DEMO, 'tools/demo-service/velmora-demo-service'),
                                         '--state', os.path.join(DEMO, 'demo-state'), '--media', os.path.join(DEMO, 'clips'),
                                         '--port', str(PORT), '--drop-media-once-at', str(drop_at),
                                         '--outage-seconds', str(outage_seconds)], stdout=subprocess.PIPE, text=True)
        if not self.line(10).startswith('velmora-demo-service: serving'):
            raise SystemExit(f'resume walk: the demo service did not start (is port {PORT} in use?)')

    def line(self, timeout):
        assert select.select([self.process.stdout], [], [], timeout)[0], 'the demo service said nothing in time'
        return self.process.stdout.readline().strip()

    def expect(self, text, timeout):
        said = self.line(timeout)
        assert said.startswith(text), (text, said)

    def stop(self):
        """Stops the service and gives the media bytes it sent in all."""
        if self.process.poll() is not None:
            return None
        self.process.terminate()
        rest, _ = self.process.communicate(timeout=15)
        sent = re.search(r'sent (\d+) media bytes', rest)
        return int(sent.group(1)) if sent else None


def lesson_events(page, kind, asset):
    return page.js('return window.__events.filter(e => e.type === arguments[0] && e.assetId === arguments[1])', kind, asset)


def start_download(page, asset, title):
    page.js('location.hash = "#/course/1001"')
    page.see(title)
    page.click(f'.download[data-asset="{asset}"] button')
    page.wait(f'window.__events.some(e => e.type === "downloadProgress" && e.assetId === "{asset}" && e.phase === "downloading")',
              'progress events', 60)


def wait_for_retry(page, asset):
    page.wait(f'window.__events.some(e => e.type === "downloadProgress" && e.assetId === "{asset}" && e.phase === "retrying")',
              'the download to wait for the service', 30)


def finished(page, asset, timeout):
    page.wait(f'(d => d && d.innerText.includes("已下载"))(document.querySelector(\'.download[data-asset="{asset}"]\'))',
              'the finished download', timeout)


def outage_survived(page, service):
    start_download(page, OUTAGE_LESSON, '1.2 函数的表示法')
    service.expect('velmora-demo-service: dropped a media transfer', 30)
    wait_for_retry(page, OUTAGE_LESSON)
    page.see("秒后重试")
    page.shot('download-retrying')
    finished(page, OUTAGE_LESSON, 120)
    assert not lesson_events(page, 'downloadFailed', OUTAGE_LESSON), lesson_events(page, 'downloadFailed', OUTAGE_LESSON)
    assert len(lesson_events(page, 'downloadCompleted', OUTAGE_LESSON)) == 1


def restart_continues(root, data_home, service):
    page = walk.start_app(walk.find_app(), data_home, os.path.join(root, 'before-quit.log'))
    try:
        page.wait('document.body.classList.contains("signed-in")', 'the restored session')
        start_download(page, RESTART_LESSON, '2.1 变化率与导数')
        service.expect('velmora-demo-service: dropped a media transfer', 30)
        wait_for_retry(page, RESTART_LESSON)
    finally:
        walk.close(page)  # the app ends while the download waits

    page = walk.start_app(walk.find_app(), data_home, os.path.join(root, 'after-quit.log'))
    try:
        page.wait('document.body.classList.contains("signed-in")', 'the restored session')
        # The classroom is still away: the library lists the kept download, which goes on by itself.
        page.js('location.hash = "#/library"')
        page.wait(f'document.querySelector(\'.downloads li[data-asset="{RESTART_LESSON}"]\')', 'the kept download in the library')
        page.shot('download-continued')
        page.wait(f'document.querySelector(\'li.library-item[data-asset="{RESTART_LESSON}"]\')', 'the finished download', 120)
        sent = service.stop()
        size = os.path.getsize(CLIP)
        # The outage lesson of the first run was sent once whole by the earlier service run.
        assert sent is not None and sent <= 1.1 * size, (sent, size)
        walk.play_and_seek(page, f'#/offline/{RESTART_LESSON}', '正在播放本机加密离线副本', 20, 'resumed-lesson-offline')
        assert page.errors() == [], page.errors()
    finally:
        walk.close(page)
    return sent, size


def main():
    os.makedirs(os.path.join(OUT, 'screenshots'), exist_ok=True)
    subprocess.run([os.path.join(SOURCE, 'tools/make-clips'), os.path.join(DEMO, 'clips')], check=True, stdout=subprocess.DEVNULL)
    root = tempfile.mkdtemp(prefix='velmora-resume-walk-')
    data_home = os.path.join(root, 'data')
    os.makedirs(data_home)
    quarter = os.path.getsize(CLIP) // 4
    service = Service(quarter, 30)
    page = None
    try:
        page = walk.start_app(walk.find_app(), data_home, os.path.join(root, 'outage.log'))
        page.see('欢迎来到星禾课堂')
        sign_in(page, 'xiaoming', 'velmora123')
        page.see('高一（3）班 · 数学')
        outage_survived(page, service)
        walk.close(page)
        page = None
        service.stop()

        service = Service(quarter, 8)
        sent, size = restart_continues(root, data_home, service)
    finally:
        if page is not None:
            walk.close(page)
        service.stop()
        shutil.rmtree(root, ignore_errors=True)
    print(f'resume walk: passed (after the restart the service sent {sent} media bytes for a {size}-byte clip)')


if __name__ == '__main__':
    main()
