// The lesson player: resumes from the newer of the local and the service's saved position, saves
// progress while playing, on pause, on leaving and when the application is about to quit.

import { h } from '../dom.js';
import { LocalProgress, fromService, resumePosition } from '../progress.js';

const LOCAL_SAVE_MS = 5000;
const SERVICE_SAVE_MS = 30000;
const SEEK_STEP_SECONDS = 10;

/** options: {source, offline, progressKey, lessonId, remoteProgress} */
export function createPlayer(app, options) {
  const local = new LocalProgress(localStorage, app.session?.ownerKey ?? '');
  const video = h('video', { className: 'player', controls: true, preload: 'metadata', playsinline: true, tabindex: 0 });
  const problem = h('p', { className: 'player-error', role: 'alert', hidden: true });
  let lastLocalSave = 0;
  let lastServiceSave = Date.now();
  let resumed = false;

  const save = (toService) => {
    if (!resumed || !Number.isFinite(video.currentTime)) return;
    const duration = Number.isFinite(video.duration) ? video.duration : 0;
    local.save(options.progressKey, video.currentTime, duration, Date.now());
    if (toService && options.lessonId) {
      app.api.post('progress', { lesson_id: Number(options.lessonId), position: video.currentTime, duration })
        .catch(() => {});
    }
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
  video.addEventListener('error', () => {
    problem.hidden = false;
    problem.textContent = options.offline
      ? '离线课程无法播放：本机副本可能已被删除或损坏，请在“离线课程”中重新下载。'
      : '在线视频加载失败，请检查网络连接后重试。';
  });
  video.addEventListener('keydown', (event) => {
    const step = { ArrowLeft: -SEEK_STEP_SECONDS, ArrowRight: SEEK_STEP_SECONDS }[event.key];
    if (step) {
      video.currentTime = Math.max(0, video.currentTime + step);
      event.preventDefault();
    } else if (event.key === ' ' || event.key === 'k') {
      if (video.paused) video.play().catch(() => {});
      else video.pause();
      event.preventDefault();
    }
  });

  const stopQuitSave = app.subscribe('saveProgress', () => save(true));
  video.src = options.source;

  return {
    element: h('div', { className: 'player-box' }, video, problem),
    video,
    stop() {
      save(true);
      stopQuitSave();
      video.pause();
      video.removeAttribute('src');
      video.load();
    },
  };
}
