// The signed-in account's offline library: every download in flight, waiting or failed, then the
// stored lessons grouped by course, with play, reorder, rename and delete.
//
// A year's library holds a thousand lessons: rows are built once and kept by asset id for as long
// as the page lives, so coming back to the library shows the rows already built. A redraw rebuilds
// only the rows and course headers whose text or state changed and moves nothing that stays, and
// building new course groups is cut into slices so the view paints and scrolls while the rest is
// added behind it; groups off screen are neither laid out nor painted (content-visibility).

import { DAMAGED_NOTICE } from '../app.js';
import { h, keepingFocus, loadingPanel, reconcileChildren, replaceChildren } from '../dom.js';
import { formatBytes } from '../format.js';
import {
  groupByCourse, planChapterRename, planCourseMove, planCourseRename, planLessonMove,
} from '../library-order.js';
import { routeHash } from '../router.js';
import { downloadsPanel } from './downloads-panel.js';

// How long one slice of building rows may hold the page before it lets a frame through.
const BUILD_SLICE_MS = 10;
// Marked after every drawn listing has been painted.
const PAINTED_MARK = 'library-painted';
// The height a course group is taken to have before it was first laid out: its header and rows.
const GROUP_HEAD_PX = 80;
const ROW_PX = 45;
// How many screens of course groups one slice adds at most.
const SLICE_SCREENS = 2;
// The library of each App, kept between visits.
const libraries = new WeakMap();

function groupHeight(group) {
  return GROUP_HEAD_PX + ROW_PX * group.items.length;
}

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

function iconButton(label, text, onClick, disabled = false) {
  return h('button', { type: 'button', className: 'ghost', title: label, 'aria-label': label, onClick, disabled }, text);
}

function markPainted() {
  requestAnimationFrame(() => setTimeout(() => {
    performance.clearMarks(PAINTED_MARK);
    performance.mark(PAINTED_MARK);
  }));
}

/** The element kept for `key` while `signature` stays the same; `build()` makes a new one otherwise. */
function kept(cache, key, signature, build) {
  const entry = cache.get(key);
  if (entry?.signature === signature) return entry.element;
  const element = build(entry?.element);
  cache.set(key, { signature, element });
  return element;
}

/** Drops the cached elements whose key is no longer listed. */
function forgetOthers(cache, keys) {
  for (const key of cache.keys()) if (!keys.has(key)) cache.delete(key);
}

export function render(app, container) {
  if (!libraries.has(app)) libraries.set(app, libraryView(app));
  return libraries.get(app).show(container);
}

