// A stand-in for the desktop shell's native side, loaded before the page by the walk's server. API
// calls go to the real demo service (through that server), the session survives reloads
// (sessionStorage), and downloads and the offline library are simulated: downloads can be paused,
// resumed and cancelled, wait on a metered network, and are kept (paused) across a reload.
// window.__fakeNative lets the walk change the network and interrupt a download. Page errors are
// recorded.
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
  // The lesson a download command names, as the library and the interrupted list describe it.
  const lessonOf = (m) => ({
    assetId: m.assetId, classTitle: text(m.classTitle), courseTitle: text(m.courseTitle), chapterTitle: text(m.chapterTitle),
    lessonTitle: text(m.lessonTitle), coverUrl: text(m.coverUrl), classId: int(m.classId), courseIndex: int(m.courseIndex),
    chapterIndex: int(m.chapterIndex), lessonIndex: int(m.lessonIndex), lessonId: int(m.lessonId),
  });

  // Downloads that have not ended, by asset id: {m, downloaded, total, phase, reason, allowMetered, timer}.
  // A reload ends the page's timers, so every kept one comes back paused.
  const runs = new Map(load('fake.runs', []).map((run) => [run.m.assetId, { ...run, phase: 'paused', timer: null }]));
  const network = load('fake.network', { available: true, metered: false });
  let meteredAllowed = false;
  const keepRuns = () => keep('fake.runs', [...runs.values()].map(({ timer, ...run }) => run));
  const report = (run, extra = {}) => post({
    type: 'downloadProgress', assetId: run.m.assetId, downloaded: run.downloaded, total: run.total, phase: run.phase, ...extra,
  });
  const stop = (run) => {
    clearTimeout(run.timer);
    run.timer = null;
  };

  function commit({ m, total }) {
    const { assetId } = m;
    runs.delete(assetId);
    keepRuns();
    library = library.filter((item) => item.assetId !== assetId).concat({
      ...lessonOf(m), ownerHash: 'fake', size: total, state: 'completed',
    });
    keep('fake.library', library);
    post({ type: 'downloadProgress', assetId, downloaded: total, total, phase: 'completed' });
    post({ type: 'downloadCompleted', assetId });
  }

  /** One chunk, or the wait the network asks for. */
  function step(run) {
    run.timer = null;
    const blocked = !network.available ? 'waitingForNetwork' : network.metered && !meteredAllowed && !run.allowMetered ? 'meteredNetwork' : '';
    if (blocked) {
      run.phase = blocked;
      return report(run);
    }
    run.phase = 'downloading';
    run.total = 4 * 1048576;
    run.downloaded += 1048576;
    keepRuns();
    report(run);
    if (run.downloaded < run.total) run.timer = setTimeout(() => step(run), 400);
    else commit(run);
  }

  function begin(run) {
    run.phase = 'authorizing';
    report(run, { downloaded: 0, total: 0 });
    run.timer = setTimeout(() => step(run), 600);
  }

  function pause(run, reason) {
    stop(run);
    run.phase = 'paused';
    run.reason = reason;
    keepRuns();
    report(run, reason ? { reason } : {});
  }

  const owned = (m) => held && m.ownerKey === held.ownerKey;
  window.__fakeNative = {
    setNetwork(available, metered) {
      Object.assign(network, { available, metered });
      keep('fake.network', network);
      post({ type: 'networkChanged', available, metered });
      for (const run of runs.values()) if (['waitingForNetwork', 'meteredNetwork'].includes(run.phase)) step(run);
    },
    interrupt: (assetId, reason) => pause(runs.get(assetId), reason),
  };

  const handlers = {
    restoreSession() {
      post(held ? { type: 'session', ...held } : { type: 'noSession' });
      post({ type: 'networkChanged', ...network });
    },
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
      if (!owned(m)) return post({ type: 'downloadFailed', assetId: text(m.assetId), message: '离线下载参数不完整，请重新登录后再试' });
      if (runs.has(m.assetId)) return post({ type: 'downloadFailed', assetId: m.assetId, message: '该小节已在下载队列中' });
      const run = { m, downloaded: 0, total: 0, phase: 'authorizing', reason: '', allowMetered: false, timer: null };
      runs.set(m.assetId, run);
      begin(run);
    },
    pauseDownload(m) {
      const run = runs.get(m.assetId);
      if (run && run.phase !== 'paused') pause(run, '');
    },
    resumeDownload(m) {
      const run = runs.get(m.assetId);
      if (!run) return post({ type: 'downloadFailed', assetId: text(m.assetId), message: '离线下载失败' });
      stop(run);
      run.allowMetered = m.allowMetered === true;
      run.reason = '';
      begin(run);
    },
    cancelDownload(m) {
      const run = runs.get(m.assetId);
      if (run) stop(run);
      runs.delete(m.assetId);
      keepRuns();
      post({ type: 'downloadFailed', assetId: text(m.assetId), message: '下载已取消' });
    },
    listInterruptedDownloads(m) {
      const items = owned(m) ? [...runs.values()].map((run) => ({
        ...lessonOf(run.m), downloaded: run.downloaded, total: run.total, phase: run.phase, ...(run.reason ? { reason: run.reason } : {}),
      })) : [];
      post({ type: 'interruptedDownloads', items });
    },
    setMeteredDownloadsAllowed(m) {
      meteredAllowed = m.allowed === true;
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
