// A stand-in for the desktop shell's native side, loaded before the page by the walk's server. API
// calls go to the real demo service (through that server), the session survives reloads
// (sessionStorage), and downloads and the offline library are simulated. Page errors are recorded.
(() => {
  const errors = [];
  const posted = [];
  window.__pageErrors = errors;
  window.__posted = posted;
  window.addEventListener('error', (e) => errors.push(`error: ${e.message}`));
  window.addEventListener('unhandledrejection', (e) => errors.push(`unhandled: ${e.reason?.message ?? e.reason}`));
  document.addEventListener('securitypolicyviolation', (e) => errors.push(`csp: ${e.violatedDirective} ${e.blockedURI}`));
  document.addEventListener('DOMContentLoaded', () => document.body.classList.add('mac-native'));

  const post = (data) => setTimeout(() => window.dispatchEvent(new MessageEvent('message', { data })), 0);
  const load = (key, fallback) => JSON.parse(sessionStorage.getItem(key) ?? 'null') ?? fallback;
  const keep = (key, value) => sessionStorage.setItem(key, JSON.stringify(value));
  let held = load('fake.session', null);
  let library = load('fake.library', []);
  const text = (v) => (typeof v === 'string' ? v : '');
  const int = (v) => (typeof v === 'number' ? Math.trunc(v) : /^[+-]?\d+$/.test(text(v)) ? Number(v) : 0);

  function simulateDownload(m) {
    const { assetId } = m;
    const total = 4 * 1048576;
    let downloaded = 0;
    post({ type: 'downloadProgress', assetId, downloaded: 0, total: 0, phase: 'authorizing' });
    const step = () => {
      downloaded += 1048576;
      post({ type: 'downloadProgress', assetId, downloaded, total, phase: 'downloading' });
      if (downloaded < total) return setTimeout(step, 400);
      library = library.filter((item) => item.assetId !== assetId).concat({
        assetId, ownerHash: 'fake', classTitle: text(m.classTitle), courseTitle: text(m.courseTitle),
        chapterTitle: text(m.chapterTitle), lessonTitle: text(m.lessonTitle), coverUrl: text(m.coverUrl),
        classId: int(m.classId), courseIndex: int(m.courseIndex), chapterIndex: int(m.chapterIndex),
        lessonIndex: int(m.lessonIndex), lessonId: int(m.lessonId), size: total, state: 'completed',
      });
      keep('fake.library', library);
      post({ type: 'downloadProgress', assetId, downloaded, total, phase: 'completed' });
      post({ type: 'downloadCompleted', assetId });
    };
    setTimeout(step, 600);
  }

  const handlers = {
    restoreSession: () => post(held ? { type: 'session', ...held } : { type: 'noSession' }),
    saveSession(m) {
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
    listDownloads: (m) => post({ type: 'downloads', items: held && m.ownerKey === held.ownerKey ? library : [] }),
    download(m) {
      // Like the shell, a download for another account than the stored session's is refused.
      if (!held || m.ownerKey !== held.ownerKey) {
        return post({ type: 'downloadFailed', assetId: text(m.assetId), message: '离线下载参数不完整，请重新登录后再试' });
      }
      simulateDownload(m);
    },
    deleteDownload(m) {
      library = library.filter((item) => item.assetId !== m.assetId);
      keep('fake.library', library);
      post({ type: 'deleteCompleted', assetId: m.assetId });
    },
    updateDownloadMetadata(m) {
      Object.assign(library.find((item) => item.assetId === m.assetId), {
        courseTitle: text(m.courseTitle), chapterTitle: text(m.chapterTitle), courseIndex: int(m.courseIndex),
        chapterIndex: int(m.chapterIndex), lessonIndex: int(m.lessonIndex),
      });
      keep('fake.library', library);
    },
    downloadResource: (m) => post({ type: 'resourceDownloadCompleted', path: `/home/learner/${text(m.suggestedName)}` }),
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
