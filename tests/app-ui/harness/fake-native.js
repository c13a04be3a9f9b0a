// A stand-in for the desktop shell's native side, loaded before the page by the harness server.
// It answers the bridge commands the way the shell does: API calls go to the real demo service
// (through the harness server), the session survives reloads (sessionStorage), and downloads and
// the offline library are simulated in memory. It also records page errors for the walk to check.
(() => {
  const errors = [];
  const posted = [];
  window.__pageErrors = errors;
  window.__posted = posted;
  window.addEventListener('error', (e) => errors.push(`error: ${e.message}`));
  window.addEventListener('unhandledrejection', (e) => errors.push(`unhandled: ${e.reason?.message ?? e.reason}`));
  document.addEventListener('DOMContentLoaded', () => document.body.classList.add('mac-native'));

  const post = (data) => setTimeout(() => window.dispatchEvent(new MessageEvent('message', { data })), 0);
  const load = (key, fallback) => JSON.parse(sessionStorage.getItem(key) ?? 'null') ?? fallback;
  const keep = (key, value) => sessionStorage.setItem(key, JSON.stringify(value));
  let held = load('fake.session', null);
  let library = load('fake.library', []);
  const running = new Set();

  const text = (v) => (typeof v === 'string' ? v : '');
  const int = (v) => (typeof v === 'number' ? Math.trunc(v) : /^[+-]?\d+$/.test(text(v)) ? Number(v) : 0);
  const owns = (m) => held !== null && text(m.ownerKey) === held.ownerKey;
  const saveLibrary = () => keep('fake.library', library);

  function simulateDownload(m) {
    const assetId = m.assetId;
    const total = 4 * 1048576;
    running.add(assetId);
    post({ type: 'downloadProgress', assetId, downloaded: 0, total: 0, phase: 'authorizing' });
    let downloaded = 0;
    const step = () => {
      downloaded += 1048576;
      post({ type: 'downloadProgress', assetId, downloaded, total, phase: 'downloading' });
      if (downloaded < total) return setTimeout(step, 400);
      running.delete(assetId);
      library = library.filter((item) => item.assetId !== assetId);
      library.push({
        assetId, ownerHash: 'fake', classTitle: text(m.classTitle), courseTitle: text(m.courseTitle),
        chapterTitle: text(m.chapterTitle), lessonTitle: text(m.lessonTitle), coverUrl: text(m.coverUrl),
        classId: int(m.classId), courseIndex: int(m.courseIndex), chapterIndex: int(m.chapterIndex),
        lessonIndex: int(m.lessonIndex), lessonId: int(m.lessonId), size: total, state: 'completed',
      });
      saveLibrary();
      post({ type: 'downloadProgress', assetId, downloaded, total, phase: 'completed' });
      post({ type: 'downloadCompleted', assetId });
    };
    setTimeout(step, 600);
  }

  const handlers = {
    restoreSession: () => post(held ? { type: 'session', ...held } : { type: 'noSession' }),
    saveSession(m) {
      if (!text(m.token) || !text(m.ownerKey)) return post({ type: 'error', message: '登录凭证格式无效，未写入本机' });
      held = { token: m.token, ownerKey: m.ownerKey, userName: typeof m.userName === 'string' ? m.userName : '星禾同学' };
      keep('fake.session', held);
    },
    clearSession() {
      held = null;
      sessionStorage.removeItem('fake.session');
    },
    async apiRequest(m) {
      const reply = await fetch('/__api', { method: 'POST', body: JSON.stringify(m) }).then((r) => r.json());
      post({ type: 'nativeResponse', requestId: text(m.requestId), ...reply });
    },
    listDownloads: (m) => post({ type: 'downloads', items: owns(m) ? library : [] }),
    download(m) {
      if (!owns(m) || !text(m.assetId) || int(m.classId) <= 0 || int(m.lessonId) <= 0) {
        return post({ type: 'downloadFailed', assetId: text(m.assetId), message: '离线下载参数不完整，请重新登录后再试' });
      }
      if (running.has(m.assetId)) return post({ type: 'downloadFailed', assetId: m.assetId, message: '该小节已在下载队列中' });
      simulateDownload(m);
    },
    deleteDownload(m) {
      if (!owns(m)) return post({ type: 'error', message: '不能删除其他账号的离线课程' });
      if (!library.some((item) => item.assetId === m.assetId)) return post({ type: 'error', message: '当前账号无权删除这份离线课程' });
      library = library.filter((item) => item.assetId !== m.assetId);
      saveLibrary();
      post({ type: 'deleteCompleted', assetId: m.assetId });
    },
    updateDownloadMetadata(m) {
      if (!owns(m)) return post({ type: 'error', message: '不能更新其他账号的离线课程目录' });
      const item = library.find((candidate) => candidate.assetId === m.assetId);
      if (!item) return post({ type: 'error', message: '当前账号无权更新这份离线课程目录' });
      Object.assign(item, {
        courseTitle: text(m.courseTitle), chapterTitle: text(m.chapterTitle), courseIndex: Math.max(0, int(m.courseIndex)),
        chapterIndex: Math.max(0, int(m.chapterIndex)), lessonIndex: Math.max(0, int(m.lessonIndex)),
      });
      library.sort((a, b) => a.classTitle.localeCompare(b.classTitle) || a.courseIndex - b.courseIndex ||
        a.chapterIndex - b.chapterIndex || a.lessonIndex - b.lessonIndex);
      saveLibrary();
    },
    downloadResource(m) {
      if (!/^https:\/\//.test(text(m.url))) return post({ type: 'resourceDownloadFailed', message: '课件地址无效或不安全' });
      post({ type: 'resourceDownloadCompleted', path: `/home/learner/${text(m.suggestedName) || '课程资料'}` });
    },
  };

  window.webkit = {
    messageHandlers: {
      velmora: {
        postMessage(message) {
          posted.push(JSON.parse(JSON.stringify(message)));
          handlers[message?.type]?.(message);
        },
      },
    },
  };
})();