/** The library's kept elements and state; show() puts them in a container until the view is left. */
function libraryView(app) {
  let container = null;
  let editing = null;     // {kind: 'course'|'chapter', key}
  let confirming = null;  // asset id awaiting delete confirmation
  let drawing = 0;        // counts draws and the leaving: a slice left over from an earlier one does nothing
  const rows = new Map();       // asset id → {signature, element}
  const sections = new Map();   // course group → {signature, element: {section, list}}

  const heading = h('h1', {}, '离线课程');
  const summary = h('p', { className: 'muted' });
  const empty = h('p', { className: 'empty' }, '还没有离线课程。在课程页面点击“下载”即可保存到本机。');
  const downloads = h('div', { className: 'downloads-slot' });
  const drawDownloads = () => keepingFocus(downloads, () => replaceChildren(downloads, downloadsPanel(app)));

  const draw = () => container && keepingFocus(container, show);
  const show = () => {
    const current = ++drawing;
    if (!app.libraryLoaded) return replaceChildren(container, loadingPanel());
    const items = app.library;
    const total = items.reduce((sum, item) => sum + (Number(item.size) || 0), 0);
    summary.textContent = `${items.length} 节课时 · 共 ${formatBytes(total)} · 已加密保存在本机，仅当前账号可见`;
    const groups = groupByCourse(items);
    const sliceStart = performance.now();
    const shown = [];
    const groupIds = new Set();
    let unbuilt = false;
    let addedPx = 0;
    for (const [index, group] of groups.entries()) {
      let id = group.key;
      for (let copy = 1; groupIds.has(id); copy += 1) id = `${group.key}\u0000${copy}`;  // a course listed twice apart
      groupIds.add(id);
      // Groups on the page are brought up to date in every draw, so a redraw never drops one; a group
      // to be built or put back waits for the next slice once this one has used its time or filled
      // a few screens, so one frame never lays out the whole library.
      if (sections.get(id)?.element.section.parentNode !== container) {
        const full = performance.now() - sliceStart > BUILD_SLICE_MS || addedPx > SLICE_SCREENS * window.innerHeight;
        if (shown.length > 0 && full) {
          unbuilt = true;
          continue;
        }
        addedPx += groupHeight(group);
      }
      shown.push(courseSection(id, group, groups[index - 1], groups[index + 1]));
    }
    reconcileChildren(container, [heading, summary, downloads, ...(items.length === 0 ? [empty] : []), ...shown]);
    if (unbuilt) {
      // After the frame that shows this slice, not before it: a timer would run ahead of the drawing.
      requestAnimationFrame(() => setTimeout(() => current === drawing && draw()));
    } else {
      forgetOthers(sections, groupIds);
      forgetOthers(rows, new Set(items.map((item) => item.assetId)));
    }
    drawDownloads();
    markPainted();
  };

  const courseSection = (id, group, before, after) => {
    const sameClass = (other) => Boolean(other) && other.classTitle === group.classTitle;
    const moves = { up: sameClass(before), down: sameClass(after) };
    const renaming = editing?.kind === 'course' && editing.key === group.key;
    const signature = JSON.stringify([group.courseTitle, group.classTitle, moves, renaming]);
    const { section, list } = kept(sections, id, signature, (old) => {
      const items = old?.list ?? h('ul', { className: 'library-items' });
      return { section: h('section', { className: 'panel library-group' }, courseHeader(group, moves, renaming), items), list: items };
    });
    const estimate = `auto ${groupHeight(group)}px`;
    if (section.style.containIntrinsicSize !== estimate) section.style.containIntrinsicSize = estimate;
    reconcileChildren(list, group.items.map(lessonRow));
    return section;
  };

  const courseHeader = (group, moves, renaming) => {
    if (renaming) {
      return renameForm('课程名称', group.courseTitle, (title) => {
        editing = null;
        sendPlan(app, planCourseRename(app.library, group.key, title));
        draw();
      }, () => { editing = null; draw(); });
    }
    return h('div', { className: 'group-head' },
      h('h2', {}, group.courseTitle || '未命名课程'), h('span', { className: 'muted' }, group.classTitle),
      h('span', { className: 'spacer' }),
      iconButton('课程上移', '↑', () => sendPlan(app, planCourseMove(app.library, group.key, -1)), !moves.up),
      iconButton('课程下移', '↓', () => sendPlan(app, planCourseMove(app.library, group.key, +1)), !moves.down),
      iconButton('重命名课程', '重命名', () => { editing = { kind: 'course', key: group.key }; draw(); }));
  };

  const lessonRow = (item) => {
    const renaming = editing?.kind === 'chapter' && editing.key === item.assetId;
    const deleting = confirming === item.assetId;
    const signature = JSON.stringify([item.lessonTitle, item.chapterTitle, item.size, app.isDamaged(item.assetId), renaming, deleting]);
    return kept(rows, item.assetId, signature, () => buildRow(item, renaming, deleting));
  };

  const buildRow = (item, renaming, deleting) => {
    const chapter = renaming
      ? renameForm('章节名称', item.chapterTitle, (title) => {
        editing = null;
        sendPlan(app, planChapterRename(app.library, item.assetId, title));
        draw();
      }, () => { editing = null; draw(); })
      : h('span', { className: 'muted' }, item.chapterTitle);
    const remove = deleting
      ? [h('button', {
        type: 'button', className: 'danger', onClick: () => {
          confirming = null;
          app.bridge.send({ type: 'deleteDownload', ownerKey: app.session.ownerKey, assetId: item.assetId });
        },
      }, '确认删除'), h('button', { type: 'button', className: 'secondary', onClick: () => { confirming = null; draw(); } }, '取消')]
      : [h('button', { type: 'button', className: 'ghost', onClick: () => askToDelete(item.assetId) }, '删除')];
    const cancelOnEscape = deleting && ((event) => {
      if (event.key !== 'Escape') return;
      event.stopPropagation();   // Escape here cancels the deletion rather than leaving the page
      confirming = null;
      draw();
    });
    return h('li', { className: 'library-item', dataset: { asset: item.assetId }, onKeydown: cancelOnEscape },
      h('a', { className: 'lesson-title', href: routeHash('offline', item.assetId) }, item.lessonTitle),
      app.isDamaged(item.assetId) && h('span', { className: 'badge damaged', title: DAMAGED_NOTICE }, '已损坏'),
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
    rows.get(assetId)?.element.querySelector('button.danger')?.focus();
  };

  return {
    show(target) {
      container = target;
      editing = null;
      confirming = null;
      const stops = [app.subscribe('library', draw), app.subscribe('download', drawDownloads), app.subscribe('network', drawDownloads)];
      app.refreshLibrary();
      app.refreshInterrupted();
      draw();
      return () => {
        drawing += 1;
        container = null;
        stops.forEach((stop) => stop());
      };
    },
  };
}
