import test from 'node:test';
import assert from 'node:assert/strict';
import { App } from '../../app-ui/js/app.js';
import { busyCount, downloadRows, passedMilestone } from '../../app-ui/js/download-list.js';
import { DownloadTracker } from '../../app-ui/js/download-tracker.js';

const lesson = (n, offline = true) => ({ id: n, title: `第 ${n} 课`, asset_id: `a${n}`, class_id: 1, offline });

/** An App over a bridge that records what the page sends; the test plays the native side. */
function pageWithBridge() {
  const sent = [];
  const app = new App({ send: (command) => sent.push(command), on() {} }, {});
  app.session = { token: 't', ownerKey: 'k', userName: 'u' };
  app.toast = () => {};
  app.watchRunning = () => {};  // no redraw timer: the tests call redrawChanged with their own clock
  const downloads = () => sent.filter((c) => c.type === 'download').map((c) => c.assetId);
  const inFlight = () => [...app.trackers.values()].filter((t) => t.active).length;
  const end = (assetId, type, message = '网络中断') => {
    app.onDownloadEvent({ type, assetId, message });
    assert.ok(inFlight() <= 2, `${inFlight()} downloads in flight`);
  };
  return { app, downloads, end, sent };
}

test('a whole course downloads two at a time and a failure does not stop the rest', () => {
  const { app, downloads, end } = pageWithBridge();
  app.library = [{ assetId: 'a2' }];
  assert.equal(app.startDownloads([1, 2, 3, 4, 5].map((n) => lesson(n, n !== 4))), 3);  // a2 stored, a4 online only
  assert.deepEqual(downloads(), ['a1', 'a3']);
  assert.equal(app.isQueued('a5'), true);
  assert.equal(app.startDownloads([lesson(1), lesson(5)]), 0);  // running or queued already
  end('a3', 'downloadFailed');
  assert.deepEqual(downloads(), ['a1', 'a3', 'a5']);
  end('a1', 'downloadCompleted');
  end('a5', 'downloadCompleted');
  assert.equal(busyCount(app.trackers.values(), app.queue.waiting), 0);
});

test('cancelling takes waiting lessons out without touching running ones', () => {
  const { app, downloads, end } = pageWithBridge();
  app.startDownloads([1, 2, 3, 4].map((n) => lesson(n)));
  app.cancelQueued('a3');
  app.cancelQueued('a1');
  end('a1', 'downloadCompleted');
  end('a2', 'downloadCompleted');
  assert.deepEqual(downloads(), ['a1', 'a2', 'a4']);
});

test('the download list shows running, then queued, then failed downloads', () => {
  const tracker = (assetId, event) => new DownloadTracker(assetId).apply({ assetId, ...event }, 0);
  const trackers = [
    tracker('failed', { type: 'downloadFailed', message: '授权失败' }),
    tracker('running', { type: 'downloadProgress', phase: 'downloading', downloaded: 1, total: 4 }),
    tracker('retried', { type: 'downloadFailed', message: 'x' }),      // queued again: listed once
    tracker('stored', { type: 'downloadFailed', message: 'x' }),       // in the library meanwhile
    tracker('done', { type: 'downloadCompleted' }),
  ];
  const rows = downloadRows(trackers, [{ asset_id: 'retried' }], (id) => id, (id) => id === 'stored', 0);
  assert.deepEqual(rows.map((r) => [r.assetId, r.state, r.text]), [
    ['running', 'running', '正在下载 25%'], ['retried', 'queued', '排队中'], ['failed', 'failed', '下载失败：授权失败']]);
  assert.equal(busyCount(trackers, [{ asset_id: 'retried' }]), 2);
});

test('progress is announced at each quarter, once', () => {
  for (const [before, after, mark] of [[null, 10, null], [20, 26, 25], [26, 40, null], [45, 80, 75], [90, 100, null], [30, null, null]]) {
    assert.equal(passedMilestone(before, after), mark, `${before} → ${after}`);
  }
});

test('a paused download frees its slot, and carrying it on takes one or waits for one', () => {
  const { app, sent } = pageWithBridge();
  const say = (phase, assetId) => app.onDownloadEvent({ type: 'downloadProgress', assetId, phase, downloaded: 1, total: 4 });
  const log = () => sent.filter((c) => c.type !== 'listDownloads').map((c) => `${c.type} ${c.assetId}${c.allowMetered ? ' metered' : ''}`);
  const steps = [
    [() => app.startDownloads([1, 2, 3].map((n) => lesson(n))), ['download a1', 'download a2']],
    [() => app.pauseDownload('a1'), ['pauseDownload a1']],
    [() => say('paused', 'a1'), ['download a3']],                       // a1 holds no slot any more
    [() => app.resumeDownload('a1'), []],                              // a2 and a3 run: a1 waits
    [() => assert.equal(app.isQueued('a1'), true), []],
    [() => app.onDownloadEvent({ type: 'downloadCompleted', assetId: 'a2' }), ['resumeDownload a1']],
    [() => say('authorizing', 'a1'), []],
    [() => say('meteredNetwork', 'a3'), []],                            // waiting on the network keeps its slot
    [() => app.downloadAnyway('a3'), ['resumeDownload a3 metered']],
    [() => app.resumeDownload('a1'), []],                              // running already
  ];
  for (const [act, expected] of steps) {
    const before = log().length;
    act();
    assert.deepEqual(log().slice(before), expected, act.toString());
  }
  assert.deepEqual([...app.queue.running].sort(), ['a1', 'a3']);
});

