import test from 'node:test';
import assert from 'node:assert/strict';
import { reportPlayback } from '../../app-ui/js/playback-report.js';

// A video and a document that dispatch events; `act` changes their state first, as the real ones do.
function stage() {
  const video = Object.assign(new EventTarget(), { paused: true, ended: false });
  const doc = Object.assign(new EventTarget(), { visibilityState: 'visible' });
  const sent = [];
  const stop = reportPlayback(video, doc, (command) => sent.push(command.type));
  const steps = {
    play: () => { video.paused = false; video.dispatchEvent(new Event('play')); video.dispatchEvent(new Event('playing')); },
    pause: () => { video.paused = true; video.dispatchEvent(new Event('pause')); },
    end: () => { video.paused = true; video.ended = true; video.dispatchEvent(new Event('pause')); video.dispatchEvent(new Event('ended')); },
    hide: () => { doc.visibilityState = 'hidden'; doc.dispatchEvent(new Event('visibilitychange')); },
    show: () => { doc.visibilityState = 'visible'; doc.dispatchEvent(new Event('visibilitychange')); },
    fail: () => { video.dispatchEvent(new Event('error')); video.paused = true; video.dispatchEvent(new Event('pause')); },
    leave: () => stop(),
  };
  return { sent, steps };
}

test('the native side hears once of each start and stop of the lesson on the screen', () => {
  const S = 'playbackStarted';
  const T = 'playbackStopped';
  for (const [story, expected] of [
    ['play pause play', [S, T, S]],
    ['play end', [S, T]],
    ['play hide show', [S, T, S]],
    ['hide play show pause', [S, T]],
    ['play leave', [S, T]],
    ['play fail', [S, T]],
    ['pause leave', []],
    ['play leave play', [S, T]],
  ]) {
    const { sent, steps } = stage();
    for (const step of story.split(' ')) steps[step]();
    assert.deepEqual(sent, expected, story);
  }
});
