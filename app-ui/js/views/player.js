// The lesson player: resumes from the newer of the local and the service's saved position, saves
// progress while playing, on pause, on leaving and when the application is about to quit. Plays at
// the account's chosen speed and answers the player keys anywhere on the lesson page.

import { DAMAGED_NOTICE } from '../app.js';
import { h, replaceChildren } from '../dom.js';
import { connectMediaSession } from '../media-session.js';
import { reportPlayback } from '../playback-report.js';
import { SPEEDS, SpeedMemory, speedLabel, stepSpeed } from '../playback-speed.js';
import { performPlayerAction, playerAction } from '../player-keys.js';
import { LocalProgress, fromService, resumePosition } from '../progress.js';
import { openShortcuts } from './shortcuts.js';

const LOCAL_SAVE_MS = 5000;
const SERVICE_SAVE_MS = 30000;

/** Keys typed into a field, or that activate a focused button or link, are not the player's. */
function ownedByControl(event) {
  const target = event.target;
  if (target.closest?.('input, textarea, select, dialog, [contenteditable]')) return true;
  return (event.key === ' ' || event.key === 'Enter') && Boolean(target.closest?.('button, a'));
}

function speedControl(app, video) {
  const memory = new SpeedMemory(localStorage, app.session?.ownerKey ?? '');
  const buttons = SPEEDS.map((speed) => h('button', {
    type: 'button', className: 'speed', 'aria-pressed': 'false', dataset: { speed: String(speed) },
    onClick: () => choose(speed),
  }, speedLabel(speed)));
  const apply = (speed) => {
    video.defaultPlaybackRate = speed;
    video.playbackRate = speed;
    for (const button of buttons) button.setAttribute('aria-pressed', String(Number(button.dataset.speed) === speed));
  };
  const choose = (speed) => {
    apply(speed);
    memory.save(speed);
    app.announce(`播放速度 ${speedLabel(speed)}`);
  };
  // Loading a source resets the rate to the default; keep the learner's choice.
  video.addEventListener('loadedmetadata', () => apply(memory.load()));
  apply(memory.load());
  return {
    element: h('div', { className: 'speeds', role: 'group', 'aria-label': '播放速度' }, h('span', { className: 'muted' }, '倍速'), buttons),
    step: (direction) => choose(stepSpeed(video.playbackRate, direction)),
  };
}

function toggleFullscreen(video) {
  if (document.fullscreenElement) return document.exitFullscreen().catch(() => {});
  return video.requestFullscreen?.().catch(() => {});
}

/**
 * options: {source, offline, progressKey, lessonId, remoteProgress, lesson, damage}; `damage`, for
 * a stored copy, is {assetId, replace()} where replace() deletes it and downloads it again.
 */
export function createPlayer(app, options) {
  const local = new LocalProgress(localStorage, app.session?.ownerKey ?? '');
  const video = h('video', { className: 'player', controls: true, preload: 'metadata', playsinline: true, tabindex: 0 });
  video.preservesPitch = true;
  const problem = h('p', { className: 'player-error', role: 'alert', hidden: true });
  const speeds = speedControl(app, video);
  let lastLocalSave = 0;
  let lastServiceSave = Date.now();
  let resumed = false;
  let damaged = false;

  const save = (toService) => {
    // Past a damaged record the position says nothing about what was watched.
    if (!resumed || damaged || !Number.isFinite(video.currentTime)) return;
    const duration = Number.isFinite(video.duration) ? video.duration : 0;
    local.save(options.progressKey, video.currentTime, duration, Date.now(), options.lesson ?? null);
    if (toService && options.lessonId) app.saveProgress(Number(options.lessonId), video.currentTime, duration);
  };

  video.addEventListener('loadedmetadata', () => {
    const start = resumePosition(local.load(options.progressKey), fromService(options.remoteProgress), video.duration);
    if (start > 0) video.currentTime = start;
    resumed = true;
  });
  video.addEventListener('timeupdate', () => {
    const now = Date.now();
    if (now - lastLocalSave >= LOCAL_SAVE_MS) {
      lastLocalSave = now;
      save(false);
    }
    if (now - lastServiceSave >= SERVICE_SAVE_MS) {
      lastServiceSave = now;
      save(true);
    }
  });
  video.addEventListener('pause', () => save(true));
  video.addEventListener('ended', () => save(true));
  const showDamage = () => {
    damaged = true;
    video.pause();
    const replace = h('button', {
      type: 'button', className: 'secondary', onClick: () => {
        replace.disabled = true;
        options.damage.replace();
      },
    }, '删除并重新下载');
    problem.hidden = false;
    replaceChildren(problem, DAMAGED_NOTICE, ' ', replace);
  };
  const stopDamageWatch = app.subscribe('damaged', (assetId) => { if (assetId === options.damage?.assetId) showDamage(); });
  video.addEventListener('error', () => {
    if (options.damage && app.isDamaged(options.damage.assetId)) return showDamage();
    problem.hidden = false;
    problem.textContent = options.offline
      ? '离线课程无法播放：本机副本可能已被删除或损坏，请在“离线课程”中重新下载。'
      : '在线视频加载失败，请检查网络连接后重试。';
  });

  const controls = { fullscreen: () => toggleFullscreen(video), speed: (direction) => speeds.step(direction) };
  const onKey = (event) => {
    if (event.ctrlKey || event.altKey || event.metaKey || ownedByControl(event)) return;
    const action = playerAction(event.key);
    if (!action) return;
    performPlayerAction(action, video, controls);
    event.preventDefault();
  };
  document.addEventListener('keydown', onKey);
  video.addEventListener('dblclick', (event) => {
    event.preventDefault();
    controls.fullscreen();
  });

  const stopQuitSave = app.subscribe('saveProgress', () => save(true));
  const mediaControls = connectMediaSession(globalThis.MediaMetadata ? navigator.mediaSession : null, video,
    { ...options.lesson, artwork: [{ src: new URL('img/logo.svg', location.href).href, sizes: '512x512', type: 'image/svg+xml' }] },
    (init) => new MediaMetadata(init));
  const stopReporting = reportPlayback(video, document, (command) => app.bridge.send(command));
  video.src = options.source;
  if (options.damage && app.isDamaged(options.damage.assetId)) showDamage();

  return {
    element: h('div', { className: 'player-box' }, video, problem,
      h('div', { className: 'player-bar' }, speeds.element, h('span', { className: 'spacer' }),
        h('button', { type: 'button', className: 'ghost', 'aria-keyshortcuts': '?', onClick: openShortcuts }, '快捷键 ?'))),
    video,
    /** Lets the desktop's media controls open the chapter's lesson before or after this one. */
    setNeighbours: (neighbours) => mediaControls.setNeighbours(neighbours),
    stop() {
      save(true);
      document.removeEventListener('keydown', onKey);
      stopQuitSave();
      stopReporting();
      stopDamageWatch();
      mediaControls.stop();
      video.pause();
      video.removeAttribute('src');
      video.load();
    },
  };
}
