#!/usr/bin/python3
"""The offline progress walk: the real app of the demo build downloads a lesson, the classroom
service goes away, the learner watches the lesson offline and pauses at about 12 s; the service
comes back, the learner opens the classes, and the position reaches the service by itself.

The walk cannot quit in between: WebKit keeps the page storage of an automation session in memory
only, so the queue's survival of a restart is shown by the page tests with a storage stand-in.

usage: offline_progress_walk.py <source folder> <demo build folder> <out folder>
"""
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'app-ui', 'harness'))
import walk  # noqa: E402  the first walk's service, app start-up, download and playback steps
from walk_helpers import sign_in  # noqa: E402

SOURCE, DEMO, OUT = sys.argv[1:4]
LESSON_ID = '10002'  # walk.LESSON, the lesson walk.download() saves
PROGRESS = os.path.join(DEMO, 'demo-state', 'progress.json')


def saved_on_service(since):
    """xiaoming's record of the lesson on the service when it was saved after `since`, else None."""
    try:
        with open(PROGRESS) as handle:
            record = json.load(handle).get('xiaoming', {}).get(LESSON_ID)
    except (OSError, ValueError):
        return None
    return record if record and record.get('updated_at', 0) >= since else None


def main():
    os.makedirs(os.path.join(OUT, 'screenshots'), exist_ok=True)
    root = tempfile.mkdtemp(prefix='velmora-progress-walk-')
    data_home = os.path.join(root, 'data')
    os.makedirs(data_home)
    service = walk.DemoService()
    page = None
    try:
        page = walk.start_app(walk.find_app(), data_home, os.path.join(root, 'offline.log'))
        sign_in(page, 'xiaoming', 'velmora123')
        page.see('高一（3）班 · 数学')
        walk.download(page)
        service.stop()
        since = int(time.time())
        walk.play_and_seek(page, f'#/offline/{walk.LESSON}', '正在播放本机加密离线副本', 12, 'progress-offline')
        page.js('document.querySelector("video.player").pause()')
        time.sleep(1)
        assert saved_on_service(since) is None, 'the service is stopped, yet it has the position'
        queued = page.js('return Object.keys(localStorage).filter(k => k.startsWith("velmora.progressOutbox."))'
                         '.map(k => JSON.parse(localStorage.getItem(k))).flat()')
        assert [r['lessonId'] for r in queued] == [int(LESSON_ID)], queued

        service = walk.DemoService()
        page.js('location.hash = "#/classes"')
        page.see('高一（3）班 · 数学')
        deadline = time.time() + 30
        while not (record := saved_on_service(since)) and time.time() < deadline:
            time.sleep(0.2)
        assert record, 'the position watched offline never reached the service'
        assert 11.5 <= record['position'] <= 20, record
        page.wait('!document.body.innerText.includes("暂时无法连接课堂服务")', 'the notice to go once the service answers')
        assert page.errors() == [], page.errors()
    finally:
        if page is not None:
            walk.close(page)
        service.stop()
        shutil.rmtree(root, ignore_errors=True)
    print(f'offline progress walk: passed (the service holds {record["position"]:.1f} s)')


if __name__ == '__main__':
    main()
