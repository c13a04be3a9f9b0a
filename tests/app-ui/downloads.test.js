import test from 'node:test';
import assert from 'node:assert/strict';
import { DownloadTracker } from '../../app-ui/js/download-tracker.js';

const progress = (downloaded, total, phase = 'downloading') =>
  ({ type: 'downloadProgress', assetId: 'a', downloaded, total, phase });

test('a download goes from authorising through progress to completed', () => {
  const tracker = new DownloadTracker('a');
  tracker.apply(progress(0, 0, 'authorizing'), 0);
  assert.equal(tracker.describe(0), '正在获取授权');
  assert.equal(tracker.percent, null);
  tracker.apply(progress(1048576, 4194304), 1000);
  tracker.apply(progress(2097152, 4194304), 2000);
  assert.equal(tracker.percent, 50);
  assert.equal(tracker.rate(2000), 1048576);
  assert.equal(tracker.remaining(2000), 2);
  assert.equal(tracker.describe(2000), '正在下载 50% · 1.0 MB/s · 剩余约 2 秒');
  tracker.apply(progress(4194304, 4194304, 'completed'), 3000);
  tracker.apply({ type: 'downloadCompleted', assetId: 'a' }, 3000);
  assert.equal(tracker.phase, 'completed');
  assert.equal(tracker.percent, 100);
  assert.equal(tracker.active, false);
});

test('without an announced total the bar shows the rate but no percent or time left', () => {
  const tracker = new DownloadTracker('a');
  tracker.apply(progress(1048576, 0), 0);
  tracker.apply(progress(3145728, 0), 1000);
  assert.equal(tracker.describe(1000), '正在下载 · 2.0 MB/s');
});

test('the rate only looks at the last few seconds', () => {
  const tracker = new DownloadTracker('a');
  tracker.apply(progress(0, 100e6), 0);
  tracker.apply(progress(50e6, 100e6), 1000);   // a burst long ago
  tracker.apply(progress(51e6, 100e6), 10000);
  tracker.apply(progress(52e6, 100e6), 11000);
  assert.equal(tracker.rate(11000), 1e6);
  assert.equal(tracker.rate(30000), null);
});

test('a failure keeps the native message, and a retry starts clean', () => {
  const tracker = new DownloadTracker('a');
  tracker.apply(progress(1048576, 4194304), 0);
  tracker.apply({ type: 'downloadFailed', assetId: 'a', message: '该小节已在下载队列中' }, 10);
  assert.equal(tracker.describe(10), '下载失败：该小节已在下载队列中');
  assert.equal(tracker.active, false);
  tracker.apply({ type: 'downloadFailed', assetId: 'a', message: '' }, 20);
  assert.equal(tracker.message, '离线下载失败');
  tracker.apply(progress(0, 0, 'authorizing'), 30);
  assert.equal(tracker.active, true);
  assert.equal(tracker.message, '');
  assert.equal(tracker.rate(30), null);
});

test('malformed numbers in events count as zero', () => {
  const tracker = new DownloadTracker('a');
  tracker.apply(progress('lots', -5), 0);
  assert.equal(tracker.downloaded, 0);
  assert.equal(tracker.total, 0);
  assert.equal(tracker.percent, null);
});
