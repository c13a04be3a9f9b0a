#!/usr/bin/python3
"""Walks the packaged page in a real WebKit (MiniBrowser driven by WebKitWebDriver) against the real
demo service, with a stand-in for the native side (fake-native.js). Checks what the learner sees at
each step and that the page raises no script errors; screenshots go to <build>/screenshots/.

usage: page_walk.py <source folder> <build folder>
"""
import http.server
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import urllib.error
import urllib.request

from selenium import webdriver

from walk_helpers import Walk, sign_in

SOURCE, BUILD = sys.argv[1], sys.argv[2]
APP_UI = os.path.join(SOURCE, 'app-ui')
HARNESS = os.path.dirname(os.path.abspath(__file__))
MINIBROWSER = '/usr/lib/x86_64-linux-gnu/webkitgtk-6.0/MiniBrowser'
MIME = {'.html': 'text/html; charset=utf-8', '.css': 'text/css; charset=utf-8', '.js': 'application/javascript; charset=utf-8',
        '.svg': 'image/svg+xml', '.png': 'image/png', '.jpg': 'image/jpeg', '.jpeg': 'image/jpeg', '.webp': 'image/webp'}
ALLOWED_HEADERS = {'accept', 'authorization', 'content-type', 'x-velmora-client'}


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def make_handler(service, tls, http_origin):
    def forward(request):
        """(status, headers, body) of the demo service's answer, error statuses included."""
        try:
            response = urllib.request.urlopen(request, context=tls, timeout=30)
        except urllib.error.HTTPError as error:
            response = error
        return response.code, response.headers, response.read()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def reply(self, status, body, content_type, extra=()):
            self.send_response(status)
            for name, value in (('Content-Type', content_type), ('Content-Length', str(len(body))), *extra):
                self.send_header(name, value)
            self.end_headers()
            try:
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the player dropped a range request it no longer needs

        def do_POST(self):
            """An apiRequest command from fake-native.js, answered as the shell answers it."""
            command = json.loads(self.rfile.read(int(self.headers['Content-Length'])))
            headers = {k: v for k, v in (command.get('headers') or {}).items() if k.lower() in ALLOWED_HEADERS}
            body = command.get('jsonBody')
            request = urllib.request.Request(service + '/api/web/v2/' + command.get('path', ''), headers=headers,
                                             data=body.encode() if body else None, method=(command.get('method') or 'GET').upper())
            try:
                status, _, text = forward(request)
                text = text.decode().replace(service + '/media/', http_origin + '/__svc/media/')
                message = '' if 200 <= status <= 299 else f'服务响应异常（HTTP {status}）'
                answer = {'ok': True, 'result': {'status': status, 'body': text, 'message': message}}
            except OSError as error:
                answer = {'ok': False, 'message': str(error)}
            self.reply(200, json.dumps(answer).encode(), 'application/json')

        def do_GET(self):
            if self.path.startswith('/__svc/'):  # media, which the browser would not fetch from the demo CA
                headers = {'Range': self.headers['Range']} if self.headers['Range'] else {}
                status, answer, body = forward(urllib.request.Request(service + self.path[len('/__svc'):], headers=headers))
                passed = [(n, answer[n]) for n in ('Content-Range', 'Accept-Ranges') if answer[n]]
                return self.reply(status, body, answer.get('Content-Type', 'application/octet-stream'), passed)
            if self.path == '/__harness/fake-native.js':
                with open(os.path.join(HARNESS, 'fake-native.js'), 'rb') as f:
                    return self.reply(200, f.read(), MIME['.js'])
            path, _, query = self.path.partition('?')
            path = path.lstrip('/') or 'index.html'
            file = os.path.normpath(os.path.join(APP_UI, path))
            if not file.startswith(APP_UI) or not os.path.isfile(file):
                return self.reply(404, b'Not Found', 'text/plain; charset=utf-8')
            with open(file, 'rb') as f:
                body = f.read()
            if path == 'index.html' and query != 'without-native':
                body = body.replace(b'<link rel="stylesheet"', b'<script src="/__harness/fake-native.js"></script>\n  <link rel="stylesheet"', 1)
            self.reply(200, body, MIME.get(os.path.splitext(file)[1].lower(), 'application/octet-stream'))

    return Handler


