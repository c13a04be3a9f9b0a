#!/usr/bin/python3
"""The resume walk: the real app of the demo build against a demo service that drops the first
lesson download once, part-way. The learner sees one download that completes; the service says it
dropped the connection; the lesson then plays offline with the service stopped, and seeks.
Screenshots go to <out>/screenshots/.

usage: resume_walk.py <source folder> <demo build folder> <out folder>
"""
import os
import select
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'app-ui', 'harness'))
import walk  # noqa: E402  the first walk's app start-up, download and playback steps (it reads the same arguments)
from walk_helpers import sign_in  # noqa: E402

SOURCE, DEMO, OUT = sys.argv[1:4]
PORT = 47443  # the demo build's compiled-in API port
LESSON = 'math-1001-02'  # the medium clip, about 6 MB
DROP_AT = 2_500_000


def main():
    os.makedirs(os.path.join(OUT, 'screenshots'), exist_ok=True)
    root = tempfile.mkdtemp(prefix='velmora-resume-walk-')
    data_home = os.path.join(root, 'data')
    os.makedirs(data_home)
    subprocess.run([os.path.join(SOURCE, 'tools/make-clips'), os.path.join(DEMO, 'clips')], check=True, stdout=subprocess.DEVNULL)
    service = subprocess.Popen([os.path.join(DEMO, 'tools/demo-service/velmora-demo-service'),
                                '--state', os.path.join(DEMO, 'demo-state'), '--media', os.path.join(DEMO, 'clips'),
                                '--port', str(PORT), '--drop-media-once-at', str(DROP_AT)], stdout=subprocess.PIPE, text=True)
    page = None
    try:
        if not service.stdout.readline().startswith('velmora-demo-service: serving'):
            raise SystemExit(f'resume walk: the demo service did not start (is port {PORT} in use?)')
        page = walk.start_app(walk.find_app(), data_home, os.path.join(root, 'resume.log'))
        page.see('欢迎来到星禾课堂')
        sign_in(page, 'xiaoming', 'velmora123')
        page.see('高一（3）班 · 数学')
        walk.download(page)  # one download that completes, with progress that never goes back
        assert len(walk.events(page, 'downloadCompleted')) == 1, walk.events(page, 'downloadCompleted')
        assert not walk.events(page, 'downloadFailed'), walk.events(page, 'downloadFailed')
        assert select.select([service.stdout], [], [], 10)[0], 'the service never said it dropped a transfer'
        assert service.stdout.readline().strip() == f'velmora-demo-service: dropped a media transfer after {DROP_AT} bytes'

        service.terminate()
        service.wait(10)
        walk.play_and_seek(page, f'#/offline/{LESSON}', '正在播放本机加密离线副本', 20, 'resumed-lesson-offline')
        assert page.errors() == [], page.errors()
    finally:
        if page is not None:
            walk.close(page)
        if service.poll() is None:
            service.terminate()
            service.wait(10)
        shutil.rmtree(root, ignore_errors=True)
    print('resume walk: passed')


if __name__ == '__main__':
    main()
