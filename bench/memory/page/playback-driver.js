// Plays the offline lesson in the packaged page's own player and reports once it plays; then,
// after the benchmark's quiet time, seeks to a seeded random place every few seconds for as long
// as the page lives (window.benchConfig: report, ownerKey, assetId, quietSeconds, seekEverySeconds).
import { drive, pause, until } from './bench-session.js';

const config = window.benchConfig;

// mulberry32: the same seek targets in every run.
const random = (seed) => () => {
  seed = (seed + 0x6d2b79f5) >>> 0;
  let t = Math.imul(seed ^ (seed >>> 15), seed | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
};

async function seekAndPlay(video) {
  const next = random(20261209);
  await pause(config.quietSeconds * 1000);
  for (;;) {
    video.currentTime = next() * Math.max(video.duration - 5, 0);
    if (video.paused) video.play().catch(() => {});
    await pause(config.seekEverySeconds * 1000);
  }
}

async function play() {
  location.hash = `#/offline/${config.assetId}`;
  await until(() => document.querySelector('video'), 'player');
  const video = document.querySelector('video');
  video.muted = true;   // the virtual display has no sound output
  video.loop = true;
  const playing = new Promise((resolve) => video.addEventListener('playing', resolve, { once: true }));
  video.play().catch(() => {});
  await playing;
  seekAndPlay(video);
  return { playing: true };
}

drive(play);