def walk_page(walk, http_origin, service):
    # Opened outside the desktop app, the page says what it needs instead of failing silently.
    walk.driver.get(http_origin + '/index.html?without-native')
    walk.see('未检测到星禾课堂桌面端')
    assert walk.js('return document.getElementById("account")') is None

    walk.driver.get(http_origin + '/index.html')
    walk.see('欢迎来到星禾课堂')
    assert walk.js('return document.activeElement.id') == 'account', 'the sign-in form should take the keyboard focus'
    walk.shot('sign-in')
    sign_in(walk, 'xiaoming', 'wrong')
    walk.see('账号或密码错误')
    sign_in(walk, 'xiaoming', 'velmora123')
    walk.see('我的班级')
    walk.see('高一（3）班 · 数学')
    assert walk.posted('saveSession')[-1]['ownerKey'] == 'acct-7f3a9c21-xiaoming'
    walk.shot('classes')

    walk.click_text('h2', '高一（3）班 · 数学')
    walk.see('函数与导数')
    walk.click_text('h2', '函数与导数')
    walk.see('2.2 导数的几何意义（仅限在线）')
    walk.see('仅限在线')
    walk.shot('course')

    walk.click('.download[data-asset="math-1001-02"] button')
    walk.wait('document.querySelector(\'.download[data-asset="math-1001-02"] progress\')', 'a progress bar')
    walk.see('正在下载')
    walk.shot('download-in-progress')
    walk.wait('document.querySelector(\'.download[data-asset="math-1001-02"]\').innerText.includes("已下载")', 'the finished download')
    command = walk.posted('download')[-1]
    assert (command['assetId'], command['classId'], command['lessonId'], command['chapterTitle']) == \
        ('math-1001-02', 101, 10002, '第一章 函数的概念'), command

    # A download for another account is refused by the native side; the learner reads why.
    walk.js('window.webkit.messageHandlers.velmora.postMessage({type: "download", ownerKey: "someone-else", token: "t",'
            ' assetId: "math-1001-01", classId: 101, lessonId: 10001})')
    walk.see('离线下载参数不完整，请重新登录后再试')

    walk.click_text('a', '1.1 集合与映射')
    walk.wait('document.querySelector("video.player")', 'the player')
    walk.see('正在在线播放')
    walk.wait('document.querySelector("video.player").readyState >= 1 || document.querySelector(".player-error:not([hidden])")',
              'the video to load', 30)
    walk.see('函数与导数-讲义.txt')
    walk.shot('lesson')
    walk.click_text('button', '保存到本机')
    walk.see('课件已保存到 /home/learner/函数与导数-讲义.txt')
    assert walk.posted('downloadResource')[-1]['url'] == service + '/files/courseware/1001/1'

    walk.click('[data-view=library]')
    walk.see('离线课程')
    walk.see('1.2 函数的表示法')
    walk.shot('library')
    walk.click('button[aria-label="重命名课程"]')
    walk.wait('document.querySelector("form.rename input")', 'the rename form')
    walk.js('document.querySelector("form.rename input").value = "函数与导数（复习）";'
            'document.querySelector("form.rename").requestSubmit();')
    walk.see('函数与导数（复习）')
    update = walk.posted('updateDownloadMetadata')[-1]
    assert update['courseTitle'] == '函数与导数（复习）' and update['ownerKey'] == 'acct-7f3a9c21-xiaoming', update

    walk.click_text('button', '删除')
    walk.click_text('button', '确认删除')
    walk.see('已从本机删除这节离线课程')
    walk.see('还没有离线课程')
    walk.js('location.hash = "#/offline/math-1001-02"')
    walk.see('这节离线课程已不在本机，可能已被删除。')

    walk.js('document.querySelector("[data-view=settings]").click()')
    walk.wait('document.getElementById("zoom")', 'the zoom slider')
    walk.js('const s = document.getElementById("zoom"); s.value = 130; s.dispatchEvent(new Event("change"));')
    assert walk.posted('setZoom')[-1]['percent'] == 130

    # Reopening restores the stored session without signing in, and keeps the zoom.
    walk.js('location.hash = "#/classes"; location.reload()')
    walk.see('高一（3）班 · 数学')
    assert walk.posted('setZoom')[0]['percent'] == 130
    assert not walk.posted('saveSession')
    assert walk.errors() == [], walk.errors()
    download_course(walk)
    pause_resume_cancel(walk)


def download_course(walk):
    """The whole course at once: two lessons download, the third waits, and the library lists all three."""
    walk.js('location.hash = "#/course/1001"')
    walk.click_text('button', '下载整门课程')
    walk.wait('document.querySelector(\'.download[data-asset="math-1001-03"]\').innerText.includes("排队中")', 'the queued lesson')
    assert [c['assetId'] for c in walk.posted('download')][-2:] == ['math-1001-01', 'math-1001-02']
    walk.shot('download-queue')
    walk.click('[data-view=library]')
    walk.wait('document.querySelectorAll(".downloads li").length === 3', 'the three downloads in the list')
    assert walk.js('return document.querySelector(".nav-count").textContent') == '3'
    walk.shot('downloads')
    walk.wait('document.querySelectorAll(".library-item").length === 3 && document.querySelector(".nav-count").hidden',
              'the course stored', 30)
    assert walk.errors() == [], walk.errors()


def shows(walk, selector, text, what):
    walk.wait(f'document.querySelector({json.dumps(selector)})?.innerText.includes({json.dumps(text)})', what)


