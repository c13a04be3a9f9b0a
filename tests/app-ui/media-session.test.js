import test from 'node:test';
import assert from 'node:assert/strict';
import { chapterNeighbours, connectMediaSession } from '../../app-ui/js/media-session.js';

function stage() {
  const session = { handlers: new Map(), setActionHandler(action, handler) { this.handlers.set(action, handler); } };
  const video = Object.assign(new EventTarget(), {
    paused: true, ended: false, currentTime: 100, duration: 600,
    play() { this.paused = false; this.dispatchEvent(new Event('play')); return Promise.resolve(); },
    pause() { this.paused = true; this.dispatchEvent(new Event('pause')); },
  });
  const about = { title: '1.2 函数的表示法', courseTitle: '函数与导数', chapterTitle: '第一章', artwork: [{ src: 'logo.svg' }] };
  const controls = connectMediaSession(session, video, about, (init) => ({ ...init }));
  return { session, video, controls };
}

test('the desktop controls show the lesson and act on the video', () => {
  const { session, video } = stage();
  assert.deepEqual(session.metadata,
    { title: '1.2 函数的表示法', artist: '函数与导数 · 第一章', album: '函数与导数 · 第一章', artwork: [{ src: 'logo.svg' }] });
  for (const [action, details, start, expected] of [
    ['seekbackward', {}, 100, 85],
    ['seekforward', {}, 100, 115],
    ['seekforward', { seekOffset: 30 }, 100, 130],
    ['seekbackward', {}, 10, 0],
    ['seekforward', {}, 590, 600],
    ['seekto', { seekTime: 42 }, 100, 42],
    ['seekto', {}, 100, 100],
  ]) {
    video.currentTime = start;
    session.handlers.get(action)(details);
    assert.equal(video.currentTime, expected, `${action} ${JSON.stringify(details)} from ${start}`);
  }
  session.handlers.get('play')();
  assert.deepEqual([video.paused, session.playbackState], [false, 'playing']);
  session.handlers.get('pause')();
  assert.deepEqual([video.paused, session.playbackState], [true, 'paused']);
});

test('previous and next lesson open the chapter\'s neighbours; leaving clears everything', () => {
  const { session, controls } = stage();
  const opened = [];
  controls.setNeighbours({ previous: null, next: () => opened.push('next') });
  assert.equal(session.handlers.get('previoustrack'), null);
  session.handlers.get('nexttrack')();
  assert.deepEqual(opened, ['next']);
  controls.stop();
  assert.deepEqual([...session.handlers.values()].filter(Boolean), []);
  assert.deepEqual([session.metadata, session.playbackState], [null, 'none']);

  const chapter = [{ key: 'c', index: 3 }, { key: 'a', index: 1 }, { key: 'b', index: 2 }];
  for (const [current, expected] of [['a', [null, 'b']], ['b', ['a', 'c']], ['c', ['b', null]], ['x', [null, null]]]) {
    const { previous, next } = chapterNeighbours(chapter, current);
    assert.deepEqual([previous, next], expected, current);
  }
});
