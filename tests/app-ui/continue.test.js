import test from 'node:test';
import assert from 'node:assert/strict';
import { continueWatching } from '../../app-ui/js/continue-watching.js';
import { LocalProgress } from '../../app-ui/js/progress.js';
import { MemoryStorage } from './memory-storage.js';

const about = (id, assetId = `asset-${id}`) => ({ id, assetId, title: `课时 ${id}`, courseTitle: '函数', chapterTitle: '第一章' });

function saved(records) {
  const storage = new MemoryStorage();
  const progress = new LocalProgress(storage, 'acct');
  for (const [id, position, duration, at, lesson = about(id)] of records) progress.save(String(id), position, duration, at, lesson);
  new LocalProgress(storage, 'other').save('99', 30, 60, 9e9, about(99));   // another account's lesson
  storage.setItem('velmora.progress.acct.old', JSON.stringify({ position: 30, duration: 60, updatedAt: 9e9 })); // no lesson named
  return progress.entries();
}

test('unfinished lessons come newest first, at most six; finished and barely started ones stay out', () => {
  const entries = saved([
    [1, 20, 60, 1000], [2, 58, 60, 7000], [3, 3, 60, 8000], [4, 30, 0, 5000],
    [5, 10, 60, 2000], [6, 10, 60, 3000], [7, 10, 60, 4000], [8, 10, 60, 6000], [9, 10, 60, 500],
  ]);
  const rows = continueWatching(entries, new Map(), () => false);
  assert.deepEqual(rows.map((r) => r.key), ['8', '4', '7', '6', '5', '1']);
  assert.deepEqual([rows[5].percent, rows[5].remaining, rows[1].percent], [33, 40, null]);
});

test('the newer of the local and the service record decides', () => {
  const entries = saved([[1, 20, 60, 1000], [2, 20, 60, 5000], [3, 20, 60, 3000]]);
  const remote = new Map([
    ['1', { position: 59, duration: 60, updatedAt: 2000 }],   // finished on another device
    ['2', { position: 40, duration: 60, updatedAt: 4000 }],   // older than what this machine saw
    ['3', { position: 45, duration: 60, updatedAt: 6000 }],
  ]);
  assert.deepEqual(continueWatching(entries, remote, () => false).map((r) => [r.key, r.position]), [['3', 45], ['2', 20]]);
});

test('a lesson opens its offline copy when stored, else the online stream', () => {
  const entries = saved([[1, 20, 60, 3000], [2, 20, 60, 2000], [null, 20, 60, 1000, about(null, 'only-offline')]]);
  const rows = continueWatching(entries, new Map(), (assetId) => assetId === 'asset-1');
  assert.deepEqual(rows.map((r) => [r.href, r.offline]), [['#/offline/asset-1', true], ['#/lesson/2', false]]);
});
