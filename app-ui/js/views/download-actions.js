// The buttons of one download as far as the learner can act on it: 取消 while it waits in the queue;
// 暂停 and 取消 while the native side holds it, with 仍然下载 while it waits on a metered connection;
// 继续 and 取消 while it is paused.

import { h } from '../dom.js';

function button(text, label, className, onClick) {
  return h('button', { type: 'button', className, 'aria-label': label, onClick }, text);
}

export function downloadActions(app, assetId, title) {
  const tracker = app.tracker(assetId);
  const cancel = button('取消', `取消下载《${title}》`, 'ghost', () => app.cancelDownload(assetId));
  if (app.isQueued(assetId)) return [cancel];
  if (tracker?.paused) return [button('继续', `继续下载《${title}》`, 'secondary', () => app.resumeDownload(assetId)), cancel];
  if (!tracker?.active) return [];
  return [
    tracker.phase === 'meteredNetwork' &&
      button('仍然下载', `仍然使用计量网络下载《${title}》`, 'secondary', () => app.downloadAnyway(assetId)),
    button('暂停', `暂停下载《${title}》`, 'ghost', () => app.pauseDownload(assetId)),
    cancel,
  ];
}

/** The learner should read this line: a failure, or an interruption with its reason. */
export function isTrouble(tracker) {
  return tracker?.phase === 'failed' || Boolean(tracker?.paused && tracker.reason);
}
