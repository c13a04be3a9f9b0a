import test from 'node:test';
import assert from 'node:assert/strict';
import { formatBytes, formatClock, formatRemaining, percentOf } from '../../app-ui/js/format.js';
import { offlineMediaAddress, downloadCommand } from '../../app-ui/js/media.js';
import { parseRoute, routeHash } from '../../app-ui/js/router.js';

test('sizes, clocks and remaining times read naturally', () => {
  const cases = [
    [formatBytes(0), '0 B'], [formatBytes(1023), '1023 B'], [formatBytes(1536), '1.5 KB'],
    [formatBytes(6064438), '5.8 MB'], [formatBytes(-1), '—'], [formatBytes('abc'), '—'],
    [formatClock(75), '01:15'], [formatClock(3725), '1:02:05'], [formatClock(NaN), '00:00'],
    [formatRemaining(7.2), '约 8 秒'], [formatRemaining(185), '约 3 分 05 秒'],
    [formatRemaining(3720), '约 1 小时 02 分'], [formatRemaining(Infinity), ''],
  ];
  for (const [actual, expected] of cases) assert.equal(actual, expected);
});

test('percent is clamped and unknown without a total', () => {
  assert.equal(percentOf(50, 200), 25);
  assert.equal(percentOf(199, 200), 99);
  assert.equal(percentOf(300, 200), 100);
  assert.equal(percentOf(10, 0), null);
  assert.equal(percentOf('x', 100), null);
});

test('offline media address names the asset and the owner, escaped', () => {
  assert.equal(offlineMediaAddress('math-1001-01', 'acct-1'), 'velmora-media://local/v1/math-1001-01?owner=acct-1');
  const address = new URL(offlineMediaAddress('课程-7', 'k=1&owner=x y'));
  assert.equal(address.protocol, 'velmora-media:');
  assert.equal(address.host, 'local');
  assert.equal(decodeURIComponent(address.pathname.slice(4)), '课程-7');
  assert.deepEqual(address.searchParams.getAll('owner'), ['k=1&owner=x y']);
});

test('download command carries the lesson keys with whole numbers', () => {
  const lesson = {
    id: '10002', title: '1.2 函数的表示法', asset_id: 'math-1001-02', class_id: 101, class_title: '数学',
    course_title: '函数与导数', course_index: 1, chapter_title: '第一章', chapter_index: 2.7, index: 2,
  };
  const command = downloadCommand(lesson, { token: 't', ownerKey: 'k' });
  assert.deepEqual(command, {
    type: 'download', ownerKey: 'k', token: 't', classTitle: '数学', courseTitle: '函数与导数',
    chapterTitle: '第一章', lessonTitle: '1.2 函数的表示法', coverUrl: '', assetId: 'math-1001-02',
    classId: 101, courseIndex: 1, chapterIndex: 2, lessonIndex: 2, lessonId: 10002,
  });
  assert.equal(downloadCommand({}, { token: '', ownerKey: '' }).classId, 0);
});

test('routes round-trip and unknown hashes fall back to the class list', () => {
  assert.deepEqual(parseRoute('#/lesson/10001'), { view: 'lesson', param: '10001' });
  assert.deepEqual(parseRoute(routeHash('offline', '课程-7')), { view: 'offline', param: '课程-7' });
  assert.deepEqual(parseRoute('#/settings'), { view: 'settings', param: null });
  for (const hash of ['', '#', '#/lesson/abc', '#/offline/%E0%A4%A', '#/nowhere']) {
    assert.deepEqual(parseRoute(hash), { view: 'classes', param: null }, hash);
  }
});