def pause_resume_cancel(walk):
    """A download waits on a metered network, is paused, kept over a reload and carried on anyway;
    another one is interrupted with a platform text and cancelled; the metered switch is sent first."""
    first = '.download[data-asset="chinese-2001-01"]'
    walk.js('window.__fakeNative.setNetwork(true, true); location.hash = "#/course/2001"')
    walk.click(f'{first} button')
    shows(walk, first, '当前为计量网络，暂不下载', 'the metered wait')
    assert walk.js('return document.querySelector(arguments[0]).innerText', first).count('仍然下载') == 1
    walk.shot('download-metered')
    walk.click('button[aria-label="暂停下载《静夜思》"]')
    shows(walk, first, '已暂停', 'the paused download')
    assert walk.posted('pauseDownload')[-1]['assetId'] == 'chinese-2001-01'
    walk.see('全部继续（1）')
    walk.shot('download-paused')

    # The kept download is listed in the library after the page starts again, and carried on there.
    walk.js('location.hash = "#/library"; location.reload()')
    shows(walk, '.downloads li[data-asset="chinese-2001-01"]', '已暂停', 'the interrupted download in the library')
    assert walk.posted('listInterruptedDownloads'), 'the library did not ask for interrupted downloads'
    walk.shot('downloads-interrupted')
    walk.click('button[aria-label="继续下载《静夜思》"]')
    walk.click('button[aria-label="仍然使用计量网络下载《静夜思》"]')
    assert walk.posted('resumeDownload')[-1] == {'type': 'resumeDownload', 'assetId': 'chinese-2001-01', 'allowMetered': True}
    walk.wait('[...document.querySelectorAll(".library-item")].some(e => e.dataset.asset === "chinese-2001-01")', 'the lesson stored', 30)
    interrupt_and_cancel(walk)
    metered_switch(walk)


def interrupt_and_cancel(walk):
    """An interruption reads in Chinese with the platform's text as detail; 取消 removes the download."""
    second = '.download[data-asset="chinese-2001-02"]'
    walk.js('window.__fakeNative.setNetwork(true, false); location.hash = "#/course/2001"')
    walk.wait(f'document.querySelector(\'{second} button\')', 'the second lesson')
    walk.js(f'document.querySelector(\'{second} button\').click();'
            'window.__fakeNative.interrupt("chinese-2001-02", "Failed to connect to 127.0.0.1 port 47443 after 0 ms: Couldn\'t connect to server")')
    walk.see('下载中断：无法连接到服务器（Couldn\'t connect to server）')
    walk.shot('download-interrupted')
    walk.click('button[aria-label="取消下载《春晓》"]')
    walk.wait(f'document.querySelector(\'{second}\').innerText.trim() === "下载"', 'the lesson back to 下载')
    assert walk.posted('cancelDownload')[-1]['assetId'] == 'chinese-2001-02'


def metered_switch(walk):
    """The switch is kept by the page and sent after load, before the session is restored."""
    walk.js('location.hash = "#/settings"')
    walk.click('#metered')
    assert walk.posted('setMeteredDownloadsAllowed')[-1]['allowed'] is True
    walk.js('location.reload()')
    walk.wait('window.__posted.some(m => m.type === "restoreSession")', 'the restored session')
    kinds = [m['type'] for m in walk.js('return window.__posted')]
    assert kinds.index('setMeteredDownloadsAllowed') < kinds.index('restoreSession'), kinds
    assert walk.posted('setMeteredDownloadsAllowed')[0]['allowed'] is True
    walk.wait('document.getElementById("metered")?.checked', 'the switch kept on')
    walk.shot('settings')
    assert walk.errors() == [], walk.errors()


def main():
    shots = os.path.join(BUILD, 'screenshots')
    os.makedirs(shots, exist_ok=True)
    clips, port, http_port = os.path.join(BUILD, 'clips'), free_port(), free_port()
    subprocess.run([os.path.join(SOURCE, 'tools/make-clips'), clips, 'short', 'medium'], check=True, stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as state:
        service = subprocess.Popen([os.path.join(BUILD, 'tools/demo-service/velmora-demo-service'), '--state', state,
                                    '--media', clips, '--port', str(port)], stdout=subprocess.PIPE, text=True)
        service.stdout.readline()  # the service is listening
        origin, http_origin = f'https://127.0.0.1:{port}', f'http://127.0.0.1:{http_port}'
        handler = make_handler(origin, ssl.create_default_context(cafile=os.path.join(state, 'ca.pem')), http_origin)
        server = http.server.ThreadingHTTPServer(('127.0.0.1', http_port), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        options = webdriver.WebKitGTKOptions()
        options.binary_location = MINIBROWSER
        options.add_argument('--automation')
        driver = webdriver.WebKitGTK(executable_path='/usr/bin/WebKitWebDriver', options=options)
        driver.set_window_size(1280, 800)
        try:
            walk_page(Walk(driver, shots, 'page'), http_origin, origin)
        finally:
            driver.quit()
            server.shutdown()
            service.terminate()
            service.wait(10)
    print('page walk: passed')


if __name__ == '__main__':
    main()
