// The signed-in account's offline library: every download in flight, waiting or failed, then the
// stored lessons grouped by course, with play, reorder, rename and delete.

import { h, keepingFocus, loadingPanel, replaceChildren } from '../dom.js';
import { formatBytes } from '../format.js';
import {
  groupByCourse, planChapterRename, planCourseMove, planCourseRename, planLessonMove,
} from '../library-order.js';
import { routeHash } from '../router.js';
import { downloadsPanel } from './downloads-panel.js';

// Marked after every drawn listing has been painted.
const PAINTED_MARK = 'library-painted';

function sendPlan(app, commands) {
  if (commands.length === 0) return;
  for (const command of commands) app.bridge.send({ ...command, ownerKey: app.session.ownerKey });
  // Commands are handled in order, so this listing already shows the changes.
  app.refreshLibrary();
}

function renameForm(label, value, onSave, onCancel) {
  const input = h('input', { value, 'aria-label': label, maxlength: 1000 });
  const form = h('form', {
    className: 'rename',
    onSubmit: (event) => {
      event.preventDefault();
      onSave(input.value);
    },
    onKeydown: (event) => event.key === 'Escape' && onCancel(),
  }, input, h('button', { type: 'submit', className: 'primary' }, '保存'),
  h('button', { type: 'button', className: 'secondary', onClick: onCancel }, '取消'));
  setTimeout(() => input.select());
  return form;
}

function markPainted() {
  requestAnimationFrame(() => setTimeout(() => {
    performance.clearMarks(PAINTED_MARK);
    performance.mark(PAINTED_MARK);
  }));
}

function iconButton(label, text, onClick, disabled = false) {
  return h('button', { type: 'button', className: 'ghost', title: label, 'aria-label': label, onClick, disabled }, text);
}

export function render(app, container) {
  let editing = null;     // {kind: 'course'|'chapter', key}
  let confirming = null;  // asset id awaiting delete confirmation

  const downloads = h('div', { className: 'downloads-slot' });
  const drawDownloads = () => keepingFocus(downloads, () => replaceChildren(downloads, downloadsPanel(app)));

  const draw = () => keepingFocus(container, show);
  const show = () => {
    if (!app.libraryLoaded) return replaceChildren(container, loadingPanel());
    const items = app.library;
    const total = items.reduce((sum, item) => sum + (Number(item.size) || 0), 0);
    replaceChildren(container,
      h('h1', {}, '离线课程'),
      h('p', { className: 'muted' }, `${items.length} 节课时 · 共 ${formatBytes(total)} · 已加密保存在本机，仅当前账号可见`),
      downloads,
      items.length === 0 && h('p', { className: 'empty' }, '还没有离线课程。在课程页面点击“下载”即可保存到本机。'),
      groupByCourse(items).map((group, index, groups) => courseSection(group, index, groups)));
    drawDownloads();
    markPainted();
  };

  const courseSection = (group, index, groups) => {
    const sameClass = (other) => other && other.classTitle === group.classTitle;
    const header = editing?.kind === 'course' && editing.key === group.key
      ? renameForm('课程名称', group.courseTitle, (title) => {
        editing = null;
        sendPlan(app, planCourseRename(app.library, group.key, title));
        draw();
      }, () => { editing = null; draw(); })
      : h('div', { className: 'group-head' },
        h('h2', {}, group.courseTitle || '未命名课程'), h('span', { className: 'muted' }, group.classTitle),
        h('span', { className: 'spacer' }),
        iconButton('课程上移', '↑', () => sendPlan(app, planCourseMove(app.library, group.key, -1)), !sameClass(groups[index - 1])),
        iconButton('课程下移', '↓', () => sendPlan(app, planCourseMove(app.library, group.key, +1)), !sameClass(groups[index + 1])),
        iconButton('重命名课程', '重命名', () => { editing = { kind: 'course', key: group.key }; draw(); }));
    return h('section', { className: 'panel library-group' }, header,
      h('ul', { className: 'library-items' }, group.items.map((item) => lessonRow(item))));
  };

  const lessonRow = (item) => {
    const chapter = editing?.kind === 'chapter' && editing.key === item.assetId
      ? renameForm('章节名称', item.chapterTitle, (title) => {
        editing = null;
        sendPlan(app, planChapterRename(app.library, item.assetId, title));
        draw();
      }, () => { editing = null; draw(); })
      : h('span', { className: 'muted' }, item.chapterTitle);
    const remove = confirming === item.assetId
      ? [h('button', {
        type: 'button', className: 'danger', onClick: () => {
          confirming = null;
          app.bridge.send({ type: 'deleteDownload', ownerKey: app.session.ownerKey, assetId: item.assetId });
        },
      }, '确认删除'), h('button', { type: 'button', className: 'secondary', onClick: () => { confirming = null; draw(); } }, '取消')]
      : [h('button', { type: 'button', className: 'ghost', onClick: () => askToDelete(item.assetId) }, '删除')];
    const cancelOnEscape = confirming === item.assetId && ((event) => {
      if (event.key !== 'Escape') return;
      event.stopPropagation();   // Escape here cancels the deletion rather than leaving the page
      confirming = null;
      draw();
    });
    return h('li', { className: 'library-item', dataset: { asset: item.assetId }, onKeydown: cancelOnEscape },
      h('a', { className: 'lesson-title', href: routeHash('offline', item.assetId) }, item.lessonTitle),
      chapter,
      h('span', { className: 'muted size' }, formatBytes(item.size)),
      h('span', { className: 'spacer' }),
      iconButton('上移', '↑', () => sendPlan(app, planLessonMove(app.library, item.assetId, -1))),
      iconButton('下移', '↓', () => sendPlan(app, planLessonMove(app.library, item.assetId, +1))),
      iconButton('修改章节名', '改章节名', () => { editing = { kind: 'chapter', key: item.assetId }; draw(); }),
      ...remove);
  };

  const askToDelete = (assetId) => {
    confirming = assetId;
    draw();
    [...container.querySelectorAll('.library-item')].find((row) => row.dataset.asset === assetId)?.querySelector('button.danger')?.focus();
  };

  const stops = [app.subscribe('library', draw), app.subscribe('download', drawDownloads), app.subscribe('network', drawDownloads)];
  app.refreshLibrary();
  app.refreshInterrupted();
  draw();
  return () => stops.forEach((stop) => stop());
}
