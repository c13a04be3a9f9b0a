// A lesson page: the player (the offline copy when the lesson is in the library, otherwise the
// online stream), its download control and its courseware. Also the offline-only lesson page.

import { errorPanel, h, loadingPanel, replaceChildren } from '../dom.js';
import { chapterNeighbours } from '../media-session.js';
import { lessonFromLibraryItem, offlineMediaAddress } from '../media.js';
import { routeHash } from '../router.js';
import { downloadControl } from './download-control.js';
import { createPlayer } from './player.js';

function lessonPage(app, lesson, { online }) {
  const stored = app.libraryItem(lesson.asset_id);
  const source = stored ? offlineMediaAddress(lesson.asset_id, app.session.ownerKey) : lesson.play_url;
  const player = createPlayer(app, {
    source,
    offline: Boolean(stored),
    progressKey: lesson.id ? String(lesson.id) : lesson.asset_id,
    lessonId: lesson.id || null,
    remoteProgress: lesson.progress,
    lesson: {
      id: lesson.id || null, assetId: lesson.asset_id, title: lesson.title,
      courseTitle: lesson.course_title, chapterTitle: lesson.chapter_title,
    },
    damage: stored ? { assetId: lesson.asset_id, replace: () => app.replaceDamaged(lesson) } : null,
  });
  const control = online ? downloadControl(app, lesson) : null;
  const element = h('article', { className: 'lesson' },
    h('nav', { className: 'crumbs' },
      online ? h('a', { href: routeHash('classes') }, '我的班级') : h('a', { href: routeHash('library') }, '离线课程'),
      ` / ${lesson.course_title} / ${lesson.chapter_title}`),
    h('h1', {}, lesson.title),
    h('p', { className: 'muted source' }, stored ? '正在播放本机加密离线副本' : '正在在线播放'),
    player.element,
    h('div', { className: 'lesson-actions' }, control?.element),
    lesson.courseware?.length > 0 && h('section', { className: 'panel' },
      h('h2', {}, '课件'),
      h('ul', { className: 'courseware' }, lesson.courseware.map((file) => h('li', {},
        h('span', {}, file.name),
        h('button', { type: 'button', className: 'secondary', onClick: () => app.saveCourseware(file) }, '保存到本机'))))));
  let shown = true;
  chapterLessons(app, lesson, online).then((lessons) => {
    const { previous, next } = chapterNeighbours(lessons, online ? lesson.id : lesson.asset_id);
    const open = (key) => (key === null ? null : () => { location.hash = routeHash(online ? 'lesson' : 'offline', key); });
    if (shown) player.setNeighbours({ previous: open(previous), next: open(next) });
  }, () => {});
  return { element, stop: () => { shown = false; player.stop(); control?.stop(); } };
}

/** The lessons of `lesson`'s chapter as [{key, index}]: the course's from the service, or the stored ones. */
async function chapterLessons(app, lesson, online) {
  if (!online) {
    return app.library
      .filter((item) => item.classId === lesson.class_id && item.courseIndex === lesson.course_index &&
        item.chapterIndex === lesson.chapter_index)
      .map((item) => ({ key: item.assetId, index: item.lessonIndex }));
  }
  const course = await app.api.get(`courses/${lesson.course_id}`);
  const chapter = course?.chapters?.find((c) => c.index === lesson.chapter_index);
  return (chapter?.lessons ?? []).map((l) => ({ key: l.id, index: l.index }));
}

export function render(app, container, lessonId) {
  let page = null;
  let left = false;
  replaceChildren(container, loadingPanel());
  (async () => {
    await app.loadedLibrary().catch(() => []);
    let lesson;
    try {
      lesson = await app.api.get(`lessons/${lessonId}`);
    } catch (error) {
      if (error.kind === 'auth') return app.sessionExpired();
      const stored = app.library.find((item) => String(item.lessonId) === String(lessonId));
      if (error.kind === 'network' && stored) {
        location.hash = routeHash('offline', stored.assetId);
        return;
      }
      replaceChildren(container, errorPanel(error.message, () => render(app, container, lessonId)));
      return;
    }
    if (left) return;
    page = lessonPage(app, lesson, { online: true });
    replaceChildren(container, page.element);
  })();
  return () => {
    left = true;
    page?.stop();
  };
}

export function renderOffline(app, container, assetId) {
  let page = null;
  let left = false;
  replaceChildren(container, loadingPanel());
  app.loadedLibrary().then(() => {
    if (left) return;
    const item = app.libraryItem(assetId);
    if (!item) {
      replaceChildren(container, errorPanel('这节离线课程已不在本机，可能已被删除。'),
        h('a', { href: routeHash('library') }, '返回离线课程'));
      return;
    }
    page = lessonPage(app, lessonFromLibraryItem(item), { online: false });
    replaceChildren(container, page.element);
  }, (error) => replaceChildren(container, errorPanel(error.message)));
  return () => {
    left = true;
    page?.stop();
  };
}
