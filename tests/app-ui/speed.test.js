import test from 'node:test';
import assert from 'node:assert/strict';
import { SpeedMemory, stepSpeed } from '../../app-ui/js/playback-speed.js';
import { playerAction } from '../../app-ui/js/player-keys.js';
import { MemoryStorage } from './memory-storage.js';

test('each account keeps its own speed; anything not offered reads as 1×', () => {
  const storage = new MemoryStorage();
  new SpeedMemory(storage, 'acct-a').save(1.75);
  new SpeedMemory(storage, 'acct-b').save(3);
  assert.equal(new SpeedMemory(storage, 'acct-a').load(), 1.75);
  assert.equal(new SpeedMemory(storage, 'acct-b').load(), 1);
  storage.setItem('velmora.speed.acct-c', 'fast');
  assert.equal(new SpeedMemory(storage, 'acct-c').load(), 1);
  const broken = { getItem() { throw new Error('denied'); }, setItem() { throw new Error('full'); } };
  assert.equal(new SpeedMemory(broken, 'x').load(), 1);
  assert.doesNotThrow(() => new SpeedMemory(broken, 'x').save(2));
});

test('< and > step through the speeds and stop at both ends', () => {
  for (const [from, direction, to] of [[1, +1, 1.25], [1.75, +1, 2], [2, +1, 2], [0.75, -1, 0.75], [1.3, -1, 0.75]]) {
    assert.equal(stepSpeed(from, direction), to, `${from} ${direction}`);
  }
  assert.deepEqual([playerAction('>'), playerAction('<')].map((a) => a.direction), [1, -1]);
  assert.equal(playerAction('F').action, 'fullscreen');
  assert.equal(playerAction('x'), null);
  assert.equal(playerAction('constructor'), null);
});
