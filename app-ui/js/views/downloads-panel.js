// The offline library's list of every download in flight, waiting or paused, from any course, with
// its progress, rate and time left and 暂停 / 继续 / 取消; a failed one offers "重试".

import { h } from '../dom.js';
import { downloadRows } from '../download-list.js';
import { networkKind } from '../network-state.js';
import { downloadActions, isTrouble } from './download-actions.js';

function actions(app, row) {
  if (row.state !== 'failed') return downloadActions(app, row.assetId, row.title);
  const lesson = app.lessons.get(row.assetId);
  return [
    lesson && h('button', { type: 'button', className: 'secondary', 'aria-label': `重试下载《${row.title}》`, onClick: () => app.startDownload(lesson) }, '重试'),
    h('button', { type: 'button', className: 'ghost', 'aria-label': `移除《${row.title}》`, onClick: () => app.dismissDownload(row.assetId) }, '移除'),
  ];
}

/** The section, or null when nothing downloads, waits or failed. */
export function downloadsPanel(app) {
  const rows = downloadRows(app.trackers.values(), app.queue.waiting, (assetId) => app.titles.get(assetId) || assetId,
    (assetId) => Boolean(app.libraryItem(assetId)), Date.now());
  if (rows.length === 0) return null;
  return h('section', { className: 'panel downloads', 'aria-labelledby': 'downloads-title' },
    h('h2', { id: 'downloads-title' }, '下载任务'),
    networkKind(app.network) === 'offline' && rows.some((row) => row.state === 'running') &&
      h('p', { className: 'muted', role: 'status' }, '网络已断开：下载会在网络恢复后自动继续。'),
    h('ul', { className: 'running' }, rows.map((row) => h('li', { className: row.state, dataset: { asset: row.assetId, state: row.state } },
      h('span', { className: 'lesson-title' }, row.title),
      (row.state === 'running' || row.state === 'paused') &&
        h('progress', { max: 100, value: row.percent ?? undefined, 'aria-label': `《${row.title}》下载进度` }),
      h('span', { className: isTrouble(app.tracker(row.assetId)) ? 'progress-text error' : 'progress-text' }, row.text),
      actions(app, row)))));
}
