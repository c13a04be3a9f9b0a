// The download button of one lesson, which turns into "排队中" while the lesson waits in the queue,
// a progress bar with phase, percent, rate and time left while it downloads (or what it waits for),
// with 暂停 / 继续 / 取消, and shows the reason when it fails or is interrupted.

import { h, replaceChildren } from '../dom.js';
import { downloadActions, isTrouble } from './download-actions.js';

export function downloadControl(app, lesson) {
  const box = h('div', { className: 'download', tabindex: -1, dataset: { asset: lesson.asset_id } });

  const draw = () => {
    const hadFocus = box.contains(document.activeElement);
    show();
    // Redrawing drops the focused button; keyboard users keep their place in this control.
    if (hadFocus) (box.querySelector('button') ?? box).focus();
  };

  const show = () => {
    const tracker = app.tracker(lesson.asset_id);
    if (app.libraryItem(lesson.asset_id)) {
      replaceChildren(box, h('span', { className: 'badge ok' }, '已下载'));
    } else if (tracker?.active || (tracker?.paused && !app.isQueued(lesson.asset_id))) {
      const trouble = isTrouble(tracker);
      replaceChildren(box,
        h('progress', { max: 100, value: tracker.percent ?? undefined, 'aria-label': '下载进度' }),
        h('span', { className: trouble ? 'progress-text error' : 'progress-text', role: trouble ? 'alert' : 'status' },
          tracker.describe(Date.now())),
        downloadActions(app, lesson.asset_id, lesson.title));
    } else if (app.isQueued(lesson.asset_id)) {
      replaceChildren(box, h('span', { className: 'badge' }, '排队中'), downloadActions(app, lesson.asset_id, lesson.title));
    } else if (!lesson.offline) {
      replaceChildren(box, h('span', { className: 'badge' }, '仅限在线'));
    } else {
      const failed = tracker?.phase === 'failed';
      replaceChildren(box,
        failed && h('span', { className: 'progress-text error', role: 'alert' }, tracker.describe(Date.now())),
        h('button', { type: 'button', className: 'secondary', onClick: () => app.startDownload(lesson) }, failed ? '重新下载' : '下载'));
    }
  };

  const stops = [
    app.subscribe('download', (assetId) => assetId === lesson.asset_id && draw()),
    app.subscribe('library', draw),
  ];
  draw();
  return { element: box, stop: () => stops.forEach((stop) => stop()) };
}
