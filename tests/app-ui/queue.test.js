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
  const downloads = () => sent.filter((c) => c.type === 'download').map((c) => c.assetId);
  const inFlight = () => [...app.trackers.values()].filter((t) => t.active).length;
  const end = (assetId, type, message = '网络中断') => {
    app.onDownloadEvent({ type, assetId, message });
    assert.ok(inFlight() <= 2, `${inFlight()} downloads in flight`);
  };
  return { app, downloads, end };
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
