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

test('a download that waits or is paused shows what happens and neither rate nor time left', () => {
  const cases = [
    [{ phase: 'paused' }, '已暂停 · 42%', false, true],
    [{ phase: 'paused', reason: 'Failed to connect to 127.0.0.1 port 47443 after 0 ms: Couldn\'t connect to server' },
      '下载中断：无法连接到服务器（Couldn\'t connect to server）', false, true],
    [{ phase: 'paused', reason: '  ' }, '已暂停 · 42%', false, true],
    [{ phase: 'waitingForNetwork' }, '等待网络连接，恢复后自动继续 · 42%', true, false],
    [{ phase: 'retrying', reason: 'Connection timed out after 30000 milliseconds', retryInSeconds: 8 }, '连接超时，8 秒后重试 · 42%', true, false],
    [{ phase: 'retrying' }, '无法连接到服务器，正在重试 · 42%', true, false],
    [{ phase: 'meteredNetwork' }, '当前为计量网络，暂不下载 · 42%', true, false],
    [{ phase: 'paused', total: 0 }, '已暂停', false, true],
  ];
  for (const [event, text, active, paused] of cases) {
    const tracker = new DownloadTracker('a');
    tracker.apply(progress(40e6, 100e6), 0);
    tracker.apply(progress(42e6, 100e6), 1000);
    tracker.apply({ ...progress(42e6, event.total ?? 100e6), ...event }, 1500);
    assert.deepEqual([tracker.describe(1500), tracker.active, tracker.paused, tracker.rate(1500)], [text, active, paused, null],
      JSON.stringify(event));
  }
});

test('a retry counts down, and a resumed download measures its rate afresh', () => {
  const tracker = new DownloadTracker('a');
  tracker.apply({ ...progress(1e6, 4e6, 'retrying'), reason: 'Connection reset by peer', retryInSeconds: 4 }, 10000);
  assert.equal(tracker.describe(12500), '连接意外中断，2 秒后重试 · 25%');
  assert.equal(tracker.describe(20000), '连接意外中断，1 秒后重试 · 25%');
  tracker.apply(progress(0, 0, 'authorizing'), 29000);   // carried on: the authorisation reports no bytes
  tracker.apply(progress(2e6, 4e6), 30000);
  assert.equal(tracker.describe(30000), '正在下载 50%');
  tracker.apply(progress(3e6, 4e6), 31000);
  assert.equal(tracker.describe(31000), '正在下载 75% · 976.6 KB/s · 剩余约 1 秒');
});

test('a stalled transfer drops its rate and time left after a few seconds', () => {
  const tracker = new DownloadTracker('a');
  for (const at of [0, 1000, 2000]) tracker.apply(progress(at * 1000, 100e6), at);
  assert.equal(tracker.describe(2500), '正在下载 2% · 976.6 KB/s · 剩余约 1 分 38 秒');
  assert.equal(tracker.describe(5500), '正在下载 2%');
});