test('cancel goes to the native side for a held download and stays local for a queued one', () => {
  const { app, sent } = pageWithBridge();
  const toasts = [];
  app.toast = (message, kind) => toasts.push(kind);
  app.startDownloads([1, 2, 3, 4].map((n) => lesson(n)));
  app.onDownloadEvent({ type: 'downloadProgress', assetId: 'a2', phase: 'paused', downloaded: 1, total: 4 });
  for (const assetId of ['a1', 'a2', 'a4']) app.cancelDownload(assetId);
  assert.deepEqual(sent.filter((c) => c.type !== 'download').map((c) => `${c.type} ${c.assetId}`),
    ['cancelDownload a1', 'cancelDownload a2']);
  assert.equal(app.isQueued('a4'), false);
  app.onDownloadEvent({ type: 'downloadFailed', assetId: 'a1', message: '下载已取消' });
  app.onDownloadEvent({ type: 'downloadFailed', assetId: 'a2', message: '下载已取消' });
  assert.equal(app.tracker('a1'), null);
  assert.equal(app.tracker('a2'), null);
  assert.deepEqual(toasts, []);   // a cancel is no failure to report
  assert.deepEqual(sent.filter((c) => c.type === 'download').map((c) => c.assetId), ['a1', 'a2', 'a3']);
});

test('interrupted downloads of the account are listed paused, and running ones hold their slot', () => {
  const { app, downloads, sent } = pageWithBridge();
  const item = (assetId, phase, extra = {}) => ({ assetId, classId: 1, lessonId: 7, lessonTitle: `课 ${assetId}`, downloaded: 42, total: 100, phase, ...extra });
  app.seedInterrupted([item('k1', 'paused'), item('k2', 'downloading'), item('k3', 'paused', { reason: 'No space left on device' }),
    item('k4', 'kept'), { assetId: 5 }, null], 0);
  const rows = downloadRows(app.trackers.values(), app.queue.waiting, (id) => app.titles.get(id), () => false, 0);
  assert.deepEqual(rows.map((r) => [r.title, r.state, r.text]), [
    ['课 k2', 'running', '正在下载 42%'], ['课 k1', 'paused', '已暂停 · 42%'],
    ['课 k3', 'paused', '下载中断：磁盘空间不足（No space left on device）'], ['课 k4', 'paused', '已暂停 · 42%']]);
  assert.equal(app.startDownloads([lesson(1), lesson(2), { ...lesson(9), asset_id: 'k1' }]), 2);
  assert.deepEqual(downloads(), ['a1']);   // k2 holds the other slot
  app.resumeDownload('k1');
  app.onDownloadEvent({ type: 'downloadCompleted', assetId: 'k2' });
  app.onDownloadEvent({ type: 'downloadCompleted', assetId: 'a1' });
  assert.deepEqual(sent.filter((c) => c.type !== 'listDownloads').slice(-2).map((c) => [c.type, c.assetId]),
    [['download', 'a2'], ['resumeDownload', 'k1']]);
});

test('a stall redraws the row without its stale time left; signing out forgets the account\'s downloads', () => {
  const { app } = pageWithBridge();
  const redrawn = [];
  app.subscribe('download', (assetId) => redrawn.push(assetId));
  const realNow = Date.now;
  try {
    Date.now = () => 0;
    app.onDownloadEvent({ type: 'downloadProgress', assetId: 'a', phase: 'downloading', downloaded: 0, total: 100e6 });
    Date.now = () => 1000;
    app.onDownloadEvent({ type: 'downloadProgress', assetId: 'a', phase: 'downloading', downloaded: 1e6, total: 100e6 });
  } finally {
    Date.now = realNow;
  }
  redrawn.length = 0;
  app.redrawChanged(2000);
  assert.deepEqual(redrawn, []);
  app.redrawChanged(9000);
  assert.deepEqual(redrawn, ['a']);
  assert.equal(app.tracker('a').describe(9000), '正在下载 1%');
  app.signOut();
  app.onDownloadEvent({ type: 'downloadProgress', assetId: 'a', phase: 'paused', downloaded: 1e6, total: 100e6 });
  assert.equal(app.trackers.size, 0);
});

test('the redraw timer runs only while a download runs', () => {
  const { app } = pageWithBridge();
  delete app.watchRunning;  // the real timer
  app.onDownloadEvent({ type: 'downloadProgress', assetId: 'a1', phase: 'downloading', downloaded: 1, total: 9 });
  assert.notEqual(app.redrawTimer, null);
  app.onDownloadEvent({ type: 'downloadProgress', assetId: 'a1', phase: 'paused', downloaded: 1, total: 9 });
  assert.equal(app.redrawTimer, null);
});
