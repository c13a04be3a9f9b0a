import test from 'node:test';
import assert from 'node:assert/strict';
import { performPlayerAction, playerAction } from '../../app-ui/js/player-keys.js';

// A media element stand-in 40 s long, paused at 20 s, half volume.
function media(overrides = {}) {
  return {
    paused: true, currentTime: 20, duration: 40, volume: 0.5, muted: false,
    play() { this.paused = false; return Promise.resolve(); },
    pause() { this.paused = true; },
    ...overrides,
  };
}

test('each player key acts on the video as common web players do', () => {
  const rows = [
    // key, starting state, what changes
    [' ', {}, { paused: false }],
    ['k', { paused: false }, { paused: true }],
    ['K', {}, { paused: false }],
    ['j', {}, { currentTime: 10 }],
    ['L', {}, { currentTime: 30 }],
    ['ArrowLeft', {}, { currentTime: 15 }],
    ['ArrowRight', {}, { currentTime: 25 }],
    ['ArrowLeft', { currentTime: 3 }, { currentTime: 0 }],
    ['l', { currentTime: 38 }, { currentTime: 40 }],
    ['l', { duration: NaN }, { currentTime: 30 }],
    ['ArrowUp', {}, { volume: 0.55 }],
    ['ArrowDown', {}, { volume: 0.45 }],
    ['ArrowUp', { volume: 0.98 }, { volume: 1 }],
    ['ArrowDown', { volume: 0.02 }, { volume: 0 }],
    ['ArrowUp', { muted: true }, { muted: false, volume: 0.55 }],
    ['ArrowDown', { muted: true }, { muted: true, volume: 0.45 }],
    ['m', {}, { muted: true }],
    ['M', { muted: true }, { muted: false }],
  ];
  for (const [key, start, expected] of rows) {
    const video = media(start);
    performPlayerAction(playerAction(key), video, {});
    const seen = Object.fromEntries(Object.keys(expected).map((name) => [name, video[name]]));
    assert.deepEqual(seen, expected, `${key} from ${JSON.stringify(start)}`);
  }
});

test('fullscreen and speed keys reach the player; other keys are not the player\'s', () => {
  const calls = [];
  const controls = { fullscreen: () => calls.push('fullscreen'), speed: (d) => calls.push(`speed ${d}`) };
  for (const key of ['f', 'F', '<', '>']) performPlayerAction(playerAction(key), media(), controls);
  assert.deepEqual(calls, ['fullscreen', 'fullscreen', 'speed -1', 'speed 1']);
  for (const key of ['x', 'Enter', 'constructor', 'ArrowUpX']) assert.equal(playerAction(key), null, key);
});
